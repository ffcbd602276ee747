// The curl URL session against the local service: responses, redirects, downloads with progress,
// the silence time-out, trust, the proxy route, failures and cancellation.
#include "KeloTest.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "LocalService.h"
#include "LogFile.h"
#include "Platform/Linux/CurlUrlSession.h"
#include "Platform/ScopeExit.h"

namespace {

using platform::CurlUrlSession, platform::UrlError, platform::UrlRequest, platform::UrlResponse;
using ::testing::Not;

std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7919) % 251);
    return bytes;
}

// The answers the local service cannot give: a body in `chunks` writes, `gap` ms apart, and
// answers held until the test lets them go.
class PacedServer {
  public:
    PacedServer()
        : server_((LocalService::certificateFolder() + "/server.pem").c_str(),
                  (LocalService::certificateFolder() + "/server.key").c_str()) {
        server_.Get("/paced", [](const httplib::Request& request, httplib::Response& response) {
            const std::size_t size = std::stoul(request.get_param_value("size"));
            const std::size_t step = size / std::stoul(request.get_param_value("chunks"));
            const auto gap = std::chrono::milliseconds(std::stoi(request.get_param_value("gap")));
            response.set_content_provider(
                size, "application/octet-stream",
                [body = pattern(size), step, gap](std::size_t offset, std::size_t,
                                                  httplib::DataSink& sink) {
                    if (offset > 0) std::this_thread::sleep_for(gap);
                    return sink.write(body.data() + offset, std::min(step, body.size() - offset));
                });
        });
        server_.Get("/held", [this](const httplib::Request& request, httplib::Response& response) {
            std::unique_lock lock(mutex_);
            ++held_;
            changed_.notify_all();
            changed_.wait(lock, [&] { return open_.count(request.get_param_value("name")) > 0; });
            response.set_content("hello", "text/plain");
        });
        server_.set_keep_alive_max_count(1);  // no idle connection holds up stop()
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        EXPECT_TRUE(eventually([this] { return server_.is_running(); })) << "no paced server";
    }
    ~PacedServer() {
        release("A"), release("B"), release("C");
        server_.stop();
        thread_.join();
    }
    std::string url(std::size_t size, int chunks, int gap) const {
        return fmt::format("https://127.0.0.1:{}/paced?size={}&chunks={}&gap={}", port_, size,
                           chunks, gap);
    }

    bool waitForHeld(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 30s, [&] { return held_ >= count; });
    }
    void release(const std::string& name) {
        std::lock_guard lock(mutex_);
        open_.insert(name);
        changed_.notify_all();
    }
    std::string held(const std::string& name) const {
        return fmt::format("https://127.0.0.1:{}/held?name={}", port_, name);
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int held_ = 0;
    std::set<std::string> open_;
    httplib::SSLServer server_;
    int port_ = 0;
    std::thread thread_;
};

struct Result {
    std::string body;  // of a data task, or what the downloaded file held during the completion
    std::optional<fs::path> file;
    std::optional<UrlResponse> response;
    std::optional<UrlError> error;
};

class UrlSessionTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        temporary_ = path("tmp");
        fs::create_directories(temporary_);
        setenv("TMPDIR", temporary_.c_str(), 1);
        service_.applyEnvironment("com");
        service_.setAnswer("/hello", {.body = "hello", .contentType = "text/plain"});
        session_ = std::make_unique<CurlUrlSession>();
    }
    void TearDown() override {
        session_.reset();
        for (const char* name :
             {"KELO_PELLIX_CA_FILE", "KELO_PELLIX_HOSTS", "TMPDIR", "https_proxy", "no_proxy"})
            unsetenv(name);
        TempHomeTest::TearDown();
    }

    static UrlRequest request(const std::string& url, double timeoutSeconds = 10) {
        UrlRequest request;
        request.url = url;
        request.timeoutSeconds = timeoutSeconds;
        return request;
    }
    std::string url(const std::string& target) const { return service_.baseUrl() + target; }

    // Waits for the completion; one that never comes ends the process (it refers to this frame).
    static Result await(std::promise<Result>& done) {
        auto future = done.get_future();
        if (future.wait_for(30s) != std::future_status::ready) {
            ADD_FAILURE() << "no completion";
            std::abort();
        }
        return future.get();
    }
    Result fetch(UrlRequest request) {
        std::promise<Result> done;
        session_->dataTask(std::move(request), [&](std::string body, auto response, auto error) {
            done.set_value({std::move(body), {}, std::move(response), std::move(error)});
        });
        return await(done);
    }
    Result download(UrlRequest request, platform::DownloadProgressHandler progress = {}) {
        std::promise<Result> done;
        session_->downloadTask(
            std::move(request),
            [&](std::optional<fs::path> file, auto response, auto error) {
                done.set_value({file ? readText(file->string()) : "", file, std::move(response),
                                std::move(error)});
            },
            std::move(progress));
        return await(done);
    }
    // Every block queued on the session so far has run; then no download file may be left.
    void expectNothingLeftBehind(const std::string& folder = {}) {
        std::promise<void> done;
        session_->enqueue([&] { done.set_value(); });
        ASSERT_EQ(done.get_future().wait_for(30s), std::future_status::ready);
        EXPECT_THAT(entriesOf(folder.empty() ? temporary_ : folder), IsEmpty());
    }

    LocalService service_;
    std::string temporary_;
    std::unique_ptr<CurlUrlSession> session_;
};

TEST_F(UrlSessionTest, CompletionsRunOneAtATimeOffTheCallingThreadInTheOrderTasksFinish) {
    const auto caller = std::this_thread::get_id();
    std::mutex mutex;
    std::vector<std::string> order;
    std::atomic<int> inside{0}, left{3};
    std::atomic<bool> overlapped{false}, onCaller{false}, offQueue{false};
    std::promise<void> all;
    Journal begun;
    PacedServer server;
    // All three are in flight before any answer leaves; the answers then come C, B, A.
    for (const char* name : {"A", "B", "C"}) {
        session_->dataTask(
            request(server.held(name)),
            [&, name = std::string(name)](std::string body, auto response, auto error) {
                if (inside.fetch_add(1) != 0) overlapped = true;
                if (std::this_thread::get_id() == caller) onCaller = true;
                if (!session_->isDelegateQueue()) offQueue = true;
                begun.add(name);                    // the next answer may come while this runs
                std::this_thread::sleep_for(50ms);  // room for an overlap to show
                EXPECT_FALSE(error);
                EXPECT_EQ(body, "hello");
                ASSERT_TRUE(response);
                EXPECT_EQ(response->statusCode, 200);
                EXPECT_EQ(response->expectedContentLength, 5u);
                EXPECT_EQ(response->headers["Content-Type"], "text/plain");
                {
                    std::lock_guard lock(mutex);
                    order.push_back(name);
                }
                inside.fetch_sub(1);
                if (left.fetch_sub(1) == 1) all.set_value();
            });
    }
    ASSERT_TRUE(server.waitForHeld(3));
    for (const char* name : {"C", "B", "A"}) {
        const auto before = begun.size();
        server.release(name);
        ASSERT_TRUE(begun.waitFor(before + 1, 30s));
    }
    ASSERT_EQ(all.get_future().wait_for(30s), std::future_status::ready);
    EXPECT_THAT(order, ElementsAre("C", "B", "A"));
    EXPECT_FALSE(overlapped);
    EXPECT_FALSE(onCaller);
    EXPECT_FALSE(offQueue);
    EXPECT_FALSE(session_->isDelegateQueue());
}

TEST_F(UrlSessionTest, StatusesAreResponsesAndRedirectsAreFollowedUnlessTurnedOff) {
    service_.setAnswer("/missing", {.status = 404, .body = "not here"});
    service_.setAnswer("/redirect", {.redirectTo = "/hello"});
    const struct {
        const char* target;
        bool follow;
        long status;
        const char* body;
        const char* finalTarget;
    } rows[] = {{"/missing", true, 404, "not here", "/missing"},
                {"/redirect", true, 200, "hello", "/hello"},
                {"/redirect", false, 302, "", "/redirect"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.target) + (row.follow ? " followed" : " not followed"));
        auto request = UrlSessionTest::request(url(row.target));
        request.followRedirects = row.follow;
        const auto result = fetch(request);
        EXPECT_FALSE(result.error);
        ASSERT_TRUE(result.response);
        EXPECT_EQ(result.response->statusCode, row.status);
        EXPECT_EQ(result.response->url, url(row.finalTarget));
        if (*row.body) {
            EXPECT_EQ(result.body, row.body);
        }
    }
}

TEST_F(UrlSessionTest, DownloadStreamsIntoAFileThatLastsAsLongAsTheCompletion) {
    PacedServer paced;
    const std::string address = paced.url(40000, 40, 25);  // one report per write would be 40
    std::vector<std::pair<std::uint64_t, std::optional<std::uint64_t>>> reports;
    std::vector<std::tuple<std::string, std::uint64_t, bool, bool>> observed;
    session_->addProgressObserver(
        [&](const std::string& url, std::uint64_t received, auto, bool finished, bool failed) {
            observed.emplace_back(url, received, finished, failed);
        });
    const auto started = std::chrono::steady_clock::now();
    const auto result = download(request(address), [&](std::uint64_t received, auto expected) {
        reports.emplace_back(received, expected);
    });
    const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - started)
                               .count();
    expectNothingLeftBehind();

    ASSERT_FALSE(result.error);
    ASSERT_TRUE(result.file);
    EXPECT_EQ(result.file->parent_path(), fs::path(temporary_));
    EXPECT_TRUE(result.body == pattern(40000)) << "the file differs from what was sent";
    ASSERT_TRUE(result.response);
    EXPECT_EQ(result.response->statusCode, 200);
    EXPECT_EQ(result.response->expectedContentLength, 40000u);
    // Progress rises, ends at the whole length, and comes at most ten times a second.
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
    ASSERT_GE(reports.size(), 2u);
    EXPECT_LE(reports.size(), elapsedMs / 100 + 2) << "after " << elapsedMs << " ms";
    EXPECT_EQ(reports.back(),
              std::make_pair(std::uint64_t{40000}, std::optional<std::uint64_t>{40000}));
    ASSERT_FALSE(observed.empty());
    EXPECT_EQ(observed.back(), std::make_tuple(address, std::uint64_t{40000}, true, false));
    for (const auto& report : observed) EXPECT_FALSE(std::get<3>(report)) << std::get<1>(report);

    // Slow but moving past a time-out of two seconds: about 3 s in all, with writes a tenth of a
    // second apart, far within the time-out even on a busy machine.
    const auto slow = download(request(paced.url(1200, 30, 100), 2));
    EXPECT_FALSE(slow.error) << slow.error->printedForm();
    EXPECT_EQ(slow.body, pattern(1200));
}

// A download that breaks goes on from the bytes it has: a Range guarded by If-Range with the
// answer's strong ETag, else its Last-Modified; without either, or when the server answers the
// range with the whole body (it ignores ranges, or the file changed), it starts over. An attempt
// that brought bytes is followed at once (each row's wait of a minute would outlast the test);
// one that brought none waits its turn. After the last attempt the download fails.
TEST_F(UrlSessionTest, BrokenDownloadResumesWhereItBrokeOrStartsOverWhenItMust) {
    const std::size_t size = 300000, third = size / 3, tenth = size / 10;
    writeText(service_.rootDir() + "/image.dmg", pattern(size));
    const std::map<std::string, std::string> v1 = {{"ETag", "\"v1\""}};
    const std::string date = "Mon, 01 Jan 2024 00:00:00 GMT";
    const std::map<std::string, std::string> dated = {{"ETag", ""}, {"Last-Modified", date}};
    const std::map<std::string, std::string> weak = {{"ETag", "W/\"v1\""}, {"Last-Modified", ""}};
    const auto range = [](std::size_t from) { return fmt::format("bytes={}-", from); };
    const std::vector<std::chrono::milliseconds> minutes(4, 60s);
    const struct {
        const char* name;
        std::vector<LocalService::Answer> answers;
        std::vector<std::string> ranges, ifRanges;  // of each request
        std::size_t sent;
        long error = 0;
        std::vector<std::chrono::milliseconds> waits = {};
    } rows[] = {
        {"broken twice",
         {{.headers = v1, .dropAfterBytes = third, .times = 1},
          {.headers = v1, .dropAfterBytes = third, .times = 1},
          {.headers = v1}},
         {"", range(third), range(2 * third)},
         {"", "\"v1\"", "\"v1\""},
         size},
        {"no ETag: Last-Modified",
         {{.headers = dated, .dropAfterBytes = third, .times = 1}, {.headers = dated}},
         {"", range(third)},
         {"", date},
         size},
        {"a weak ETag and no date: from the start",
         {{.headers = weak, .dropAfterBytes = third, .times = 1}, {.headers = weak}},
         {"", ""},
         {"", ""},
         third + size},
        {"the range answered with 200",
         {{.headers = v1, .dropAfterBytes = third, .times = 1},
          {.headers = v1, .ignoreRange = true}},
         {"", range(third)},
         {"", "\"v1\""},
         third + size},
        {"the ETag changed",
         {{.headers = v1, .dropAfterBytes = third, .times = 1}, {.headers = {{"ETag", "\"v2\""}}}},
         {"", range(third)},
         {"", "\"v1\""},
         third + size},
        {"broken five times",
         {{.headers = v1, .dropAfterBytes = tenth, .times = 5}},
         {"", range(tenth), range(2 * tenth), range(3 * tenth), range(4 * tenth)},
         {"", "\"v1\"", "\"v1\"", "\"v1\"", "\"v1\""},
         5 * tenth,
         -1005},
        {"nothing came: the wait",
         {{.headers = v1, .dropAfterBytes = 0, .times = 1}, {.headers = v1}},
         {"", ""},
         {"", ""},
         size,
         0,
         {300ms}},
    };
    const std::string address = url("/agent/image.dmg");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        service_.reset();
        for (const auto& answer : row.answers) service_.setAnswer("/agent/image.dmg", answer);
        auto request = UrlSessionTest::request(address);
        request.resumeWaits = row.waits.empty() ? minutes : row.waits;
        // What the observer saw, put together where each piece landed.
        std::string observed;
        request.bodyObserver = [&observed](std::uint64_t offset, std::string_view bytes) {
            observed.resize(offset);
            observed += bytes;
        };
        std::pair<std::uint64_t, std::optional<std::uint64_t>> last;
        const auto result = download(request, [&](std::uint64_t received, auto expected) {
            last = {received, expected};
        });

        const auto requests = service_.requests("/agent/image.dmg");
        std::vector<std::string> ranges, ifRanges;
        for (const auto& sent : requests) {
            ranges.push_back(sent.header("Range"));
            ifRanges.push_back(sent.header("If-Range"));
        }
        EXPECT_EQ(ranges, row.ranges);
        EXPECT_EQ(ifRanges, row.ifRanges);
        EXPECT_EQ(service_.sent("/agent/image.dmg"), row.sent);
        if (row.error != 0) {
            ASSERT_TRUE(result.error);
            EXPECT_EQ(result.error->code, row.error);
            EXPECT_FALSE(result.file);
            continue;
        }
        ASSERT_FALSE(result.error) << result.error->printedForm();
        EXPECT_TRUE(result.body == pattern(size)) << "the file differs from the image";
        EXPECT_TRUE(observed == result.body) << "the observer saw other bytes";
        // The progress ends with the whole image, counted across the attempts.
        EXPECT_EQ(last, std::make_pair(std::uint64_t{size}, std::optional<std::uint64_t>{size}));
        EXPECT_EQ(result.response->expectedContentLength, size);
        if (!row.waits.empty()) {
            ASSERT_EQ(requests.size(), 2u);
            EXPECT_GE(requests[1].time - requests[0].time, 0.3);
        }
    }
    expectNothingLeftBehind();
}

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

// Every failure completes data tasks and downloads alike with the error, and leaves no file.
TEST_F(UrlSessionTest, FailuresCompleteWithTheErrorAndLeaveNoFile) {
    service_.setAnswer("/stall", {.body = std::string(1000, 'x'), .stallAfterBytes = 10});
    service_.setAnswer("/drop", {.body = std::string(100000, 'x'), .dropAfterBytes = 1000});
    std::mutex mutex;
    std::vector<std::string> failedReports;
    session_->addProgressObserver(
        [&](const std::string& address, std::uint64_t, auto, bool finished, bool failed) {
            std::lock_guard lock(mutex);
            if (finished && failed) failedReports.push_back(address);
        });
    const struct {
        std::string url;
        long code;
        const char* description = nullptr;
    } rows[] = {
        {url("/stall"), -1001, "The request timed out."},
        {url("/drop"), -1005, "The network connection was lost."},
        {"", -1000},
        {"not an address", -1000},
        {"https://exa mple.com/", -1000},
        {"ftp://127.0.0.1/file", -1002},
        {"http://127.0.0.1/", -1002},
        {"file:///etc/passwd", -1002},
        {service_.plainBaseUrl() + "/hello", -1002},
        {fmt::format("https://127.0.0.1:{}/", closedPort()), -1004},
        {"https://no-such-host.invalid/", -1003},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.url);
        const double timeout = row.code == -1001 ? 1 : 10;
        for (const auto& result :
             {fetch(request(row.url, timeout)), download(request(row.url, timeout))}) {
            ASSERT_TRUE(result.error);
            EXPECT_EQ(result.error->code, row.code);
            EXPECT_EQ(result.error->failingUrl, row.url);
            if (row.description) {
                EXPECT_EQ(result.error->localizedDescription, row.description);
            }
            EXPECT_FALSE(result.file);
        }
    }
    expectNothingLeftBehind();
    std::lock_guard lock(mutex);
    EXPECT_THAT(failedReports, ::testing::IsSupersetOf({url("/stall"), url("/drop")}));
}

// A download file that cannot be made, or cannot take the bytes, fails the download: no file
// reaches the completion and none is left behind.
TEST_F(UrlSessionTest, DownloadThatCannotBeStoredFails) {
    service_.setAnswer("/image", {.body = std::string(1 << 20, 'x')});
    writeText(path("not-a-folder"), "");
    setVariable("TMPDIR", path("not-a-folder").c_str());
    const auto notMade = download(request(url("/image"), 10));
    ASSERT_TRUE(notMade.error);
    EXPECT_EQ(notMade.error->code, -3000);
    EXPECT_FALSE(notMade.file);

    const std::string small = path("small");
    fs::create_directories(small);
    REQUIRE_OR_SKIP(::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") == 0,
                    "the right to mount a small tmpfs (root)");
    const platform::ScopeExit unmount([&] { ::umount2(small.c_str(), MNT_DETACH); });
    setVariable("TMPDIR", small.c_str());
    const auto notWritten = download(request(url("/image"), 10));
    ASSERT_TRUE(notWritten.error);
    EXPECT_FALSE(notWritten.file);
    expectNothingLeftBehind(small);
}

// The extra authority vouches only for the hosts KELO_PELLIX_HOSTS names: the same server under
// another name (its certificate names localhost too) is refused.
TEST_F(UrlSessionTest, ServerCertificateIsVerifiedAgainstTheSystemAndTheExtraAuthority) {
    EXPECT_EQ(fetch(request(url("/hello"))).body, "hello");
    const std::string otherName = fmt::format("https://localhost:{}/hello", service_.port());
    OutputCapture log(STDERR_FILENO, path("stderr.txt"));
    for (const std::string& address : {otherName, url("/hello")}) {
        if (address != otherName) unsetenv("KELO_PELLIX_CA_FILE");
        const auto untrusted = fetch(request(address));
        ASSERT_TRUE(untrusted.error) << address;
        EXPECT_EQ(untrusted.error->code, -1202);
        EXPECT_EQ(untrusted.error->failingUrl, address);
        EXPECT_FALSE(untrusted.response);
    }
    EXPECT_THAT(log.stop(), HasSubstr("KELO_PELLIX_CA_FILE does not vouch for localhost"));
}

// Requests take the route the desktop's proxy settings give (GIO's resolver reads these variables
// when no desktop settings apply); the route is logged, never the proxy's user name and password,
// even when the password holds the characters that end them ("/" and "@"), escaped or not.
TEST_F(UrlSessionTest, RequestsTakeTheProxyRouteAndItsCredentialsStayOutOfTheLog) {
    const std::string proxy = fmt::format("127.0.0.1:{}", closedPort());
    for (const char* password : {"s3cret%2Fpr%40xy", "s3cret@pr@xy", "s3cret/pr@xy"}) {
        SCOPED_TRACE(password);
        setenv("https_proxy", ("http://customer:" + std::string(password) + "@" + proxy).c_str(),
               1);
        OutputCapture log(STDERR_FILENO, path("log.txt"));
        const auto proxied = fetch(request(url("/hello")));
        // Our lines only: GLib's own warning about an address it cannot read quotes it whole.
        std::string ours;
        for (const auto& line : log_file::splitLines(log.stop()))
            if (line.find("UrlSession : ") != std::string::npos) ours += line + "\n";
        EXPECT_THAT(ours, HasSubstr("UrlSession : Proxy for " + url("/hello") + " : "));
        EXPECT_THAT(ours, AllOf(Not(HasSubstr("s3cret")), Not(HasSubstr("customer"))));
        if (password[6] == '%') {  // an address that can be read: its route is taken and named
            ASSERT_TRUE(proxied.error);
            EXPECT_EQ(proxied.error->code, -1004);
            EXPECT_THAT(ours, HasSubstr(" : http://" + proxy));
        }
    }
    // An address the settings exempt goes direct.
    setenv("no_proxy", "127.0.0.1", 1);
    EXPECT_EQ(fetch(request(url("/hello"))).body, "hello");
}

TEST_F(UrlSessionTest, DestroyingTheSessionCancelsWhatIsStillRunning) {
    service_.setAnswer("/stall", {.body = std::string(1000, 'x'), .stallAfterBytes = 10});
    std::optional<UrlError> error;
    bool gotFile = true;
    session_->downloadTask(request(url("/stall"), 30),
                           [&](std::optional<fs::path> file, auto, auto reported) {
                               gotFile = file.has_value();
                               error = reported;
                           });
    ASSERT_TRUE(service_.waitForRequests("/stall", 1, 20s));
    session_.reset();  // waits for the completion
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, -999);
    EXPECT_FALSE(gotFile);
    EXPECT_THAT(entriesOf(temporary_), IsEmpty());

    // By one of its own completions.
    session_ = std::make_unique<CurlUrlSession>();
    std::promise<void> destroyed;
    session_->dataTask(request(url("/hello")), [&](std::string, auto, auto) {
        session_.reset();
        destroyed.set_value();
    });
    EXPECT_EQ(destroyed.get_future().wait_for(30s), std::future_status::ready);
}

}  // namespace
