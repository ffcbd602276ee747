// The launcher's self-update: the image address, the mount point read from the disk-image tool,
// and the chain against the local service up to the launcher that waits for the quit.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "DownloadEnd.h"
#include "Handlers/KeloPellixUpdater.h"
#include "LocalService.h"
#include "Objects/SessionDetails.h"
#include "OutputCapture.h"
#include "Platform/Bundle.h"
#include "Platform/NotificationCenter.h"
#include "Platform/Volumes.h"
#include "RecordingProcessRunner.h"
#include "RecordingUrlSession.h"
#include "TempHome.h"
#include "TestBundle.h"
#include "TestImages.h"
#include "UrlSessionQueue.h"

namespace fs = std::filesystem;

namespace {

class KeloPellixUpdaterTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        platform::ServiceSlot<platform::ProcessRunner>::set(runner_);
        platform::Bundle::overrideMainBundlePath(std::string(KELO_BUNDLE_DIR));
        auto& session = SessionDetails::getInstance();
        session.setKeloPellixNativeFolder(nativeFolder());
        session.setLocalKeloPellixAppVersion("1.0");
    }
    void TearDown() override {
        platform::Bundle::overrideMainBundlePath(std::nullopt);
        TempHomeTest::TearDown();
    }

    std::string nativeFolder() const {
        return home() + "/Library/Application Support/KeloPellixNativeFolder/";
    }
    std::string image() const { return nativeFolder() + "KeloHelvoPellix.dmg"; }
    std::string waitingBundle() const { return nativeFolder() + "Kelo Helvo Pellix.app"; }

    static void makeBundle(const std::string& bundle, const std::string& version) {
        TestBundle{.version = platform::PlistValue(version)}.writeTo(bundle);
    }

    std::shared_ptr<RecordingProcessRunner> runner_ = std::make_shared<RecordingProcessRunner>();
};

TEST_F(KeloPellixUpdaterTest, ImageAddressIsTheGivenOneOrTheWebServersAndFailuresEndTheChain) {
    auto urlSession = std::make_shared<RecordingUrlSession>();
    urlSession->unreachable = true;
    platform::ServiceSlot<platform::UrlSession>::set(urlSession);
    auto& session = SessionDetails::getInstance();
    session.setWebServerName("pellix.example");
    session.setPellixUpdateNeeded(true);
    const struct {
        std::optional<std::string> given;
        std::string used;
    } cases[] = {
        {std::nullopt, "https://pellix.example/agent/KeloHelvoPellix.dmg"},
        {"https://cdn.example/KeloHelvoPellix-9.dmg", "https://cdn.example/KeloHelvoPellix-9.dmg"},
        {"", ""},
    };
    for (const auto& entry : cases) {
        session.setPellixDownloadUrl(entry.given);
        const void* retrySender = nullptr;
        platform::NotificationCenter::defaultCenter().addObserver(
            this, "RetryDMGDownloadig",
            [&](const platform::NotificationCenter::Notification& notification) {
                retrySender = notification.sender;
            });
        auto updater = KeloPellixUpdater::getInstance();
        OutputCapture log(STDERR_FILENO, path("log.txt"));
        updater->checkKeloPellixUpdate();
        const auto logged = log.stop();
        platform::NotificationCenter::defaultCenter().removeObserver(this);
        // This failure line ends with a blank, as stored logs have it.
        EXPECT_NE(logged.find("-[KeloPellixUpdater downloadPellixdmg]_block_invoke : Download "
                              "failed! Error - Could not connect to the server. " +
                              entry.used + " \n"),
                  std::string::npos)
            << logged;

        const auto requests = urlSession->requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests.back().url, entry.used);
        EXPECT_EQ(requests.back().timeoutSeconds, 240);
        EXPECT_TRUE(requests.back().headers.empty());
        EXPECT_EQ(retrySender, updater.get());
    }
    EXPECT_EQ(urlSession->count(), 3u);
    EXPECT_TRUE(fs::is_directory(nativeFolder()));
    EXPECT_TRUE(runner_->journal.entries().empty());
    EXPECT_FALSE(session.isAppReplaceFlag());

    // Without a newer launcher nothing is downloaded.
    session.setPellixUpdateNeeded(false);
    KeloPellixUpdater::getInstance()->checkKeloPellixUpdate();
    EXPECT_EQ(urlSession->count(), 3u);
}

TEST_F(KeloPellixUpdaterTest, MountPointIsTheLastFieldOfTheToolsOutputAndIsDetachedOnce) {
    const struct {
        std::string output;
        std::vector<std::string> runs;
    } cases[] = {
        {"/dev/disk4          \tGUID_partition_scheme          \t\n"
         "/dev/disk4s1        \tApple_HFS                      \t/Volumes/Pellix Plugin\n",
         {"hdiutil detach /Volumes/Pellix Plugin -> 0"}},
        {"\t/Volumes/Pellix Plugin 1 \n\n", {"hdiutil detach /Volumes/Pellix Plugin 1 -> 0"}},
        {"no tab here", {"hdiutil detach no tab here -> 0"}},
        // Nothing read: the detach runs on the empty text.
        {" \n", {"hdiutil detach  -> 0"}},
        // Not text: there is no mount point to detach.
        {"\t/Volumes/\xff\xfe", {}},
    };
    for (const auto& entry : cases) {
        runner_->mountOutput = entry.output;
        const auto before = runner_->journal.entries().size();
        auto updater = KeloPellixUpdater::getInstance();
        updater->mountingKeloPellixDmg();
        EXPECT_FALSE(updater->latestPellixDmgPath()) << entry.output;

        // Once detached, the mount point is forgotten: a second detach runs nothing.
        OutputCapture log(STDERR_FILENO, path("log.txt"));
        updater->unMountingKeloPellixDmg();
        EXPECT_NE(log.text().find("-[KeloPellixUpdater unMountingKeloPellixDmg] : No Pellix DMG is "
                                  "mounted to unmount"),
                  std::string::npos);

        auto runs = runner_->journal.entries();
        runs.erase(runs.begin(), runs.begin() + static_cast<std::ptrdiff_t>(before));
        std::vector<std::string> expected{"hdiutil mount " + image() + " -> 0"};
        expected.insert(expected.end(), entry.runs.begin(), entry.runs.end());
        EXPECT_EQ(runs, expected) << entry.output;
    }
    // No volume held the bundle, so nothing waits to be installed.
    EXPECT_FALSE(SessionDetails::getInstance().isAppReplaceFlag());
}

class KeloPellixUpdaterChainTest : public KeloPellixUpdaterTest {
  protected:
    void SetUp() override {
        KeloPellixUpdaterTest::SetUp();
        service_ = std::make_unique<LocalService>();
        service_->applyEnvironment("com");
        ASSERT_TRUE(TestImages::make(service_->rootDir(), "PELLIX_VERSION=9.9.9"));
        auto& session = SessionDetails::getInstance();
        session.setWebServerName(service_->host());
        session.setPellixUpdateNeeded(true);
        // The customer started from the invitation's image, which is still mounted: it holds the
        // launcher they run, never the update.
        makeBundle(TestImages::volume("Pellix Plugin") + "/Kelo Helvo Pellix.app", "1.0");
    }
    void TearDown() override {
        service_.reset();
        KeloPellixUpdaterTest::TearDown();
    }
    LocalService& service() { return *service_; }

  private:
    std::unique_ptr<LocalService> service_;
};

TEST_F(KeloPellixUpdaterChainTest, NewLauncherReplacesTheOneAnEarlierRunLeftWaiting) {
    makeBundle(waitingBundle(), "5.0");
    KeloPellixUpdater::getInstance()->checkKeloPellixUpdate();
    ASSERT_TRUE(runner_->journal.waitFor(2));
    ASSERT_TRUE(UrlSessionQueue::drain());

    EXPECT_EQ(service().requests("/agent/KeloHelvoPellix.dmg").size(), 1u);
    EXPECT_EQ(
        runner_->journal.entries(),
        (std::vector<std::string>{
            "hdiutil mount " + image() + " -> 0",
            "hdiutil detach " + platform::Volumes::volumeNamed("Pellix Plugin 1") + " -> 0"}));
    EXPECT_EQ(TestBundle::versionAt(waitingBundle()), "9.9.9");
    EXPECT_TRUE(SessionDetails::getInstance().isAppReplaceFlag());
    EXPECT_TRUE(fs::exists(platform::Volumes::volumeNamed("Pellix Plugin")));
}

TEST_F(KeloPellixUpdaterChainTest, ImageThatDoesNotMountLeavesNothingToInstall) {
    LocalService::Answer garbage;
    garbage.status = 200;
    garbage.body = "this is not a disk image";
    garbage.times = 1;
    service().setAnswer("/agent/KeloHelvoPellix.dmg", garbage);
    OutputCapture log(STDERR_FILENO, path("log.txt"));
    // Handled as a download that failed.
    ASSERT_TRUE(downloadPostsTheRetryNotice(
        [] { KeloPellixUpdater::getInstance()->checkKeloPellixUpdate(); }));
    EXPECT_THAT(log.stop(), ::testing::HasSubstr("-[KeloPellixUpdater mountingKeloPellixDmg] : No "
                                                 "volume was mounted from " +
                                                 image()));
    EXPECT_THAT(runner_->journal.entries(),
                ::testing::ElementsAre("hdiutil mount " + image() + " -> 1",
                                       ::testing::StartsWith("hdiutil detach ")));
    EXPECT_FALSE(fs::exists(waitingBundle()));
    EXPECT_FALSE(fs::exists(image()));
    EXPECT_FALSE(SessionDetails::getInstance().isAppReplaceFlag());
}

}  // namespace
