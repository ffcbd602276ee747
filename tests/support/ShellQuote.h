#pragma once

#include <string>

// `text` as one word for /bin/sh, in single quotes.
inline std::string shellQuoted(const std::string& text) {
    std::string result = "'";
    for (const char c : text) result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return result + "'";
}
