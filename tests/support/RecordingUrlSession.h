#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/UrlSession.h"

// A URL session that sends nothing: it notes every request and keeps the data tasks'
// completions for the test to run. Downloads are held for good, or fail at once when
// `unreachable` is set, as when the server cannot be reached. Blocks enqueued run at once.
class RecordingUrlSession final : public platform::UrlSession {
  public:
    void dataTask(platform::UrlRequest request, platform::DataTaskCompletion completion) override;
    void downloadTask(platform::UrlRequest request, platform::DownloadTaskCompletion completion,
                      platform::DownloadProgressHandler progress) override;
    int addProgressObserver(
        std::function<void(const std::string&, std::uint64_t, std::optional<std::uint64_t>, bool,
                           bool)>) override {
        return 1;
    }
    void removeProgressObserver(int) override {}
    bool isDelegateQueue() const override { return false; }
    void enqueue(std::function<void()> block) override { block(); }

    // Every request so far, data tasks and downloads, in the order they came.
    std::vector<platform::UrlRequest> requests() const;
    std::size_t count() const;
    // Completes data task number `index` (counting data tasks only) with an answer "{}" of the
    // status; status 0 completes it as a transfer that failed, with no answer.
    void finish(std::size_t index, long status);

    std::atomic<bool> unreachable = false;
    // Runs as each request arrives, before it is noted.
    std::function<void(const platform::UrlRequest&)> onRequest;

  private:
    void note(const platform::UrlRequest& request);

    mutable std::mutex mutex_;
    std::vector<platform::UrlRequest> requests_;
    std::vector<platform::UrlRequest> dataRequests_;
    std::vector<platform::DataTaskCompletion> dataCompletions_;
};
