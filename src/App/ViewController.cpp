#include "App/ViewController.h"

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <cstring>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "App/BridgeMessage.h"
#include "App/DownloadProgress.h"
#include "App/TlsTrust.h"
#include "Handlers/ApiHandler.h"
#include "Handlers/KeloAppUpgrader.h"
#include "Handlers/NativeMessageHandler.h"
#include "Handlers/NetworkMonitor.h"
#include "Handlers/WebAddress.h"
#include "Objects/SessionDetails.h"
#include "Platform/Bundle.h"
#include "Platform/Console.h"
#include "Platform/Deployment.h"
#include "Platform/Error.h"
#include "Platform/ExceptionGuard.h"
#include "Platform/FileManager.h"
#include "Platform/LogLimiter.h"
#include "Platform/MainQueue.h"
#include "Platform/UrlSession.h"
#include "Platform/UserDefaults.h"
#include "Platform/Workspace.h"

namespace {

using platform::Console;

std::string printedForm(const GError* error) {
    if (!error) return "(null)";
    return platform::Error{
        g_quark_to_string(error->domain), error->code, error->message ? error->message : "", {}}
        .printedForm();
}

NavigationPolicy::Kind kindOf(WebKitNavigationType type) {
    switch (type) {
        case WEBKIT_NAVIGATION_TYPE_LINK_CLICKED:
            return NavigationPolicy::Kind::LinkActivated;
        case WEBKIT_NAVIGATION_TYPE_FORM_SUBMITTED:
            return NavigationPolicy::Kind::FormSubmitted;
        case WEBKIT_NAVIGATION_TYPE_BACK_FORWARD:
            return NavigationPolicy::Kind::BackForward;
        case WEBKIT_NAVIGATION_TYPE_RELOAD:
            return NavigationPolicy::Kind::Reload;
        case WEBKIT_NAVIGATION_TYPE_FORM_RESUBMITTED:
            return NavigationPolicy::Kind::FormResubmitted;
        case WEBKIT_NAVIGATION_TYPE_OTHER:
        default:
            return NavigationPolicy::Kind::Other;
    }
}

// A load that another load replaced, or that the navigation policy refused: not a failure.
bool isReplacedLoad(const GError* error) {
    return g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED) ||
           g_error_matches(error, WEBKIT_POLICY_ERROR,
                           WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE);
}

// The launcher's own update image downloads quietly; every other download is the agent's.
bool isLauncherImage(const std::string& url) {
    if (const auto own = SessionDetails::getInstance().pellixDownloadUrl(); own && *own == url) {
        return true;
    }
    const std::string path = url.substr(0, url.find_first_of("?#"));
    return path.ends_with("/KeloHelvoPellix.dmg");
}

// The offline page's address, as the window loads it; empty when the bundle has none.
std::string offlinePageAddress() {
    const auto path = platform::Bundle::main().pathForResource("NoInternetPage", "html");
    if (!path) return {};
    gchar* uri = g_filename_to_uri(path->c_str(), nullptr, nullptr);
    std::string address = uri ? uri : "";
    g_free(uri);
    return address;
}

// How many frame-only addresses are remembered at most (one that never gets a response, a
// refused or failed load, is forgotten in time).
constexpr std::size_t inAFrameOnlyLimit = 64;

// Sent to be saved, not shown: any disposition but "inline" (as WebKit reads the header).
bool isAttachment(WebKitURIResponse* response) {
    SoupMessageHeaders* headers =
        response ? webkit_uri_response_get_http_headers(response) : nullptr;
    const char* value =
        headers ? soup_message_headers_get_one(headers, "Content-Disposition") : nullptr;
    if (!value) return false;
    std::string type(value, std::strcspn(value, ";"));
    type.erase(0, type.find_first_not_of(" \t"));
    type.erase(type.find_last_not_of(" \t") + 1);
    return !type.empty() && g_ascii_strcasecmp(type.c_str(), "inline") != 0;
}

// host[:port] of an address, for log lines; "(no host)" when it has none.
std::string hostOf(const std::string& address) {
    const auto parsed = WebAddress::parse(address);
    return parsed && !parsed->host.empty() ? parsed->authority() : "(no host)";
}

// The last piece of an address's path: the name a download would have had.
std::string lastPathPiece(const std::string& address) {
    const std::string path = address.substr(0, address.find_first_of("?#"));
    return path.substr(path.find_last_of('/') + 1);
}

constexpr const char* kPageBridgeFile = "libKeloPageBridge.so";
// How often a certificate the development authority vouches for is allowed for its host: the
// network process may take the retried load before the allowance, and refuse it once more.
constexpr int kCertificateAllowances = 3;

// The window's own web context. Its web processes load the page bridge from the bundle's
// Frameworks folder, with the page's message names; a web process started before this was set
// would have no bridge, so the context is made and set up before the first web view exists.
WebKitWebContext* bridgedWebContext() {
    static WebKitWebContext* const context = [] {
        auto* folder = new std::string(platform::Bundle::main().path() + "/Contents/Frameworks");
        if (!g_file_test((*folder + "/" + kPageBridgeFile).c_str(), G_FILE_TEST_IS_REGULAR)) {
            Console::print("viewDidLoad() : The page bridge " + *folder + "/" + kPageBridgeFile +
                           " is missing: the join page cannot reach the launcher");
        }
        WebKitWebContext* made = webkit_web_context_new();
        // The web processes run in a sandbox that sees only what it is given.
        webkit_web_context_add_path_to_sandbox(made, folder->c_str(), TRUE);
        g_signal_connect_data(
            made, "initialize-web-process-extensions",
            G_CALLBACK(+[](WebKitWebContext* self, gpointer data) {
                webkit_web_context_set_web_process_extensions_directory(
                    self, static_cast<std::string*>(data)->c_str());
                std::vector<const char*> names;
                for (const auto& name : NativeMessageHandler::messageNames()) {
                    names.push_back(name.data());
                }
                webkit_web_context_set_web_process_extensions_initialization_user_data(
                    self, g_variant_new_strv(names.data(), static_cast<gssize>(names.size())));
            }),
            folder, [](gpointer data, GClosure*) { delete static_cast<std::string*>(data); },
            GConnectFlags{});
        return made;
    }();
    return context;
}

}  // namespace

struct ViewController::Impl {
    ViewController* owner = nullptr;
    GtkWindow* window = nullptr;
    GtkWidget* container = nullptr;  // a reference of our own
    WebKitWebView* webView = nullptr;
    GtkWidget* progressArea = nullptr;
    GtkWidget* progressLabel = nullptr;
    GtkWidget* progressBar = nullptr;
    GtkWidget* tryAgainButton = nullptr;
    int progressToken = -1;
    // The hand-over stage shown; the download's progress counts only while it downloads.
    std::optional<HandOverStatus::Stage> stage;
    // Whether the offline page replaced the join page: only then is a good probe a restored
    // connection.
    bool offlinePageShown = false;
    guint joinPageTimeout = 0;
    bool joinPageTimedOut = false;
    // host + certificate that the development authority vouched for: how often each was allowed.
    std::map<std::string, int> allowedCertificates;
    // Addresses allowed for a frame only: refused when their response is the main frame's.
    std::set<std::string> inAFrameOnly;
    // The address of the document the main frame shows (committed), the page a deep link is from.
    std::string committedAddress;
    // Lines about what pages keep asking for, held back per host.
    platform::LogLimiter refusedDownloads;
    platform::LogLimiter refusedDeepLinks;
    std::function<void(const NavigationRecord&)> navigationObserver;

    void observe(const NavigationRecord& record) const {
        if (navigationObserver) navigationObserver(record);
    }

    void cancelJoinPageTimeout() {
        if (joinPageTimeout != 0) g_source_remove(joinPageTimeout);
        joinPageTimeout = 0;
    }
    // The web view has no time-out of its own: a page that has not answered within the time is
    // stopped and handled as a failed load.
    void startJoinPageTimeout() {
        cancelJoinPageTimeout();
        joinPageTimedOut = false;
        joinPageTimeout = g_timeout_add_seconds(kJoinPageTimeoutSeconds, &onJoinPageTimeout, this);
    }
    static void onTryAgain(GtkButton*, gpointer) {
        platform::ExceptionGuard::run("tryAgain()",
                                      [] { NativeMessageHandler::shared().tryHandOverAgain(); });
    }

    // --- Web view callbacks (main thread) ------------------------------------------------------

    // A message the page bridge sent for a document of the main frame, with its address. The
    // address is looked at first: another site's body is never decoded.
    static gboolean onUserMessage(WebKitWebView*, WebKitUserMessage* message, gpointer) {
        gboolean handled = FALSE;
        platform::ExceptionGuard::run("userContentController(_:didReceive:)", [&] {
            const char* name = webkit_user_message_get_name(message);
            GVariant* parameters = webkit_user_message_get_parameters(message);
            const auto sender = BridgeMessage::sender(parameters);
            if (!name || !sender) return;
            handled = TRUE;
            auto& bridge = NativeMessageHandler::shared();
            if (!bridge.acceptsSender(name, *sender)) return;
            if (const auto length = BridgeMessage::oversize(parameters)) {
                Console::printf(
                    "userContentController(_:didReceive:) : Dropped message {}: its body of {} "
                    "bytes is larger than {} bytes",
                    name, static_cast<std::uint64_t>(*length), BridgeMessage::kMaximumBodyBytes);
                return;
            }
            if (const auto scriptMessage = BridgeMessage::decode(name, parameters)) {
                bridge.handleMessageFromWebView(*scriptMessage);
            }
        });
        return handled;
    }

    // No credential dialog over the page: the server's challenge is answered without
    // credentials, and the load goes on with what the server sends along with its refusal.
    static gboolean onAuthenticate(WebKitWebView*, WebKitAuthenticationRequest* request, gpointer) {
        const char* host = webkit_authentication_request_get_host(request);
        Console::print(
            "webView(_:didReceive:completionHandler:) : " + std::string(host ? host : "(no host)") +
            " asks for credentials; going on without them");
        webkit_authentication_request_authenticate(request, nullptr);
        return TRUE;
    }

    static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                   WebKitPolicyDecisionType type, gpointer data) {
        auto* self = static_cast<Impl*>(data);
        if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
            return self->decideResponse(WEBKIT_RESPONSE_POLICY_DECISION(decision));
        }
        NavigationRecord record;
        platform::ExceptionGuard::run("webView(_:decidePolicyFor:decisionHandler:)", [&] {
            WebKitNavigationAction* action =
                webkit_navigation_policy_decision_get_navigation_action(
                    WEBKIT_NAVIGATION_POLICY_DECISION(decision));
            WebKitURIRequest* request = webkit_navigation_action_get_request(action);
            const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
            record.kind = kindOf(webkit_navigation_action_get_navigation_type(action));
            record.newWindow = type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION;
            if (uri && *uri) record.address = uri;
            record.decision = NavigationPolicy::decide(
                record.kind, record.address, SessionDetails::getInstance().webServerName(),
                offlinePageAddress());
            if (record.address) {
                if (record.decision.inAFrameOnly) {
                    if (inAFrameOnlyLimit <= self->inAFrameOnly.size()) self->inAFrameOnly.clear();
                    self->inAFrameOnly.insert(*record.address);
                } else {
                    self->inAFrameOnly.erase(*record.address);
                }
            }
            if (record.decision.deepLink && record.address) self->openDeepLink(*record.address);
        });
        if (record.decision.allow) {
            webkit_policy_decision_use(decision);
        } else {
            webkit_policy_decision_ignore(decision);
        }
        self->observe(record);
        return TRUE;
    }

    // The web view's answer to what a page or frame received: the window shows pages, it never
    // saves what it was sent. An attachment, or what the view cannot show, is refused (never a
    // download); a response for an address that only a frame may show is refused in the main
    // frame.
    gboolean decideResponse(WebKitResponsePolicyDecision* decision) {
        bool allow = true;
        std::string address;
        platform::ExceptionGuard::run("webView(_:decidePolicyFor:decisionHandler:)", [&] {
            WebKitURIRequest* request = webkit_response_policy_decision_get_request(decision);
            WebKitURIResponse* response = webkit_response_policy_decision_get_response(decision);
            if (const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr) {
                address = uri;
            }
            const bool frameOnly = inAFrameOnly.erase(address) > 0;
            if (isAttachment(response) ||
                !webkit_response_policy_decision_is_mime_type_supported(decision)) {
                allow = false;
                const char* name =
                    response ? webkit_uri_response_get_suggested_filename(response) : nullptr;
                refuseDownload(name ? name : lastPathPiece(address), address);
            } else if (frameOnly &&
                       webkit_response_policy_decision_is_main_frame_main_resource(decision)) {
                allow = false;
                observe({NavigationPolicy::Kind::Other, false, address, {}});
            }
        });
        if (allow) {
            webkit_policy_decision_use(WEBKIT_POLICY_DECISION(decision));
        } else {
            webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
        }
        return TRUE;
    }

    // A download that starts anyway (a link with a download attribute) is cancelled before it
    // has a file to write.
    static void onDownloadStarted(WebKitNetworkSession*, WebKitDownload* download, gpointer data) {
        auto* self = static_cast<Impl*>(data);
        webkit_download_cancel(download);
        platform::ExceptionGuard::run("webView(_:decidePolicyFor:decisionHandler:)", [&] {
            WebKitURIRequest* request = webkit_download_get_request(download);
            const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
            const std::string address = uri ? uri : "";
            self->refuseDownload(lastPathPiece(address), address);
        });
    }

    // One line per refused download, with its name and host (never its bytes), held back per host.
    void refuseDownload(const std::string& name, const std::string& address) {
        observe({NavigationPolicy::Kind::Other, false, address, {}, true});
        const std::string host = hostOf(address);
        const auto count = refusedDownloads.admit(host);
        if (!count) return;
        if (*count == 1) {
            Console::printf(
                "webView(_:decidePolicyFor:decisionHandler:) : Refused the download of \"{}\" "
                "from {}: the window saves nothing a page sends",
                name, host);
        } else {
            Console::printf(
                "webView(_:decidePolicyFor:decisionHandler:) : Refused {} more downloads from {}",
                *count, host);
        }
    }

    // A deep link starts a join: handed to the system only from the service's own pages.
    void openDeepLink(const std::string& address) {
        if (NativeMessageHandler::isServicePage(committedAddress)) {
            owner->handleDeepLink(address);
            return;
        }
        const std::string host = hostOf(committedAddress);
        const auto count = refusedDeepLinks.admit(host);
        if (!count) return;
        if (*count == 1) {
            Console::printf(
                "webView(_:decidePolicyFor:decisionHandler:) : Refused the deep link {} from a "
                "page that is not the service's, host: {}",
                address, host);
        } else {
            Console::printf(
                "webView(_:decidePolicyFor:decisionHandler:) : Refused {} more deep links from a "
                "page that is not the service's, host: {}",
                *count, host);
        }
    }

    // A page asking for a new window gets its address in this one; no window is ever made.
    static GtkWidget* onCreate(WebKitWebView*, WebKitNavigationAction* action, gpointer data) {
        auto* self = static_cast<Impl*>(data);
        WebKitURIRequest* request = webkit_navigation_action_get_request(action);
        const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
        if (uri && *uri) {
            // Loaded once the web view is done asking: not from inside its own signal.
            auto weak = self->owner->weak_from_this();
            platform::MainQueue::shared().async([weak, address = std::string(uri)] {
                if (auto owner = weak.lock()) {
                    webkit_web_view_load_uri(owner->impl_->webView, address.c_str());
                }
            });
        }
        return nullptr;
    }

    static void onLoadChanged(WebKitWebView* webView, WebKitLoadEvent event, gpointer data) {
        auto* self = static_cast<Impl*>(data);
        if (event == WEBKIT_LOAD_COMMITTED) {
            const char* uri = webkit_web_view_get_uri(webView);
            self->committedAddress = uri ? uri : "";
        }
        if (event == WEBKIT_LOAD_COMMITTED || event == WEBKIT_LOAD_FINISHED) {
            self->cancelJoinPageTimeout();
        }
    }

    static gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent event, gchar*, GError* error,
                                 gpointer data) {
        auto* self = static_cast<Impl*>(data);
        const bool timedOut = std::exchange(self->joinPageTimedOut, false);
        // A load that another one replaced: the time-out is the new load's.
        if (!timedOut && isReplacedLoad(error)) return TRUE;
        self->cancelJoinPageTimeout();
        platform::ExceptionGuard::run("webView(_:didFail:withError:)", [&] {
            if (event == WEBKIT_LOAD_COMMITTED) {
                Console::print(
                    std::string(
                        "webView(_:didFail:withError:) : Page failed to load with error: ") +
                    (timedOut ? "The request timed out."
                     : error  ? error->message
                              : ""));
            }
            self->owner->handleWebViewError();
        });
        return TRUE;
    }

    // Server trust is evaluated as usual: a refused certificate is a load failure, unless the
    // development authority of KELO_PELLIX_CA_FILE vouches for it for this host.
    static gboolean onTlsError(WebKitWebView* webView, gchar* failingUri,
                               GTlsCertificate* certificate, GTlsCertificateFlags errors,
                               gpointer data) {
        auto* self = static_cast<Impl*>(data);
        self->cancelJoinPageTimeout();
        self->joinPageTimedOut = false;
        platform::ExceptionGuard::run("webView(_:didReceive:completionHandler:)", [&] {
            std::string host = "(unknown host)";
            gint port = -1;
            if (GUri* uri = g_uri_parse(failingUri, G_URI_FLAGS_NONE, nullptr)) {
                if (const char* name = g_uri_get_host(uri)) host = name;
                port = g_uri_get_port(uri);
                g_uri_unref(uri);
            }
            if (port <= 0) port = 443;
            auto authority = TlsTrust::authorityFile();
            if (authority && !platform::Deployment::developmentAuthorityVouchesFor(host)) {
                Console::print("webView(_:didReceive:completionHandler:) : KELO_PELLIX_CA_FILE (" +
                               *authority +
                               ") vouches only for the hosts of KELO_PELLIX_HOSTS and of the "
                               "development domain, not for " +
                               host);
                authority.reset();
            }
            if (authority && certificate) {
                gchar* pem = nullptr;
                g_object_get(certificate, "certificate-pem", &pem, nullptr);
                const std::string key = host + "\n" + (pem ? pem : "");
                g_free(pem);
                std::string problem;
                const auto flags = TlsTrust::verify(certificate, *authority, host,
                                                    static_cast<guint16>(port), &problem);
                if (flags == 0 && self->allowedCertificates[key] < kCertificateAllowances) {
                    const bool first = ++self->allowedCertificates[key] == 1;
                    Console::print(
                        "webView(_:didReceive:completionHandler:) : KELO_PELLIX_CA_FILE (" +
                        *authority + ") vouches for the certificate of " + host +
                        (first ? "; allowed for this host"
                               : "; refused before the allowance was taken, allowed again"));
                    webkit_network_session_allow_tls_certificate_for_host(
                        webkit_web_view_get_network_session(webView), certificate, host.c_str());
                    // Asked about again like any other load, and held to the same time-out,
                    // once the failed load has finished.
                    std::weak_ptr<ViewController> weak = self->owner->weak_from_this();
                    platform::MainQueue::shared().async([weak, address = std::string(failingUri)] {
                        const auto owner = weak.lock();
                        if (!owner || !owner->impl_->webView) return;
                        webkit_web_view_load_uri(owner->impl_->webView, address.c_str());
                        owner->impl_->startJoinPageTimeout();
                    });
                    return;
                }
                if (flags != 0) {
                    Console::print(
                        "webView(_:didReceive:completionHandler:) : KELO_PELLIX_CA_FILE (" +
                        *authority + ") does not vouch for the certificate of " + host + ": " +
                        (problem.empty() ? TlsTrust::describe(flags) : problem));
                }
            }
            Console::print("webView(_:didReceive:completionHandler:) : Certificate of " + host +
                           " refused: " + TlsTrust::describe(errors) + " (" + failingUri + ")");
            self->owner->handleWebViewError();
        });
        return TRUE;
    }

    static void onScriptEvaluated(GObject* source, GAsyncResult* result, gpointer) {
        GError* error = nullptr;
        JSCValue* value =
            webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
        if (value) g_object_unref(value);
        if (error) {
            Console::print("executeJavaScript(_:)Error sending message to webView: " +
                           printedForm(error));
            g_error_free(error);
        }
    }

    static gboolean onJoinPageTimeout(gpointer data) {
        auto* self = static_cast<Impl*>(data);
        self->joinPageTimeout = 0;
        if (self->webView && webkit_web_view_is_loading(self->webView)) {
            self->joinPageTimedOut = true;
            webkit_web_view_stop_loading(self->webView);
        }
        return G_SOURCE_REMOVE;
    }
};

std::shared_ptr<ViewController> ViewController::create(GtkWindow* window) {
    return std::shared_ptr<ViewController>(new ViewController(window));
}

ViewController::ViewController(GtkWindow* window) : impl_(std::make_unique<Impl>()) {
    impl_->owner = this;
    impl_->window = window;
}

ViewController::~ViewController() {
    auto& impl = *impl_;
    if (impl.progressToken >= 0)
        platform::UrlSession::shared().removeProgressObserver(impl.progressToken);
    impl.cancelJoinPageTimeout();
    // No callback may reach a controller that is going away.
    if (impl.webView) {
        g_signal_handlers_disconnect_by_data(impl.webView, &impl);
        g_signal_handlers_disconnect_by_data(webkit_network_session_get_default(), &impl);
    }
    if (impl.container) g_object_unref(impl.container);
}

GtkWidget* ViewController::view() const {
    return impl_->container;
}

WebKitWebView* ViewController::webView() const {
    return impl_->webView;
}

void ViewController::setNavigationObserverForTesting(
    std::function<void(const NavigationRecord&)> observer) {
    impl_->navigationObserver = std::move(observer);
}

std::string ViewController::joinPageAddress() {
    auto& session = SessionDetails::getInstance();
    return "https://" + session.webServerName().value_or("") + "/" +
           session.pathForPellix().value_or("") +
           "?pellix_token=" + session.pellixToken().value_or("");
}

void ViewController::viewDidLoad() {
    auto& impl = *impl_;
    if (impl.webView) return;  // once

    // The title the page set last time, else the default one (remembered for next time).
    auto& defaults = platform::UserDefaults::standard();
    const auto stored = defaults.object(kWindowTitleKey);
    if (stored && stored->isString()) {
        if (impl.window) gtk_window_set_title(impl.window, stored->asString()->c_str());
    } else {
        const char* title = nullptr;
        if (impl.window) {
            gtk_window_set_title(impl.window, kDefaultWindowTitle);
            title = gtk_window_get_title(impl.window);
        }
        if (title) {
            defaults.set(kWindowTitleKey, platform::PlistValue(std::string(title)));
        } else {
            defaults.remove(kWindowTitleKey);
        }
        defaults.synchronize();
    }

    // The default network session keeps local storage on disk; its cookies are kept beside it,
    // so both survive a restart. Its folders are the user's own (cookies, storage and cache hold
    // the session's secrets): made so before WebKit writes into them.
    WebKitNetworkSession* session = webkit_network_session_get_default();
    WebKitWebsiteDataManager* data = webkit_network_session_get_website_data_manager(session);
    for (const char* folder : {webkit_website_data_manager_get_base_data_directory(data),
                               webkit_website_data_manager_get_base_cache_directory(data)}) {
        if (!folder) continue;
        if (auto error = platform::FileManager::defaultManager().createPrivateDirectory(folder)) {
            Console::print("viewDidLoad() : The web view's data folder " + std::string(folder) +
                           " could not be made the user's own: " + error->printedForm());
        }
    }
    if (const char* folder = webkit_website_data_manager_get_base_data_directory(data)) {
        gchar* cookies = g_build_filename(folder, "cookies.sqlite", nullptr);
        webkit_cookie_manager_set_persistent_storage(
            webkit_network_session_get_cookie_manager(session), cookies,
            WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
        g_free(cookies);
    }
    // The window saves nothing that a page sends.
    g_signal_connect(session, "download-started", G_CALLBACK(&Impl::onDownloadStarted), &impl);
    impl.webView = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "network-session", session,
                                                "web-context", bridgedWebContext(), nullptr));
    gtk_widget_set_hexpand(GTK_WIDGET(impl.webView), TRUE);
    gtk_widget_set_vexpand(GTK_WIDGET(impl.webView), TRUE);
    g_signal_connect(impl.webView, "decide-policy", G_CALLBACK(&Impl::onDecidePolicy), &impl);
    g_signal_connect(impl.webView, "create", G_CALLBACK(&Impl::onCreate), &impl);
    g_signal_connect(impl.webView, "load-changed", G_CALLBACK(&Impl::onLoadChanged), &impl);
    g_signal_connect(impl.webView, "load-failed", G_CALLBACK(&Impl::onLoadFailed), &impl);
    g_signal_connect(impl.webView, "load-failed-with-tls-errors", G_CALLBACK(&Impl::onTlsError),
                     &impl);
    g_signal_connect(impl.webView, "user-message-received", G_CALLBACK(&Impl::onUserMessage),
                     &impl);
    g_signal_connect(impl.webView, "authenticate", G_CALLBACK(&Impl::onAuthenticate), &impl);

    // Under the page: the hand-over's status, shown from the first join on. A label and a bar,
    // which the accessibility tree carries with their text and value.
    impl.progressLabel = gtk_label_new(nullptr);
    gtk_label_set_xalign(GTK_LABEL(impl.progressLabel), 0);
    gtk_label_set_wrap(GTK_LABEL(impl.progressLabel), TRUE);
    gtk_widget_set_hexpand(impl.progressLabel, TRUE);
    impl.tryAgainButton = gtk_button_new_with_mnemonic("_Try again");
    gtk_widget_set_visible(impl.tryAgainButton, FALSE);
    g_signal_connect(impl.tryAgainButton, "clicked", G_CALLBACK(&Impl::onTryAgain), nullptr);
    GtkWidget* words = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
    gtk_box_append(GTK_BOX(words), impl.progressLabel);
    gtk_box_append(GTK_BOX(words), impl.tryAgainButton);
    impl.progressBar = gtk_progress_bar_new();
    GtkWidget* lines = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
    gtk_widget_set_margin_start(lines, 16);
    gtk_widget_set_margin_end(lines, 16);
    gtk_widget_set_margin_top(lines, 10);
    gtk_widget_set_margin_bottom(lines, 12);
    gtk_box_append(GTK_BOX(lines), words);
    gtk_box_append(GTK_BOX(lines), impl.progressBar);
    impl.progressArea = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_box_append(GTK_BOX(impl.progressArea), gtk_separator_new(GTK_ORIENTATION_HORIZONTAL));
    gtk_box_append(GTK_BOX(impl.progressArea), lines);
    gtk_widget_set_visible(impl.progressArea, FALSE);

    impl.container = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    g_object_ref_sink(impl.container);
    gtk_box_append(GTK_BOX(impl.container), GTK_WIDGET(impl.webView));
    gtk_box_append(GTK_BOX(impl.container), impl.progressArea);
    if (impl.window) gtk_window_set_child(impl.window, impl.container);

    auto self = shared_from_this();
    NetworkMonitor::shared().setNetworkMonitorDelegate(self);
    NativeMessageHandler::shared().setNativeMessageHandlerDelegate(self);

    HandOverStatus::shared().setObserver(self);

    std::weak_ptr<ViewController> weak = self;
    impl.progressToken = platform::UrlSession::shared().addProgressObserver(
        [weak](const std::string& url, std::uint64_t received,
               std::optional<std::uint64_t> expected, bool finished, bool failed) {
            // How it ends the hand-over's status says.
            if (finished || failed) return;
            platform::MainQueue::shared().async([=] {
                if (auto owner = weak.lock()) owner->showDownloadProgress(url, received, expected);
            });
        });

    NetworkMonitor::shared().startMonitoringReachability(joinPageAddress());
    loadJoinPageURl();
}

void ViewController::loadJoinPageURl() {
    auto& impl = *impl_;
    if (!impl.webView) return;
    const std::string address = joinPageAddress();
    if (!WebAddress::parse(address)) return;
    impl.offlinePageShown = false;
    impl.cancelJoinPageTimeout();
    webkit_web_view_load_uri(impl.webView, address.c_str());
    impl.startJoinPageTimeout();
}

void ViewController::executeJavaScript(const std::string& script) {
    if (!platform::MainQueue::shared().isMainThread()) {
        std::weak_ptr<ViewController> weak = weak_from_this();
        platform::MainQueue::shared().async([weak, script] {
            if (auto self = weak.lock()) self->executeJavaScript(script);
        });
        return;
    }
    if (!impl_->webView) return;
    webkit_web_view_evaluate_javascript(impl_->webView, script.c_str(),
                                        static_cast<gssize>(script.size()), nullptr, nullptr,
                                        nullptr, &Impl::onScriptEvaluated, nullptr);
}

void ViewController::updateWindowTitle(const std::string& title) {
    if (!platform::MainQueue::shared().isMainThread()) {
        std::weak_ptr<ViewController> weak = weak_from_this();
        platform::MainQueue::shared().async([weak, title] {
            if (auto self = weak.lock()) self->updateWindowTitle(title);
        });
        return;
    }
    if (impl_->window) gtk_window_set_title(impl_->window, title.c_str());
}

void ViewController::handleDeepLink(const std::string& address) {
    Console::print("handleDeepLink(_:) : Handling deep link: " + address);
    platform::Workspace::shared().openURL(address);
}

void ViewController::loadStaticNoInternetPage() {
    auto& impl = *impl_;
    if (!impl.webView) return;
    const std::string address = offlinePageAddress();
    if (address.empty()) return;
    impl.offlinePageShown = true;
    // Already showing it: loading it again would only restart what the customer is reading.
    const char* current = webkit_web_view_get_uri(impl.webView);
    const bool shown = current && current == address && !webkit_web_view_is_loading(impl.webView);
    if (!shown) {
        impl.cancelJoinPageTimeout();
        webkit_web_view_load_uri(impl.webView, address.c_str());
    }
}

void ViewController::handleWebViewError() {
    loadStaticNoInternetPage();
    const std::string address = joinPageAddress();
    NetworkMonitor::shared().startMonitoringReachability(address);
    Console::print("url: " + address);
}

void ViewController::didRestoreConnection() {
    // The first good probe of a start restores nothing: the join page the customer may be typing
    // into stays as it is.
    if (!impl_->offlinePageShown) return;
    platform::ExceptionGuard::run("didRestoreConnection()", [] {
        KeloAppUpgrader::getInstance().keloAppVersionCheck();
        ApiHandler::getInstance().checkPellixUpdateWithCompletion([](bool available) {
            if (available) {
                Console::print(
                    "didRestoreConnection() : Updateing webview since the network is restored.");
            }
        });
    });
    loadJoinPageURl();
}

void ViewController::didFailedToConnect() {
    loadStaticNoInternetPage();
}

void ViewController::handOverStatusChanged(const HandOverStatus::State& status) {
    std::weak_ptr<ViewController> weak = weak_from_this();
    platform::MainQueue::shared().async([weak, status] {
        if (auto owner = weak.lock()) owner->showHandOverStatus(status);
    });
}

void ViewController::showHandOverStatus(const HandOverStatus::State& status) {
    auto& impl = *impl_;
    if (!impl.progressArea) return;
    using Stage = HandOverStatus::Stage;
    impl.stage = status.stage;
    gtk_widget_set_visible(impl.progressArea, TRUE);
    gtk_label_set_text(GTK_LABEL(impl.progressLabel), status.text.c_str());
    gtk_widget_set_visible(impl.tryAgainButton, status.stage == Stage::failed && status.canRetry);
    auto* bar = GTK_PROGRESS_BAR(impl.progressBar);
    switch (status.stage) {
        case Stage::downloading:
        case Stage::failed:
            gtk_progress_bar_set_fraction(bar, 0);
            break;
        case Stage::running:
            gtk_progress_bar_set_fraction(bar, 1);
            break;
        case Stage::checking:
        case Stage::installing:
        case Stage::starting:
            gtk_progress_bar_pulse(bar);
            break;
    }
}

void ViewController::showDownloadProgress(const std::string& url, std::uint64_t received,
                                          std::optional<std::uint64_t> expected) {
    auto& impl = *impl_;
    if (!impl.progressArea || isLauncherImage(url)) return;
    if (impl.stage != HandOverStatus::Stage::downloading) return;
    auto* bar = GTK_PROGRESS_BAR(impl.progressBar);
    if (const auto fraction = DownloadProgress::fraction(received, expected)) {
        gtk_progress_bar_set_fraction(bar, *fraction);
    } else {
        gtk_progress_bar_pulse(bar);
    }
    gtk_label_set_text(GTK_LABEL(impl.progressLabel),
                       DownloadProgress::describe(received, expected).c_str());
}
