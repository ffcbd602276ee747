// The API client against the local service: the requests it sends, what it keeps of the answers,
// and the data-centre lookup from a session key.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "Handlers/ApiHandler.h"
#include "LocalService.h"
#include "Objects/SessionDetails.h"
#include "OutputCapture.h"
#include "Platform/Deployment.h"
#include "Platform/NotificationCenter.h"
#include "Platform/UrlSession.h"
#include "TempHome.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kAgentPath = "/api/v2/agent/check_update";
constexpr const char* kLauncherPath = "/api/v1/customer_plugin/check_update";

struct Outcome {
    bool result = false;
    bool onSessionQueue = false;
};

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

    // Runs one check: it must report `expected`, on the URL session's queue.
    template <typename Check>
    ::testing::AssertionResult reports(Check check, bool expected) {
        auto promise = std::make_shared<std::promise<Outcome>>();
        auto future = promise->get_future();
        (ApiHandler::getInstance().*check)([promise](bool result) {
            promise->set_value({result, platform::UrlSession::shared().isDelegateQueue()});
        });
        if (future.wait_for(30s) != std::future_status::ready) {
            return ::testing::AssertionFailure() << "no completion";
        }
        const auto outcome = future.get();
        if (outcome.result != expected) {
            return ::testing::AssertionFailure() << "reported " << (expected ? "NO" : "YES");
        }
        if (!outcome.onSessionQueue) {
            return ::testing::AssertionFailure() << "completed off the URL session's queue";
        }
        return ::testing::AssertionSuccess();
    }

    void answer(const std::string& path, int status, const std::string& body) {
        LocalService::Answer answer;
        answer.status = status;
        answer.body = body;
        answer.contentType = "application/json";
        answer.times = 1;
        service().setAnswer(path, answer);
    }

  private:
    std::unique_ptr<LocalService> service_;
};

constexpr auto kAgentCheck = &ApiHandler::checkKeloHelvoUpdateWithCompletion;
constexpr auto kLauncherCheck = &ApiHandler::checkPellixUpdateWithCompletion;

TEST_F(ApiHandlerTest, AgentCheckSendsTheEncodedRequestAndKeepsTheAnswer) {
    auto& session = SessionDetails::getInstance();
    session.setLocalKeloAppVersion("1.0 beta");
    answer(
        kAgentPath, 200,
        R"({"representation":{"AGENT":{"update_needed":true,)"
        R"("download_url":"https://cdn.example/KeloMac.dmg","fallback_url":"https://fb.example/K.dmg"},)"
        R"("other":1}})");
    OutputCapture log(STDERR_FILENO, path("log.txt"));

    ASSERT_TRUE(reports(kAgentCheck, true));
    const auto requests = service().requests(kAgentPath);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target,
              "/api/v2/agent/check_update?agent_version=1.0%20beta&agent=mac%20arm64");
    EXPECT_TRUE(session.isUpdateNeeded());
    EXPECT_EQ(session.cdnUrl(), "https://cdn.example/KeloMac.dmg");
    EXPECT_TRUE(session.isCdnAvailable());
    EXPECT_EQ(session.fallbackUrl(), "https://fb.example/K.dmg");
    EXPECT_NE(log.text().find("-[ApiHandler checkKeloHelvoUpdateWithCompletion:]_block_invoke : "
                              "Response : {\"AGENT\":"),
              std::string::npos)
        << log.text();
}

TEST_F(ApiHandlerTest, AgentAnswersKeepOnlyMembersOfTheExpectedTypes) {
    auto& session = SessionDetails::getInstance();
    session.setLocalKeloAppVersion("0");
    const auto check = [&](const std::string& body, bool updateNeeded, const char* cdnUrl,
                           bool cdnAvailable, const char* fallbackUrl) {
        SCOPED_TRACE(body);
        session.setIsUpdateNeeded(true);
        session.setCdnUrl("https://earlier/K.dmg");
        session.setIsCdnAvailable(false);
        session.setFallbackUrl("https://earlier/F.dmg");
        answer(kAgentPath, 200, body);
        ASSERT_TRUE(reports(kAgentCheck, true));
        EXPECT_EQ(session.isUpdateNeeded(), updateNeeded);
        EXPECT_EQ(session.cdnUrl(), cdnUrl);
        EXPECT_EQ(session.isCdnAvailable(), cdnAvailable);
        EXPECT_EQ(session.fallbackUrl(), fallbackUrl);
    };
    // Nothing usable: the earlier values stay.
    for (const char* body :
         {"{}", "not json", "[1,2]", R"({"representation":[]})",
          R"({"representation":{"AGENT":"x"}})",
          R"({"representation":{"AGENT":{"update_needed":"false","download_url":5,)"
          R"("fallback_url":null}}})"}) {
        check(body, true, "https://earlier/K.dmg", false, "https://earlier/F.dmg");
    }
    // Empty addresses change nothing; a number is a truth value.
    check(R"({"representation":{"AGENT":{"update_needed":0,"download_url":"","fallback_url":""}}})",
          false, "https://earlier/K.dmg", false, "https://earlier/F.dmg");
    check(R"({"representation":{"AGENT":{"update_needed":2,"download_url":"https://new/K.dmg"}}})",
          true, "https://new/K.dmg", true, "https://earlier/F.dmg");
}

TEST_F(ApiHandlerTest, FailedChecksReportNoAndKeepNothing) {
    auto& session = SessionDetails::getInstance();
    session.setLocalKeloAppVersion("2.0");
    session.setIsUpdateNeeded(false);
    const std::string updating =
        R"({"representation":{"AGENT":{"update_needed":true,"download_url":"https://new/K.dmg"},)"
        R"("download_url":"https://new/P.dmg","update":true}})";
    OutputCapture log(STDERR_FILENO, path("log.txt"));

    // A status other than 200, whatever the body says.
    answer(kAgentPath, 404, updating);
    ASSERT_TRUE(reports(kAgentCheck, false));
    answer(kLauncherPath, 503, updating);
    ASSERT_TRUE(reports(kLauncherCheck, false));
    EXPECT_NE(log.text().find("-[ApiHandler checkKeloHelvoUpdateWithCompletion:]_block_invoke : "
                              "NSURLConnection failed for this request : " +
                              service().baseUrl() +
                              "/api/v2/agent/check_update?agent_version=2.0&agent=mac%20arm64 "
                              "and status code : 404"),
              std::string::npos)
        << log.text();

    // No answer at all.
    service().stop();
    ASSERT_TRUE(reports(kAgentCheck, false));
    EXPECT_NE(log.text().find("-[ApiHandler checkKeloHelvoUpdateWithCompletion:]_block_invoke : "
                              "Check Update failed : "),
              std::string::npos);

    // No web server to ask.
    session.setWebServerName(std::nullopt);
    ASSERT_TRUE(reports(kAgentCheck, false));

    EXPECT_FALSE(session.isUpdateNeeded());
    EXPECT_FALSE(session.cdnUrl());
    EXPECT_FALSE(session.isCdnAvailable());
    EXPECT_FALSE(session.pellixDownloadUrl());
    EXPECT_FALSE(session.pellixUpdateNeeded());
}

TEST_F(ApiHandlerTest, LauncherCheckWithoutWebServerAsksTheDefaultDataCentre) {
    auto& session = SessionDetails::getInstance();
    session.setWebServerName(std::nullopt);
    session.setLocalKeloPellixAppVersion("1.2.3");
    session.setPellixToken("tok-42");

    ASSERT_TRUE(reports(kLauncherCheck, true));
    EXPECT_EQ(session.webServerName(), service().host());
    const auto requests = service().requests(kLauncherPath);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target,
              "/api/v1/customer_plugin/check_update?os=mac&format=dmg&source=pellix&version=1.2.3&"
              "pellix_token=tok-42");
    // The default answer has an empty address, kept as it is.
    EXPECT_EQ(session.pellixDownloadUrl(), "");
    EXPECT_FALSE(session.pellixUpdateNeeded());
}

TEST_F(ApiHandlerTest, LauncherAddressLosesDoubledImageSuffixes) {
    auto& session = SessionDetails::getInstance();
    const struct {
        const char* given;
        const char* kept;
    } cases[] = {
        {"https://cdn.example/a.dmg.dmg", "https://cdn.example/a.dmg"},
        {"https://cdn.example/a.dmg.dmg.dmg", "https://cdn.example/a.dmg.dmg"},
        {"https://cdn.example/a.dmg.dmg?x=b.dmg.dmg", "https://cdn.example/a.dmg?x=b.dmg"},
        {"https://cdn.example/a.dmg", "https://cdn.example/a.dmg"},
        {"", ""},
    };
    for (const auto& entry : cases) {
        answer(kLauncherPath, 200,
               std::string(R"({"representation":{"update":false,"download_url":")") + entry.given +
                   "\"}}");
        ASSERT_TRUE(reports(kLauncherCheck, true));
        EXPECT_EQ(session.pellixDownloadUrl(), entry.kept) << entry.given;
    }
}

TEST_F(ApiHandlerTest, LauncherUpdateStartsTheSelfUpdateAlsoWhenLaterAnswersOmitTheFlag) {
    auto& session = SessionDetails::getInstance();
    session.setLocalKeloPellixAppVersion("1.0");
    session.setPellixToken("tok");
    const std::string image = service().baseUrl() + "/agent/KeloHelvoPellix.dmg";
    std::atomic<int> finishedDownloads{0};
    platform::NotificationCenter::defaultCenter().addObserver(
        this, "RetryDMGDownloadig",
        [&](const platform::NotificationCenter::Notification&) { ++finishedDownloads; });

    answer(kLauncherPath, 200,
           R"({"representation":{"update":true,"download_url":")" + image + "\"}}");
    ASSERT_TRUE(reports(kLauncherCheck, true));
    EXPECT_TRUE(session.pellixUpdateNeeded());
    EXPECT_TRUE(service().waitForRequests("/agent/KeloHelvoPellix.dmg", 1, 30s));

    answer(kLauncherPath, 200, R"({"representation":{}})");
    ASSERT_TRUE(reports(kLauncherCheck, true));
    EXPECT_TRUE(service().waitForRequests("/agent/KeloHelvoPellix.dmg", 2, 30s));

    // The service has no launcher image: each download ends as a failed one.
    for (int i = 0; i < 3000 && finishedDownloads != 2; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(finishedDownloads.load(), 2);
    platform::NotificationCenter::defaultCenter().removeObserver(this);
}

TEST_F(ApiHandlerTest, LauncherRequestThatIsNoAddressIsNotSent) {
    auto& session = SessionDetails::getInstance();
    session.setLocalKeloPellixAppVersion("1.0");
    session.setPellixToken("a token with blanks");

    ASSERT_TRUE(reports(kLauncherCheck, false));
    EXPECT_TRUE(service().requests(kLauncherPath).empty());
}

class DataCentreLookupTest : public TempHomeTest {};

TEST_F(DataCentreLookupTest, KeyLengthAndFourthCharacterChooseTheDataCentre) {
    setenv("KELO_PELLIX_HOSTS", "eu=eu.test:8443", 1);
    auto& session = SessionDetails::getInstance();
    const struct {
        std::string key;
        std::optional<std::string> dcName;
        std::optional<std::string> webServerName;
    } cases[] = {
        // Nine characters: the pair from the info file, whatever it holds.
        {"123456789", "plist-dc", "plist.example"},
        {"12345678\xC3\xA9", "plist-dc", "plist.example"},         // é is one code unit
        {"1234567\xF0\x9F\x98\x80", "plist-dc", "plist.example"},  // 😀 is two
        // Ten characters: the fourth names the data centre.
        {"1231000000", "eu", "eu.test:8443"},
        {"1232000000", "in", platform::Deployment::webServerHost("in")},
        {"1233000000", "au", platform::Deployment::webServerHost("au")},
        {"1234000000", "cn", platform::Deployment::webServerHost("cn")},
        {"1235000000", "jp", platform::Deployment::webServerHost("jp")},
        {"1236000000", "ca", platform::Deployment::webServerHost("ca")},
        {"1237000000", "uk", platform::Deployment::webServerHost("uk")},
        {"1238000000", "sa", platform::Deployment::webServerHost("sa")},
        {"1239000000", "ae", platform::Deployment::webServerHost("ae")},
        {"12356789\xF0\x9F\x98\x80", "jp", platform::Deployment::webServerHost("jp")},
        // Anything else changes nothing.
        {"1230000000", "before", "before.example"},
        {"123a000000", "before", "before.example"},
        {"123\xC3\xA9"
         "000000",
         "before", "before.example"},
        {"12345678", "before", "before.example"},
        {"12345678901", "before", "before.example"},
        {"", "before", "before.example"},
    };
    for (const auto& entry : cases) {
        session.setPlistDcName("plist-dc");
        session.setPlistWebServerName("plist.example");
        session.setDcName("before");
        session.setWebServerName("before.example");
        ApiHandler::getInstance().findDcNameUsingKey(entry.key);
        EXPECT_EQ(session.dcName(), entry.dcName) << entry.key;
        EXPECT_EQ(session.webServerName(), entry.webServerName) << entry.key;
    }

    // Absent values in the info file are copied as absent.
    session.setPlistDcName(std::nullopt);
    session.setPlistWebServerName(std::nullopt);
    ApiHandler::getInstance().findDcNameUsingKey("987654321");
    EXPECT_FALSE(session.dcName());
    EXPECT_FALSE(session.webServerName());
    unsetenv("KELO_PELLIX_HOSTS");
}

}  // namespace
