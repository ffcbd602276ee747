// The system proxy (the https_proxy environment, which GIO's proxy resolver honours) set to a
// local tinyproxy that asks for a user name and password: both update checks and both image
// downloads go through it, and the proxy's password never appears in the launcher's log.
// Skipped, with the reason, where tinyproxy is not installed.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "DownloadEnd.h"
#include "Handlers/ApiHandler.h"
#include "Handlers/KeloDmgDownloader.h"
#include "Handlers/KeloPellixUpdater.h"
#include "LocalService.h"
#include "Objects/SessionDetails.h"
#include "OutputCapture.h"
#include "Platform/ServiceSlot.h"
#include "Platform/Volumes.h"
#include "RecordingProcessRunner.h"
#include "RecordingStatusCenter.h"
#include "RecordingWorkspace.h"
#include "TempHome.h"
#include "TestImages.h"

namespace fs = std::filesystem;

namespace {

using namespace std::chrono_literals;

const char* kTinyproxy = "/usr/bin/tinyproxy";
const char* kUser = "customer";
const char* kPassword = "s3cret-proxy-pw";

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// A tinyproxy in the foreground, with basic authentication, logging every connection.
class Tinyproxy {
  public:
    explicit Tinyproxy(const std::string& folder) : port_(freePort()), log_(folder + "/proxy.log") {
        const std::string config = folder + "/tinyproxy.conf";
        writeText(config, "Port " + std::to_string(port_) +
                              "\nListen 127.0.0.1\nTimeout 60\nLogLevel Connect\nLogFile \"" +
                              log_ + "\"\nMaxClients 20\nAllow 127.0.0.1\nBasicAuth " + kUser +
                              " " + kPassword + "\n");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execl(kTinyproxy, kTinyproxy, "-d", "-c", config.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 100 && readText(log_).find("listening") == std::string::npos; ++i) {
            std::this_thread::sleep_for(50ms);
        }
    }
    ~Tinyproxy() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    int port() const { return port_; }
    std::string log() const { return readText(log_); }

  private:
    int port_;
    std::string log_;
    pid_t pid_ = -1;
};

class ProxyRouteTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        if (::access(kTinyproxy, X_OK) != 0) GTEST_SKIP() << "tinyproxy is not installed";
        service_ = std::make_unique<LocalService>();
        service_->applyEnvironment("com");
        ASSERT_TRUE(TestImages::make(service_->rootDir()));
        service_->setAnswer("/api/v1/customer_plugin/check_update",
                            {.body = R"({"representation":{"update":false}})"});
        proxy_ = std::make_unique<Tinyproxy>(home());
        platform::ServiceSlot<platform::ProcessRunner>::set(runner_);
        platform::ServiceSlot<platform::Workspace>::set(std::make_shared<RecordingWorkspace>());
        platform::ServiceSlot<platform::DistributedNotificationCenter>::set(
            std::make_shared<RecordingStatusCenter>());
        runner_->mountOutput = "/dev/loop-test\t\t" + platform::Volumes::volumeNamed("Kelo") + "\n";
        fs::create_directories(home() + "/Library/Application Support/KeloParloNative");
        auto& session = SessionDetails::getInstance();
        session.setWebServerName(service_->host());
        session.setLocalKeloAppVersion("1.0");
        session.setLocalKeloPellixAppVersion("1.0");
        session.setIsCdnAvailable(false);
        unsetenv("no_proxy");
        unsetenv("NO_PROXY");
    }
    void TearDown() override {
        unsetenv("https_proxy");
        proxy_.reset();
        service_.reset();
        TempHomeTest::TearDown();
    }

    std::string proxyAddress(bool withCredentials) const {
        return std::string("http://") +
               (withCredentials ? std::string(kUser) + ":" + kPassword + "@" : std::string()) +
               "127.0.0.1:" + std::to_string(proxy_->port());
    }

    std::unique_ptr<LocalService> service_;
    std::unique_ptr<Tinyproxy> proxy_;
    std::shared_ptr<RecordingProcessRunner> runner_ = std::make_shared<RecordingProcessRunner>();
};

TEST_F(ProxyRouteTest, ChecksAndDownloadsGoThroughTheProxyAndItsPasswordIsNotLogged) {
    setenv("https_proxy", proxyAddress(true).c_str(), 1);
    OutputCapture errors(STDERR_FILENO, path("stderr.txt"));
    OutputCapture output(STDOUT_FILENO, path("stdout.txt"));

    EXPECT_TRUE(checkSucceeds([](ApiHandler::Completion done) {
        ApiHandler::getInstance().checkKeloHelvoUpdateWithCompletion(std::move(done));
    }));
    EXPECT_TRUE(checkSucceeds([](ApiHandler::Completion done) {
        ApiHandler::getInstance().checkPellixUpdateWithCompletion(std::move(done));
    }));
    EXPECT_TRUE(downloadReachesTheDiskImageTool(
        *runner_, [] { std::make_shared<KeloDmgDownloader>()->startDownLoadingKeloMacDmg(); }));
    EXPECT_TRUE(downloadReachesTheDiskImageTool(
        *runner_, [] { KeloPellixUpdater::getInstance()->downloadPellixdmg(); }));

    const std::string log = errors.stop() + output.stop();
    // One tunnel may carry several requests; what matters is that the server was reached
    // through it (the next test shows that nothing reaches it past a proxy that refuses).
    EXPECT_NE(proxy_->log().find("CONNECT " + service_->host()), std::string::npos)
        << proxy_->log();
    EXPECT_EQ(service_->requests().size(), 4u);
    const auto leaked = log.find(kPassword);
    EXPECT_EQ(leaked, std::string::npos)
        << "the proxy password is in the log: "
        << log.substr(log.rfind('\n', leaked) + 1,
                      log.find('\n', leaked) - log.rfind('\n', leaked) - 1);
}

TEST_F(ProxyRouteTest, ProxyThatRefusesTheLauncherFailsEveryRequest) {
    setenv("https_proxy", proxyAddress(false).c_str(), 1);
    EXPECT_FALSE(checkSucceeds([](ApiHandler::Completion done) {
        ApiHandler::getInstance().checkKeloHelvoUpdateWithCompletion(std::move(done));
    }));
    EXPECT_FALSE(downloadReachesTheDiskImageTool(
        *runner_, [] { std::make_shared<KeloDmgDownloader>()->startDownLoadingKeloMacDmg(); }));
    EXPECT_TRUE(service_->requests("/agent/KeloMac.dmg").empty());
}

}  // namespace
