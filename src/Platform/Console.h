#pragma once

#include <fmt/format.h>

#include <string_view>
#include <utility>

namespace platform {

// Plain lines on standard output, as the application classes write them. Each line is flushed
// at once, so it reaches the log file in order with the lines on standard error.
class Console {
public:
    static void print(std::string_view line);

    template <typename... Args>
    static void printf(fmt::format_string<Args...> format, Args&&... args) {
        print(fmt::format(format, std::forward<Args>(args)...));
    }
};

}  // namespace platform
