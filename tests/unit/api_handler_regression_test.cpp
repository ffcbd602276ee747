// Server answers that once stopped the launcher (found by hand beside tests/fuzz): an update-check
// answer nested a few hundred thousand arrays deep. Reading it is fine; printing it for the log
// line recursed once per level and overflowed the stack of the URL session's queue. Each check
// must complete once, whatever the server sends.
#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Handlers/ApiHandler.h"
#include "Objects/SessionDetails.h"
#include "Platform/ServiceSlot.h"
#include "Platform/UrlSession.h"
#include "TempHome.h"

namespace {

// Answers every data task at once with status 200 and the given body.
class AnsweringUrlSession : public platform::UrlSession {
  public:
    explicit AnsweringUrlSession(std::string body) : body_(std::move(body)) {}

    void dataTask(platform::UrlRequest request, platform::DataTaskCompletion completion) override {
        platform::UrlResponse response;
        response.statusCode = 200;
        response.url = request.url;
        completion(body_, response, std::nullopt);
    }
    void downloadTask(platform::UrlRequest request, platform::DownloadTaskCompletion completion,
                      platform::DownloadProgressHandler) override {
        completion(std::nullopt, std::nullopt,
                   platform::UrlError{"NSURLErrorDomain", -1009, "offline", request.url});
    }
    int addProgressObserver(
        std::function<void(const std::string&, std::uint64_t, std::optional<std::uint64_t>, bool,
                           bool)>) override {
        return 1;
    }
    void removeProgressObserver(int) override {}
    bool isDelegateQueue() const override { return true; }
    void enqueue(std::function<void()> block) override { block(); }

  private:
    std::string body_;
};

std::string nested(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

class ApiHandlerRegression : public TempHomeTest {
  protected:
    void answerWith(std::string body) {
        platform::ServiceSlot<platform::UrlSession>::set(
            std::make_shared<AnsweringUrlSession>(std::move(body)));
        auto& session = SessionDetails::getInstance();
        session.setWebServerName("pellix.kelohelvo.example");
        session.setLocalKeloAppVersion("1.0.0");
        session.setLocalKeloPellixAppVersion("1.0.0");
    }
};

TEST_F(ApiHandlerRegression, DeeplyNestedAgentAnswerCompletesOnce) {
    answerWith(R"({"representation":{"AGENT":{"update_needed":true},"x":)" + nested(500000) + "}}");
    int calls = 0;
    ApiHandler::getInstance().checkKeloHelvoUpdateWithCompletion([&](bool) { ++calls; });
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(SessionDetails::getInstance().isUpdateNeeded());
}

TEST_F(ApiHandlerRegression, DeeplyNestedLauncherAnswerCompletesOnce) {
    answerWith(R"({"representation":{"update":false},"x":)" + nested(500000) + "}");
    int calls = 0;
    ApiHandler::getInstance().checkPellixUpdateWithCompletion([&](bool) { ++calls; });
    EXPECT_EQ(calls, 1);
}

}  // namespace
