#pragma once

#include <optional>
#include <string>
#include <string_view>

// Which navigations the window lets happen. The web view must stay on the service's pages:
// reloads (and the launcher's own loads) that would leave the web server are refused, the
// service's "kelojoin" links go to the system, everything the user follows is allowed.
class NavigationPolicy {
  public:
    // The web view's navigation kinds.
    enum class Kind { LinkActivated, FormSubmitted, BackForward, Reload, FormResubmitted, Other };

    static constexpr std::string_view kDeepLinkScheme = "kelojoin";
    static constexpr std::string_view kOfflinePageName = "NoInternetPage.html";

    struct Decision {
        bool allow = false;
        // The address is a deep link, to be handed to the system.
        bool deepLink = false;
    };

    // address: the request's full address, nullopt when there is none. webServerName: the
    // service's host, found in the address whatever its letter case; absent or empty matches no
    // address.
    static Decision decide(Kind kind, bool mainFrame, const std::optional<std::string>& address,
                           const std::optional<std::string>& webServerName);

    // The scheme of an address as written ("KeloJoin" for "KeloJoin:x"), nullopt when it has none.
    static std::optional<std::string> scheme(std::string_view address);
};
