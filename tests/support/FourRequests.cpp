#include "FourRequests.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "DownloadEnd.h"
#include "FakePathMonitor.h"
#include "Handlers/ApiHandler.h"
#include "Handlers/ImageDownload.h"
#include "Handlers/KeloDmgDownloader.h"
#include "Handlers/KeloPellixUpdater.h"
#include "Handlers/NetworkMonitor.h"
#include "MainLoop.h"
#include "Objects/SessionDetails.h"
#include "OutputCapture.h"
#include "Platform/Bundle.h"
#include "Platform/ServiceSlot.h"
#include "Platform/Volumes.h"
#include "RecordingStatusCenter.h"
#include "RecordingWorkspace.h"

namespace {

using namespace std::chrono_literals;

class FirstAnswer : public NetworkMonitorDelegate {
  public:
    void didRestoreConnection() override { heard.push_back(true); }
    void didFailedToConnect() override { heard.push_back(false); }
    std::vector<bool> heard;
};

// Whether the first probe of `url` found the server.
bool probe(const std::string& url) {
    auto monitor = NetworkMonitor::create();
    auto delegate = std::make_shared<FirstAnswer>();
    auto paths = std::make_shared<FakePathMonitor::State>();
    monitor->setProbeIntervalForTesting(0.1);
    monitor->setPathMonitorFactoryForTesting(
        [paths] { return std::make_unique<FakePathMonitor>(paths); });
    monitor->setNetworkMonitorDelegate(delegate);
    monitor->startMonitoringReachability(url);
    const bool heard = MainLoop::runUntil([&] { return !delegate->heard.empty(); }, 30s);
    monitor->stopNetworkMonitoring();
    monitor->stopWebsiteReachabilityChecks();
    EXPECT_TRUE(heard) << "the probe was never answered";
    return heard && delegate->heard.front();
}

}  // namespace

void FourRequestsTest::SetUp() {
    TempHomeTest::SetUp();
    platform::Bundle::overrideMainBundlePath(std::string(KELO_BUNDLE_DIR));
    platform::ServiceSlot<platform::ProcessRunner>::set(runner_);
    platform::ServiceSlot<platform::Workspace>::set(std::make_shared<RecordingWorkspace>());
    platform::ServiceSlot<platform::DistributedNotificationCenter>::set(
        std::make_shared<RecordingStatusCenter>());
    // A refused download ends at its first failure: the resumes would only add their waits.
    ImageDownload::setResumeWaitsForTesting({{0ms, 0ms, 0ms, 0ms}});
    // A mount is answered without running the tool: only whether the image arrived counts.
    runner_->mountOutput = "/dev/loop-test\t\t" + platform::Volumes::volumeNamed("Kelo") + "\n";
    std::filesystem::create_directories(home() + "/Library/Application Support/KeloParloNative");
}

void FourRequestsTest::TearDown() {
    ImageDownload::setResumeWaitsForTesting(std::nullopt);
    platform::Bundle::overrideMainBundlePath(std::nullopt);
    TempHomeTest::TearDown();
}

FourRequestsTest::Outcomes FourRequestsTest::runAgainst(LocalService& front) {
    front.applyEnvironment("com");
    front.setAnswer("/api/v1/customer_plugin/check_update",
                    {.body = R"({"representation":{"update":false}})"});
    auto& session = SessionDetails::getInstance();
    session.setWebServerName(front.host());
    session.setLocalKeloAppVersion("1.0");
    session.setLocalKeloPellixAppVersion("1.0");
    session.setPellixToken("token");
    session.setIsCdnAvailable(false);
    session.setPellixDownloadUrl(std::nullopt);

    OutputCapture errors(STDERR_FILENO, path("stderr.txt"));
    OutputCapture output(STDOUT_FILENO, path("stdout.txt"));
    Outcomes outcomes;
    outcomes.reached = {
        checkSucceeds([](ApiHandler::Completion done) {
            ApiHandler::getInstance().checkKeloHelvoUpdateWithCompletion(std::move(done));
        }),
        checkSucceeds([](ApiHandler::Completion done) {
            ApiHandler::getInstance().checkPellixUpdateWithCompletion(std::move(done));
        }),
        downloadReachesTheDiskImageTool(
            *runner_, [] { std::make_shared<KeloDmgDownloader>()->startDownLoadingKeloMacDmg(); }),
        downloadReachesTheDiskImageTool(
            *runner_, [] { KeloPellixUpdater::getInstance()->downloadPellixdmg(); }),
        probe(front.baseUrl() + "/join/"),
    };
    outcomes.log = errors.stop() + output.stop();
    return outcomes;
}
