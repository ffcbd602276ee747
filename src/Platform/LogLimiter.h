#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace platform {

// Holds back the lines about what a page may do over and over (post to the bridge from another
// site, offer downloads, ask for a join): the first line for a host is written, then at most one
// a minute for it, saying how many there were since the line before. So no page can push the
// earlier diagnostics out of the kept log files. Safe from several threads.
class LogLimiter {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kInterval{60};
    // Hosts remembered at most; past that, those with nothing held back and no line in the last
    // minute are forgotten.
    static constexpr std::size_t kMaximumHosts = 256;

    // Whether a line is due for this occurrence from `host`: nullopt to hold it back, else how
    // many occurrences the line stands for (this one and those held back since the host's last
    // line; 1 for a host's first).
    std::optional<std::uint64_t> admit(const std::string& host,
                                       Clock::time_point now = Clock::now());

  private:
    struct Host {
        Clock::time_point lastLine;
        std::uint64_t held = 0;
    };
    std::mutex mutex_;
    std::unordered_map<std::string, Host> hosts_;
};

}  // namespace platform
