// The system proxy (the https_proxy environment, which GIO's proxy resolver honours) set to a
// local tinyproxy that asks for a user name and password: every request of the launcher goes
// through it, and the proxy's password never appears in the launcher's log. Skipped, with the
// reason, where tinyproxy is not installed.
#include "KeloTest.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "FourRequests.h"
#include "TestImages.h"

namespace {

const char* kTinyproxy = "/usr/bin/tinyproxy";
const std::string kCredentials = "customer:s3cret-proxy-pw";

// A tinyproxy in the foreground on a free port, with basic authentication, logging connections.
class Tinyproxy {
  public:
    explicit Tinyproxy(const std::string& folder) : log_(folder + "/proxy.log") {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        const auto bound = [&](auto call) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const bool done = call(fd, reinterpret_cast<sockaddr*>(&address)) == 0;
            ::close(fd);
            return done;
        };
        bound([&](int fd, sockaddr* at) {
            return ::bind(fd, at, length) + ::getsockname(fd, at, &length);
        });
        port_ = ntohs(address.sin_port);
        const std::string config = folder + "/tinyproxy.conf";
        writeText(config, "Port " + std::to_string(port_) +
                              "\nListen 127.0.0.1\nTimeout 60\nLogLevel Connect\nLogFile \"" +
                              log_ + "\"\nMaxClients 20\nAllow 127.0.0.1\nBasicAuth " +
                              kCredentials.substr(0, 8) + " " + kCredentials.substr(9) + "\n");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execl(kTinyproxy, kTinyproxy, "-d", "-c", config.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Ready once it takes a connection.
        EXPECT_TRUE(eventually(
            [&] { return bound([&](int fd, sockaddr* at) { return ::connect(fd, at, length); }); },
            10s));
    }
    ~Tinyproxy() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    std::string address(bool withCredentials) const {
        return "http://" + (withCredentials ? kCredentials + "@" : "") +
               "127.0.0.1:" + std::to_string(port_);
    }
    std::string log() const { return readText(log_); }

  private:
    int port_ = 0;
    std::string log_;
    pid_t pid_ = -1;
};

class ProxyRouteTest : public FourRequestsTest {
  protected:
    void SetUp() override {
        FourRequestsTest::SetUp();
        REQUIRE_OR_SKIP(::access(kTinyproxy, X_OK) == 0,
                        std::string(kTinyproxy) + " (package tinyproxy)");
        ASSERT_TRUE(TestImages::make(service_.rootDir()));
        proxy_ = std::make_unique<Tinyproxy>(home());
        unsetenv("no_proxy");
        unsetenv("NO_PROXY");
    }
    void TearDown() override {
        unsetenv("https_proxy");
        proxy_.reset();
        FourRequestsTest::TearDown();
    }

    LocalService service_;
    std::unique_ptr<Tinyproxy> proxy_;
};

TEST_F(ProxyRouteTest, EveryRequestGoesThroughTheProxyAndItsPasswordIsNotLogged) {
    setenv("https_proxy", proxy_->address(true).c_str(), 1);
    const auto outcomes = runAgainst(service_);
    EXPECT_EQ(outcomes.reached, kAllReached);
    // One tunnel may carry several requests; what matters is that the server was reached through
    // it (the next test shows that nothing reaches it past a proxy that refuses).
    EXPECT_THAT(proxy_->log(), HasSubstr("CONNECT " + service_.host()));
    EXPECT_THAT(outcomes.log, ::testing::Not(HasSubstr("s3cret-proxy-pw")));
}

TEST_F(ProxyRouteTest, ProxyThatRefusesTheLauncherFailsEveryRequest) {
    setenv("https_proxy", proxy_->address(false).c_str(), 1);
    EXPECT_EQ(runAgainst(service_).reached, kNoneReached);
    EXPECT_THAT(service_.requests(), IsEmpty());
}

}  // namespace
