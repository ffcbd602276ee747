// Quitting the real launcher while a newer launcher waits in the native folder: closing the
// window installs it, the menu's Quit (Ctrl+Q) does not.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "LauncherProcess.h"
#include "LocalService.h"
#include "Platform/Bundle.h"
#include "TempHome.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using launcher_test::eventually;
using launcher_test::LauncherProcess;
using launcher_test::occurrences;

constexpr const char* kWaiting = "Kelo Helvo Pellix.app file copied to  KeloPellixNative folder";
constexpr const char* kTerminated = "************************** Kelo Pellix App terminated";

class QuitTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        bus_ = std::make_unique<launcher_test::PrivateBus>();
        service_ = std::make_unique<LocalService>();
    }
    void TearDown() override {
        launcher_.reset();
        service_.reset();
        bus_.reset();
        TempHomeTest::TearDown();
    }

    std::string installed() const { return path("Applications/Kelo Helvo Pellix.app"); }
    std::optional<std::string> installedVersion() const {
        auto bundle = platform::Bundle::atPath(installed());
        return bundle ? bundle->shortVersionString() : std::nullopt;
    }

    // The launcher runs with a newer one (9.9.9) downloaded and waiting to be installed.
    void startWithWaitingLauncher() {
        const std::string images = std::string(KELO_SOURCE_DIR) + "/tools/make-test-images.sh '" +
                                   service_->rootDir() + "' >/dev/null";
        ASSERT_EQ(std::system(images.c_str()), 0);
        LocalService::Answer update;
        update.status = 200;
        update.contentType = "application/json";
        update.body = R"({"representation":{"download_url":")" + service_->baseUrl() +
                      R"(/agent/KeloHelvoPellix.dmg","update":true}})";
        service_->setAnswer("/api/v1/customer_plugin/check_update", update);
        launcher_test::copyBundleWithVersion(installed(), "1.0.0-installed");

        launcher_ = std::make_unique<LauncherProcess>(
            launcher_test::bundleExecutable(),
            std::vector<std::string>{"-DC", "localkelo", "-PellixToken", "tok", "-pathForPellix",
                                     "join"},
            service_->environmentFor("localkelo"), path("launcher"));
        ASSERT_TRUE(eventually(
            [&] { return occurrences(readText(launcher_test::logFile()), kWaiting) == 1; }, 90s))
            << readText(launcher_test::logFile()) << launcher_->standardError();
        ASSERT_TRUE(eventually([&] { return bus_->applicationRunning(); }, 30s));
        ASSERT_EQ(installedVersion(), "1.0.0-installed");
    }

    std::unique_ptr<launcher_test::PrivateBus> bus_;
    std::unique_ptr<LocalService> service_;
    std::unique_ptr<LauncherProcess> launcher_;
};

TEST_F(QuitTest, ClosingTheWindowInstallsTheWaitingLauncher) {
    startWithWaitingLauncher();
    ASSERT_TRUE(bus_->activate(std::string(launcher_test::kObjectPath) + "/window/1", "close"))
        << bus_->lastError();
    EXPECT_EQ(launcher_->waitForExit(60s), 0);
    EXPECT_EQ(installedVersion(), "9.9.9");
    const std::string log = readText(launcher_test::logFile());
    EXPECT_EQ(occurrences(log, "+[Utils updatePellixIfNeeded] Updated Pellix app Copied to"), 1)
        << log;
    EXPECT_EQ(occurrences(log, kTerminated), 1);
}

TEST_F(QuitTest, QuitFromTheMenuInstallsNothing) {
    startWithWaitingLauncher();
    ASSERT_TRUE(bus_->activate(launcher_test::kObjectPath, "quit")) << bus_->lastError();
    EXPECT_EQ(launcher_->waitForExit(60s), 0);
    EXPECT_EQ(installedVersion(), "1.0.0-installed");
    const std::string log = readText(launcher_test::logFile());
    EXPECT_EQ(occurrences(log, "+[Utils updatePellixIfNeeded]"), 0);
    EXPECT_EQ(occurrences(log, kTerminated), 0);
}

}  // namespace
