#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/ServiceSlot.h"

namespace platform {

// Downloads only: sees each piece of the body as it is written to the file, with the offset it
// lands at (a download that starts over begins again at 0). It runs on the session's transfer
// thread, before the completion: what it does holds up the transfer.
using DownloadBodyObserver = std::function<void(std::uint64_t offset, std::string_view bytes)>;

struct UrlRequest {
    std::string url;
    std::string method = "GET";
    // The request fails when no data has arrived for this long (the platform's meaning).
    double timeoutSeconds = 60;
    std::map<std::string, std::string> headers;
    bool followRedirects = true;
    // Cache policy 2 of the platform: use cached data when present. Not honoured by every
    // backend; kept so callers say what they ask for.
    int cachePolicy = 0;
    // Downloads only: a transfer that breaks (the connection lost or refused, the host not
    // found, silence past the time-out) is tried once more per entry, and the next attempt asks
    // for the rest of the body: a Range guarded by If-Range with the validator of the answer the
    // partial body came from (its ETag, else its Last-Modified). An answer other than 206 to it,
    // or a body without a validator, starts the file over. The entry is the wait before that
    // attempt, skipped when the attempt before brought bytes (the line worked until it broke).
    std::vector<std::chrono::milliseconds> resumeWaits;
    DownloadBodyObserver bodyObserver;
};

struct UrlResponse {
    long statusCode = 0;
    std::string url;  // the final address, after redirects
    std::map<std::string, std::string> headers;
    // For a download that was resumed: the whole file's length, the bytes before the last
    // answer's range included.
    std::optional<std::uint64_t> expectedContentLength;
};

struct UrlError {
    std::string domain = "NSURLErrorDomain";
    long code = 0;  // e.g. -1001 timed out, -1200 TLS failure, -1004 cannot connect
    std::string localizedDescription;
    std::string failingUrl;

    // The printed form used in log lines.
    std::string printedForm() const;
};

// Progress of a download, reported on the session's queue: bytes in the file and, when the server
// said, bytes expected. A resumed download goes on from the bytes it had.
using DownloadProgressHandler =
    std::function<void(std::uint64_t received, std::optional<std::uint64_t> expected)>;

using DataTaskCompletion = std::function<void(std::string body, std::optional<UrlResponse> response,
                                              std::optional<UrlError> error)>;
// The downloaded file exists only while the completion runs; the completion copies or moves it.
using DownloadTaskCompletion =
    std::function<void(std::optional<std::filesystem::path> file,
                       std::optional<UrlResponse> response, std::optional<UrlError> error)>;

// The shared URL session. Completions and progress run on one serial background queue (never
// the main thread), in the order the tasks finish. Only https addresses are requested, and only
// https redirects followed: any other address fails as unsupported. TLS is always verified:
// against the system trust store, plus the authority in KELO_PELLIX_CA_FILE when that is set. The
// system's proxy settings decide the route of each request.
class UrlSession {
  public:
    virtual ~UrlSession() = default;

    static UrlSession& shared() { return ServiceSlot<UrlSession>::get(); }
    static std::shared_ptr<UrlSession> makeDefault();

    virtual void dataTask(UrlRequest request, DataTaskCompletion completion) = 0;
    // Streams the body to a temporary file, never into memory.
    virtual void downloadTask(UrlRequest request, DownloadTaskCompletion completion,
                              DownloadProgressHandler progress = nullptr) = 0;

    // Listeners told of every download's progress (the window shows it). Returns a token for
    // removeProgressObserver.
    virtual int addProgressObserver(
        std::function<void(const std::string& url, std::uint64_t received,
                           std::optional<std::uint64_t> expected, bool finished, bool failed)>
            observer) = 0;
    virtual void removeProgressObserver(int token) = 0;

    // True on the session's completion queue.
    virtual bool isDelegateQueue() const = 0;
    // Runs a block on the session's completion queue (after the completions queued before it).
    virtual void enqueue(std::function<void()> block) = 0;
};

}  // namespace platform
