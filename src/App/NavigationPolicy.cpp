#include "App/NavigationPolicy.h"

#include "Handlers/WebAddress.h"

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
    // The deep-link scheme as written (the scheme is what comes before the first colon).
    if (address && address->starts_with(std::string(kDeepLinkScheme) + ":")) {
        return {.deepLink = true};
    }
    return {.allow = true};
}
