// The script message dispatcher: every message of the join page, the replies byte for byte, the
// join and raise-a-request flows, and messages from pages that are not the service's.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "FakePathMonitor.h"
#include "Handlers/NativeMessageHandler.h"
#include "Handlers/NetworkMonitor.h"
#include "MainLoop.h"
#include "Objects/SessionDetails.h"
#include "Platform/PropertyList.h"
#include "Platform/UserDefaults.h"
#include "RecordingUrlSession.h"
#include "RecordingWorkspace.h"
#include "TempHome.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using platform::PlistValue;

constexpr const char* kPage = "https://pellix.kelohelvo.example/join/?pellix_token=t";
constexpr const char* kAgentCheck = "/api/v2/agent/check_update";

class RecordingDelegate : public NativeMessageHandlerDelegate {
  public:
    void executeJavaScript(const std::string& script) override { scripts.push_back(script); }
    void updateWindowTitle(const std::string& title) override { titles.push_back(title); }

    std::vector<std::string> scripts;
    std::vector<std::string> titles;
};

class NativeMessageHandlerTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        platform::ServiceSlot<platform::Workspace>::set(workspace_);
        // The build's own URL session unless a test asks for the recording one.
        platform::ServiceSlot<platform::UrlSession>::set(nullptr);
        auto& session = SessionDetails::getInstance();
        session.setPlistDcName("com");
        session.setPlistWebServerName("pellix.kelohelvo.example");
        session.setDcName("com");
        session.setWebServerName("pellix.kelohelvo.example");
    }

    void useRecordingSession() { platform::ServiceSlot<platform::UrlSession>::set(session_); }

    // Hands one message from the service's page to the dispatcher; returns what it printed.
    std::string send(const std::string& name, std::optional<json> body = std::nullopt,
                     const std::string& page = kPage) {
        ::testing::internal::CaptureStdout();
        handler_.handleMessageFromWebView(ScriptMessage(name, std::move(body), page));
        return ::testing::internal::GetCapturedStdout();
    }

    static platform::UserDefaults& defaults() { return platform::UserDefaults::standard(); }
    // What the defaults file on disk holds: synchronize ran.
    PlistValue::Dictionary storedOnDisk() const {
        return platform::PropertyList::readDictionary(platform::UserDefaults::standardFilePath())
            .value_or(PlistValue::Dictionary{});
    }
    std::string proxyFile() const {
        return path("Library/Logs/KeloHelvo/ConnectionSettings.plist");
    }

    static json customer() {
        return json(R"({"name":"Ann","company":"Acme","email":"ann@acme.test","language":"fr"})");
    }
    static json proxy() {
        return json(R"({"host":"proxy.test","port":3128,"authRequired":true,"userName":"ann",)"
                    R"("password":"pw"})");
    }
    static json joinBody(const std::string& key, const std::string& extra = "") {
        return json(R"({"sessionKey":)" + key + R"(,"email":"ann@acme.test")" + extra + "}");
    }

    std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
    std::shared_ptr<RecordingWorkspace> workspace_ = std::make_shared<RecordingWorkspace>();
    std::shared_ptr<RecordingUrlSession> session_ = std::make_shared<RecordingUrlSession>();
    NativeMessageHandler handler_{delegate_};
};

TEST_F(NativeMessageHandlerTest, QuestionsAreAnsweredWithWhatIsStored) {
    EXPECT_EQ(send("getRRSessionDigest"), "");
    EXPECT_EQ(send("getCustomerDetails"), "");
    EXPECT_EQ(send("getProxyDetails"), "");
    EXPECT_EQ(send("getSystemOs"), "");
    EXPECT_EQ(send("getActiveSessionKey"),
              "handleMessageFromWebView(message:) : No Session id is active.\n");
    // Names are compared exactly.
    for (const char* name : {"GetSystemOs", "getsystemos", "getSystemOs ", "jsToNative"}) {
        EXPECT_EQ(send(name), "") << name;
    }
    EXPECT_EQ(SessionDetails::getInstance().sessionDigest(), "");

    EXPECT_EQ(send("sendRRSessionDigestToNative", "digest-1"), "");
    EXPECT_EQ(send("sendCustomerDetailsToNative", customer()), "");
    EXPECT_EQ(send("sendProxyDetailsToNative", proxy()), "");
    // Each group of writes reaches the file.
    const auto disk = storedOnDisk();
    EXPECT_EQ(disk.at("RRSessionDigest"), PlistValue("digest-1"));
    EXPECT_EQ(disk.at("company"), PlistValue("Acme"));
    EXPECT_EQ(disk.at("port"), PlistValue(std::int64_t{3128}));
    EXPECT_EQ(disk.at("authRequired"), PlistValue(true));
    // The proxy file waits for a join.
    EXPECT_FALSE(fs::exists(proxyFile()));

    send("getRRSessionDigest");
    send("getCustomerDetails");
    send("getProxyDetails");
    EXPECT_EQ(
        delegate_->scripts,
        (std::vector<std::string>{
            R"(window.receiveRRSessionDigest("");)",
            R"(window.receiveCustomerDetails({"company":null,"email":null,"language":"en","name":null});)",
            R"(window.receiveProxyDetails({"authRequired":null,"host":null,"password":null,"port":null,"userName":null});)",
            R"(window.receiveSystemOs("mac");)", R"(window.receiveRRSessionDigest("digest-1");)",
            R"(window.receiveCustomerDetails({"company":"Acme","email":"ann@acme.test","language":"fr","name":"Ann"});)",
            R"(window.receiveProxyDetails({"authRequired":true,"host":"proxy.test","password":"pw","port":3128,"userName":"ann"});)"}));
    EXPECT_EQ(SessionDetails::getInstance().sessionDigest(), "digest-1");

    send("clearRRSessionDigest");
    send("getRRSessionDigest");
    EXPECT_EQ(delegate_->scripts.back(), R"(window.receiveRRSessionDigest("");)");
    EXPECT_EQ(storedOnDisk().at("RRSessionDigest"), PlistValue(""));

    defaults().set("PellixToken", "token");
    send("clearPellixDigest");
    EXPECT_EQ(storedOnDisk().at("PellixToken"), PlistValue(""));
}

TEST_F(NativeMessageHandlerTest, UndecodableRecordsStoreNothing) {
    const auto before = defaults().snapshot();
    EXPECT_EQ(send("sendCustomerDetailsToNative", R"({"name":"Ann"})"),
              "handleMessageFromWebView(message:) : Customer Details Not Initialized.\n");
    EXPECT_EQ(send("sendProxyDetailsToNative", R"({"host":"h","port":"80"})"),
              "handleMessageFromWebView(message:) : Proxy Details Not Initialized.\n");
    EXPECT_EQ(send("sendJoinDetailsToNative", joinBody("\"123456789\"")),
              "handleMessageFromWebView(message:) : handleMessageFromWebView(message:) : Error "
              "Unable to decode the join details\n");
    EXPECT_EQ(defaults().snapshot(), before);
    EXPECT_TRUE(storedOnDisk().empty());
}

TEST_F(NativeMessageHandlerTest, BodiesOfTheWrongTypeDoNothing) {
    useRecordingSession();
    const auto before = defaults().snapshot();
    const std::vector<std::optional<json>> wrongBodies = {std::nullopt,
                                                          json(nullptr),
                                                          json(123456789),
                                                          json(true),
                                                          json::parse(R"({"name":"Ann"})"),
                                                          json::array({"123456789"})};
    for (const char* name :
         {"sendRRSessionDigestToNative", "sendCustomerDetailsToNative", "sendRRSessionKeyToNative",
          "sendJoinDetailsToNative", "sendJoinReportAbuseLinkToNative", "sendProxyDetailsToNative",
          "consoleHandler"}) {
        for (const auto& body : wrongBodies) {
            EXPECT_EQ(send(name, body), "") << name << " " << (body ? body->dump() : "absent");
        }
    }
    EXPECT_EQ(defaults().snapshot(), before);
    EXPECT_TRUE(storedOnDisk().empty());
    EXPECT_TRUE(delegate_->scripts.empty());
    EXPECT_TRUE(workspace_->opened.entries().empty());
    EXPECT_EQ(session_->count(), 0u);
    EXPECT_FALSE(SessionDetails::getInstance().sessionKey());
}

TEST_F(NativeMessageHandlerTest, JoinKeysMustHave9Or10Digits) {
    useRecordingSession();
    struct Case {
        std::string key;
        bool accepted;
    };
    for (const auto& [key, accepted] : {Case{"12345678", false}, Case{"123456789", true},
                                        Case{"1234567890", true}, Case{"12345678901", false}}) {
        const auto checksBefore = session_->count();
        const std::string printed = send("sendJoinDetailsToNative", joinBody(key, R"(,"dc":"x")"));
        std::string expected =
            "handleMessageFromWebView(message:) : Details Shared for Joining a session - email: "
            "ann@acme.test, sessionid: " +
            key + "\n";
        if (!accepted) {
            expected += "handleMessageFromWebView(message:) : Invalid Session Key from Join Page\n";
        }
        EXPECT_EQ(printed, expected);
        // Stored as a number before it is checked, rejected or not.
        EXPECT_EQ(storedOnDisk().at("activeSessionKey"),
                  PlistValue(static_cast<std::int64_t>(std::stoll(key))));
        EXPECT_EQ(session_->count(), checksBefore + (accepted ? 1 : 0)) << key;
        if (accepted) {
            EXPECT_EQ(SessionDetails::getInstance().sessionKey(), key);
        }
    }
    EXPECT_EQ(SessionDetails::getInstance().sessionKey(), "1234567890");
}

TEST_F(NativeMessageHandlerTest, JoinFillsTheSessionAndRunsTheAgentCheck) {
    useRecordingSession();
    send("sendProxyDetailsToNative", proxy());
    auto& session = SessionDetails::getInstance();
    // The launch configuration's data centre, which a join with "dc" returns to.
    session.setPlistDcName("eu");
    session.setPlistWebServerName("pellix-eu.kelohelvo.example");

    send("sendJoinDetailsToNative", joinBody("987654321", R"(,"dc":"")"));
    EXPECT_EQ(session.sessionKey(), "987654321");
    EXPECT_EQ(session.name(), "ann@acme.test");
    EXPECT_EQ(session.dcName(), "eu");
    EXPECT_EQ(session.webServerName(), "pellix-eu.kelohelvo.example");
    // The proxy file is written before the check goes out.
    ASSERT_TRUE(fs::exists(proxyFile()));
    EXPECT_EQ(platform::PropertyList::readDictionary(proxyFile())->at("UserName"),
              PlistValue("ann"));
    ASSERT_EQ(session_->count(), 1u);
    EXPECT_NE(session_->requests()[0].url.find("https://pellix-eu.kelohelvo.example" +
                                               std::string(kAgentCheck)),
              std::string::npos)
        << session_->requests()[0].url;

    // A second join runs a second check; without "dc" a ten-character key names the data centre
    // by its fourth character ("1" is eu).
    send("sendJoinDetailsToNative", joinBody("987654321", R"(,"dc":"eu")"));
    ASSERT_EQ(session_->count(), 2u);
    session.setPlistDcName("uk");
    session.setPlistWebServerName("pellix-uk.kelohelvo.example");
    send("sendJoinDetailsToNative", joinBody("1231567890"));
    EXPECT_EQ(session.dcName(), "eu");
    ASSERT_EQ(session_->count(), 3u);
    EXPECT_NE(session_->requests()[2].url.find("pellix-eu.kelohelvo.example"), std::string::npos);

    ::testing::internal::CaptureStdout();
    session_->finish(0, 500);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "handleMessageFromWebView(message:) : Unable to update Kelo Helvo Agent\n");
    EXPECT_EQ(workspace_->launched.size(), 0u);
}

TEST_F(NativeMessageHandlerTest, RaiseARequestChecksOnlyTheLength) {
    useRecordingSession();
    send("sendCustomerDetailsToNative", customer());
    send("sendProxyDetailsToNative", proxy());
    auto& session = SessionDetails::getInstance();

    for (const char* key : {"abcdefgh", "abcdefghijk"}) {
        EXPECT_EQ(send("sendRRSessionKeyToNative", key),
                  "handleMessageFromWebView(message:) : Invalid Session Key from Raise a Request "
                  "Page\n")
            << key;
    }
    EXPECT_EQ(session_->count(), 0u);
    EXPECT_FALSE(fs::exists(proxyFile()));

    // Nine letters, and nine characters that take more bytes, are both accepted.
    EXPECT_EQ(send("sendRRSessionKeyToNative", "abcdefghi"), "");
    EXPECT_EQ(session.sessionKey(), "abcdefghi");
    EXPECT_EQ(session.name(), "Ann");
    EXPECT_TRUE(fs::exists(proxyFile()));
    EXPECT_EQ(send("sendRRSessionKeyToNative", "ÄÖÜäöüßéè"), "");
    EXPECT_EQ(session_->count(), 2u);
    // Neither the active key nor the data centre is touched.
    EXPECT_FALSE(defaults().object("activeSessionKey"));
    EXPECT_EQ(session.dcName(), "com");

    ::testing::internal::CaptureStdout();
    session_->finish(0, 503);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST_F(NativeMessageHandlerTest, ActiveSessionKeyAfterJoinAndAfterClearing) {
    useRecordingSession();
    send("sendJoinDetailsToNative", joinBody("1234567890"));
    EXPECT_EQ(send("getActiveSessionKey"), "");
    send("clearActiveSessionKey");
    EXPECT_EQ(storedOnDisk().at("activeSessionKey"), PlistValue(""));
    EXPECT_EQ(send("getActiveSessionKey"), "");
    EXPECT_EQ(delegate_->scripts,
              (std::vector<std::string>{R"(window.receiveActiveSessionKey("1234567890");)",
                                        R"(window.receiveActiveSessionKey("");)"}));
}

// Stored values enter the reply scripts as string literals: whatever they hold stays data.
TEST_F(NativeMessageHandlerTest, StoredValuesStayDataInTheReplyScripts) {
    for (const char* stored : {R"(");alert(1);(")", "</script><script>alert(1)</script>",
                               "back\\slash \"quote\"\nline"}) {
        defaults().set("RRSessionDigest", stored);
        defaults().set("activeSessionKey", stored);
        send("getRRSessionDigest");
        send("getActiveSessionKey");
    }
    EXPECT_EQ(delegate_->scripts,
              (std::vector<std::string>{
                  R"(window.receiveRRSessionDigest("\");alert(1);(\"");)",
                  R"(window.receiveActiveSessionKey("\");alert(1);(\"");)",
                  R"(window.receiveRRSessionDigest("</script><script>alert(1)</script>");)",
                  R"(window.receiveActiveSessionKey("</script><script>alert(1)</script>");)",
                  R"(window.receiveRRSessionDigest("back\\slash \"quote\"\nline");)",
                  R"(window.receiveActiveSessionKey("back\\slash \"quote\"\nline");)"}));
}

TEST_F(NativeMessageHandlerTest, WindowTitleAndItsFallbacks) {
    send("sendPellixTitleToNative", json(nullptr));
    send("sendPellixTitleToNative");
    EXPECT_FALSE(defaults().object("WindowTitle"));

    defaults().set("WindowTitle", std::int64_t{7});
    send("sendPellixTitleToNative", json(7));

    send("sendPellixTitleToNative", "Support for Acme");
    EXPECT_EQ(storedOnDisk().at("WindowTitle"), PlistValue("Support for Acme"));
    send("sendPellixTitleToNative", json::object());
    EXPECT_EQ(
        delegate_->titles,
        (std::vector<std::string>{"Kelo Helvo - Pellix", "Kelo Helvo - Pellix",
                                  "Kelo Helvo - Pellix", "Support for Acme", "Support for Acme"}));
}

TEST_F(NativeMessageHandlerTest, WithoutADelegateSettingsAreStillStored) {
    handler_.setNativeMessageHandlerDelegate(nullptr);
    send("sendPellixTitleToNative", "Title");
    send("getSystemOs");
    send("sendRRSessionDigestToNative", "d");
    EXPECT_TRUE(delegate_->scripts.empty());
    EXPECT_TRUE(delegate_->titles.empty());
    EXPECT_EQ(defaults().object("WindowTitle"), PlistValue("Title"));
    EXPECT_EQ(defaults().object("RRSessionDigest"), PlistValue("d"));
}

TEST_F(NativeMessageHandlerTest, ReportAbuseLinkOpensOnlyWebAddresses) {
    EXPECT_EQ(send("sendJoinReportAbuseLinkToNative", "https://kelohelvo.example/abuse?x=1"),
              "handleMessageFromWebView(message:) Opened Report Abuse Page in the Default "
              "browser\n");
    workspace_->openSucceeds = false;
    EXPECT_EQ(send("sendJoinReportAbuseLinkToNative", "http://kelohelvo.example/abuse"), "");
    // Not an address at all: nothing.
    EXPECT_EQ(send("sendJoinReportAbuseLinkToNative", "not an address"), "");
    EXPECT_EQ(workspace_->opened.entries(),
              (std::vector<std::string>{"https://kelohelvo.example/abuse?x=1",
                                        "http://kelohelvo.example/abuse"}));

    for (const char* link : {"file:///etc/passwd", "kelojoin://123456789", "javascript:alert(1)"}) {
        EXPECT_EQ(send("sendJoinReportAbuseLinkToNative", link),
                  "handleMessageFromWebView(message:) : Report Abuse link is not a web address, "
                  "not opened: " +
                      std::string(link) + "\n");
    }
    EXPECT_EQ(workspace_->opened.size(), 2u);
}

TEST_F(NativeMessageHandlerTest, OpenProxyAndConsoleMessages) {
    EXPECT_EQ(send("openProxy"), "");
    workspace_->hasProxySettings = false;
    EXPECT_EQ(send("openProxy"),
              "handleMessageFromWebView(message:) : No network proxy settings program is "
              "installed; proxy settings not opened.\n");
    EXPECT_EQ(workspace_->proxySettingsOpened.load(), 2);

    EXPECT_EQ(send("consoleHandler", "page says hi"),
              "handleMessageFromWebView(message:) : Console Message from WebView: page says hi\n");
}

TEST_F(NativeMessageHandlerTest, PellixLoadedStopsTheNetworkMonitor) {
    auto paths = std::make_shared<FakePathMonitor::State>();
    auto& monitor = NetworkMonitor::shared();
    monitor.setPathMonitorFactoryForTesting(
        [paths] { return std::make_unique<FakePathMonitor>(paths); });
    monitor.startMonitoringReachability("https://pellix.kelohelvo.example/join/");
    ASSERT_TRUE(MainLoop::runUntil([&] { return monitor.hasReachabilityTimer(); }, 10s));

    send("pellixLoaded");
    EXPECT_FALSE(monitor.hasReachabilityTimer());
    std::lock_guard lock(paths->mutex);
    EXPECT_EQ(paths->cancels, 1);
}

TEST_F(NativeMessageHandlerTest, MessagesFromOtherPagesAreDropped) {
    useRecordingSession();
    send("sendProxyDetailsToNative", proxy());
    const auto before = defaults().snapshot();
    SessionDetails::getInstance().setWebServerName("custom.kelodev.test:8443");

    struct Case {
        const char* page;
        const char* host;
    };
    for (const auto& [page, host] : {
             Case{"https://evil.example/join/", "evil.example"},
             Case{"http://pellix.kelohelvo.example/join/", "pellix.kelohelvo.example"},
             Case{"https://pellix.kelohelvo.example.evil.example/",
                  "pellix.kelohelvo.example.evil.example"},
             Case{"https://pellix.kelohelvo.example:8443/", "pellix.kelohelvo.example:8443"},
             Case{"https://custom.kelodev.test/", "custom.kelodev.test"},
             Case{"https://pellix.kelohelvo.example@evil.example/", "evil.example"},
             Case{"file:///usr/share/kelo/NoInternetPage.html", "(no host)"},
             Case{"about:blank", "(no host)"},
             Case{"data:text/html,<p>pellix.kelohelvo.example</p>", "(no host)"},
             Case{"blob:https://pellix.kelohelvo.example/4f1e", "(no host)"},
             Case{"", "(no host)"},
         }) {
        for (const auto& [name, body] : std::vector<std::pair<std::string, std::optional<json>>>{
                 {"getProxyDetails", std::nullopt},
                 {"sendJoinDetailsToNative", joinBody("123456789")},
                 {"sendCustomerDetailsToNative", customer()},
                 {"sendPellixTitleToNative", "Evil"},
             }) {
            EXPECT_EQ(send(name, body, page),
                      "handleMessageFromWebView(message:) : Dropped message " + name +
                          " from a page that is not the service's, host: " + host + "\n")
                << page;
        }
    }
    EXPECT_EQ(defaults().snapshot(), before);
    EXPECT_TRUE(delegate_->scripts.empty());
    EXPECT_TRUE(delegate_->titles.empty());
    EXPECT_EQ(session_->count(), 0u);
    EXPECT_FALSE(fs::exists(proxyFile()));

    // The current web server, the table's hosts (any letter case, default port) are heard.
    for (const char* page : {"https://custom.kelodev.test:8443/join/",
                             "https://PELLIX-EU.kelohelvo.example:443/x", kPage}) {
        EXPECT_EQ(send("getSystemOs", std::nullopt, page), "") << page;
    }
    // A data-centre code in capitals names the host the web view shows in small letters.
    SessionDetails::getInstance().setWebServerName("EU.kelodev.test");
    EXPECT_EQ(send("getSystemOs", std::nullopt, "https://eu.kelodev.test/join/"), "");
    EXPECT_EQ(delegate_->scripts.size(), 4u);
}

}  // namespace
