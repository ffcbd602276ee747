// The local service that the other tests and the demo stand on: its default answers, the answers
// tests script, its request log, and the certificates it can present.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "LocalService.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

std::unique_ptr<httplib::SSLClient> trustingClient(const LocalService& service) {
    auto client = std::make_unique<httplib::SSLClient>("127.0.0.1", service.port());
    client->set_ca_cert_path(service.caFile().c_str());
    client->enable_server_certificate_verification(true);
    client->set_connection_timeout(5, 0);
    client->set_read_timeout(10, 0);
    return client;
}

std::string writeFile(const std::string& path, std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7919) % 251);
    std::ofstream(path, std::ios::binary) << bytes;
    return bytes;
}

// A GET that keeps whatever body bytes arrive, also when the transfer fails.
struct Transfer {
    httplib::Error error = httplib::Error::Success;
    std::string contentLength;
    std::string body;
    std::chrono::milliseconds elapsed{0};
};

Transfer partialGet(httplib::SSLClient& client, const std::string& path) {
    Transfer transfer;
    const auto start = std::chrono::steady_clock::now();
    auto result = client.Get(
        path,
        [&](const httplib::Response& response) {
            transfer.contentLength = response.get_header_value("Content-Length");
            return true;
        },
        [&](const char* data, std::size_t length) {
            transfer.body.append(data, length);
            return true;
        });
    transfer.error = result.error();
    transfer.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    return transfer;
}

TEST(LocalService, ServesTheDefaultAnswers) {
    LocalService service;
    auto client = trustingClient(service);

    auto agent = client->Get("/api/v2/agent/check_update?agent_version=0&agent=mac%20arm64");
    ASSERT_TRUE(agent) << httplib::to_string(agent.error());
    EXPECT_EQ(agent->status, 200);
    EXPECT_EQ(json::parse(agent->body),
              json::parse(R"({"representation":{"AGENT":{"update_needed":false,)"
                          R"("download_url":"","fallback_url":""}}})"));

    auto page = client->Get("/join?pellix_token=abc");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->get_header_value("Content-Type").find("text/html"), std::string::npos);
    EXPECT_NE(page->body.find("Join a support session"), std::string::npos);

    // Nothing outside the page folder can be reached.
    std::string upwards = "/join";
    for (int i = 0; i < 24; ++i) upwards += "/%2e%2e";
    for (const std::string& path : {upwards + "/etc/passwd", std::string("/agent/%2e%2e%2fport"),
                                    std::string("/nothing-here")}) {
        auto outside = client->Get(path);
        ASSERT_TRUE(outside) << path;
        EXPECT_EQ(outside->status, 404) << path;
    }
}

TEST(LocalService, ScriptedAnswersQueueUpPerPathThenFallBack) {
    LocalService service;
    const std::string path = "/api/v2/agent/check_update";
    service.setAnswer(path, {.status = 200, .body = R"({"first":1})", .times = 1});
    service.setAnswer(path, {.status = 500, .times = 2});
    service.setAnswer(path, {.body = "third", .contentType = "text/x-kelo", .times = 1});
    auto client = trustingClient(service);

    std::vector<std::pair<int, std::string>> seen;
    for (int i = 0; i < 5; ++i) {
        auto result = client->Get(path + "?n=" + std::to_string(i));
        ASSERT_TRUE(result);
        seen.emplace_back(result->status, result->body);
        if (i == 3) {
            EXPECT_EQ(result->get_header_value("Content-Type"), "text/x-kelo");
        }
    }
    EXPECT_EQ(seen[0], std::make_pair(200, std::string(R"({"first":1})")));
    EXPECT_EQ(seen[1].first, 500);
    EXPECT_EQ(seen[2].first, 500);
    EXPECT_EQ(seen[3], std::make_pair(200, std::string("third")));
    EXPECT_EQ(seen[4].first, 200);
    EXPECT_NE(seen[4].second.find("update_needed"), std::string::npos);

    // An answer without a count stays; reset brings the default back and empties the log.
    service.setAnswer(path, {.status = 503});
    EXPECT_EQ(client->Get(path)->status, 503);
    EXPECT_EQ(client->Get(path)->status, 503);
    service.reset();
    EXPECT_TRUE(service.requests().empty());
    EXPECT_EQ(client->Get(path)->status, 200);
}

TEST(LocalService, DropAndStallCutTheBodyShort) {
    LocalService service;
    const std::string image = writeFile(service.rootDir() + "/KeloMac.dmg", 1024 * 1024);
    auto client = trustingClient(service);

    service.setAnswer("/agent/KeloMac.dmg", {.dropAfterBytes = 100000, .times = 1});
    Transfer dropped = partialGet(*client, "/agent/KeloMac.dmg");
    EXPECT_NE(dropped.error, httplib::Error::Success);
    EXPECT_EQ(dropped.contentLength, std::to_string(image.size()));
    EXPECT_EQ(dropped.body.size(), 100000u);
    EXPECT_TRUE(dropped.body == image.substr(0, 100000));

    // A stall with a limit ends in a closed connection once the limit has passed.
    service.setAnswer("/slow", {.body = "0123456789", .stallAfterBytes = 4, .stallMs = 400});
    Transfer stalled = partialGet(*client, "/slow");
    EXPECT_NE(stalled.error, httplib::Error::Success);
    EXPECT_EQ(stalled.body, "0123");
    EXPECT_GE(stalled.elapsed, 400ms);
    EXPECT_LT(stalled.elapsed, 10s);  // the client's read time-out was not what ended it

    // Without a limit it lasts until the client gives up.
    service.setAnswer("/stuck", {.body = "0123456789", .stallAfterBytes = 2});
    auto impatient = trustingClient(service);
    impatient->set_read_timeout(0, 500'000);
    Transfer stuck = partialGet(*impatient, "/stuck");
    EXPECT_EQ(stuck.error, httplib::Error::Read);
    EXPECT_EQ(stuck.body, "01");

    // The whole image is still there for the next request.
    auto whole = client->Get("/agent/KeloMac.dmg");
    ASSERT_TRUE(whole);
    EXPECT_TRUE(whole->body == image);
}

TEST(LocalService, DelaysAndServesFilesByName) {
    LocalService service;
    writeFile(service.rootDir() + "/Other.dmg", 5000);
    service.setAnswer("/named", {.file = "Other.dmg", .delayMs = 300});
    auto client = trustingClient(service);

    const auto start = std::chrono::steady_clock::now();
    auto named = client->Get("/named");
    ASSERT_TRUE(named);
    EXPECT_EQ(named->body.size(), 5000u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
}

TEST(LocalService, LogsRequestsWithTheRawQueryAndPageEvents) {
    LocalService service;
    auto client = trustingClient(service);
    const std::string target =
        "/api/v2/agent/check_update?agent_version=1.0%20beta&agent=mac%20arm64";
    ASSERT_TRUE(client->Get(target, {{"User-Agent", "Kelo test agent"}}));
    ASSERT_TRUE(client->Get("/join?pellix_token=t%2Fk"));

    ASSERT_TRUE(service.waitForRequests("/api/v2/agent/check_update", 1, 5s));
    const auto checks = service.requests("/api/v2/agent/check_update");
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_EQ(checks[0].method, "GET");
    EXPECT_EQ(checks[0].target, target);
    EXPECT_EQ(checks[0].header("user-agent"), "Kelo test agent");
    EXPECT_GT(checks[0].time, 1.6e9);
    EXPECT_EQ(service.requests().size(), 2u);
    EXPECT_EQ(service.requests("/join").at(0).target, "/join?pellix_token=t%2Fk");

    auto event = client->Post("/__event", R"({"name":"load","page":"join"})", "text/plain");
    ASSERT_TRUE(event);
    EXPECT_EQ(event->status / 100, 2);
    EXPECT_EQ(client->Post("/__event", "not json", "text/plain")->status, 400);
    ASSERT_TRUE(service.waitForEvent("load", 5s));
    EXPECT_EQ(service.events().at(0).value("page", ""), "join");

    service.clearRequests();
    EXPECT_TRUE(service.requests().empty());
    EXPECT_FALSE(service.waitForRequests("/join", 1, 100ms));
}

TEST(LocalService, PresentsCertificatesThatOnlyTheTestAuthorityVouchesFor) {
    {
        LocalService service;
        httplib::SSLClient stranger("127.0.0.1", service.port());
        stranger.enable_server_certificate_verification(true);  // system trust store only
        auto result = stranger.Get("/join");
        EXPECT_FALSE(result);
        EXPECT_EQ(result.error(), httplib::Error::SSLServerVerification);
    }
    for (const char* name : {"expired", "wronghost", "selfsigned", "unknownca"}) {
        LocalService service(name);
        auto result = trustingClient(service)->Get("/join");
        EXPECT_FALSE(result) << name;
        EXPECT_EQ(result.error(), httplib::Error::SSLServerVerification) << name;
    }
}

TEST(LocalService, StartsAgainOnTheSamePort) {
    LocalService service;
    const int port = service.port();
    service.stop();
    EXPECT_FALSE(service.running());
    EXPECT_FALSE(trustingClient(service)->Get("/join"));

    service.start();
    EXPECT_EQ(service.port(), port);
    auto result = trustingClient(service)->Get("/join");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);

    const auto environment = service.environmentFor("eu");
    EXPECT_EQ(environment.at("KELO_PELLIX_HOSTS"), "eu=127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(environment.at("KELO_PELLIX_CA_FILE"), service.caFile());
}

// Ended, or a zombie that its new parent has not collected yet.
bool processEnded(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

TEST(LocalService, EndsWhenTheProcessThatStartedItIsGone) {
    const std::string folder = LocalService::certificateFolder();
    char pattern[] = "/tmp/kelo-orphan-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string work = pattern;
    // A shell starts the service, waits until it listens, and leaves it behind.
    const std::string command = "'" + LocalService::executable() + "' --cert-dir '" + folder +
                                "' --port-file '" + work + "/port' --control-port-file '" + work +
                                "/control' & echo $! > '" + work + "/pid'; while [ ! -s '" + work +
                                "/control' ]; do sleep 0.05; done";
    ASSERT_EQ(std::system(command.c_str()), 0);

    pid_t orphan = 0;
    std::ifstream(work + "/pid") >> orphan;
    ASSERT_GT(orphan, 0);
    bool ended = false;
    for (int i = 0; i < 100 && !ended; ++i) {
        ended = processEnded(orphan);
        if (!ended) std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(ended);
    if (!ended) kill(orphan, SIGKILL);
    std::filesystem::remove_all(work);
}

}  // namespace
