// The join page window inside the test process: a real web view on the local service.
#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include "App/ViewController.h"
#include "ChildProcess.h"
#include "FileTree.h"
#include "Handlers/HandOverStatus.h"
#include "Handlers/NativeMessageHandler.h"
#include "Handlers/NetworkMonitor.h"
#include "KeloTest.h"
#include "LocalService.h"
#include "MainLoop.h"
#include "Objects/SessionDetails.h"
#include "Platform/Bundle.h"
#include "Platform/NotificationCenter.h"
#include "Platform/UrlSession.h"
#include "Platform/UserDefaults.h"
#include "RecordingWorkspace.h"

namespace {

using Kind = NavigationPolicy::Kind;
using ::testing::Contains, ::testing::Field, ::testing::Optional;

constexpr auto* pumpUntil = &MainLoop::runUntil;

class ViewControllerTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        gtk_init();
        platform::Bundle::overrideMainBundlePath(KELO_BUNDLE_DIR);
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
        if (window_) gtk_window_destroy(window_);
        window_ = inWindow ? GTK_WINDOW(gtk_window_new()) : nullptr;
        controller_ = ViewController::create(window_);
        controller_->setNavigationObserverForTesting(
            [this](const ViewController::NavigationRecord& record) {
                navigations_.push_back(record);
            });
        controller_->viewDidLoad();
        if (window_) gtk_window_present(window_);
    }
    // The window on the service's page at `path` (served before, when given), loaded. Unless
    // `probing`, no probe is left to reload it in the middle of what is tested (the page never
    // reports itself loaded, so the first answered probe would).
    bool openAt(const std::string& path, const std::string& html = "", bool probing = false) {
        if (!html.empty()) serve("/" + path, html);
        SessionDetails::getInstance().setPathForPellix(path);
        // On a slow machine a probe could otherwise come before the page is loaded.
        if (!probing) NetworkMonitor::shared().setProbeIntervalForTesting(3600);
        open();
        const bool loaded =
            pumpUntil([&] { return loadedAt(address("/" + path + "?pellix_token=tok")); }, 30s);
        if (!probing) stopProbing();
        return loaded;
    }
    static void stopProbing() {
        NetworkMonitor::shared().stopNetworkMonitoring();
        NetworkMonitor::shared().stopWebsiteReachabilityChecks();
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
    std::string title() const { return gtk_window_get_title(window_); }
    std::string address(const std::string& pathAndQuery) const {
        return service_->baseUrl() + pathAndQuery;
    }
    // How often the piece occurs in what the launcher printed so far (on standard output, or
    // in the system log's lines on standard error).
    int said(const std::string& piece, bool inSystemLog = false) const {
        const std::string all = (inSystemLog ? err_ : out_)->text();
        int found = 0;
        for (auto at = all.find(piece); at != std::string::npos; at = all.find(piece, at + 1)) {
            ++found;
        }
        return found;
    }
    // The last decision for the address: its kind and whether it was allowed.
    std::optional<std::pair<Kind, bool>> decided(const std::string& where) const {
        for (auto it = navigations_.rbegin(); it != navigations_.rend(); ++it) {
            if (it->address == where) return std::pair(it->kind, it->decision.allow);
        }
        return std::nullopt;
    }
    void click(const std::string& id) {
        controller_->executeJavaScript("document.getElementById('" + id + "').click();");
    }
    // A script run in the page to its answer: what the web view had to report before it (a
    // decision taken, a load that failed) has been reported by then.
    bool roundTrip() {
        auto* answered = new bool(false);  // kept when the answer never comes
        webkit_web_view_evaluate_javascript(
            webView(), "0", -1, nullptr, nullptr, nullptr,
            [](GObject* view, GAsyncResult* result, gpointer flag) {
                if (auto* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(view),
                                                                             result, nullptr)) {
                    g_object_unref(value);
                }
                *static_cast<bool*>(flag) = true;
            },
            answered);
        if (!pumpUntil([&] { return *answered; }, 20s)) return false;
        delete answered;
        return true;
    }
    // The folders of WebKit's own data and cache.
    static std::pair<std::string, std::string> webKitFolders() {
        WebKitWebsiteDataManager* data =
            webkit_network_session_get_website_data_manager(webkit_network_session_get_default());
        return {webkit_website_data_manager_get_base_data_directory(data),
                webkit_website_data_manager_get_base_cache_directory(data)};
    }
    // Every file of the home with its bytes, but for WebKit's own (its data, its cache, its
    // sandbox's notes, its media registry) and the launcher's (preferences, runtime, output).
    FileTree homeOutsideWebKit() const {
        const auto [data, cache] = webKitFolders();
        std::set<std::string> skipped = {data, cache, platform::UserDefaults::standardFilePath()};
        for (const char* own :
             {".cache/.flatpak", ".cache/gstreamer-1.0", "run", "stdout.txt", "stderr.txt"}) {
            skipped.insert(path(own));
        }
        FileTree files;
        for (auto it = fs::recursive_directory_iterator(home()); it != fs::end(it); ++it) {
            if (skipped.contains(it->path().string())) {
                it.disable_recursion_pending();
            } else if (!it->is_directory()) {
                files[fs::relative(it->path(), home()).string()] = {readText(it->path().string())};
            }
        }
        return files;
    }
    void serve(const std::string& path, const std::string& html) {
        service_->setAnswer(
            path, {.status = 200, .body = html, .contentType = "text/html; charset=utf-8"});
    }

    std::shared_ptr<RecordingWorkspace> workspace_ = std::make_shared<RecordingWorkspace>();
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
    EXPECT_EQ(service_->requests("/join").size(), 1u);
    EXPECT_EQ(decided(withToken), std::pair(Kind::Other, true));
    EXPECT_EQ(NetworkMonitor::shared().urlString(), withToken);
    // The development authority vouched for the service's certificate, once.
    EXPECT_EQ(said("vouches for the certificate of 127.0.0.1; allowed for this host\n"), 1);
    // The page reports itself loaded, which ends the probing: from here on nothing else runs.
    ASSERT_TRUE(pumpUntil([] { return !NetworkMonitor::shared().hasReachabilityTimer(); }, 20s));

    // A failing script writes one line; the scripts after it still run.
    const std::string line = "executeJavaScript(_:)Error sending message to webView: ";
    controller_->executeJavaScript("document.title = 'fine'; 40 + 2;");
    controller_->executeJavaScript("throw new Error('no such thing');");
    controller_->executeJavaScript("window.notAFunction();");
    controller_->executeJavaScript("document.title = 'still fine';");
    ASSERT_TRUE(pumpUntil(
        [&] {
            return said(line) == 2 &&
                   std::string(webkit_web_view_get_title(webView())) == "still fine";
        },
        10s))
        << out_->text();

    SessionDetails::getInstance().setPellixToken(std::nullopt);
    const std::string withoutToken = address("/join?pellix_token=");
    EXPECT_EQ(ViewController::joinPageAddress(), withoutToken);
    controller_->loadJoinPageURl();
    ASSERT_TRUE(pumpUntil([&] { return loadedAt(withoutToken); }, 30s)) << currentAddress();

    // An address that does not parse: nothing is loaded and nothing is written.
    ASSERT_TRUE(roundTrip());
    const std::string before = out_->text() + err_->text();
    const auto decisions = navigations_.size();
    SessionDetails::getInstance().setPathForPellix(std::string("join page"));
    controller_->loadJoinPageURl();
    EXPECT_FALSE(webkit_web_view_is_loading(webView()));
    ASSERT_TRUE(roundTrip());
    EXPECT_EQ(navigations_.size(), decisions);
    EXPECT_EQ(currentAddress(), withoutToken);
    EXPECT_EQ(out_->text() + err_->text(), before);
}

TEST_F(ViewControllerTest, WindowTitleFromTheStoredTitleOrTheDefault) {
    using platform::PlistValue;
    const PlistValue kDefault(std::string(ViewController::kDefaultWindowTitle));
    const struct {
        const char* name;
        std::optional<PlistValue> stored;
        bool inWindow;
        std::optional<PlistValue> storedAfter;  // the window shows it, or the default
    } rows[] = {
        {"stored text", PlistValue("Join your session"), true, PlistValue("Join your session")},
        {"nothing stored", std::nullopt, true, kDefault},
        {"a number stored", PlistValue(5), true, kDefault},
        {"no window, nothing stored", std::nullopt, false, std::nullopt},
        {"no window, a number stored", PlistValue(5), false, std::nullopt},
        {"no window, text stored", PlistValue("Kept"), false, PlistValue("Kept")},
    };
    auto& defaults = platform::UserDefaults::standard();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.stored) {
            defaults.set(ViewController::kWindowTitleKey, *row.stored);
        } else {
            defaults.remove(ViewController::kWindowTitleKey);
        }
        defaults.synchronize();
        open(row.inWindow);
        if (row.inWindow) {
            EXPECT_EQ(title(), *row.storedAfter->asString());
        }
        EXPECT_EQ(defaults.object(ViewController::kWindowTitleKey), row.storedAfter);
        const platform::UserDefaults onDisk(platform::UserDefaults::standardFilePath(), {});
        EXPECT_EQ(onDisk.object(ViewController::kWindowTitleKey), row.storedAfter);
    }

    // The bridge may ask from any thread; the title changes on the main loop.
    open(true);
    std::thread([controller = controller_] {
        controller->updateWindowTitle("From elsewhere");
    }).join();
    ASSERT_TRUE(pumpUntil([&] { return title() == "From elsewhere"; }, 5s));
}

TEST_F(ViewControllerTest, NavigationStaysOnTheServicesPages) {
    LocalService other;
    const std::string elsewhere = other.baseUrl() + "/elsewhere";
    const std::string link = "kelojoin://join?key=123456789";
    const std::string foreignLink = "kelojoin://join?key=987654321";
    other.setAnswer("/elsewhere", {.body = "<!DOCTYPE html><title>elsewhere</title><a id='deep' "
                                           "href='" +
                                           foreignLink + "'>join</a>",
                                   .contentType = "text/html"});
    serve("/opened-in-place", "<!DOCTYPE html><title>in place</title><p>same window</p>");
    ASSERT_TRUE(openAt("nav", "<!DOCTYPE html><a id='deep' href='" + link +
                                  "'>join</a><a id='other' href='" + elsewhere +
                                  "'>elsewhere</a><a id='blank' href='/opened-in-place' "
                                  "target='_blank'>new window</a>"))
        << currentAddress();
    const std::string page = address("/nav?pellix_token=tok");
    webkit_settings_set_javascript_can_open_windows_automatically(
        webkit_web_view_get_settings(webView()), TRUE);

    // A reload on the service's host.
    const auto loads = service_->requests("/nav").size();
    webkit_web_view_reload(webView());
    ASSERT_TRUE(pumpUntil([&] { return service_->requests("/nav").size() > loads; }, 10s));
    EXPECT_EQ(decided(page), std::pair(Kind::Reload, true));
    ASSERT_TRUE(pumpUntil([&] { return loadedAt(page); }, 10s));

    // A deep link goes to the system, not to the web view; a refused navigation is no failed load.
    click("deep");
    ASSERT_TRUE(pumpUntil([&] { return workspace_->opened.size() > 0; }, 10s));
    EXPECT_THAT(workspace_->opened.entries(), ElementsAre(link));
    EXPECT_EQ(decided(link), std::pair(Kind::LinkActivated, false));
    EXPECT_EQ(said("handleDeepLink(_:) : Handling deep link: " + link + "\n"), 1);
    ASSERT_TRUE(roundTrip());
    EXPECT_EQ(currentAddress(), page);
    EXPECT_EQ(said("url: "), 0);

    // A page asking for a new window gets this one.
    auto* windows = gtk_window_get_toplevels();
    const auto windowCount = g_list_model_get_n_items(windows);
    click("blank");
    const std::string opened = address("/opened-in-place");
    ASSERT_TRUE(pumpUntil([&] { return loadedAt(opened); }, 10s)) << currentAddress();
    EXPECT_EQ(g_list_model_get_n_items(windows), windowCount);
    std::vector<std::tuple<bool, Kind, bool>> forOpened;
    for (const auto& record : navigations_) {
        if (record.address == opened) {
            forOpened.emplace_back(record.newWindow, record.kind, record.decision.allow);
        }
    }
    ASSERT_EQ(forOpened.size(), 2u);
    EXPECT_EQ(forOpened[0], std::tuple(true, Kind::LinkActivated, true));
    EXPECT_FALSE(std::get<0>(forOpened[1]));
    EXPECT_TRUE(std::get<2>(forOpened[1]));

    // Another site's address that carries the service's name loads nothing in the window.
    controller_->loadJoinPageURl();
    ASSERT_TRUE(pumpUntil([&] { return loadedAt(page); }, 10s));
    const std::string named = other.baseUrl() + "/elsewhere?" + service_->host();
    controller_->executeJavaScript("location.href = '" + named + "';");
    ASSERT_TRUE(pumpUntil([&] { return decided(named) == std::pair(Kind::Other, false); }, 15s));
    ASSERT_TRUE(pumpUntil([&] { return loadedAt(page); }, 10s)) << currentAddress();

    // A link to another site is followed. There, the deep links are not handed to the system,
    // and reloads are refused.
    click("other");
    ASSERT_TRUE(pumpUntil([&] { return loadedAt(elsewhere); }, 15s)) << currentAddress();
    EXPECT_EQ(decided(elsewhere), std::pair(Kind::LinkActivated, true));
    click("deep");
    ASSERT_TRUE(pumpUntil(
        [&] {
            return said("Refused the deep link " + foreignLink +
                        " from a page that is not the service's, host: " + other.host() + "\n") ==
                   1;
        },
        10s))
        << out_->text();
    EXPECT_THAT(workspace_->opened.entries(), ElementsAre(link));
    webkit_web_view_reload(webView());
    ASSERT_TRUE(
        pumpUntil([&] { return decided(elsewhere) == std::pair(Kind::Reload, false); }, 10s));
    // A request the page makes after the refusal: a reload, had it gone ahead, came before it.
    controller_->executeJavaScript("fetch('/after-the-reload');");
    ASSERT_TRUE(other.waitForRequests("/after-the-reload", 1, 20s));
    EXPECT_THAT(other.requests("/elsewhere"), ::testing::SizeIs(2));  // the named one and the link
    EXPECT_EQ(currentAddress(), elsewhere);
}

// The test authority vouches for the hosts KELO_PELLIX_HOSTS names, not for another name of the
// same server (its certificate names localhost too). Once it vouches, the load is retried and
// asked about like any other: another site's address, reached again as the launcher's own load,
// is not the main frame's to show. One case per process: after a refusal on a host, the web view
// may report the next one there as a cancelled load, without its certificate.
class VouchingTest : public ViewControllerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(VouchingTest, TheDevelopmentAuthorityVouchesOnlyForTheHostsItIsGivenFor) {
    const bool named = GetParam();
    if (named) {
        setVariable("KELO_PELLIX_HOSTS",
                    ("localkelo=" + service_->host() + ",other=localhost:1").c_str());
    }
    const std::string other = "https://localhost:" + std::to_string(service_->port()) + "/other";
    serve("/other", "<!DOCTYPE html><title>other</title>");
    ASSERT_TRUE(openAt("vouching", "<!DOCTYPE html><a id='other' href='" + other + "'>other</a>"))
        << currentAddress();
    click("other");
    if (!named) {
        ASSERT_TRUE(pumpUntil([&] { return showsOfflinePage(); }, 15s)) << currentAddress();
        EXPECT_EQ(said(") vouches only for the hosts of KELO_PELLIX_HOSTS and of the development "
                       "domain, not for localhost\n"),
                  1);
        return;
    }
    ASSERT_TRUE(pumpUntil([&] { return decided(other) == std::pair(Kind::Other, false); }, 15s));
    EXPECT_EQ(said("vouches for the certificate of localhost; allowed for this host\n"), 1);
    EXPECT_EQ(said("not for localhost"), 0);
    ASSERT_TRUE(pumpUntil([&] { return loadedAt(address("/vouching?pellix_token=tok")); }, 10s))
        << currentAddress();
}

INSTANTIATE_TEST_SUITE_P(Hosts, VouchingTest, ::testing::Bool(), [](const auto& row) {
    return std::string(row.param ? "LocalhostNamed" : "LocalhostNotNamed");
});

// Only the service's own main-frame documents reach the dispatcher. A page of another server,
// reached by a link, posts from a timer and from pagehide and goes back (its pagehide runs once
// the service's page is back); frames of the service's host and of another host inside a
// service page post too. None of it is heard.
TEST_F(ViewControllerTest, OnlyTheServicesMainFrameDocumentsReachTheBridge) {
    LocalService elsewhere;
    const std::string post = "window.webkit.messageHandlers.";
    elsewhere.setAnswer(
        "/foreign", {.body = "<!DOCTYPE html><script>addEventListener('pagehide', () => " + post +
                             "sendRRSessionKeyToNative.postMessage('123456789'));"
                             "setTimeout(() => { " +
                             post +
                             "sendJoinDetailsToNative.postMessage("
                             "'{\"sessionKey\":123456789,\"email\":\"someone@else.test\"}');"
                             "history.back(); }, 0);</script>",
                     .contentType = "text/html"});
    // Each frame tries its own bridge; the other host's also its parent's, which it may not
    // reach. (A frame of the same origin can run any script in its parent: it is the service.)
    serve("/frame",
          "<!DOCTYPE html><script>"
          "const title = (w) => { try { w.webkit.messageHandlers."
          "sendPellixTitleToNative.postMessage('From a frame'); } catch (e) {} };"
          "title(window); if (location.hostname === 'localhost') title(parent);"
          "fetch('/__event', {method: 'POST', body: JSON.stringify("
          "{name: 'frame ' + location.hostname}), keepalive: true});</script>");
    serve("/framed",
          "<!DOCTYPE html><iframe src='/frame'></iframe><iframe src='https://localhost:" +
              std::to_string(service_->port()) +
              "/frame'></iframe><script>addEventListener('load', () => " + post +
              "consoleHandler.postMessage('frames loaded'));</script>");
    // The service's own page: a body past the limit goes no further than the web process.
    ASSERT_TRUE(openAt("bridge", "<!DOCTYPE html><a id='away' href='" + elsewhere.baseUrl() +
                                     "/foreign'>away</a><script>addEventListener('pageshow', "
                                     "() => { " +
                                     post + "consoleHandler.postMessage('x'.repeat(2097152)); " +
                                     post +
                                     "consoleHandler.postMessage('service page shown'); });"
                                     "</script>"))
        << currentAddress();
    const std::string shown = "Console Message from WebView: service page shown\n";
    ASSERT_TRUE(pumpUntil([&] { return said(shown) == 1; }, 20s)) << out_->text();
    EXPECT_EQ(
        said("userContentController(_:didReceive:) : Dropped message consoleHandler: its body "
             "of 2097152 bytes is larger than 1048576 bytes\n"),
        1);

    // The other server's two messages are dropped; a line says so for the first.
    auto& bridge = NativeMessageHandler::shared();
    const auto droppedBefore = bridge.droppedMessages();
    click("away");
    ASSERT_TRUE(pumpUntil(
        [&] { return said(shown) == 2 && bridge.droppedMessages() == droppedBefore + 2; }, 30s))
        << out_->text();
    EXPECT_EQ(said("Dropped message sendJoinDetailsToNative from a page that is not the "
                   "service's, host: " +
                   elsewhere.host() + "\n"),
              1);
    EXPECT_EQ(said("Dropped message"), 3);  // with the service's own oversize ones
    EXPECT_EQ(said("Details Shared for Joining"), 0);
    EXPECT_FALSE(platform::UserDefaults::standard().object("activeSessionKey"));
    EXPECT_FALSE(SessionDetails::getInstance().sessionKey());
    EXPECT_THAT(service_->requests("/api/v2/agent/check_update"), IsEmpty());

    // The other host's frame (its certificate allowed here by hand: the test authority vouches
    // for the service's hosts only) loads inside the page, and has no bridge either.
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
    EXPECT_NE(title(), "From a frame");

    // A message that does not come in the bridge's shape (no sender) is not the launcher's.
    auto* stray = WEBKIT_USER_MESSAGE(g_object_ref_sink(
        webkit_user_message_new("sendPellixTitleToNative", g_variant_new_string("Stray"))));
    gboolean handled = TRUE;
    g_signal_emit_by_name(webView(), "user-message-received", stray, &handled);
    g_object_unref(stray);
    EXPECT_FALSE(handled);
    EXPECT_EQ(said("sendPellixTitleToNative"), 0) << out_->text();
}

// The window saves nothing a page sends: another site's attachments (a name that climbs out of
// its folder, a hidden name, the name of a file that is there), one in a frame, a file the view
// cannot show and a link that asks for a download. The home stays as it was outside WebKit's own
// folders; one line names each host's first refused download.
TEST_F(ViewControllerTest, PagesCannotSaveFiles) {
    LocalService other;
    const std::string script = "#!/bin/sh\necho written\n";
    // The frame's name carries a line feed, which the web view turns into "_": a page cannot start
    // a line of its own in the log.
    for (const auto& [route, disposition] : {std::pair{"/climbing", "filename=\"../../escape.sh\""},
                                             {"/hidden", "filename=\".profile\""},
                                             {"/existing", "filename=\"notes.txt\""},
                                             {"/framed", "filename*=UTF-8''framed%0Aline.sh"}}) {
        other.setAnswer(
            route,
            {.body = script,
             .contentType = "text/plain",
             .headers = {{"Content-Disposition", std::string("attachment; ") + disposition}}});
    }
    other.setAnswer("/binary", {.body = std::string("\0\1binary", 8),
                                .contentType = "application/x-kelo-unknown"});
    serve("/own.txt", "own text");
    writeText(path("notes.txt"), "my notes\n");
    writeText(path("Downloads/notes.txt"), "downloaded notes\n");
    const auto before = homeOutsideWebKit();
    std::string links = "<!DOCTYPE html><iframe src='" + other.baseUrl() + "/framed'></iframe>";
    for (const char* id : {"climbing", "hidden", "existing", "binary"}) {
        links += "<a id='" + std::string(id) + "' href='" + other.baseUrl() + "/" + id + "'>" + id +
                 "</a>";
    }
    links += "<a id='own' href='/own.txt' download='own.txt'>own</a>";
    ASSERT_TRUE(openAt("links", links)) << currentAddress();
    const auto refused = [&](const std::string& address) {
        return pumpUntil(
            [&] {
                return std::ranges::any_of(navigations_, [&](const auto& record) {
                    return record.download && record.address == address;
                });
            },
            15s);
    };
    EXPECT_TRUE(refused(other.baseUrl() + "/framed"));
    for (const char* id : {"climbing", "hidden", "existing", "binary", "own"}) {
        SCOPED_TRACE(id);
        click(id);
        EXPECT_TRUE(
            refused(id == std::string("own") ? address("/own.txt") : other.baseUrl() + "/" + id));
    }
    EXPECT_EQ(homeOutsideWebKit(), before);
    const std::string line = "webView(_:decidePolicyFor:decisionHandler:) : Refused the download";
    EXPECT_EQ(said(line + " of \"framed_line.sh\" from " + other.host() +
                   ": the window saves nothing a page sends\n"),
              1);
    EXPECT_EQ(said(line + " of \"own.txt\" from " + service_->host() + ": "), 1);
    EXPECT_EQ(said(line), 2);
    EXPECT_TRUE(loadedAt(address("/links?pellix_token=tok"))) << currentAddress();
}

// WebKit's cookies, storage and cache are the user's alone: their folders are made so before
// WebKit writes into them, an earlier run's open folder included.
TEST_F(ViewControllerTest, WebKitsDataFoldersAreTheUsersOwn) {
    const auto [data, cache] = webKitFolders();
    fs::create_directories(data);
    fs::permissions(data, fs::perms(0755));
    ASSERT_TRUE(openAt("private",
                       "<!DOCTYPE html><script>localStorage.setItem('k', 'v');"
                       "document.cookie = 'c=v; secure';</script>"))
        << currentAddress();
    for (const auto& folder : {data, cache}) {
        EXPECT_EQ(fs::symlink_status(folder).permissions() & fs::perms::all, fs::perms::owner_all)
            << folder;
    }
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
    EXPECT_EQ(said(failedLine), 1) << out_->text();
    EXPECT_EQ(said("url: " + address("/broken?pellix_token=tok") + "\n"), 1);

    // Nothing answers at all: the load fails before anything is shown.
    LocalService gone;
    gone.stop();
    const std::string unanswered = "https://" + gone.host() + "/broken?pellix_token=tok";
    SessionDetails::getInstance().setWebServerName(gone.host());
    controller_->loadJoinPageURl();
    ASSERT_TRUE(pumpUntil([&] { return said("url: " + unanswered + "\n") >= 1; }, 30s))
        << out_->text();
    ASSERT_TRUE(pumpUntil([&] { return showsOfflinePage(); }, 10s)) << currentAddress();
    EXPECT_EQ(said(failedLine), 1);
    EXPECT_EQ(NetworkMonitor::shared().urlString(), unanswered);
}

// One certificate per process: after one refusal, the web view sometimes reports the next
// refusal on the same host as a cancelled load, without its reason (still a failed load).
class CertificateTest : public ViewControllerTest,
                        public ::testing::WithParamInterface<std::pair<const char*, const char*>> {
};

TEST_P(CertificateTest, ACertificateThatFailsValidationIsALoadFailure) {
    const auto [name, reason] = GetParam();
    LocalService impostor(name);
    SessionDetails::getInstance().setWebServerName(impostor.host());
    open();
    const std::string before = title();
    ASSERT_TRUE(pumpUntil([&] { return showsOfflinePage(); }, 30s)) << currentAddress();
    // Logged with the host and the reason, the launcher's own check of the chain included.
    EXPECT_EQ(said("Certificate of 127.0.0.1 refused: "), 1) << out_->text();
    EXPECT_EQ(
        said("does not vouch for the certificate of 127.0.0.1: " + std::string(reason) + "\n"), 1)
        << out_->text();
    EXPECT_EQ(said("url: https://" + impostor.host() + "/join?pellix_token=tok\n"), 1);
    // The impostor's page never ran: it got no request and the bridge heard nothing.
    ASSERT_TRUE(roundTrip());
    EXPECT_THAT(impostor.requests(), IsEmpty());
    EXPECT_EQ(said("handleMessageFromWebView(message:)"), 0);
    EXPECT_EQ(title(), before);
}

INSTANTIATE_TEST_SUITE_P(Refused, CertificateTest,
                         ::testing::Values(std::pair("unknownca", "its authority is not trusted"),
                                           std::pair("selfsigned", "its authority is not trusted"),
                                           std::pair("expired", "it has expired"),
                                           std::pair("wronghost", "it is not for this host")),
                         [](const auto& row) { return std::string(row.param.first); });

// Without the development authority, the service's test certificate is refused like any other,
// and nothing vouches for it.
TEST_F(ViewControllerTest, WithoutTheDevelopmentAuthorityTheTestCertificateIsRefused) {
    setVariable("KELO_PELLIX_CA_FILE", nullptr);
    open();
    ASSERT_TRUE(pumpUntil([&] { return showsOfflinePage(); }, 30s)) << currentAddress();
    EXPECT_EQ(said("Certificate of 127.0.0.1 refused: "), 1) << out_->text();
    EXPECT_EQ(said("vouch"), 0) << out_->text();
}

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
    EXPECT_EQ(said("127.0.0.1 asks for credentials; going on without them\n"), 1);
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
    fs::create_directories(path("Bare.app/Contents/MacOS"));
    platform::Bundle::overrideMainBundlePath(path("Bare.app"));
    ASSERT_TRUE(openAt("bare",
                       "<!DOCTYPE html><script>fetch('/__event', {method: 'POST', body: "
                       "JSON.stringify({name: 'bridge ' + typeof window.webkit})});</script>"))
        << currentAddress();
    EXPECT_TRUE(service_->waitForEvent("bridge undefined", 10s));
    EXPECT_EQ(said("/Bare.app/Contents/Frameworks/libKeloPageBridge.so is missing: the join page "
                   "cannot reach the launcher\n"),
              1);
}

// A join page that never answers is stopped at the time-out and handled as a failed load: the
// offline page, and the probing that brings the join page back.
TEST_F(ViewControllerTest, AJoinPageThatNeverAnswersIsStoppedAndTheOfflinePageShown) {
    service_->setAnswer("/stalled", {.delayMs = 600000});
    SessionDetails::getInstance().setPathForPellix(std::string("stalled"));
    // No probe of its own may show the offline page first.
    NetworkMonitor::shared().setProbeIntervalForTesting(3600);
    open();
    ASSERT_TRUE(pumpUntil([&] { return showsOfflinePage(); }, 60s)) << currentAddress();
    EXPECT_EQ(said("url: " + address("/stalled?pellix_token=tok") + "\n"), 1) << out_->text();
}

TEST_F(ViewControllerTest, OfflinePageWhileTheServiceIsGoneAndTheJoinPageWhenItIsBack) {
    // A join page that never reports itself loaded, so the probing goes on.
    const std::string page = "<!DOCTYPE html><title>join</title><p>join page</p>";
    const std::string join = address("/probe?pellix_token=tok");
    const std::string restored =
        "didRestoreConnection() : Updateing webview since the network is restored.";
    // On each return the agent's version is looked at again, and the launcher's update checked.
    const std::string agentChecked = "keloAppVersionCheck] : Kelo app not found";
    const std::string launcherCheck = "/api/v1/customer_plugin/check_update";
    ASSERT_TRUE(openAt("probe", page, /*probing=*/true)) << currentAddress();
    // The first answered probe of a start restores nothing: the page the customer may be typing
    // into is not loaded again, and nothing is checked.
    ASSERT_TRUE(pumpUntil([] { return NetworkMonitor::shared().isWebsiteReachable(); }, 20s));
    EXPECT_EQ(said(agentChecked, true), 0);
    EXPECT_THAT(service_->requests(launcherCheck), IsEmpty());

    service_->stop();
    ASSERT_TRUE(pumpUntil([&] { return showsOfflinePage(); }, 6s)) << currentAddress();

    // A new service process: its scripted answers and its request log start afresh.
    service_->start();
    serve("/probe", page);
    ASSERT_TRUE(pumpUntil([&] { return loadedAt(join); }, 20s)) << currentAddress();
    ASSERT_TRUE(pumpUntil([&] { return said(restored) == 1; }, 20s)) << out_->text();
    // Probes keep answering: the checks ran once for the return, not at every probe (three
    // probes later, each answered before the next goes out; the web view does not say Chrome).
    const auto probes = [&] {
        const auto all = service_->requests("/probe");
        return std::count_if(all.begin(), all.end(), [](const LocalService::Request& request) {
            return request.header("User-Agent").find("Chrome/") != std::string::npos;
        });
    };
    const auto probed = probes();
    ASSERT_TRUE(pumpUntil([&] { return probes() >= probed + 3; }, 30s));
    EXPECT_EQ(service_->requests(launcherCheck).size(), 1u);
    EXPECT_EQ(said(agentChecked, true), 1);
    EXPECT_EQ(said(restored), 1);
    EXPECT_TRUE(loadedAt(join));
}

TEST_F(ViewControllerTest, HandOverStatusUnderThePageWithTheDownloadAndTryAgain) {
    using Stage = HandOverStatus::Stage;
    using Failure = HandOverStatus::Failure;
    open();
    ASSERT_TRUE(pumpUntil([&] { return loadedAt(address("/join?pellix_token=tok")); }, 30s));
    // Under the web view: a separator, then the words with the Try again button, and the bar.
    GtkWidget* area = gtk_widget_get_last_child(controller_->view());
    GtkWidget* lines = gtk_widget_get_last_child(area);
    GtkWidget* label = gtk_widget_get_first_child(gtk_widget_get_first_child(lines));
    GtkWidget* tryAgain = gtk_widget_get_last_child(gtk_widget_get_first_child(lines));
    GtkWidget* bar = gtk_widget_get_last_child(lines);
    ASSERT_TRUE(GTK_IS_LABEL(label));
    ASSERT_TRUE(GTK_IS_BUTTON(tryAgain));
    ASSERT_TRUE(GTK_IS_PROGRESS_BAR(bar));
    const auto text = [&] { return std::string(gtk_label_get_text(GTK_LABEL(label))); };
    const auto fraction = [&] { return gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(bar)); };
    const auto shows = [&](const std::string& words) {
        return pumpUntil([&] { return text() == words; }, 30s);
    };
    EXPECT_FALSE(gtk_widget_get_visible(area)) << "a status before any join";

    // Held by the completions too: the last one may come after the test has ended.
    const auto done = std::make_shared<std::atomic<int>>(0);
    const auto download = [&](const std::string& path) {
        platform::UrlRequest request;
        request.url = address(path);
        platform::UrlSession::shared().downloadTask(request, [done](auto, auto, auto) { ++*done; });
    };
    writeText(service_->rootDir() + "/KeloHelvoPellix.dmg", std::string(3000000, 'p'));
    writeText(service_->rootDir() + "/KeloMac.dmg", std::string(3000000, 'a'));

    // While the agent downloads, the words and the bar say how far it is; the launcher's own
    // update, downloading at the same time, says nothing.
    HandOverStatus::shared().report(Stage::downloading);
    ASSERT_TRUE(shows("Downloading the support application…"));
    download("/agent/KeloHelvoPellix.dmg");
    ASSERT_TRUE(pumpUntil([&] { return done->load() == 1; }, 30s));
    EXPECT_EQ(text(), "Downloading the support application…");
    EXPECT_EQ(fraction(), 0);
    download("/agent/KeloMac.dmg");
    ASSERT_TRUE(pumpUntil([&] { return text().ends_with(" of 3 MB") && fraction() > 0; }, 30s))
        << text();
    EXPECT_THAT(text(), StartsWith("Downloading the support application: "));
    EXPECT_FALSE(gtk_widget_get_visible(tryAgain));
    ASSERT_TRUE(pumpUntil([&] { return done->load() == 2; }, 30s));

    // A failure in plain words, in the window and in the log, with Try again.
    HandOverStatus::shared().fail(Failure::downloadFailed);
    const std::string failed =
        "The support application could not be downloaded. Check the connection and try again.";
    ASSERT_TRUE(shows(failed));
    EXPECT_EQ(fraction(), 0);
    EXPECT_TRUE(gtk_widget_get_visible(tryAgain));
    EXPECT_EQ(said("HandOverStatus : " + failed + "\n", true), 1);

    // Try again runs the same session's hand-over: its check goes out again (and fails here).
    SessionDetails::getInstance().setSessionKey("123456789");
    const std::string check = "/api/v2/agent/check_update";
    service_->setAnswer(check, {.status = 500, .times = 1});
    g_signal_emit_by_name(tryAgain, "clicked");
    ASSERT_TRUE(
        shows("The support service could not be reached. Check the connection and try "
              "again."));
    EXPECT_EQ(service_->requests(check).size(), 1u);

    // A refused join cannot be tried again from here: the page must send it again.
    HandOverStatus::shared().fail(Failure::refusedJoin);
    ASSERT_TRUE(
        shows("The session details were not accepted. Check the session key and join "
              "again."));
    EXPECT_FALSE(gtk_widget_get_visible(tryAgain));

    HandOverStatus::shared().report(Stage::running);
    ASSERT_TRUE(shows("The support application is running."));
    EXPECT_EQ(fraction(), 1);
    EXPECT_FALSE(gtk_widget_get_visible(tryAgain));
    EXPECT_TRUE(gtk_widget_get_visible(area));
}

// Two launches one after the other in the same home: what the first page stored is there for the
// second.
class WebsiteDataTest : public TempHomeTest {
  protected:
    // Whether a file below the folder holds the text, as UTF-8 or as UTF-16 (WebKit's local
    // storage keeps its values so), also in a database's journal.
    static bool storedBelow(const std::string& folder, const std::string& text) {
        std::string wide;
        for (const char c : text) wide += std::string{c, '\0'};
        std::error_code error;
        for (const auto& entry : fs::recursive_directory_iterator(folder, error)) {
            if (!entry.is_regular_file()) continue;
            const std::string bytes = readText(entry.path().string());
            if (bytes.find(text) != std::string::npos || bytes.find(wide) != std::string::npos)
                return true;
        }
        return false;
    }
};

TEST_F(WebsiteDataTest, CookiesAndLocalStorageSurviveARestart) {
    LocalService service;
    service.applyEnvironment("localkelo");
    service.setAnswer("/keep", {.status = 200,
                                .body = R"(<!DOCTYPE html><script>
        if (!localStorage.getItem('kept')) {
            localStorage.setItem('kept', 'stored');
            document.cookie = 'visit=first; max-age=3600; secure; path=/';
            fetch('/first?' + document.cookie);
        } else {
            fetch('/second?storage=' + localStorage.getItem('kept') + '&' + document.cookie);
        }
    </script>)",
                                .contentType = "text/html"});

    const auto launch = [&](const std::string& expected) {
        return ChildProcess::run(
            [&] {
                gtk_init();
                platform::Bundle::overrideMainBundlePath(KELO_BUNDLE_DIR);
                auto& session = SessionDetails::getInstance();
                session.setWebServerName(service.host());
                session.setPathForPellix(std::string("keep"));
                // The page never reports itself loaded: a good probe would load it (and fetch)
                // once more.
                NetworkMonitor::shared().setProbeIntervalForTesting(3600);
                GtkWindow* window = GTK_WINDOW(gtk_window_new());
                auto controller = ViewController::create(window);
                controller->viewDidLoad();
                gtk_window_present(window);
                // The first launch waits until WebKit has put both on disk.
                const char* folder = webkit_website_data_manager_get_base_data_directory(
                    webkit_network_session_get_website_data_manager(
                        webkit_network_session_get_default()));
                const bool seen =
                    pumpUntil([&] { return !service.requests(expected).empty(); }, 30s) &&
                    (expected != "/first" || pumpUntil(
                                                 [&] {
                                                     return folder &&
                                                            storedBelow(folder, "visit") &&
                                                            storedBelow(folder, "stored");
                                                 },
                                                 30s));
                // Ends as the launcher does: no orderly teardown of the web view.
                std::fflush(nullptr);
                std::_Exit(seen ? 0 : 1);
            },
            path("child.txt"), path("child.txt"));
    };
    ASSERT_EQ(launch("/first"), 0);
    ASSERT_EQ(launch("/second"), 0);
    EXPECT_THAT(service.requests("/first"),
                ElementsAre(Field(&LocalService::Request::target, "/first?visit=first")));
    EXPECT_THAT(
        service.requests("/second"),
        ElementsAre(Field(&LocalService::Request::target, "/second?storage=stored&visit=first")));
}

}  // namespace
