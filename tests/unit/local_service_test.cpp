// The local service that the other tests and the demo stand on: its default answers, the answers
// tests script, and its request log. Its certificates are proven by the TLS matrix, its restart on
// the same port by the window and end-to-end tests that take it away and bring it back.
#include "KeloTest.h"

#include <fmt/format.h>
#include <httplib.h>
#include <signal.h>

#include <fstream>

#include "LocalService.h"

namespace {

using nlohmann::json;

// What a GET brought, kept also when the transfer failed half-way.
struct Transfer {
    httplib::Error error = httplib::Error::Success;
    int status = 0;
    std::string contentType, contentLength, body;
    std::chrono::milliseconds elapsed{0};
};

class LocalServiceTest : public ::testing::Test {
  protected:
    Transfer get(const std::string& target, std::chrono::milliseconds readTimeout = 10s,
                 const httplib::Headers& headers = {}) {
        httplib::SSLClient client("127.0.0.1", service_.port());
        client.set_ca_cert_path(service_.caFile().c_str());
        client.enable_server_certificate_verification(true);
        client.set_read_timeout(readTimeout);
        Transfer transfer;
        const auto start = std::chrono::steady_clock::now();
        transfer.error = client.Get(
            target, headers,
            [&](const httplib::Response& response) {
                transfer.status = response.status;
                transfer.contentType = response.get_header_value("Content-Type");
                transfer.contentLength = response.get_header_value("Content-Length");
                return true;
            },
            [&](const char* data, std::size_t length) {
                transfer.body.append(data, length);
                return true;
            }).error();
        transfer.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        return transfer;
    }

    LocalService service_;
};

TEST_F(LocalServiceTest, ServesTheDefaultAnswersAndNothingOutsideItsFolders) {
    const auto agent = get("/api/v2/agent/check_update?agent_version=0&agent=mac%20arm64");
    EXPECT_EQ(agent.status, 200);
    EXPECT_EQ(json::parse(agent.body), json::parse(R"({"representation":{"AGENT":{)"
                                                   R"("update_needed":false,"download_url":"",)"
                                                   R"("fallback_url":""}}})"));
    const auto page = get("/join?pellix_token=abc");
    EXPECT_EQ(page.status, 200);
    EXPECT_THAT(page.contentType, HasSubstr("text/html"));
    EXPECT_THAT(page.body, HasSubstr("Join a support session"));

    std::string upwards = "/join";
    for (int i = 0; i < 24; ++i) upwards += "/%2e%2e";
    for (const std::string& target : {upwards + "/etc/passwd", std::string("/agent/%2e%2e%2fport"),
                                      std::string("/nothing")})
        EXPECT_EQ(get(target).status, 404) << target;
}

TEST_F(LocalServiceTest, ScriptedAnswersQueueUpPerPathThenFallBack) {
    const std::string path = "/api/v2/agent/check_update";
    service_.setAnswer(path, {.status = 200, .body = R"({"first":1})", .times = 1});
    service_.setAnswer(path, {.status = 500, .times = 2});
    service_.setAnswer(path, {.body = "third", .contentType = "text/x-kelo", .times = 1});
    std::vector<std::string> seen;
    for (int i = 0; i < 5; ++i) {
        const auto answer = get(path);
        seen.push_back(fmt::format("{} {} {}", answer.status, answer.contentType,
                                   answer.body.substr(0, 30)));
    }
    EXPECT_THAT(seen, ElementsAre("200 application/json {\"first\":1}", StartsWith("500 "),
                                  StartsWith("500 "), "200 text/x-kelo third",
                                  StartsWith("200 application/json {\"representation\":")));

    // An answer without a count stays; reset brings the default back and empties the log.
    service_.setAnswer(path, {.status = 503});
    EXPECT_EQ(get(path).status, 503);
    EXPECT_EQ(get(path).status, 503);
    service_.reset();
    EXPECT_THAT(service_.requests(), IsEmpty());
    EXPECT_EQ(get(path).status, 200);
}

TEST_F(LocalServiceTest, DropsStallsAndDelaysHoldOrCutTheBodyShort) {
    std::string whole(1024 * 1024, '\0');
    for (std::size_t i = 0; i < whole.size(); ++i) whole[i] = static_cast<char>((i * 7919) % 251);
    writeText(service_.rootDir() + "/KeloMac.dmg", whole);
    service_.setAnswer("/agent/KeloMac.dmg", {.dropAfterBytes = 100000, .times = 1});
    const auto dropped = get("/agent/KeloMac.dmg");
    EXPECT_NE(dropped.error, httplib::Error::Success);
    EXPECT_EQ(dropped.contentLength, std::to_string(whole.size()));
    EXPECT_TRUE(dropped.body == whole.substr(0, 100000));
    EXPECT_TRUE(get("/agent/KeloMac.dmg").body == whole);  // the next request gets it all

    // A stall with a limit ends in a closed connection once the limit has passed; without one it
    // lasts until the client gives up.
    service_.setAnswer("/slow", {.body = "0123456789", .stallAfterBytes = 4, .stallMs = 400});
    const auto stalled = get("/slow");
    EXPECT_NE(stalled.error, httplib::Error::Success);
    EXPECT_EQ(stalled.body, "0123");
    EXPECT_GE(stalled.elapsed, 400ms);
    EXPECT_LT(stalled.elapsed, 10s);  // the client's read time-out was not what ended it
    service_.setAnswer("/stuck", {.body = "0123456789", .stallAfterBytes = 2});
    const auto stuck = get("/stuck", 500ms);
    EXPECT_EQ(stuck.error, httplib::Error::Read);
    EXPECT_EQ(stuck.body, "01");

    service_.setAnswer("/named", {.file = "KeloMac.dmg", .delayMs = 300});
    const auto named = get("/named");
    EXPECT_EQ(named.body.size(), whole.size());
    EXPECT_GE(named.elapsed, 300ms);
}

TEST_F(LocalServiceTest, LogsRequestsWithTheRawQueryAndPageEvents) {
    const std::string target =
        "/api/v2/agent/check_update?agent_version=1.0%20beta&agent=mac%20arm64";
    get(target, 10s, {{"User-Agent", "Kelo test agent"}});
    get("/join?pellix_token=t%2Fk");
    ASSERT_TRUE(service_.waitForRequests("/join", 1, 5s));
    const auto checks = service_.requests("/api/v2/agent/check_update");
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_EQ(checks[0].method + " " + checks[0].target, "GET " + target);
    EXPECT_EQ(checks[0].header("user-agent"), "Kelo test agent");
    EXPECT_GT(checks[0].time, 1.6e9);
    EXPECT_EQ(service_.requests().size(), 2u);
    EXPECT_EQ(service_.requests("/join").at(0).target, "/join?pellix_token=t%2Fk");

    httplib::SSLClient client("127.0.0.1", service_.port());
    client.set_ca_cert_path(service_.caFile().c_str());
    EXPECT_EQ(client.Post("/__event", R"({"name":"load","page":"join"})", "text/plain")->status,
              204);
    EXPECT_EQ(client.Post("/__event", "not json", "text/plain")->status, 400);
    ASSERT_TRUE(service_.waitForEvent("load", 5s));
    EXPECT_EQ(service_.events().at(0).value("page", ""), "join");

    service_.clearRequests();
    EXPECT_THAT(service_.requests(), IsEmpty());
    EXPECT_FALSE(service_.waitForRequests("/join", 1, 100ms));
}

// Ended, or a zombie that its new parent has not collected yet.
bool processEnded(pid_t pid) {
    std::string line;
    if (!std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), line)) return true;
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

class LocalServiceOrphan : public TempHomeTest {};

TEST_F(LocalServiceOrphan, EndsWhenTheProcessThatStartedItIsGone) {
    // A shell starts the service, waits until it listens, and leaves it behind.
    const std::string work = home();
    const std::string command = fmt::format(
        "'{service}' --cert-dir '{certificates}' --port-file '{w}/port' --control-port-file '{w}/control' & "
        "echo $! > '{w}/pid'; while [ ! -s '{w}/control' ]; do sleep 0.05; done",
        fmt::arg("service", LocalService::executable()),
        fmt::arg("certificates", LocalService::certificateFolder()), fmt::arg("w", work));
    ASSERT_EQ(std::system(command.c_str()), 0);
    pid_t orphan = 0;
    std::ifstream(work + "/pid") >> orphan;
    ASSERT_GT(orphan, 0);
    const bool ended = eventually([&] { return processEnded(orphan); }, 5s);
    EXPECT_TRUE(ended);
    if (!ended) kill(orphan, SIGKILL);
}

}  // namespace
