// The scripted answers of the local service and its journal of requests and events.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace kelo::localservice {

// One scripted answer for a path. What is not set comes from the path's default answer: an
// answer with only "dropAfterBytes" serves the usual file but cuts it short.
struct Answer {
    std::optional<int> status;
    std::optional<std::string> body;
    std::optional<std::string> contentType;
    std::optional<std::string> file;  // a file name under the service's root folder
    std::vector<std::pair<std::string, std::string>> headers;
    long delayMs = 0;
    std::optional<std::size_t> dropAfterBytes;
    std::optional<std::size_t> stallAfterBytes;
    long stallMs = 0;  // 0: stall until the client goes away
    std::optional<std::string> redirectTo;
    bool ignoreRange = false;   // answer a Range request with the whole body, as some servers do
    std::optional<long> times;  // absent: always
};

// Reads an answer from the JSON of POST /control/answer; on a malformed one returns nothing
// and says why in `error`.
std::optional<std::pair<std::string, Answer>> parseAnswer(const nlohmann::json& json,
                                                          std::string& error);

// Answers queued per path, used in order.
class AnswerBook {
  public:
    void add(const std::string& path, Answer answer);
    // The answer for this request of `path`, if one is queued; uses up one of its times.
    std::optional<Answer> take(const std::string& path);
    void clear();

  private:
    std::mutex mutex_;
    std::map<std::string, std::deque<Answer>> queues_;
};

// Requests received on the HTTPS side and events reported by pages, newest last.
class Journal {
  public:
    static constexpr std::size_t kMaxEntries = 20000;

    void addRequest(nlohmann::json request);
    void addEvent(nlohmann::json event);
    nlohmann::json requests(const std::string& pathFilter = {}) const;
    nlohmann::json events() const;
    // Body bytes sent for a path, in every answer so far.
    void addSent(const std::string& path, std::size_t bytes);
    std::size_t sent(const std::string& path) const;
    void clearRequests();
    void clearEvents();

  private:
    mutable std::mutex mutex_;
    std::deque<nlohmann::json> requests_;
    std::deque<nlohmann::json> events_;
    std::map<std::string, std::size_t> sent_;
};

// Seconds since the epoch, with milliseconds.
double secondsSinceEpoch();

}  // namespace kelo::localservice
