#pragma once

#include <optional>
#include <string>
#include <string_view>

// Which navigations the window lets happen. The main frame must stay on the service's pages:
// reloads (and the launcher's own loads) that would leave the web server are refused, the
// service's "kelojoin" links go to the system, the links the user follows are allowed. Addresses
// are compared parsed, never as text: the service's name in a query, a path or a user part of
// another site's address counts for nothing.
//
// The web view does not say which frame a navigation is for. A reload-class navigation to
// another https site may be a frame of the page (frames have no bridge, and may show other
// sites): it is allowed for a frame only, and the window refuses it once its response shows that
// it is the main frame's.
class NavigationPolicy {
  public:
    // The web view's navigation kinds.
    enum class Kind { LinkActivated, FormSubmitted, BackForward, Reload, FormResubmitted, Other };

    static constexpr std::string_view kDeepLinkScheme = "kelojoin";

    struct Decision {
        bool allow = false;
        // The address is a deep link, to be handed to the system.
        bool deepLink = false;
        // Allowed for a frame of the page; the main frame may not show it.
        bool inAFrameOnly = false;
    };

    // address: the request's full address, nullopt when there is none. webServerName: the
    // service's host[:port] (absent or empty: no address is the service's). offlinePage: the
    // offline page's address.
    static Decision decide(Kind kind, const std::optional<std::string>& address,
                           const std::optional<std::string>& webServerName,
                           std::string_view offlinePage);

    // Whether the address is a page of the web server: https, and the server's host (whatever
    // its letter case) and port.
    static bool isOnWebServer(std::string_view address,
                              const std::optional<std::string>& webServerName);
};
