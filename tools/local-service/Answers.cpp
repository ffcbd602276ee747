#include "Answers.h"

#include <chrono>
#include <set>

namespace kelo::localservice {

namespace {

using nlohmann::json;

bool readCount(const json& object, const char* key, std::optional<long long>& out,
               std::string& error) {
    if (!object.contains(key)) return true;
    const json& value = object.at(key);
    if (!value.is_number_integer() || value.get<long long>() < 0) {
        error = std::string("\"") + key + "\" must be a non-negative integer";
        return false;
    }
    out = value.get<long long>();
    return true;
}

bool readText(const json& object, const char* key, std::optional<std::string>& out,
              std::string& error) {
    if (!object.contains(key)) return true;
    const json& value = object.at(key);
    if (!value.is_string()) {
        error = std::string("\"") + key + "\" must be a string";
        return false;
    }
    out = value.get<std::string>();
    return true;
}

}  // namespace

std::optional<std::pair<std::string, Answer>> parseAnswer(const json& object, std::string& error) {
    static const std::set<std::string> known = {
        "path",       "status",  "body",           "contentType",     "file",
        "headers",    "delayMs", "dropAfterBytes", "stallAfterBytes", "stallMs",
        "redirectTo", "times",   "ignoreRange"};
    if (!object.is_object()) {
        error = "an answer must be a JSON object";
        return std::nullopt;
    }
    for (const auto& [key, value] : object.items()) {
        if (!known.contains(key)) {
            error = "unknown key \"" + key + "\"";
            return std::nullopt;
        }
    }

    std::optional<std::string> path;
    if (!readText(object, "path", path, error)) return std::nullopt;
    if (!path || path->empty() || path->front() != '/') {
        error = "\"path\" must be a string that starts with /";
        return std::nullopt;
    }

    Answer answer;
    std::optional<long long> number;
    if (!readCount(object, "status", number, error)) return std::nullopt;
    if (number) {
        if (*number < 100 || *number > 599) {
            error = "\"status\" must be between 100 and 599";
            return std::nullopt;
        }
        answer.status = static_cast<int>(*number);
    }

    if (object.contains("body")) {
        const json& body = object.at("body");
        if (body.is_string()) {
            answer.body = body.get<std::string>();
        } else {
            // A JSON value given as such is sent as its compact text.
            answer.body = body.dump();
            answer.contentType = "application/json";
        }
    }
    if (!readText(object, "contentType", answer.contentType, error)) return std::nullopt;
    if (!readText(object, "file", answer.file, error)) return std::nullopt;
    if (answer.file && (answer.file->empty() || answer.file->find('/') != std::string::npos ||
                        *answer.file == "." || *answer.file == "..")) {
        error = "\"file\" must be a plain file name";
        return std::nullopt;
    }
    if (answer.body && answer.file) {
        error = "give either \"body\" or \"file\", not both";
        return std::nullopt;
    }

    if (object.contains("headers")) {
        const json& headers = object.at("headers");
        if (!headers.is_object()) {
            error = "\"headers\" must be an object of strings";
            return std::nullopt;
        }
        for (const auto& [name, value] : headers.items()) {
            if (!value.is_string()) {
                error = "\"headers\" must be an object of strings";
                return std::nullopt;
            }
            answer.headers.emplace_back(name, value.get<std::string>());
        }
    }

    number.reset();
    if (!readCount(object, "delayMs", number, error)) return std::nullopt;
    answer.delayMs = static_cast<long>(number.value_or(0));
    number.reset();
    if (!readCount(object, "stallMs", number, error)) return std::nullopt;
    answer.stallMs = static_cast<long>(number.value_or(0));
    number.reset();
    if (!readCount(object, "dropAfterBytes", number, error)) return std::nullopt;
    if (number) answer.dropAfterBytes = static_cast<std::size_t>(*number);
    number.reset();
    if (!readCount(object, "stallAfterBytes", number, error)) return std::nullopt;
    if (number) answer.stallAfterBytes = static_cast<std::size_t>(*number);
    number.reset();
    if (!readCount(object, "times", number, error)) return std::nullopt;
    if (number) {
        if (*number == 0) {
            error = "\"times\" must be at least 1";
            return std::nullopt;
        }
        answer.times = static_cast<long>(*number);
    }
    if (object.contains("ignoreRange")) {
        if (!object.at("ignoreRange").is_boolean()) {
            error = "\"ignoreRange\" must be true or false";
            return std::nullopt;
        }
        answer.ignoreRange = object.at("ignoreRange").get<bool>();
    }
    if (!readText(object, "redirectTo", answer.redirectTo, error)) return std::nullopt;
    if (answer.redirectTo && answer.redirectTo->empty()) {
        error = "\"redirectTo\" must not be empty";
        return std::nullopt;
    }
    return std::make_pair(*path, std::move(answer));
}

void AnswerBook::add(const std::string& path, Answer answer) {
    std::lock_guard lock(mutex_);
    queues_[path].push_back(std::move(answer));
}

std::optional<Answer> AnswerBook::take(const std::string& path) {
    std::lock_guard lock(mutex_);
    auto it = queues_.find(path);
    if (it == queues_.end() || it->second.empty()) return std::nullopt;
    Answer& front = it->second.front();
    Answer answer = front;
    if (front.times && --*front.times == 0) {
        it->second.pop_front();
        if (it->second.empty()) queues_.erase(it);
    }
    return answer;
}

void AnswerBook::clear() {
    std::lock_guard lock(mutex_);
    queues_.clear();
}

void Journal::addRequest(json request) {
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(request));
    if (requests_.size() > kMaxEntries) requests_.pop_front();
}

void Journal::addEvent(json event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
    if (events_.size() > kMaxEntries) events_.pop_front();
}

json Journal::requests(const std::string& pathFilter) const {
    std::lock_guard lock(mutex_);
    json out = json::array();
    for (const json& request : requests_) {
        if (pathFilter.empty() || request.value("path", "") == pathFilter) out.push_back(request);
    }
    return out;
}

json Journal::events() const {
    std::lock_guard lock(mutex_);
    json out = json::array();
    for (const json& event : events_) out.push_back(event);
    return out;
}

void Journal::addSent(const std::string& path, std::size_t bytes) {
    std::lock_guard lock(mutex_);
    sent_[path] += bytes;
}

std::size_t Journal::sent(const std::string& path) const {
    std::lock_guard lock(mutex_);
    const auto found = sent_.find(path);
    return found == sent_.end() ? 0 : found->second;
}

void Journal::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
    sent_.clear();
}

void Journal::clearEvents() {
    std::lock_guard lock(mutex_);
    events_.clear();
}

double secondsSinceEpoch() {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    return static_cast<double>(ms) / 1000.0;
}

}  // namespace kelo::localservice
