#pragma once

#include <fmt/format.h>

#include <string>
#include <string_view>
#include <utility>

namespace platform {

// The system logging call: one line on standard error, prefixed with the local date and time to
// the millisecond, the process name and [pid:tid].
class Log {
public:
    template <typename... Args>
    static void nslog(fmt::format_string<Args...> format, Args&&... args) {
        write(fmt::format(format, std::forward<Args>(args)...));
    }

    // Writes one message; the line feed that ends it is added here.
    static void write(std::string_view message);

    // "2026-12-06 08:00:00.123 KeloHelvoPellix[1234:5678] "
    static std::string prefix();
};

}  // namespace platform
