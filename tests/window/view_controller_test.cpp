// The join page window inside the test process: a real web view on the local service.
#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "App/DownloadProgress.h"
#include "App/ViewController.h"
#include "ChildProcess.h"
#include "Handlers/NetworkMonitor.h"
#include "LocalService.h"
#include "MainLoop.h"
#include "Objects/SessionDetails.h"
#include "OutputCapture.h"
#include "Platform/Bundle.h"
#include "Platform/NotificationCenter.h"
#include "Platform/UrlSession.h"
#include "Platform/UserDefaults.h"
#include "RecordingWorkspace.h"
#include "TempHome.h"

namespace {

using namespace std::chrono_literals;
using Kind = NavigationPolicy::Kind;

constexpr auto* pumpUntil = &MainLoop::runUntil;
constexpr auto* pumpFor = &MainLoop::runFor;

// How often the piece occurs in what the stream got so far.
int count(const OutputCapture& capture, const std::string& piece) {
    const std::string all = capture.text();
    int found = 0;
    for (auto at = all.find(piece); at != std::string::npos; at = all.find(piece, at + 1)) {
        ++found;
    }
    return found;
}

// The page never reports itself loaded: without this, the first answered probe would reload the
// join page in the middle of what is tested.
void stopProbing() {
    NetworkMonitor::shared().stopNetworkMonitoring();
    NetworkMonitor::shared().stopWebsiteReachabilityChecks();
}

class ViewControllerTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        gtk_init();
        platform::Bundle::overrideMainBundlePath(KELO_BUNDLE_DIR);
        workspace_ = std::make_shared<RecordingWorkspace>();
        platform::ServiceSlot<platform::Workspace>::set(workspace_);
        out_ = std::make_unique<OutputCapture>(1, path("stdout.txt"));
        err_ = std::make_unique<OutputCapture>(2, path("stderr.txt"));
        service_ = std::make_unique<LocalService>();
        service_->applyEnvironment("localkelo");
        auto& session = SessionDetails::getInstance();
        session.setWebServerName(service_->host());
        session.setPathForPellix(std::string("join"));
        session.setPellixToken(std::string("tok"));
    }
    void TearDown() override {
        // The bridge and the monitor keep the controller; the window goes with the test.
        if (window_) gtk_window_destroy(window_);
        service_.reset();
        // The test's own report went into the capture with the launcher's lines: show it.
        const std::string written = out_->text();
        err_.reset();
        out_.reset();
        if (HasFailure()) std::fputs(written.c_str(), stdout);
        platform::ServiceSlot<platform::Workspace>::set(nullptr);
        platform::Bundle::overrideMainBundlePath(std::nullopt);
        TempHomeTest::TearDown();
    }

    // The controller's view in a new window (or in none), the join page loading.
    void open(bool inWindow = true) {
        window_ = inWindow ? GTK_WINDOW(gtk_window_new()) : nullptr;
        controller_ = ViewController::create(window_);
        controller_->setNavigationObserverForTesting(
            [this](const ViewController::NavigationRecord& record) {
                navigations_.push_back(record);
            });
        controller_->viewDidLoad();
        if (window_) gtk_window_present(window_);
    }

    WebKitWebView* webView() const { return controller_->webView(); }
    std::string currentAddress() const {
        const char* uri = webkit_web_view_get_uri(webView());
        return uri ? uri : "";
    }
    bool loadedAt(const std::string& address) const {
        return !webkit_web_view_is_loading(webView()) && currentAddress() == address;
    }
    bool showsOfflinePage() const {
        return !webkit_web_view_is_loading(webView()) &&
               currentAddress().ends_with("/Contents/Resources/NoInternetPage.html");
    }
    std::string address(const std::string& pathAndQuery) const {
        return service_->baseUrl() + pathAndQuery;
    }
    std::size_t requestsFor(const std::string& target) const {
        std::size_t found = 0;
        for (const auto& request : service_->requests()) found += request.target == target;
        return found;
    }
    // The last decision for the address, when there is one.
    std::optional<ViewController::NavigationRecord> decisionFor(const std::string& where) const {
        for (auto it = navigations_.rbegin(); it != navigations_.rend(); ++it) {
            if (it->address == where) return *it;
        }
        return std::nullopt;
    }
    void click(const std::string& id) {
        controller_->executeJavaScript("document.getElementById('" + id + "').click();");
    }
    void serve(const std::string& path, const std::string& html) {
        service_->setAnswer(
            path, {.status = 200, .body = html, .contentType = "text/html; charset=utf-8"});
    }
    // The window on the service's page at `path` (served before), loaded, with no probe left to
    // reload it in the middle of what is tested.
    bool openAt(const std::string& path) {
        SessionDetails::getInstance().setPathForPellix(path);
        open();
        const bool loaded =
            pumpUntil([&] { return loadedAt(address("/" + path + "?pellix_token=tok")); }, 30s);
        stopProbing();
        return loaded;
    }

    std::shared_ptr<RecordingWorkspace> workspace_;
    std::unique_ptr<OutputCapture> out_;
    std::unique_ptr<OutputCapture> err_;
    std::unique_ptr<LocalService> service_;
    GtkWindow* window_ = nullptr;
    std::shared_ptr<ViewController> controller_;
    std::vector<ViewController::NavigationRecord> navigations_;
};

TEST_F(ViewControllerTest, LoadsTheJoinPageBuiltFromTheLaunchParametersAndRunsScriptsOnIt) {
    const std::string withToken = address("/join?pellix_token=tok");
    EXPECT_EQ(ViewController::joinPageAddress(), withToken);
    // No probe here: on a slow machine a good probe could come before the page reports itself
    // loaded, and a restored connection loads the join page once more.
    NetworkMonitor::shared().setProbeIntervalForTesting(3600);
    open();
    ASSERT_TRUE(pumpUntil([&] { return loadedAt(withToken); }, 30s)) << currentAddress();
    EXPECT_EQ(requestsFor("/join?pellix_token=tok"), 1u);
    const auto first = decisionFor(withToken);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->kind, Kind::Other);
    EXPECT_TRUE(first->decision.allow);
    EXPECT_EQ(NetworkMonitor::shared().urlString(), withToken);
    // The development authority vouched for the service's certificate, once.
    EXPECT_EQ(count(*out_, "vouches for the certificate of 127.0.0.1; allowed for this host\n"), 1);
    // The page reports itself loaded, which ends the probing: from here on nothing else runs.
    ASSERT_TRUE(pumpUntil([] { return !NetworkMonitor::shared().hasReachabilityTimer(); }, 20s));
    pumpFor(1s);

    // A failing script writes one line; the scripts after it still run.
    const std::string line = "executeJavaScript(_:)Error sending message to webView: ";
    controller_->executeJavaScript("document.title = 'fine'; 40 + 2;");
    controller_->executeJavaScript("throw new Error('no such thing');");
    controller_->executeJavaScript("window.notAFunction();");
    ASSERT_TRUE(pumpUntil([&] { return count(*out_, line) == 2; }, 10s)) << out_->text();
    controller_->executeJavaScript("document.title = 'still fine';");
    ASSERT_TRUE(pumpUntil(
        [&] { return std::string(webkit_web_view_get_title(webView())) == "still fine"; }, 10s));
    EXPECT_EQ(count(*out_, line), 2);

    SessionDetails::getInstance().setPellixToken(std::nullopt);
    const std::string withoutToken = address("/join?pellix_token=");
    EXPECT_EQ(ViewController::joinPageAddress(), withoutToken);
    controller_->loadJoinPageURl();
    ASSERT_TRUE(pumpUntil([&] { return loadedAt(withoutToken); }, 30s)) << currentAddress();
    EXPECT_EQ(requestsFor("/join?pellix_token="), 1u);
    pumpFor(1s);

    // An address that does not parse: nothing is loaded and nothing is written.
    const std::string before = out_->text() + err_->text();
    const auto decisions = navigations_.size();
    SessionDetails::getInstance().setPathForPellix(std::string("join page"));
    controller_->loadJoinPageURl();
    pumpFor(1500ms);
    EXPECT_EQ(navigations_.size(), decisions);
    EXPECT_EQ(currentAddress(), withoutToken);
    EXPECT_EQ(out_->text() + err_->text(), before);
}

TEST_F(ViewControllerTest, WindowTitleFromTheStoredTitleOrTheDefault) {
    struct Case {
        const char* name;
        std::optional<platform::PlistValue> stored;
        bool inWindow;
        std::optional<platform::PlistValue> storedAfter;
    };
    const platform::PlistValue kDefault(std::string(ViewController::kDefaultWindowTitle));
    const std::vector<Case> cases = {
        {"stored text", platform::PlistValue("Join your session"), true,
         platform::PlistValue("Join your session")},
        {"nothing stored", std::nullopt, true, kDefault},
        {"a number stored", platform::PlistValue(5), true, kDefault},
        {"no window, nothing stored", std::nullopt, false, std::nullopt},
        {"no window, a number stored", platform::PlistValue(5), false, std::nullopt},
        {"no window, text stored", platform::PlistValue("Kept"), false,
         platform::PlistValue("Kept")},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        auto& defaults = platform::UserDefaults::standard();
        if (test.stored) {
            defaults.set(ViewController::kWindowTitleKey, *test.stored);
        } else {
            defaults.remove(ViewController::kWindowTitleKey);
        }
        defaults.synchronize();
        if (window_) gtk_window_destroy(window_);
        open(test.inWindow);
        if (test.inWindow) {
            EXPECT_STREQ(gtk_window_get_title(window_),
                         (test.stored && test.stored->isString() ? *test.stored : kDefault)
                             .asString()
                             ->c_str());
        }
        EXPECT_EQ(defaults.object(ViewController::kWindowTitleKey), test.storedAfter);
        const platform::UserDefaults onDisk(platform::UserDefaults::standardFilePath(), {});
        EXPECT_EQ(onDisk.object(ViewController::kWindowTitleKey), test.storedAfter);
    }

    // The bridge may ask from any thread; the title changes on the main loop.
    if (window_) gtk_window_destroy(window_);
    open(true);
    std::thread([controller = controller_] {
        controller->updateWindowTitle("From elsewhere");
    }).join();
    ASSERT_TRUE(pumpUntil(
        [&] { return std::string(gtk_window_get_title(window_)) == "From elsewhere"; }, 5s));
}

TEST_F(ViewControllerTest, NavigationStaysOnTheServicesPages) {
    const std::string elsewhere =
        "https://localhost:" + std::to_string(service_->port()) + "/elsewhere";
    serve("/nav",
          "<!DOCTYPE html><html><body>"
          "<a id='deep' href='kelojoin://join?key=123456789'>join</a>"
          "<a id='other' href='" +
              elsewhere +
              "'>elsewhere</a>"
              "<a id='blank' href='/opened-in-place' target='_blank'>new window</a>"
              "</body></html>");
    serve("/elsewhere", "<!DOCTYPE html><title>elsewhere</title><p>another host</p>");
    serve("/opened-in-place", "<!DOCTYPE html><title>in place</title><p>same window</p>");
    const std::string page = address("/nav?pellix_token=tok");
    ASSERT_TRUE(openAt("nav")) << currentAddress();
    webkit_settings_set_javascript_can_open_windows_automatically(
        webkit_web_view_get_settings(webView()), TRUE);

    {
        SCOPED_TRACE("a reload on the service's host");
        const auto before = requestsFor("/nav?pellix_token=tok");
        webkit_web_view_reload(webView());
        ASSERT_TRUE(pumpUntil([&] { return requestsFor("/nav?pellix_token=tok") > before; }, 10s));
        EXPECT_EQ(decisionFor(page)->kind, Kind::Reload);
        EXPECT_TRUE(decisionFor(page)->decision.allow);
        ASSERT_TRUE(pumpUntil([&] { return loadedAt(page); }, 10s));
    }
    {
        SCOPED_TRACE("a deep link goes to the system, not to the web view");
        click("deep");
        const std::string link = "kelojoin://join?key=123456789";
        ASSERT_TRUE(pumpUntil([&] { return workspace_->opened.size() > 0; }, 10s));
        EXPECT_EQ(workspace_->opened.entries(), std::vector<std::string>{link});
        EXPECT_EQ(decisionFor(link)->kind, Kind::LinkActivated);
        EXPECT_FALSE(decisionFor(link)->decision.allow);
        EXPECT_EQ(count(*out_, "handleDeepLink(_:) : Handling deep link: " + link + "\n"), 1);
        pumpFor(1s);
        // A refused navigation is no failed load.
        EXPECT_EQ(currentAddress(), page);
        EXPECT_EQ(count(*out_, "url: "), 0);
    }
    {
        SCOPED_TRACE("a page asking for a new window gets this one");
        auto* windows = gtk_window_get_toplevels();
        const auto windowCount = g_list_model_get_n_items(windows);
        click("blank");
        const std::string opened = address("/opened-in-place");
        ASSERT_TRUE(pumpUntil([&] { return loadedAt(opened); }, 10s)) << currentAddress();
        EXPECT_EQ(g_list_model_get_n_items(windows), windowCount);
        std::vector<ViewController::NavigationRecord> forOpened;
        for (const auto& record : navigations_) {
            if (record.address == opened) forOpened.push_back(record);
        }
        ASSERT_EQ(forOpened.size(), 2u);
        EXPECT_TRUE(forOpened[0].newWindow);
        EXPECT_EQ(forOpened[0].kind, Kind::LinkActivated);
        EXPECT_TRUE(forOpened[0].decision.allow);
        EXPECT_FALSE(forOpened[1].newWindow);
        EXPECT_TRUE(forOpened[1].decision.allow);
    }
    {
        SCOPED_TRACE("a link to another host is followed; reloading there is refused");
        controller_->loadJoinPageURl();
        ASSERT_TRUE(pumpUntil([&] { return loadedAt(page); }, 10s));
        click("other");
        ASSERT_TRUE(pumpUntil([&] { return loadedAt(elsewhere); }, 15s)) << currentAddress();
        EXPECT_EQ(decisionFor(elsewhere)->kind,
                  Kind::Other);  // the load retried after the TLS check
        EXPECT_EQ(requestsFor("/elsewhere"), 1u);
        EXPECT_EQ(count(*out_, "vouches for the certificate of localhost"), 1);
        webkit_web_view_reload(webView());
        ASSERT_TRUE(pumpUntil([&] { return decisionFor(elsewhere)->kind == Kind::Reload; }, 10s));
        EXPECT_FALSE(decisionFor(elsewhere)->decision.allow);
        pumpFor(1s);
        EXPECT_EQ(requestsFor("/elsewhere"), 1u);
        EXPECT_EQ(currentAddress(), elsewhere);
    }
}

// Only the service's own main-frame documents reach the dispatcher. A page of another server,
// reached by a link, posts from a timer and from pagehide and goes back (its pagehide runs once
// the service's page is back); frames of the service's host and of another host inside a
// service page post too. None of it is heard.
TEST_F(ViewControllerTest, OnlyTheServicesMainFrameDocumentsReachTheBridge) {
    LocalService elsewhere;
    const std::string service = service_->host();
    const std::string post = "window.webkit.messageHandlers.";
    serve("/bridge", "<!DOCTYPE html><a id='away' href='" + elsewhere.baseUrl() +
                         "/foreign'>away</a><script>addEventListener('pageshow', () => " + post +
                         "consoleHandler.postMessage('service page shown'));</script>");
    elsewhere.setAnswer("/foreign",
                        {.body = "<!DOCTYPE html><script>"
                                 "addEventListener('pagehide', () => " +
                                 post +
                                 "sendRRSessionKeyToNative.postMessage('123456789'));"
                                 "setTimeout(() => { " +
                                 post +
                                 "sendJoinDetailsToNative.postMessage("
                                 "'{\"sessionKey\":123456789,\"email\":\"someone@else.test\"}');"
                                 "history.back(); }, 0);</script>",
                         .contentType = "text/html"});
    // Each frame tries its own bridge; the other host's also its parent's, which it may not
    // reach. (A frame of the same origin can run any script in its parent: it is the service.)
    const std::string frame =
        "<!DOCTYPE html><script>"
        "const title = (w) => { try { w.webkit.messageHandlers."
        "sendPellixTitleToNative.postMessage('From a frame'); } catch (e) {} };"
        "title(window); if (location.hostname === 'localhost') title(parent);"
        "fetch('/__event', {method: 'POST', body: JSON.stringify("
        "{name: 'frame ' + location.hostname}), keepalive: true});</script>";
    serve("/frame", frame);
    serve("/framed",
          "<!DOCTYPE html><iframe src='/frame'></iframe><iframe src='https://localhost:" +
              std::to_string(service_->port()) + "/frame?from=" + service +
              "'></iframe><script>addEventListener('load', () => " + post +
              "consoleHandler.postMessage('frames loaded'));</script>");
    ASSERT_TRUE(openAt("bridge")) << currentAddress();
    const auto said = [&](const std::string& line) { return count(*out_, line); };
    const std::string shown = "Console Message from WebView: service page shown\n";
    const auto dropped = [&](const std::string& name) {
        return said("Dropped message " + name +
                    " from a page that is not the service's, host: " + elsewhere.host() + "\n");
    };
    ASSERT_TRUE(pumpUntil([&] { return said(shown) == 1; }, 20s)) << out_->text();

    click("away");
    ASSERT_TRUE(pumpUntil(
        [&] {
            return said(shown) == 2 && dropped("sendJoinDetailsToNative") == 1 &&
                   dropped("sendRRSessionKeyToNative") == 1;
        },
        30s))
        << out_->text();
    EXPECT_EQ(said("Details Shared for Joining"), 0);
    EXPECT_FALSE(platform::UserDefaults::standard().object("activeSessionKey"));
    EXPECT_FALSE(SessionDetails::getInstance().sessionKey());
    EXPECT_TRUE(service_->requests("/api/v2/agent/check_update").empty());

    // The other host's frame has the service's certificate; allowed as the window allows the
    // main frame's once the test authority vouched for it.
    GTlsCertificate* certificate = g_tls_certificate_new_from_file(
        (LocalService::certificateFolder() + "/server.pem").c_str(), nullptr);
    ASSERT_TRUE(certificate);
    webkit_network_session_allow_tls_certificate_for_host(
        webkit_web_view_get_network_session(webView()), certificate, "localhost");
    g_object_unref(certificate);
    controller_->executeJavaScript("location.href = '/framed';");
    ASSERT_TRUE(
        pumpUntil([&] { return said("Console Message from WebView: frames loaded\n") == 1; }, 30s))
        << out_->text();
    ASSERT_TRUE(service_->waitForEvent("frame 127.0.0.1", 10s));
    ASSERT_TRUE(service_->waitForEvent("frame localhost", 10s));
    // A frame's message would have come before the page's own, on the same way.
    EXPECT_EQ(said("sendPellixTitleToNative"), 0) << out_->text();
    EXPECT_NE(std::string(gtk_window_get_title(window_)), "From a frame");
}

TEST_F(ViewControllerTest, OnlyACommittedFailureWritesThePageFailedLine) {
    service_->setAnswer(
        "/broken", {.status = 200,
                    .body = "<!DOCTYPE html><title>cut short</title>" + std::string(400000, 'x'),
                    .contentType = "text/html",
                    .dropAfterBytes = 60000});
    SessionDetails::getInstance().setPathForPellix(std::string("broken"));
    const std::string failedLine =
        "webView(_:didFail:withError:) : Page failed to load with error: ";

    // A failed probe would show the offline page too, and cancel the load that is tested.
    open();
    stopProbing();
    ASSERT_TRUE(pumpUntil([&] { return showsOfflinePage(); }, 30s)) << currentAddress();
    EXPECT_EQ(count(*out_, failedLine), 1) << out_->text();
    EXPECT_EQ(count(*out_, "url: " + address("/broken?pellix_token=tok") + "\n"), 1);

    // Nothing answers at all: the load fails before anything is shown.
    LocalService gone;
    gone.stop();
    const std::string nobody = gone.host();
    const std::string unanswered = "https://" + nobody + "/broken?pellix_token=tok";
    SessionDetails::getInstance().setWebServerName(nobody);
    stopProbing();
    controller_->loadJoinPageURl();
    ASSERT_TRUE(pumpUntil([&] { return count(*out_, "url: " + unanswered + "\n") >= 1; }, 30s))
        << out_->text();
    ASSERT_TRUE(pumpUntil([&] { return showsOfflinePage(); }, 10s)) << currentAddress();
    EXPECT_EQ(count(*out_, failedLine), 1);
    EXPECT_EQ(NetworkMonitor::shared().urlString(), unanswered);
}

// One certificate per process: after one refusal, the web view sometimes reports the next
// refusal on the same host as a cancelled load, without its reason (still a failed load).
struct RefusedCertificate {
    const char* certificate;
    const char* reason;
};

class CertificateTest : public ViewControllerTest,
                        public ::testing::WithParamInterface<RefusedCertificate> {};

TEST_P(CertificateTest, ACertificateThatFailsValidationIsALoadFailure) {
    LocalService impostor(GetParam().certificate);
    SessionDetails::getInstance().setWebServerName(impostor.host());
    open();
    const std::string title = gtk_window_get_title(window_);
    ASSERT_TRUE(pumpUntil([&] { return showsOfflinePage(); }, 30s)) << currentAddress();
    // Logged with the host and the reason, the launcher's own check of the chain included.
    EXPECT_EQ(count(*out_, "Certificate of 127.0.0.1 refused: "), 1) << out_->text();
    EXPECT_EQ(count(*out_, "does not vouch for the certificate of 127.0.0.1: " +
                               std::string(GetParam().reason) + "\n"),
              1)
        << out_->text();
    EXPECT_EQ(count(*out_, "url: https://" + impostor.host() + "/join?pellix_token=tok\n"), 1);
    // The impostor's page never ran: it got no request and the bridge heard nothing.
    pumpFor(1s);
    EXPECT_TRUE(impostor.requests().empty());
    EXPECT_EQ(count(*out_, "handleMessageFromWebView(message:)"), 0);
    EXPECT_EQ(std::string(gtk_window_get_title(window_)), title);
}

INSTANTIATE_TEST_SUITE_P(
    Refused, CertificateTest,
    ::testing::Values(RefusedCertificate{"unknownca", "its authority is not trusted"},
                      RefusedCertificate{"selfsigned", "its authority is not trusted"},
                      RefusedCertificate{"expired", "it has expired"},
                      RefusedCertificate{"wronghost", "it is not for this host"}),
    [](const ::testing::TestParamInfo<RefusedCertificate>& parameter) {
        return std::string(parameter.param.certificate);
    });

// The web view's own handling of a challenge is a credential dialog over the page: the window
// answers instead, without credentials, and shows what the server sent with its refusal.
TEST_F(ViewControllerTest, ACredentialChallengeShowsNoDialogAndTheLoadGoesOn) {
    service_->setAnswer("/secret", {.status = 401,
                                    .body = "<!DOCTYPE html><title>denied</title>",
                                    .contentType = "text/html",
                                    .headers = {{"WWW-Authenticate", "Basic realm=\"staff\""}}});
    SessionDetails::getInstance().setPathForPellix(std::string("secret"));
    open();
    // The probe of this page would fail (401) and bring the offline page: not what is tested here.
    stopProbing();
    ASSERT_TRUE(pumpUntil(
        [&] { return g_strcmp0(webkit_web_view_get_title(webView()), "denied") == 0; }, 30s));
    EXPECT_EQ(count(*out_, "127.0.0.1 asks for credentials; going on without them\n"), 1);
    for (GtkWidget* child = gtk_widget_get_first_child(GTK_WIDGET(webView())); child;
         child = gtk_widget_get_next_sibling(child)) {
        EXPECT_STRNE(G_OBJECT_TYPE_NAME(child), "WebKitAuthenticationDialog");
    }
    for (const auto& request : service_->requests("/secret")) {
        EXPECT_EQ(request.header("Authorization"), "");
    }
}

// A bundle without the page bridge: one line says so, and the page has no bridge at all.
TEST_F(ViewControllerTest, WithoutThePageBridgeOneLineSaysSo) {
    std::filesystem::create_directories(path("Bare.app/Contents/MacOS"));
    platform::Bundle::overrideMainBundlePath(path("Bare.app"));
    serve("/bare",
          "<!DOCTYPE html><script>fetch('/__event', {method: 'POST', body: "
          "JSON.stringify({name: 'bridge ' + typeof window.webkit})});</script>");
    ASSERT_TRUE(openAt("bare")) << currentAddress();
    EXPECT_TRUE(service_->waitForEvent("bridge undefined", 10s));
    EXPECT_EQ(count(*out_,
                    "/Bare.app/Contents/Frameworks/libKeloPageBridge.so is missing: the "
                    "join page cannot reach the launcher\n"),
              1);
}

TEST_F(ViewControllerTest, OfflinePageWhileTheServiceIsGoneAndTheJoinPageWhenItIsBack) {
    // A join page that never reports itself loaded, so the probing goes on.
    serve("/probe", "<!DOCTYPE html><title>join</title><p>join page</p>");
    SessionDetails::getInstance().setPathForPellix(std::string("probe"));
    const std::string join = address("/probe?pellix_token=tok");
    const std::string restored =
        "didRestoreConnection() : Updateing webview since the network is restored.";
    const std::string launcherCheck = "/api/v1/customer_plugin/check_update";
    open();
    ASSERT_TRUE(pumpUntil([&] { return loadedAt(join); }, 30s)) << currentAddress();
    // The first answered probe counts as a restored connection.
    ASSERT_TRUE(pumpUntil([&] { return count(*out_, restored) == 1; }, 20s)) << out_->text();
    EXPECT_EQ(service_->requests(launcherCheck).size(), 1u);

    service_->stop();
    ASSERT_TRUE(pumpUntil([&] { return showsOfflinePage(); }, 2s * 3)) << currentAddress();

    // A new service process: its scripted answers and its request log start afresh.
    service_->start();
    serve("/probe", "<!DOCTYPE html><title>join</title><p>join page</p>");
    ASSERT_TRUE(pumpUntil([&] { return loadedAt(join); }, 20s)) << currentAddress();
    ASSERT_TRUE(pumpUntil([&] { return count(*out_, restored) == 2; }, 20s)) << out_->text();
    // Probes keep answering: the checks ran once for the return, not at every probe.
    pumpFor(5s);
    EXPECT_EQ(service_->requests(launcherCheck).size(), 1u);
    EXPECT_EQ(count(*out_, restored), 2);
    EXPECT_TRUE(loadedAt(join));
}

TEST_F(ViewControllerTest, AgentDownloadProgressUnderThePage) {
    open();
    ASSERT_TRUE(pumpUntil([&] { return loadedAt(address("/join?pellix_token=tok")); }, 30s));
    // Under the web view: a separator, then the words and the bar.
    GtkWidget* line = gtk_widget_get_last_child(controller_->view());
    GtkWidget* words = gtk_widget_get_first_child(gtk_widget_get_last_child(line));
    ASSERT_TRUE(GTK_IS_LABEL(words));
    const auto text = [&] { return std::string(gtk_label_get_text(GTK_LABEL(words))); };
    std::vector<std::string> seen;
    const auto watch = [&](auto condition, std::chrono::milliseconds timeout) {
        return pumpUntil(
            [&] {
                if (gtk_widget_get_visible(line) && (seen.empty() || seen.back() != text())) {
                    seen.push_back(text());
                }
                return condition();
            },
            timeout);
    };
    std::atomic<int> done{0};
    const auto download = [&](const std::string& path) {
        platform::UrlRequest request;
        request.url = address(path);
        platform::UrlSession::shared().downloadTask(request, [&done](auto, auto, auto) { ++done; });
    };
    writeText(service_->rootDir() + "/KeloHelvoPellix.dmg", std::string(3000000, 'p'));
    writeText(service_->rootDir() + "/KeloMac.dmg", std::string(3000000, 'a'));

    // The launcher's own update downloads quietly.
    download("/agent/KeloHelvoPellix.dmg");
    ASSERT_TRUE(watch([&] { return done.load() == 1; }, 20s));
    pumpFor(500ms);
    EXPECT_FALSE(gtk_widget_get_visible(line));

    // The agent's image: how far it is; cut off half-way, one sentence says so.
    service_->setAnswer("/agent/KeloMac.dmg",
                        {.stallAfterBytes = 1200000, .stallMs = 1500, .times = 1});
    download("/agent/KeloMac.dmg");
    ASSERT_TRUE(watch([&] { return text() == DownloadProgress::failed(); }, 30s)) << text();
    EXPECT_TRUE(gtk_widget_get_visible(line));
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](const std::string& shown) {
        return shown.starts_with("Downloading the support agent: ") && shown.ends_with(" of 3 MB");
    })) << ::testing::PrintToString(seen);

    // Whole: the agent starts.
    download("/agent/KeloMac.dmg");
    ASSERT_TRUE(watch([&] { return text() == DownloadProgress::starting(); }, 30s)) << text();
    EXPECT_TRUE(gtk_widget_get_visible(line));

    // An error answer ends like any download; the downloader's retry request tells the window.
    service_->setAnswer("/agent/KeloMac.dmg", LocalService::Answer{.status = 404});
    download("/agent/KeloMac.dmg");
    ASSERT_TRUE(watch([&] { return text() == DownloadProgress::starting(); }, 30s)) << text();
    platform::NotificationCenter::defaultCenter().post("RetryDMGDownloadig");
    ASSERT_TRUE(watch([&] { return text() == DownloadProgress::failed(); }, 5s)) << text();
}

}  // namespace

namespace {

// Two launches one after the other in the same home: what the first page stored is there for the
// second.
class WebsiteDataTest : public TempHomeTest {};

TEST_F(WebsiteDataTest, CookiesAndLocalStorageSurviveARestart) {
    LocalService service;
    service.applyEnvironment("localkelo");
    LocalService::Answer page;
    page.status = 200;
    page.contentType = "text/html";
    page.body = R"(<!DOCTYPE html><script>
        if (!localStorage.getItem('kept')) {
            localStorage.setItem('kept', 'stored');
            document.cookie = 'visit=first; max-age=3600; secure; path=/';
            fetch('/first?' + document.cookie);
        } else {
            fetch('/second?storage=' + localStorage.getItem('kept') + '&' + document.cookie);
        }
    </script>)";
    service.setAnswer("/keep", page);

    const auto launch = [&](const std::string& expected) {
        return ChildProcess::run(
                   [&] {
                       gtk_init();
                       platform::Bundle::overrideMainBundlePath(KELO_BUNDLE_DIR);
                       auto& session = SessionDetails::getInstance();
                       session.setWebServerName(service.host());
                       session.setPathForPellix(std::string("keep"));
                       GtkWindow* window = GTK_WINDOW(gtk_window_new());
                       auto controller = ViewController::create(window);
                       controller->viewDidLoad();
                       gtk_window_present(window);
                       const bool seen =
                           pumpUntil([&] { return !service.requests(expected).empty(); }, 30s);
                       pumpFor(1s);
                       // Ends as the launcher does: no orderly teardown of the web view.
                       std::fflush(nullptr);
                       std::_Exit(seen ? 0 : 1);
                   },
                   path("child.txt"), path("child.txt")) == 0;
    };
    ASSERT_TRUE(launch("/first"));
    ASSERT_EQ(service.requests("/first").size(), 1u);
    EXPECT_EQ(service.requests("/first")[0].target, "/first?visit=first");
    ASSERT_TRUE(launch("/second"));
    const auto second = service.requests("/second");
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].target, "/second?storage=stored&visit=first");
}

}  // namespace
