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
    std::string contentType, body;
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
        transfer.error = client
                             .Get(
                                 target, headers,
                                 [&](const httplib::Response& response) {
                                     transfer.status = response.status;
                                     transfer.contentType =
                                         response.get_header_value("Content-Type");
                                     return true;
                                 },
                                 [&](const char* data, std::size_t length) {
                                     transfer.body.append(data, length);
                                     return true;
                                 })
                             .error();
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
    for (const std::string& target :
         {upwards + "/etc/passwd", std::string("/agent/%2e%2e%2fport"), std::string("/nothing")})
        EXPECT_EQ(get(target).status, 404) << target;
}

// Scripted answers, drops, stalls without a limit and the request log are proven by the
// tests that use them (URL session, network faults, API handler, TLS matrix); what follows only
// these would miss.
TEST_F(LocalServiceTest, DelayedNamedFilesAndStallsThatEndOnceTheirLimitHasPassed) {
    writeText(service_.rootDir() + "/Other.dmg", std::string(5000, 'k'));
    service_.setAnswer("/named", {.file = "Other.dmg", .delayMs = 300});
    const auto named = get("/named");
    EXPECT_EQ(named.body, std::string(5000, 'k'));
    EXPECT_GE(named.elapsed, 300ms);

    service_.setAnswer("/slow", {.body = "0123456789", .stallAfterBytes = 4, .stallMs = 400});
    const auto stalled = get("/slow");
    EXPECT_NE(stalled.error, httplib::Error::Success);
    EXPECT_EQ(stalled.body, "0123");
    EXPECT_GE(stalled.elapsed, 400ms);
    EXPECT_LT(stalled.elapsed, 10s);  // the client's read time-out was not what ended it
}

TEST_F(LocalServiceTest, LogsHeadersWhateverTheirCaseAndRefusesEventsThatAreNoJson) {
    get("/join", 10s, {{"User-Agent", "Kelo test agent"}});
    ASSERT_TRUE(service_.waitForRequests("/join", 1, 5s));
    EXPECT_EQ(service_.requests("/join").at(0).header("user-agent"), "Kelo test agent");
    EXPECT_GT(service_.requests("/join").at(0).time, 1.6e9);

    httplib::SSLClient client("127.0.0.1", service_.port());
    client.set_ca_cert_path(service_.caFile().c_str());
    EXPECT_EQ(client.Post("/__event", R"({"name":"load","page":"join"})", "text/plain")->status,
              204);
    EXPECT_EQ(client.Post("/__event", "not json", "text/plain")->status, 400);
    ASSERT_TRUE(service_.waitForEvent("load", 5s));
    EXPECT_EQ(service_.events().at(0).value("page", ""), "join");
    EXPECT_EQ(service_.events().size(), 1u);
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
        "'{service}' --cert-dir '{certificates}' --port-file '{w}/port' --control-port-file "
        "'{w}/control' & "
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
