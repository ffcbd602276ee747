#include "Platform/LogLimiter.h"

#include <iterator>
#include <utility>

namespace platform {

std::optional<std::uint64_t> LogLimiter::admit(const std::string& host, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (const auto found = hosts_.find(host); found != hosts_.end()) {
        Host& known = found->second;
        if (now - known.lastLine < kInterval) {
            ++known.held;
            return std::nullopt;
        }
        known.lastLine = now;
        return std::exchange(known.held, 0) + 1;
    }
    if (hosts_.size() >= kMaximumHosts) {
        for (auto it = hosts_.begin(); it != hosts_.end();) {
            const bool quiet = it->second.held == 0 && now - it->second.lastLine >= kInterval;
            it = quiet ? hosts_.erase(it) : std::next(it);
        }
        // Every one of them had a line in the last minute: start afresh rather than grow.
        if (hosts_.size() >= kMaximumHosts) hosts_.clear();
    }
    hosts_.emplace(host, Host{now, 0});
    return 1;
}

}  // namespace platform
