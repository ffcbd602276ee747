#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "App/NavigationPolicy.h"
#include "Handlers/HandOverStatus.h"
#include "Handlers/NativeMessageHandlerDelegate.h"
#include "Handlers/NetworkMonitorDelegate.h"

// Toolkit handles stay opaque here: only ViewController.cpp knows GTK and WebKitGTK.
typedef struct _GtkWindow GtkWindow;
typedef struct _GtkWidget GtkWidget;
typedef struct _WebKitWebView WebKitWebView;

// The window's content: the web view that shows the service's join page (and the offline page
// while the service cannot be reached), with the hand-over's status under it from the moment a
// join is accepted: its words, a progress bar (how far the agent's download is) and, when the
// hand-over failed, a Try again button. It routes the page's script messages to the bridge, each
// with the address of the document that posted it (the page bridge in the web process gives only
// main-frame documents a way to post; the address is checked before the body is read), keeps the
// main frame on the service's pages, hands the service's deep links to the system, and is the
// delegate of the bridge and of the network monitor. The web view does only what the launcher
// needs: it saves nothing a page sends (no downloads), and its data folders are the user's own.
//
// Everything runs on the main thread; the two delegate operations of the bridge hop there when
// called from elsewhere.
class ViewController final : public NativeMessageHandlerDelegate,
                             public NetworkMonitorDelegate,
                             public HandOverStatus::Observer,
                             public std::enable_shared_from_this<ViewController> {
  public:
    static constexpr const char* kDefaultWindowTitle = "Kelo Helvo - Pellix";
    static constexpr const char* kWindowTitleKey = "WindowTitle";
    static constexpr int kJoinPageTimeoutSeconds = 10;
    // A controller whose view becomes the content of the window (none: a view in no window).
    static std::shared_ptr<ViewController> create(GtkWindow* window);
    ~ViewController() override;
    ViewController(const ViewController&) = delete;
    ViewController& operator=(const ViewController&) = delete;

    // Builds the web view, sets the window title, becomes the bridge's and the monitor's
    // delegate, starts monitoring and loads the join page.
    void viewDidLoad();
    // (Re)loads the join page; an address that does not parse loads nothing.
    void loadJoinPageURl();
    // "https://" + web server + "/" + join-page path + "?pellix_token=" + launch token.
    static std::string joinPageAddress();

    void executeJavaScript(const std::string& script) override;
    void updateWindowTitle(const std::string& title) override;
    void didRestoreConnection() override;
    void didFailedToConnect() override;
    void handOverStatusChanged(const HandOverStatus::State& status) override;

    // Hands the address to the system's handler for its scheme.
    void handleDeepLink(const std::string& address);
    // Shows the offline page from the bundle's resources.
    void loadStaticNoInternetPage();

    GtkWidget* view() const;
    WebKitWebView* webView() const;

    // Every navigation decision as it is made, for tests. So is every response refused in the
    // main frame because only a frame may show its address, and every refused download (at its
    // response, or as it started): kind Other, not allowed.
    struct NavigationRecord {
        NavigationPolicy::Kind kind = NavigationPolicy::Kind::Other;
        bool newWindow = false;
        std::optional<std::string> address;
        NavigationPolicy::Decision decision;
        bool download = false;
    };
    void setNavigationObserverForTesting(std::function<void(const NavigationRecord&)> observer);

    struct Impl;

  private:
    explicit ViewController(GtkWindow* window);

    void handleWebViewError();
    void showHandOverStatus(const HandOverStatus::State& status);
    void showDownloadProgress(const std::string& url, std::uint64_t received,
                              std::optional<std::uint64_t> expected);

    std::unique_ptr<Impl> impl_;
};
