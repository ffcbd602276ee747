// The API client against the local service: the requests it sends, what it keeps of the answers
// (also of answers nested far deeper than the log line may follow), and the data-centre lookup
// from a session key.
#include "KeloTest.h"

#include <fmt/format.h>

#include <future>
#include <memory>
#include <tuple>

#include "DownloadEnd.h"
#include "Handlers/ApiHandler.h"
#include "LocalService.h"
#include "Objects/SessionDetails.h"
#include "Platform/Deployment.h"
#include "Platform/UrlSession.h"

namespace {

constexpr const char* kAgentPath = "/api/v2/agent/check_update";
constexpr const char* kLauncherPath = "/api/v1/customer_plugin/check_update";
using Check = void (ApiHandler::*)(ApiHandler::Completion);
constexpr Check kAgentCheck = &ApiHandler::checkKeloHelvoUpdateWithCompletion;
constexpr Check kLauncherCheck = &ApiHandler::checkPellixUpdateWithCompletion;

class ApiHandlerTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        service_ = std::make_unique<LocalService>();
        service_->applyEnvironment("com");
        SessionDetails::getInstance().setWebServerName(service_->host());
    }
    void TearDown() override {
        service_.reset();
        TempHomeTest::TearDown();
    }
    LocalService& service() { return *service_; }

    // What one check reported: "YES" or "NO", and where that was not the URL session's queue.
    static std::string reported(Check check) {
        auto result = std::make_shared<std::promise<std::string>>();
        (ApiHandler::getInstance().*check)([result](bool succeeded) {
            const bool onQueue = platform::UrlSession::shared().isDelegateQueue();
            result->set_value(std::string(succeeded ? "YES" : "NO") +
                              (onQueue ? "" : " off the URL session's queue"));
        });
        auto future = result->get_future();
        return future.wait_for(30s) == std::future_status::ready ? future.get() : "no completion";
    }

    void answer(const char* path, int status, std::string body) {
        service().setAnswer(path, {.status = status,
                                   .body = std::move(body),
                                   .contentType = "application/json",
                                   .times = 1});
    }

    std::vector<std::string> targets(const char* path) {
        std::vector<std::string> found;
        for (const auto& request : service().requests(path)) found.push_back(request.target);
        return found;
    }

  private:
    std::unique_ptr<LocalService> service_;
};

// Earlier values in the session record, and which of them an answer changed.
void keepEarlierValues() {
    auto& session = SessionDetails::getInstance();
    session.setIsUpdateNeeded(true);
    session.setCdnUrl("https://earlier/K.dmg");
    session.setIsCdnAvailable(false);
    session.setFallbackUrl("https://earlier/F.dmg");
    session.setPellixDownloadUrl("https://earlier/P.dmg");
    session.setPellixUpdateNeeded(false);
}

std::string changed() {
    const auto& session = SessionDetails::getInstance();
    std::string out;
    const auto note = [&](const char* name, const std::string& now, const char* earlier) {
        if (now != earlier) out += fmt::format("{}{}={}", out.empty() ? "" : " ", name, now);
    };
    note("update", fmt::format("{}", session.isUpdateNeeded()), "true");
    note("cdn", session.cdnUrl().value_or("-"), "https://earlier/K.dmg");
    note("available", fmt::format("{}", session.isCdnAvailable()), "false");
    note("fallback", session.fallbackUrl().value_or("-"), "https://earlier/F.dmg");
    note("launcher", session.pellixDownloadUrl().value_or("-"), "https://earlier/P.dmg");
    note("launcherUpdate", fmt::format("{}", session.pellixUpdateNeeded()), "false");
    return out;
}

TEST_F(ApiHandlerTest, EachAnswerKeepsOnlyMembersOfTheExpectedTypes) {
    SessionDetails::getInstance().setLocalKeloAppVersion("0");
    const auto agent = [](const std::string& members) {
        return R"({"representation":{"AGENT":{)" + members + "}}}";
    };
    const auto launcher = [](const std::string& members) {
        return R"({"representation":{)" + members + "}}";
    };
    const std::string deep = std::string(500000, '[') + std::string(500000, ']');
    // The check, the answer (status 200 reports YES, any other NO), what the answer changed.
    const std::vector<std::tuple<Check, int, std::string, std::string>> rows = {
        {kAgentCheck, 200,
         agent(
             R"("update_needed":false,"download_url":"https://c/K","fallback_url":"https://f/K")"),
         "update=false cdn=https://c/K available=true fallback=https://f/K"},
        // Nothing usable: the earlier values stay.
        {kAgentCheck, 200, "{}", ""},
        {kAgentCheck, 200, "not json", ""},
        {kAgentCheck, 200, "[1,2]", ""},
        {kAgentCheck, 200, R"({"representation":[]})", ""},
        {kAgentCheck, 200, R"({"representation":{"AGENT":"x"}})", ""},
        {kAgentCheck, 200, agent(R"("update_needed":"false","download_url":5,"fallback_url":null)"),
         ""},
        // Empty addresses change nothing; a number is a truth value.
        {kAgentCheck, 200, agent(R"("update_needed":0,"download_url":"","fallback_url":"")"),
         "update=false"},
        {kAgentCheck, 200, agent(R"("update_needed":2,"download_url":"https://n/K")"),
         "cdn=https://n/K available=true"},
        // A failure status keeps nothing, whatever the body says.
        {kAgentCheck, 404, agent(R"("update_needed":false,"download_url":"https://n/K")"), ""},
        {kLauncherCheck, 503, launcher(R"("update":true,"download_url":"https://n/P")"), ""},
        // Printing these for the log once recursed per level, past the end of the queue's stack.
        {kAgentCheck, 200,
         R"({"representation":{"AGENT":{"update_needed":false},"x":)" + deep + "}}",
         "update=false"},
        {kLauncherCheck, 200, R"({"representation":{"download_url":""},"x":)" + deep + "}",
         "launcher="},
        // The launcher's address loses doubled image suffixes.
        {kLauncherCheck, 200, launcher(R"("download_url":"https://c/a.dmg.dmg")"),
         "launcher=https://c/a.dmg"},
        {kLauncherCheck, 200, launcher(R"("download_url":"https://c/a.dmg.dmg.dmg")"),
         "launcher=https://c/a.dmg.dmg"},
        {kLauncherCheck, 200, launcher(R"("download_url":"https://c/a.dmg.dmg?x=b.dmg.dmg")"),
         "launcher=https://c/a.dmg?x=b.dmg"},
        {kLauncherCheck, 200, launcher(R"("update":false,"download_url":"https://c/a.dmg")"),
         "launcher=https://c/a.dmg"},
    };
    for (const auto& [check, status, body, change] : rows) {
        SCOPED_TRACE(body.substr(0, 120));
        keepEarlierValues();
        answer(check == kAgentCheck ? kAgentPath : kLauncherPath, status, body);
        EXPECT_EQ(reported(check), status == 200 ? "YES" : "NO");
        EXPECT_EQ(changed(), change);
    }
}

TEST_F(ApiHandlerTest, AgentCheckSendsTheEncodedRequestAndLogsTheAnswerOrTheFailure) {
    auto& session = SessionDetails::getInstance();
    session.setLocalKeloAppVersion("1.0 beta");
    const std::string target =
        "/api/v2/agent/check_update?agent_version=1.0%20beta&" + thisAgentQuery();
    const std::string address = service().baseUrl() + target;
    OutputCapture log(STDERR_FILENO, path("log.txt"));

    answer(kAgentPath, 200, R"({"representation":{"AGENT":{"update_needed":true}}})");
    EXPECT_EQ(reported(kAgentCheck), "YES");
    answer(kAgentPath, 404, "{}");
    EXPECT_EQ(reported(kAgentCheck), "NO");
    EXPECT_THAT(targets(kAgentPath), ElementsAre(target, target));
    EXPECT_EQ(service().requests(kAgentPath).front().method, "GET");
    service().stop();
    EXPECT_EQ(reported(kAgentCheck), "NO");
    session.setWebServerName(std::nullopt);  // no web server to ask
    EXPECT_EQ(reported(kAgentCheck), "NO");

    const std::string block = "-[ApiHandler checkKeloHelvoUpdateWithCompletion:]_block_invoke : ";
    EXPECT_THAT(log.stop(), AllOf(HasSubstr(block + "Response : {\"AGENT\":"),
                                  HasSubstr(block + "NSURLConnection failed for this request : " +
                                            address + " and status code : 404"),
                                  HasSubstr(block + "Check Update failed : ")));
}

TEST_F(ApiHandlerTest, LauncherCheckWithoutWebServerAsksTheDefaultDataCentre) {
    auto& session = SessionDetails::getInstance();
    session.setWebServerName(std::nullopt);
    session.setLocalKeloPellixAppVersion("1.2.3");
    session.setPellixToken("tok-42");

    EXPECT_EQ(reported(kLauncherCheck), "YES");
    EXPECT_EQ(session.webServerName(), service().host());
    EXPECT_THAT(
        targets(kLauncherPath),
        ElementsAre("/api/v1/customer_plugin/check_update?os=linux&format=dmg&source=pellix&"
                    "version=1.2.3&pellix_token=tok-42"));
    // The default answer has an empty address, kept as it is.
    EXPECT_EQ(session.pellixDownloadUrl(), "");
    EXPECT_FALSE(session.pellixUpdateNeeded());

    // A request that is no address is not sent.
    session.setPellixToken("a token with blanks");
    EXPECT_EQ(reported(kLauncherCheck), "NO");
    EXPECT_EQ(service().requests(kLauncherPath).size(), 1u);
}

TEST_F(ApiHandlerTest, LauncherUpdateStartsTheSelfUpdateAlsoWhenLaterAnswersOmitTheFlag) {
    auto& session = SessionDetails::getInstance();
    session.setLocalKeloPellixAppVersion("1.0");
    session.setPellixToken("tok");
    const std::string image = service().baseUrl() + "/agent/KeloHelvoPellix.dmg";
    // The service has no launcher image: each download ends as a failed one.
    for (const std::string& body :
         {R"({"representation":{"update":true,"download_url":")" + image + "\"}}",
          std::string(R"({"representation":{}})")}) {
        answer(kLauncherPath, 200, body);
        EXPECT_TRUE(
            downloadPostsTheRetryNotice([] { EXPECT_EQ(reported(kLauncherCheck), "YES"); }));
        EXPECT_TRUE(session.pellixUpdateNeeded());
    }
    EXPECT_EQ(service().requests("/agent/KeloHelvoPellix.dmg").size(), 2u);
}

class DataCentreLookupTest : public TempHomeTest {};

TEST_F(DataCentreLookupTest, KeyLengthAndFourthCharacterChooseTheDataCentre) {
    auto& session = SessionDetails::getInstance();
    // The data centre and web server a key leaves, from an info file's pair and earlier values.
    const auto lookUp = [&](const std::string& key) {
        session.setPlistDcName("plist-dc");
        session.setPlistWebServerName("plist.example");
        session.setDcName("before");
        session.setWebServerName("before.example");
        ApiHandler::getInstance().findDcNameUsingKey(key);
        return session.dcName().value_or("-") + " " + session.webServerName().value_or("-");
    };
    const auto centre = [](const std::string& code) {
        return code + " " + platform::Deployment::webServerHost(code);
    };
    const std::string infoFile = "plist-dc plist.example", before = "before before.example";
    std::vector<std::pair<std::string, std::string>> rows = {
        // Nine characters: the pair from the info file, whatever it holds.
        {"123456789", infoFile},
        {"12345678é", infoFile},  // é is one code unit
        {"1234567😀", infoFile},   // 😀 is two
        {"12356789😀", centre("jp")},
        // Anything else changes nothing.
        {"123a000000", before},
        {"123é000000", before},
        {"12345678", before},
        {"12345678901", before},
        {"", before}};
    // Ten characters: the fourth names the data centre.
    const char* byDigit[] = {nullptr, "eu", "in", "au", "cn", "jp", "ca", "uk", "sa", "ae"};
    for (int digit = 0; digit <= 9; ++digit)
        rows.emplace_back("123" + std::to_string(digit) + "000000",
                          byDigit[digit] ? centre(byDigit[digit]) : before);
    for (const auto& [key, left] : rows) EXPECT_EQ(lookUp(key), left) << key;

    // Absent values in the info file are copied as absent.
    session.setPlistDcName(std::nullopt);
    session.setPlistWebServerName(std::nullopt);
    ApiHandler::getInstance().findDcNameUsingKey("987654321");
    EXPECT_FALSE(session.dcName());
    EXPECT_FALSE(session.webServerName());
}

}  // namespace
