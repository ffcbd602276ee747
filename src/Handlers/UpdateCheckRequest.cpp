#include "Handlers/UpdateCheckRequest.h"

#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "Platform/ExceptionGuard.h"
#include "Platform/Log.h"
#include "Platform/UrlEncoding.h"
#include "Platform/UrlSession.h"

namespace {

// The error a request gets when its address cannot be made into a URL.
platform::UrlError badUrlError(const std::string& address) {
    return platform::UrlError{"NSURLErrorDomain", -1000, "bad URL", address};
}

// Calls the completion at most once, on the URL session's queue, whatever happens around it.
class CompletionOnce {
  public:
    CompletionOnce(std::string_view operation, UpdateCheckRequest::Completion completion)
        : operation_(operation), completion_(std::move(completion)) {}

    void call(bool result) {
        UpdateCheckRequest::Completion completion;
        {
            std::lock_guard lock(mutex_);
            completion.swap(completion_);
        }
        if (completion) platform::ExceptionGuard::run(operation_, [&] { completion(result); });
    }

    // Reports NO later, on the URL session's queue, as a request that failed would.
    static void failLater(const std::shared_ptr<CompletionOnce>& once) {
        const bool queued = platform::ExceptionGuard::run(once->operation_, [&] {
            platform::UrlSession::shared().enqueue([once] { once->call(false); });
        });
        if (!queued) once->call(false);
    }

  private:
    std::string_view operation_;
    std::mutex mutex_;
    UpdateCheckRequest::Completion completion_;
};

// Logs the failure lines shared by both checks; true when the exchange may be read.
bool exchangeSucceeded(std::string_view operation, const std::string& address,
                       const std::optional<platform::UrlResponse>& response,
                       const std::optional<platform::UrlError>& error) {
    if (error) {
        platform::Log::nslog("{} : Check Update failed : {}", operation, error->printedForm());
        return false;
    }
    const long status = response ? response->statusCode : 0;
    if (status != 200) {
        platform::Log::nslog(
            "{} : NSURLConnection failed for this request : {} and status code : {}", operation,
            address, status);
        return false;
    }
    return true;
}

}  // namespace

void UpdateCheckRequest::send(std::string_view operation, std::string_view blockOperation,
                              Completion completion, const std::function<Address()>& address,
                              std::function<void(const std::string& body)> read) {
    auto once = std::make_shared<CompletionOnce>(blockOperation, std::move(completion));
    const bool sent = platform::ExceptionGuard::run(operation, [&] {
        const Address target = address();
        if (!target.sendable || !platform::UrlEncoding::isValidUrl(target.text)) {
            platform::Log::nslog("{} : Check Update failed : {}", operation,
                                 badUrlError(target.text).printedForm());
            CompletionOnce::failLater(once);
            return;
        }
        platform::UrlRequest request;
        request.url = target.text;
        request.timeoutSeconds = 60;
        platform::UrlSession::shared().dataTask(
            std::move(request),
            [once, blockOperation, address = target.text, read = std::move(read)](
                std::string body, std::optional<platform::UrlResponse> response,
                std::optional<platform::UrlError> error) {
                bool result = false;
                platform::ExceptionGuard::run(blockOperation, [&] {
                    if (!exchangeSucceeded(blockOperation, address, response, error)) return;
                    read(body);
                    result = true;
                });
                once->call(result);
            });
    });
    if (!sent) CompletionOnce::failLater(once);
}
