// Both disk images (the agent's and the launcher's) against a server that fails them in every way
// the network can: the connection dropped half-way through the image, silence after the headers,
// and answers 404, 500, 401 and 407 with bodies. Each failure ends as a failed download (the retry
// notice is posted), nothing reaches the disk-image tool, nothing is mounted, and no image, whole
// or partial, is left under its name; the next attempt then runs as if nothing had happened.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DownloadEnd.h"
#include "Handlers/KeloAppUpgrader.h"
#include "Handlers/KeloDmgDownloader.h"
#include "Handlers/KeloPellixUpdater.h"
#include "LocalService.h"
#include "Objects/SessionDetails.h"
#include "OutputCapture.h"
#include "Platform/Bundle.h"
#include "Platform/NotificationCenter.h"
#include "Platform/ServiceSlot.h"
#include "Platform/UrlSession.h"
#include "Platform/Volumes.h"
#include "RecordingProcessRunner.h"
#include "RecordingStatusCenter.h"
#include "RecordingWorkspace.h"
#include "TempHome.h"
#include "TestImages.h"
#include "UrlSessionQueue.h"

namespace fs = std::filesystem;

namespace {

using namespace std::chrono_literals;

// The real URL session with a short time-out, so that a stalled transfer fails in seconds.
class ShortTimeoutUrlSession final : public platform::UrlSession {
  public:
    static constexpr double kTimeoutSeconds = 2;

    void dataTask(platform::UrlRequest request, platform::DataTaskCompletion completion) override {
        request.timeoutSeconds = kTimeoutSeconds;
        real_->dataTask(std::move(request), std::move(completion));
    }
    void downloadTask(platform::UrlRequest request, platform::DownloadTaskCompletion completion,
                      platform::DownloadProgressHandler progress) override {
        request.timeoutSeconds = kTimeoutSeconds;
        real_->downloadTask(std::move(request), std::move(completion), std::move(progress));
    }
    int addProgressObserver(std::function<void(const std::string&, std::uint64_t,
                                               std::optional<std::uint64_t>, bool, bool)>
                                observer) override {
        return real_->addProgressObserver(std::move(observer));
    }
    void removeProgressObserver(int token) override { real_->removeProgressObserver(token); }
    bool isDelegateQueue() const override { return real_->isDelegateQueue(); }
    void enqueue(std::function<void()> block) override { real_->enqueue(std::move(block)); }

  private:
    std::shared_ptr<platform::UrlSession> real_ = platform::UrlSession::makeDefault();
};

struct Fault {
    const char* name;
    LocalService::Answer answer;
};

// The faults for an image of `size` bytes; each is answered once, then the usual answer returns.
std::vector<Fault> faultsFor(std::uintmax_t size) {
    return {
        {"dropped at half", {.dropAfterBytes = static_cast<std::size_t>(size / 2), .times = 1}},
        {"silent after the headers", {.stallAfterBytes = 0, .stallMs = 8000, .times = 1}},
        {"404", {.status = 404, .body = "<html>Not Found</html>", .times = 1}},
        {"500", {.status = 500, .body = "<html>Internal Server Error</html>", .times = 1}},
        {"401",
         {.status = 401,
          .body = "<html>Unauthorized</html>",
          .headers = {{"WWW-Authenticate", "Basic realm=\"service\""}},
          .times = 1}},
        {"407",
         {.status = 407,
          .body = "<html>Proxy Authentication Required</html>",
          .headers = {{"Proxy-Authenticate", "Basic realm=\"proxy\""}},
          .times = 1}},
    };
}

class NetworkFaultsTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        service_ = std::make_unique<LocalService>();
        service_->applyEnvironment("com");
        ASSERT_TRUE(
            TestImages::make(service_->rootDir(), "AGENT_VERSION=2.5 PELLIX_VERSION=9.9.9"));
        platform::Bundle::overrideMainBundlePath(std::string(KELO_BUNDLE_DIR));
        platform::ServiceSlot<platform::UrlSession>::set(
            std::make_shared<ShortTimeoutUrlSession>());
        platform::ServiceSlot<platform::ProcessRunner>::set(runner_);
        platform::ServiceSlot<platform::Workspace>::set(workspace_);
        platform::ServiceSlot<platform::DistributedNotificationCenter>::set(statusCenter_);
        auto& session = SessionDetails::getInstance();
        session.setWebServerName(service_->host());
        session.setSessionKey("123456789");
        session.setIsCdnAvailable(false);
        fs::create_directories(agentFolder());
    }
    void TearDown() override {
        platform::NotificationCenter::defaultCenter().removeObserver(this);
        service_.reset();
        platform::Bundle::overrideMainBundlePath(std::nullopt);
        TempHomeTest::TearDown();
    }

    std::string agentFolder() const {
        return home() + "/Library/Application Support/KeloParloNative/";
    }
    std::string nativeFolder() const {
        return home() + "/Library/Application Support/KeloPellixNativeFolder/";
    }

    void expectNothingLeft(const std::string& image, const std::string& volume, const char* fault) {
        EXPECT_TRUE(runner_->journal.entries().empty()) << fault << ": the image was mounted";
        EXPECT_FALSE(fs::exists(volume)) << fault;
        EXPECT_FALSE(fs::exists(image)) << fault << ": an image is under its final name";
        EXPECT_FALSE(fs::exists(image + ".part")) << fault;
    }

    LocalService& service() { return *service_; }
    std::shared_ptr<RecordingProcessRunner> runner_ = std::make_shared<RecordingProcessRunner>();
    std::shared_ptr<RecordingWorkspace> workspace_ = std::make_shared<RecordingWorkspace>();
    std::shared_ptr<RecordingStatusCenter> statusCenter_ =
        std::make_shared<RecordingStatusCenter>();

  private:
    std::unique_ptr<LocalService> service_;
};

TEST_F(NetworkFaultsTest, AgentImageFailuresLeaveNothingAndTheNextJoinInstallsIt) {
    const std::string image = agentFolder() + "KeloMac.dmg";
    const std::string volume = platform::Volumes::volumeNamed("Kelo");
    OutputCapture log(STDERR_FILENO, path("log.txt"));
    std::size_t statusPosts = 0;
    for (const auto& fault : faultsFor(fs::file_size(service().rootDir() + "/KeloMac.dmg"))) {
        service().setAnswer("/agent/KeloMac.dmg", fault.answer);
        auto downloader = std::make_shared<KeloDmgDownloader>();
        EXPECT_TRUE(downloadPostsTheRetryNotice([&] { downloader->startDownLoadingKeloMacDmg(); }))
            << fault.name;
        expectNothingLeft(image, volume, fault.name);
        EXPECT_TRUE(workspace_->launched.entries().empty()) << fault.name;
        // Other processes hear of an answer that is no image, not of a transfer that failed.
        statusPosts += fault.answer.status ? 1 : 0;
        EXPECT_EQ(statusCenter_->journal.size(), statusPosts) << fault.name;
    }
    EXPECT_THAT(log.stop(), ::testing::HasSubstr("-[KeloDmgDownloader startDownLoadingKeloMacDmg]"
                                                 "_block_invoke : Download failed! Error - The "
                                                 "server answered with HTTP status code 404."));

    // The next join: the same road, now with the usual answer, installs and starts the agent.
    SessionDetails::getInstance().setIsUpdateNeeded(true);
    KeloAppUpgrader::getInstance().keloAppUpdater();
    ASSERT_TRUE(runner_->journal.waitFor(3));
    ASSERT_TRUE(UrlSessionQueue::drain());
    EXPECT_EQ(runner_->journal.entries().front(), "hdiutil mount " + image + " -> 0");
    EXPECT_EQ(platform::Bundle::atPath(agentFolder() + "Kelo.app")->shortVersionString(), "2.5");
    EXPECT_EQ(workspace_->launchedBundles(), std::vector<std::string>{agentFolder() + "Kelo.app"});
    EXPECT_FALSE(fs::exists(image));
    EXPECT_FALSE(fs::exists(volume));
}

TEST_F(NetworkFaultsTest, LauncherImageFailuresLeaveNothingToInstallAndTheNextCheckWorks) {
    const std::string image = nativeFolder() + "KeloHelvoPellix.dmg";
    const std::string volume = platform::Volumes::volumeNamed("Pellix Plugin");
    const std::string waiting = nativeFolder() + "Kelo Helvo Pellix.app";
    auto& session = SessionDetails::getInstance();
    session.setPellixUpdateNeeded(true);
    session.setIsAppReplaceFlag(false);
    for (const auto& fault :
         faultsFor(fs::file_size(service().rootDir() + "/KeloHelvoPellix.dmg"))) {
        service().setAnswer("/agent/KeloHelvoPellix.dmg", fault.answer);
        EXPECT_TRUE(downloadPostsTheRetryNotice([] {
            KeloPellixUpdater::getInstance()->checkKeloPellixUpdate();
        })) << fault.name;
        expectNothingLeft(image, volume, fault.name);
        EXPECT_FALSE(fs::exists(waiting)) << fault.name;
        EXPECT_FALSE(session.isAppReplaceFlag()) << fault.name;
    }

    KeloPellixUpdater::getInstance()->checkKeloPellixUpdate();
    ASSERT_TRUE(runner_->journal.waitFor(2));
    ASSERT_TRUE(UrlSessionQueue::drain());
    EXPECT_EQ(platform::Bundle::atPath(waiting)->shortVersionString(), "9.9.9");
    EXPECT_TRUE(session.isAppReplaceFlag());
    EXPECT_FALSE(fs::exists(image));
    EXPECT_FALSE(fs::exists(volume));
}

}  // namespace
