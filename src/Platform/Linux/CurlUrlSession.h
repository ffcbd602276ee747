#pragma once

#include <functional>
#include <memory>

#include "Platform/UrlSession.h"

namespace platform {

// The URL session on libcurl. One worker thread drives a curl multi handle for every transfer;
// completions and progress reports are delivered in order on one serial queue of the session's
// own, never on the main thread. Downloads stream into a temporary file that exists while the
// completion runs. Each address is routed as GIO's proxy resolver says. The session may be
// destroyed while idle; transfers still running then end as cancelled.
class CurlUrlSession final : public UrlSession {
  public:
    CurlUrlSession();
    ~CurlUrlSession() override;
    CurlUrlSession(const CurlUrlSession&) = delete;
    CurlUrlSession& operator=(const CurlUrlSession&) = delete;

    void dataTask(UrlRequest request, DataTaskCompletion completion) override;
    void downloadTask(UrlRequest request, DownloadTaskCompletion completion,
                      DownloadProgressHandler progress = nullptr) override;

    int addProgressObserver(
        std::function<void(const std::string& url, std::uint64_t received,
                           std::optional<std::uint64_t> expected, bool finished, bool failed)>
            observer) override;
    void removeProgressObserver(int token) override;

    bool isDelegateQueue() const override;
    void enqueue(std::function<void()> block) override;

  private:
    struct Engine;  // the curl state; callers of this header name no curl type
    std::unique_ptr<Engine> engine_;
};

}  // namespace platform
