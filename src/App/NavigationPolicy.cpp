#include "App/NavigationPolicy.h"

#include <algorithm>

namespace {

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}
char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Host names have no letter case: "EU.kelodev.test" is the host of "https://eu.kelodev.test/".
bool containsIgnoringCase(std::string_view text, std::string_view piece) {
    const auto found = std::search(text.begin(), text.end(), piece.begin(), piece.end(),
                                   [](char a, char b) { return asciiLower(a) == asciiLower(b); });
    return found != text.end();
}

}  // namespace

std::optional<std::string> NavigationPolicy::scheme(std::string_view address) {
    const auto colon = address.find(':');
    if (colon == std::string_view::npos || colon == 0 || !isAsciiLetter(address.front())) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < colon; ++i) {
        const char c = address[i];
        if (!isAsciiLetter(c) && !isAsciiDigit(c) && c != '+' && c != '-' && c != '.') {
            return std::nullopt;
        }
    }
    return std::string(address.substr(0, colon));
}

NavigationPolicy::Decision NavigationPolicy::decide(
    Kind kind, bool mainFrame, const std::optional<std::string>& address,
    const std::optional<std::string>& webServerName) {
    const bool reloadClass = kind == Kind::Reload || (kind == Kind::Other && mainFrame);
    if (reloadClass) {
        if (!address) return {false, false};
        // An unknown server matches nothing: the empty text would match every address.
        if (webServerName && !webServerName->empty() &&
            containsIgnoringCase(*address, *webServerName)) {
            return {true, false};
        }
        if (address->find(kOfflinePageName) != std::string::npos) return {true, false};
        return {false, false};
    }
    if (!address) return {true, false};
    const auto addressScheme = scheme(*address);
    if (!addressScheme) return {true, false};
    if (*addressScheme == kDeepLinkScheme) return {false, true};
    return {true, false};
}
