#pragma once

#include <string>

// How often `piece` occurs in `text` (overlapping occurrences count).
inline int occurrences(const std::string& text, const std::string& piece) {
    int found = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++found;
    return found;
}
