// The launcher's self-update: the image address, the mount point read from the disk-image tool,
// and the chain against the local service, which leaves nothing to install when the image does
// not mount.
#include "KeloTest.h"

#include <unistd.h>

#include "DownloadEnd.h"
#include "Handlers/KeloPellixUpdater.h"
#include "LocalService.h"
#include "Objects/SessionDetails.h"
#include "Platform/Bundle.h"
#include "Platform/NotificationCenter.h"
#include "RecordingProcessRunner.h"
#include "RecordingUrlSession.h"
#include "TestBundle.h"
#include "TestImages.h"
#include "UrlSessionQueue.h"

namespace {

class KeloPellixUpdaterTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        platform::ServiceSlot<platform::ProcessRunner>::set(runner_);
        platform::Bundle::overrideMainBundlePath(std::string(KELO_BUNDLE_DIR));
        session().setKeloPellixNativeFolder(nativeFolder());
        session().setLocalKeloPellixAppVersion("1.0");
        session().setPellixUpdateNeeded(true);
        session().setPellixDownloadUrl(std::nullopt);
    }
    void TearDown() override {
        platform::ServiceSlot<platform::UrlSession>::set(nullptr);
        platform::Bundle::overrideMainBundlePath(std::nullopt);
        TempHomeTest::TearDown();
    }

    static SessionDetails& session() { return SessionDetails::getInstance(); }
    std::string image() const { return nativeFolder() + "KeloHelvoPellix.dmg"; }
    std::string waitingBundle() const { return nativeFolder() + "Kelo Helvo Pellix.app"; }
    static void makeBundle(const std::string& bundle, const std::string& version) {
        TestBundle{.version = platform::PlistValue(version)}.writeTo(bundle);
    }

    // The local service offers an image of launcher 9.9.9. The customer started from the
    // invitation's image, which is still mounted: it holds the launcher they run, never the
    // update.
    LocalService& startService() {
        service_ = std::make_unique<LocalService>();
        service_->applyEnvironment("com");
        EXPECT_TRUE(TestImages::make(service_->rootDir(), "PELLIX_VERSION=9.9.9"));
        session().setWebServerName(service_->host());
        makeBundle(TestImages::volume("Pellix Plugin") + "/Kelo Helvo Pellix.app", "1.0");
        return *service_;
    }

    std::shared_ptr<RecordingProcessRunner> runner_ = std::make_shared<RecordingProcessRunner>();
    std::unique_ptr<LocalService> service_;
};

TEST_F(KeloPellixUpdaterTest, ImageAddressIsTheGivenOneOrTheWebServersAndFailuresEndTheChain) {
    auto urlSession = std::make_shared<RecordingUrlSession>();
    urlSession->unreachable = true;
    platform::ServiceSlot<platform::UrlSession>::set(urlSession);
    session().setWebServerName("pellix.example");
    const struct {
        std::optional<std::string> given;
        std::string used;
    } cases[] = {
        {std::nullopt, "https://pellix.example/agent/KeloHelvoPellix.dmg"},
        {"https://cdn.example/KeloHelvoPellix-9.dmg", "https://cdn.example/KeloHelvoPellix-9.dmg"},
        {"", ""},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.used);
        session().setPellixDownloadUrl(entry.given);
        const void* retrySender = nullptr;
        platform::NotificationCenter::defaultCenter().addObserver(
            this, "RetryDMGDownloadig",
            [&](const auto& notification) { retrySender = notification.sender; });
        auto updater = KeloPellixUpdater::getInstance();
        OutputCapture log(STDERR_FILENO, path("log.txt"));
        updater->checkKeloPellixUpdate();
        platform::NotificationCenter::defaultCenter().removeObserver(this);
        // This failure line ends with a blank, as stored logs have it.
        EXPECT_THAT(log.stop(), HasSubstr("-[KeloPellixUpdater downloadPellixdmg]_block_invoke : "
                                          "Download failed! Error - Could not connect to the "
                                          "server. " +
                                          entry.used + " \n"));
        ASSERT_THAT(urlSession->requests(), ::testing::Not(IsEmpty()));
        const auto request = urlSession->requests().back();
        EXPECT_EQ(request.url, entry.used);
        EXPECT_EQ(request.timeoutSeconds, 240);
        EXPECT_THAT(request.resumeWaits, ElementsAre(1s, 2s, 4s, 8s));
        EXPECT_TRUE(request.headers.empty());
        EXPECT_EQ(retrySender, updater.get());
    }
    EXPECT_TRUE(fs::is_directory(nativeFolder()));
    EXPECT_THAT(runner_->journal.entries(), IsEmpty());
    EXPECT_FALSE(session().isAppReplaceFlag());

    // Without a newer launcher nothing is downloaded.
    session().setPellixUpdateNeeded(false);
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
        SCOPED_TRACE(entry.output);
        runner_->mountOutput = entry.output;
        runner_->journal.clear();
        auto updater = KeloPellixUpdater::getInstance();
        updater->mountingKeloPellixDmg();
        EXPECT_FALSE(updater->latestPellixDmgPath());

        // Once detached, the mount point is forgotten: a second detach runs nothing.
        OutputCapture log(STDERR_FILENO, path("log.txt"));
        updater->unMountingKeloPellixDmg();
        EXPECT_THAT(log.stop(), HasSubstr("-[KeloPellixUpdater unMountingKeloPellixDmg] : No "
                                          "Pellix DMG is mounted to unmount"));
        std::vector<std::string> expected{"hdiutil mount " + image() + " -> 0"};
        expected.insert(expected.end(), entry.runs.begin(), entry.runs.end());
        EXPECT_EQ(runner_->journal.entries(), expected);
    }
    // No volume held the bundle, so nothing waits to be installed.
    EXPECT_FALSE(session().isAppReplaceFlag());
}

TEST_F(KeloPellixUpdaterTest, ImageThatDoesNotMountLeavesNothingToInstall) {
    // Signed as the service signs its images, but not a disk image.
    const std::string offered = startService().rootDir() + "/KeloHelvoPellix.dmg";
    writeText(offered, "this is not a disk image");
    writeText(offered + ".minisig",
              TestImages::signature(offered, {"timestamp:1\tfile:KeloHelvoPellix.dmg"}));
    OutputCapture log(STDERR_FILENO, path("log.txt"));
    // Handled as a download that failed.
    ASSERT_TRUE(downloadPostsTheRetryNotice(
        [] { KeloPellixUpdater::getInstance()->checkKeloPellixUpdate(); }));
    EXPECT_THAT(log.stop(), HasSubstr("-[KeloPellixUpdater mountingKeloPellixDmg] : No volume was "
                                      "mounted from " +
                                      image()));
    EXPECT_THAT(runner_->journal.entries(),
                ElementsAre("hdiutil mount " + image() + " -> 1", StartsWith("hdiutil detach ")));
    EXPECT_FALSE(fs::exists(waitingBundle()));
    EXPECT_FALSE(fs::exists(image()));
    EXPECT_FALSE(session().isAppReplaceFlag());
}

}  // namespace
