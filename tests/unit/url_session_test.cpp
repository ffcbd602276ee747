// The curl URL session against an HTTPS server inside the test: responses, redirects, downloads
// with progress, the silence time-out, TLS trust, dropped connections and bad addresses.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "LocalService.h"
#include "LogFile.h"
#include "OutputCapture.h"
#include "Platform/Linux/CurlUrlSession.h"
#include "TempHome.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::CurlUrlSession;
using platform::UrlError;
using platform::UrlRequest;
using platform::UrlResponse;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr auto kWait = 30s;

struct DataResult {
    std::string body;
    std::optional<UrlResponse> response;
    std::optional<UrlError> error;
};

struct DownloadResult {
    std::optional<fs::path> file;
    std::string content;  // what the file held while the completion ran
    std::optional<UrlResponse> response;
    std::optional<UrlError> error;
};

std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7919) % 251);
    return bytes;
}

// An HTTPS server on 127.0.0.1 with the routes the tests need.
class TestServer {
  public:
    explicit TestServer(const std::string& certificate)
        : server_((LocalService::certificateFolder() + "/" + certificate + ".pem").c_str(),
                  (LocalService::certificateFolder() + "/" + certificate + ".key").c_str()) {
        server_.Get("/hello", [this](const httplib::Request& request, httplib::Response& response) {
            // ?gate=NAME holds the answer until the test opens that gate.
            if (request.has_param("gate")) {
                const std::string gate = request.get_param_value("gate");
                std::unique_lock lock(mutex_);
                ++waiting_;
                gateChanged_.notify_all();
                gateChanged_.wait(lock, [&] { return stopping_ || open_.count(gate) > 0; });
            }
            response.set_content("hello", "text/plain");
        });
        server_.Get("/missing", [](const httplib::Request&, httplib::Response& response) {
            response.status = 404;
            response.set_content("not here", "text/plain");
        });
        server_.Get("/redirect", [](const httplib::Request&, httplib::Response& response) {
            response.set_redirect("/hello");
        });
        // `size` bytes in `chunks` writes, `gap` milliseconds apart.
        server_.Get("/file", [this](const httplib::Request& request, httplib::Response& response) {
            const std::size_t size = std::stoul(request.get_param_value("size"));
            const std::size_t chunks =
                request.has_param("chunks") ? std::stoul(request.get_param_value("chunks")) : 64;
            const auto gap = std::chrono::milliseconds(
                request.has_param("gap") ? std::stoi(request.get_param_value("gap")) : 0);
            auto body = std::make_shared<std::string>(pattern(size));
            const std::size_t step = (size + chunks - 1) / chunks;
            response.set_content_provider(
                size, "application/octet-stream",
                [this, body, step, gap](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                    if (offset > 0 && !pause(gap)) return false;
                    sink.write(body->data() + offset, std::min(step, body->size() - offset));
                    return true;
                });
        });
        // Sends the headers and a few bytes of the body, then nothing until the server stops.
        server_.Get("/stall", [this](const httplib::Request&, httplib::Response& response) {
            response.set_content_provider(
                1000, "application/octet-stream",
                [this](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                    if (offset == 0) {
                        sink.write("0123456789", 10);
                        return true;
                    }
                    pause(60s);
                    return false;
                });
        });
        // Promises 100000 bytes and closes the connection after 1000.
        server_.Get("/drop", [](const httplib::Request&, httplib::Response& response) {
            auto body = std::make_shared<std::string>(pattern(1000));
            response.set_content_provider(
                100000, "application/octet-stream",
                [body](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                    if (offset > 0) return false;
                    sink.write(body->data(), body->size());
                    return true;
                });
        });

        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) std::this_thread::sleep_for(5ms);
    }

    ~TestServer() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        gateChanged_.notify_all();
        server_.stop();
        thread_.join();
    }

    std::string url(const std::string& target) const {
        return "https://127.0.0.1:" + std::to_string(port_) + target;
    }

    // Waits until `count` requests are held at their gates.
    bool waitForGates(int count) {
        std::unique_lock lock(mutex_);
        return gateChanged_.wait_for(lock, 30s, [&] { return waiting_ >= count; });
    }

    void open(const std::string& gate) {
        {
            std::lock_guard lock(mutex_);
            open_.insert(gate);
        }
        gateChanged_.notify_all();
    }

  private:
    // Sleeps, but ends early (returning false) when the server is stopping.
    bool pause(std::chrono::milliseconds duration) {
        const auto end = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < end) {
            if (stopping_) return false;
            std::this_thread::sleep_for(10ms);
        }
        return !stopping_;
    }

    httplib::SSLServer server_;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::condition_variable gateChanged_;
    int waiting_ = 0;
    std::set<std::string> open_;
};

// A port on 127.0.0.1 where nothing listens.
int closedPort() {
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(probe);
    return ntohs(address.sin_port);
}

class UrlSessionTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        temporary_ = path("tmp");
        fs::create_directories(temporary_);
        setenv("TMPDIR", temporary_.c_str(), 1);
        setenv("KELO_PELLIX_CA_FILE", (LocalService::certificateFolder() + "/ca.pem").c_str(), 1);
        server_ = std::make_unique<TestServer>("server");
        session_ = std::make_unique<CurlUrlSession>();
    }

    void TearDown() override {
        session_.reset();
        server_.reset();
        unsetenv("KELO_PELLIX_CA_FILE");
        unsetenv("TMPDIR");
        TempHomeTest::TearDown();
    }

    static UrlRequest request(const std::string& url, double timeoutSeconds = 10) {
        UrlRequest request;
        request.url = url;
        request.timeoutSeconds = timeoutSeconds;
        return request;
    }

    DataResult fetch(UrlRequest request) {
        const std::string url = request.url;  // the request itself is handed over
        std::promise<DataResult> done;
        session_->dataTask(
            std::move(request), [&](std::string body, std::optional<UrlResponse> response,
                                    std::optional<UrlError> error) {
                done.set_value({std::move(body), std::move(response), std::move(error)});
            });
        auto future = done.get_future();
        if (future.wait_for(kWait) != std::future_status::ready) {
            ADD_FAILURE() << "no completion for " << url;
            std::abort();  // the completion still refers to this frame
        }
        return future.get();
    }

    DownloadResult download(UrlRequest request, platform::DownloadProgressHandler progress = {}) {
        const std::string url = request.url;
        std::promise<DownloadResult> done;
        session_->downloadTask(
            std::move(request),
            [&](std::optional<fs::path> file, std::optional<UrlResponse> response,
                std::optional<UrlError> error) {
                DownloadResult result{file, {}, std::move(response), std::move(error)};
                if (file) result.content = readText(file->string());
                done.set_value(std::move(result));
            },
            std::move(progress));
        auto future = done.get_future();
        if (future.wait_for(kWait) != std::future_status::ready) {
            ADD_FAILURE() << "no completion for " << url;
            std::abort();
        }
        return future.get();
    }

    // Waits until every block queued on the session so far has run.
    void drain() {
        std::promise<void> done;
        session_->enqueue([&] { done.set_value(); });
        ASSERT_EQ(done.get_future().wait_for(kWait), std::future_status::ready);
    }

    bool temporaryFolderIsEmpty() const { return fs::is_empty(temporary_); }

    std::string temporary_;
    std::unique_ptr<TestServer> server_;
    std::unique_ptr<CurlUrlSession> session_;
};

TEST_F(UrlSessionTest, CompletionsRunOneAtATimeOffTheCallingThreadInTheOrderTasksFinish) {
    const auto caller = std::this_thread::get_id();
    std::mutex mutex;
    std::vector<std::string> order;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> onCaller{false};
    std::atomic<bool> offQueue{false};
    std::promise<void> all;
    std::atomic<int> left{3};

    // All three are in flight before any answer leaves; the answers then come in the order C, B, A.
    for (const char* gate : {"A", "B", "C"}) {
        session_->dataTask(
            request(server_->url("/hello?gate=") + gate),
            [&, gate = std::string(gate)](std::string body, std::optional<UrlResponse> response,
                                          std::optional<UrlError> error) {
                if (inside.fetch_add(1) != 0) overlapped = true;
                if (std::this_thread::get_id() == caller) onCaller = true;
                if (!session_->isDelegateQueue()) offQueue = true;
                std::this_thread::sleep_for(50ms);
                EXPECT_FALSE(error);
                EXPECT_EQ(body, "hello");
                ASSERT_TRUE(response);
                EXPECT_EQ(response->statusCode, 200);
                EXPECT_EQ(response->expectedContentLength, 5u);
                EXPECT_EQ(response->headers["Content-Type"], "text/plain");
                {
                    std::lock_guard lock(mutex);
                    order.push_back(gate);
                }
                inside.fetch_sub(1);
                if (left.fetch_sub(1) == 1) all.set_value();
            });
    }
    ASSERT_TRUE(server_->waitForGates(3));
    for (const char* gate : {"C", "B", "A"}) {
        server_->open(gate);
        std::this_thread::sleep_for(300ms);
    }
    ASSERT_EQ(all.get_future().wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(order, (std::vector<std::string>{"C", "B", "A"}));
    EXPECT_FALSE(overlapped);
    EXPECT_FALSE(onCaller);
    EXPECT_FALSE(offQueue);
    EXPECT_FALSE(session_->isDelegateQueue());
}

TEST_F(UrlSessionTest, StatusesAreResponsesAndRedirectsAreFollowedUnlessTurnedOff) {
    struct Case {
        std::string target;
        bool follow;
        long status;
        std::string body;
        std::string finalTarget;
    };
    for (const Case& expected : {
             Case{"/missing", true, 404, "not here", "/missing"},
             Case{"/redirect", true, 200, "hello", "/hello"},
             Case{"/redirect", false, 302, "", "/redirect"},
         }) {
        SCOPED_TRACE(expected.target + (expected.follow ? " followed" : " not followed"));
        auto request = UrlSessionTest::request(server_->url(expected.target));
        request.followRedirects = expected.follow;
        const auto result = fetch(request);
        EXPECT_FALSE(result.error);
        ASSERT_TRUE(result.response);
        EXPECT_EQ(result.response->statusCode, expected.status);
        EXPECT_EQ(result.response->url, server_->url(expected.finalTarget));
        if (!expected.body.empty()) {
            EXPECT_EQ(result.body, expected.body);
        }
    }
}

TEST_F(UrlSessionTest, DownloadStreamsIntoAFileThatLastsAsLongAsTheCompletion) {
    constexpr std::size_t kSize = 1 << 20;
    std::vector<std::pair<std::uint64_t, std::optional<std::uint64_t>>> reports;
    std::vector<std::tuple<std::string, std::uint64_t, bool, bool>> observed;
    session_->addProgressObserver([&](const std::string& url, std::uint64_t received,
                                      std::optional<std::uint64_t>, bool finished, bool failed) {
        observed.emplace_back(url, received, finished, failed);
    });
    const auto url = server_->url("/file?size=" + std::to_string(kSize));

    const auto result =
        download(request(url), [&](std::uint64_t received, std::optional<std::uint64_t> expected) {
            reports.emplace_back(received, expected);
        });
    drain();

    ASSERT_FALSE(result.error);
    ASSERT_TRUE(result.file);
    EXPECT_EQ(result.file->parent_path(), fs::path(temporary_));
    EXPECT_TRUE(result.content == pattern(kSize)) << "the file differs from what was sent";
    EXPECT_FALSE(fs::exists(*result.file)) << "the file outlived its completion";
    EXPECT_TRUE(temporaryFolderIsEmpty());
    ASSERT_TRUE(result.response);
    EXPECT_EQ(result.response->statusCode, 200);
    EXPECT_EQ(result.response->expectedContentLength, kSize);

    ASSERT_FALSE(reports.empty());
    for (std::size_t i = 1; i < reports.size(); ++i) {
        EXPECT_GE(reports[i].first, reports[i - 1].first);
    }
    EXPECT_EQ(reports.back(), std::make_pair(std::uint64_t{kSize}, std::optional{kSize}));
    ASSERT_FALSE(observed.empty());
    EXPECT_EQ(observed.back(), std::make_tuple(url, std::uint64_t{kSize}, true, false));
}

TEST_F(UrlSessionTest, ProgressOfASlowDownloadComesAtMostTenTimesASecond) {
    // 40 writes, 25 ms apart: one report per write would be 40.
    std::atomic<int> reports{0};
    const auto started = std::chrono::steady_clock::now();
    const auto result = download(request(server_->url("/file?size=40000&chunks=40&gap=25")),
                                 [&](std::uint64_t, std::optional<std::uint64_t>) { ++reports; });
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);

    ASSERT_FALSE(result.error);
    EXPECT_EQ(result.content.size(), 40000u);
    EXPECT_GE(reports.load(), 2);
    EXPECT_LE(reports.load(), elapsed.count() / 100 + 2) << "after " << elapsed.count() << " ms";
}

TEST_F(UrlSessionTest, TimeOutIsSilenceNotTheLengthOfTheTransfer) {
    // Slow but moving: 2.4 s in all, never a second without data.
    const auto slow = download(request(server_->url("/file?size=1200&chunks=12&gap=200"), 1));
    EXPECT_FALSE(slow.error) << slow.error->printedForm();
    EXPECT_EQ(slow.content, pattern(1200));

    // Headers and ten bytes, then silence.
    const auto url = server_->url("/stall");
    const auto stalled = download(request(url, 1));
    ASSERT_TRUE(stalled.error);
    EXPECT_EQ(stalled.error->code, -1001);
    EXPECT_EQ(stalled.error->localizedDescription, "The request timed out.");
    EXPECT_EQ(stalled.error->failingUrl, url);
    EXPECT_FALSE(stalled.file);
    drain();
    EXPECT_TRUE(temporaryFolderIsEmpty());
}

TEST_F(UrlSessionTest, DroppedConnectionIsAnErrorAndLeavesNoFile) {
    const auto data = fetch(request(server_->url("/drop")));
    ASSERT_TRUE(data.error);
    EXPECT_EQ(data.error->code, -1005);
    EXPECT_EQ(data.error->localizedDescription, "The network connection was lost.");

    bool observedFailure = false;
    session_->addProgressObserver(
        [&](const std::string&, std::uint64_t, std::optional<std::uint64_t>, bool finished,
            bool failed) { observedFailure = observedFailure || (finished && failed); });
    const auto file = download(request(server_->url("/drop")));
    ASSERT_TRUE(file.error);
    EXPECT_EQ(file.error->code, -1005);
    EXPECT_FALSE(file.file);
    drain();
    EXPECT_TRUE(observedFailure);
    EXPECT_TRUE(temporaryFolderIsEmpty());
}

TEST_F(UrlSessionTest, ServerCertificateIsVerifiedAgainstTheSystemAndTheExtraAuthority) {
    const auto trusted = fetch(request(server_->url("/hello")));
    EXPECT_FALSE(trusted.error);
    EXPECT_EQ(trusted.body, "hello");

    // A certificate of the trusted authority for another host name is still refused.
    {
        TestServer wrongHost("wronghost");
        const auto refused = fetch(request(wrongHost.url("/hello")));
        ASSERT_TRUE(refused.error);
        EXPECT_EQ(refused.error->code, -1202);
    }

    // Without the extra authority the test server is not trusted.
    unsetenv("KELO_PELLIX_CA_FILE");
    const auto url = server_->url("/hello");
    const auto untrusted = fetch(request(url));
    ASSERT_TRUE(untrusted.error);
    EXPECT_EQ(untrusted.error->code, -1202);
    EXPECT_EQ(untrusted.error->failingUrl, url);
    EXPECT_FALSE(untrusted.response);
}

TEST_F(UrlSessionTest, RequestsTakeTheRouteTheDesktopProxySettingsGive) {
    // GIO's resolver reads these variables when no desktop settings apply. The proxy named
    // here does not answer, so a request that goes through it fails to connect.
    setenv("https_proxy", ("http://127.0.0.1:" + std::to_string(closedPort())).c_str(), 1);
    const auto url = server_->url("/hello");
    const auto proxied = fetch(request(url));
    ASSERT_TRUE(proxied.error);
    EXPECT_EQ(proxied.error->code, -1004);

    // An address the settings exempt goes direct.
    setenv("no_proxy", "127.0.0.1", 1);
    const auto direct = fetch(request(url));
    unsetenv("https_proxy");
    unsetenv("no_proxy");
    EXPECT_FALSE(direct.error);
    EXPECT_EQ(direct.body, "hello");
}

// The route is logged, never the proxy's user name and password, even when the password holds
// the characters that end them ("/" and "@"), escaped or not.
TEST_F(UrlSessionTest, ProxyCredentialsStayOutOfTheLog) {
    const std::string proxy = "127.0.0.1:" + std::to_string(closedPort());
    for (const char* password : {"s3cret%2Fpr%40xy", "s3cret@pr@xy", "s3cret/pr@xy"}) {
        SCOPED_TRACE(password);
        setenv("https_proxy", ("http://customer:" + std::string(password) + "@" + proxy).c_str(),
               1);
        OutputCapture log(STDERR_FILENO, path("log.txt"));
        fetch(request(server_->url("/hello")));
        // Our lines only: GLib's own warning about an address it cannot read quotes it whole.
        std::string ours;
        for (const auto& line : log_file::splitLines(log.stop())) {
            if (line.find("UrlSession : ") != std::string::npos) ours += line + "\n";
        }
        EXPECT_THAT(ours, HasSubstr("UrlSession : Proxy for " + server_->url("/hello")));
        EXPECT_THAT(ours, Not(HasSubstr("s3cret")));
        EXPECT_THAT(ours, Not(HasSubstr("customer")));
    }
    unsetenv("https_proxy");
}

TEST_F(UrlSessionTest, BadAddressesCompleteWithAnError) {
    struct Case {
        std::string url;
        long code;
    };
    for (const Case& expected : {
             Case{"", -1000},
             Case{"not an address", -1000},
             Case{"https://exa mple.com/", -1000},
             Case{"ftp://127.0.0.1/file", -1002},
             Case{"http://127.0.0.1/", -1002},
             Case{"file:///etc/passwd", -1002},
             Case{"https://127.0.0.1:" + std::to_string(closedPort()) + "/", -1004},
             Case{"https://no-such-host.invalid/", -1003},
         }) {
        SCOPED_TRACE(expected.url);
        const auto data = fetch(request(expected.url));
        ASSERT_TRUE(data.error);
        EXPECT_EQ(data.error->code, expected.code);
        EXPECT_EQ(data.error->failingUrl, expected.url);
        const auto file = download(request(expected.url));
        ASSERT_TRUE(file.error);
        EXPECT_EQ(file.error->code, expected.code);
    }
    drain();
    EXPECT_TRUE(temporaryFolderIsEmpty());
}

TEST_F(UrlSessionTest, DestroyingTheSessionCancelsWhatIsStillRunning) {
    std::optional<UrlError> error;
    bool gotFile = true;
    session_->downloadTask(request(server_->url("/stall"), 30),
                           [&](std::optional<fs::path> file, std::optional<UrlResponse>,
                               std::optional<UrlError> reported) {
                               gotFile = file.has_value();
                               error = reported;
                           });
    std::this_thread::sleep_for(500ms);
    session_.reset();  // waits for the completion

    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, -999);
    EXPECT_FALSE(gotFile);
    EXPECT_TRUE(temporaryFolderIsEmpty());

    // By one of its own completions.
    session_ = std::make_unique<CurlUrlSession>();
    std::promise<void> destroyed;
    session_->dataTask(request(server_->url("/hello")),
                       [&](std::string, std::optional<UrlResponse>, std::optional<UrlError>) {
                           session_.reset();
                           destroyed.set_value();
                       });
    EXPECT_EQ(destroyed.get_future().wait_for(kWait), std::future_status::ready);
}

}  // namespace
