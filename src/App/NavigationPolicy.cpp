#include "App/NavigationPolicy.h"

#include "Handlers/WebAddress.h"

namespace {

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
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

bool NavigationPolicy::isOnWebServer(std::string_view address,
                                     const std::optional<std::string>& webServerName) {
    const auto page = WebAddress::parse(address);
    const auto server = WebAddress::parse("https://" + webServerName.value_or(""));
    // An unknown server (no host) is nobody's: the empty host would match a page without one.
    return page && server && !server->host.empty() && page->scheme == "https" &&
           page->authority() == server->authority();
}

NavigationPolicy::Decision NavigationPolicy::decide(Kind kind,
                                                    const std::optional<std::string>& address,
                                                    const std::optional<std::string>& webServerName,
                                                    std::string_view offlinePage) {
    const bool reloadClass = kind == Kind::Reload || kind == Kind::Other;
    if (reloadClass) {
        if (!address) return {};
        if (isOnWebServer(*address, webServerName)) return {.allow = true};
        if (!offlinePage.empty() && *address == offlinePage) return {.allow = true};
        // Another https site: a frame may show it, the main frame may not.
        if (kind == Kind::Other) {
            const auto parsed = WebAddress::parse(*address);
            if (parsed && parsed->scheme == "https" && !parsed->host.empty()) {
                return {.allow = true, .inAFrameOnly = true};
            }
        }
        return {};
    }
    if (!address) return {.allow = true};
    const auto addressScheme = scheme(*address);
    if (!addressScheme) return {.allow = true};
    if (*addressScheme == kDeepLinkScheme) return {.deepLink = true};
    return {.allow = true};
}
