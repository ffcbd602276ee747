#include "DownloadEnd.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>

#include "Eventually.h"
#include "Platform/NotificationCenter.h"
#include "UrlSessionQueue.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kLimit = 60s;

// Observes the retry notice for as long as it lives.
class RetryNotice {
  public:
    RetryNotice() {
        platform::NotificationCenter::defaultCenter().addObserver(
            this, "RetryDMGDownloadig",
            [posted = posted_](const platform::NotificationCenter::Notification&) {
                posted->set_value();
            });
    }
    ~RetryNotice() { platform::NotificationCenter::defaultCenter().removeObserver(this); }
    RetryNotice(const RetryNotice&) = delete;
    RetryNotice& operator=(const RetryNotice&) = delete;

    bool waitFor(std::chrono::milliseconds limit) const {
        return future_.wait_for(limit) == std::future_status::ready;
    }

  private:
    std::shared_ptr<std::promise<void>> posted_ = std::make_shared<std::promise<void>>();
    std::future<void> future_ = posted_->get_future();
};

}  // namespace

bool checkSucceeds(const std::function<void(ApiHandler::Completion)>& start) {
    auto result = std::make_shared<std::promise<bool>>();
    start([result](bool succeeded) { result->set_value(succeeded); });
    auto future = result->get_future();
    if (future.wait_for(kLimit) != std::future_status::ready) {
        ADD_FAILURE() << "a check never completed";
        return false;
    }
    return future.get();
}

bool downloadReachesTheDiskImageTool(RecordingProcessRunner& runner,
                                     const std::function<void()>& start) {
    runner.journal.clear();
    const RetryNotice retry;
    start();
    // A mount that gives no volume is followed by a retry notice too: the mount comes first.
    eventually([&] { return retry.waitFor(0ms) || runner.journal.size() > 0; }, kLimit);
    const bool mounted = runner.journal.size() > 0;
    EXPECT_TRUE(UrlSessionQueue::drain());
    return mounted;
}

bool downloadPostsTheRetryNotice(const std::function<void()>& start) {
    const RetryNotice retry;
    start();
    const bool posted = retry.waitFor(kLimit);
    EXPECT_TRUE(UrlSessionQueue::drain());
    return posted;
}
