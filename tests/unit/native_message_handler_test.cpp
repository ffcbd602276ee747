// The script message dispatcher: every message of the join page, the replies byte for byte, the
// join and raise-a-request flows, and messages from pages that are not the service's.
#include "KeloTest.h"

#include <unistd.h>

#include <set>

#include "FakePathMonitor.h"
#include "HandOverShown.h"
#include "Handlers/NativeMessageHandler.h"
#include "Handlers/NetworkMonitor.h"
#include "MainLoop.h"
#include "Objects/SessionDetails.h"
#include "Platform/PropertyList.h"
#include "Platform/UserDefaults.h"
#include "RecordingUrlSession.h"
#include "RecordingWorkspace.h"

namespace {

using nlohmann::json;
using platform::PlistValue;
using Scripts = std::vector<std::string>;
using Stage = HandOverStatus::Stage;
using Failure = HandOverStatus::Failure;

constexpr const char* kPage = "https://pellix.kelohelvo.example/join/?pellix_token=t";
// The page sends its records as JSON texts.
const json kCustomer(R"({"name":"Ann","company":"Acme","email":"ann@acme.test","language":"fr"})");
const json kProxy(
    R"({"host":"proxy.test","port":3128,"authRequired":true,"userName":"ann","password":"pw"})");
json joinBody(const std::string& key, const std::string& extra = "") {
    return json(R"({"sessionKey":)" + key + R"(,"email":"ann@acme.test")" + extra + "}");
}

class RecordingDelegate : public NativeMessageHandlerDelegate {
  public:
    void executeJavaScript(const std::string& script) override { scripts.push_back(script); }
    void updateWindowTitle(const std::string& title) override { titles.push_back(title); }
    Scripts scripts, titles;
};

class NativeMessageHandlerTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        platform::ServiceSlot<platform::Workspace>::set(workspace_);
        platform::ServiceSlot<platform::UrlSession>::set(urls_);
        auto& session = SessionDetails::getInstance();
        session.setPlistDcName("com");
        session.setPlistWebServerName("pellix.kelohelvo.example");
        session.setDcName("com");
        session.setWebServerName("pellix.kelohelvo.example");
    }
    void TearDown() override {
        // A join starts the shared monitor; the next test begins without it.
        NetworkMonitor::shared().stopWebsiteReachabilityChecks();
        NetworkMonitor::shared().stopNetworkMonitoring();
        TempHomeTest::TearDown();
    }

    // What the dispatcher printed for one message, without the operation's prefix.
    std::string said(const std::string& name, std::optional<json> body = {},
                     const std::string& page = kPage) {
        return printed(
            [&] { handler_.handleMessageFromWebView(ScriptMessage(name, std::move(body), page)); });
    }
    std::string printed(const std::function<void()>& action) {
        OutputCapture out(STDOUT_FILENO, path("stdout.txt"));
        action();
        const std::string text = out.stop(), prefix = "handleMessageFromWebView(message:) : ";
        return text.starts_with(prefix) ? text.substr(prefix.size()) : text;
    }

    static platform::UserDefaults& defaults() { return platform::UserDefaults::standard(); }
    // What the defaults file on disk holds: synchronize ran.
    PlistValue::Dictionary onDisk() const {
        return platform::PropertyList::readDictionary(platform::UserDefaults::standardFilePath())
            .value_or(PlistValue::Dictionary{});
    }
    std::string proxyFile() const {
        return path("Library/Logs/KeloHelvo/ConnectionSettings.plist");
    }

    std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
    std::shared_ptr<RecordingWorkspace> workspace_ = std::make_shared<RecordingWorkspace>();
    std::shared_ptr<RecordingUrlSession> urls_ = std::make_shared<RecordingUrlSession>();
    NativeMessageHandler handler_{delegate_};
};

TEST_F(NativeMessageHandlerTest, QuestionsAreAnsweredWithWhatIsStored) {
    for (const char* name :
         {"getRRSessionDigest", "getCustomerDetails", "getProxyDetails", "getSystemOs",
          "GetSystemOs", "getsystemos", "getSystemOs ", "jsToNative"})
        EXPECT_EQ(said(name), "") << name;  // names are compared exactly
    EXPECT_EQ(said("getActiveSessionKey"), "No Session id is active.\n");
    EXPECT_EQ(SessionDetails::getInstance().sessionDigest(), "");

    EXPECT_EQ(said("sendRRSessionDigestToNative", "digest-1") +
                  said("sendCustomerDetailsToNative", kCustomer) +
                  said("sendProxyDetailsToNative", kProxy),
              "");
    const auto disk = onDisk();  // each group of writes reaches the file
    EXPECT_EQ(disk.at("RRSessionDigest"), PlistValue("digest-1"));
    EXPECT_EQ(disk.at("company"), PlistValue("Acme"));
    EXPECT_EQ(disk.at("port"), PlistValue(std::int64_t{3128}));
    EXPECT_EQ(disk.at("authRequired"), PlistValue(true));
    EXPECT_FALSE(fs::exists(proxyFile()));  // the proxy file waits for a join

    for (const char* name : {"getRRSessionDigest", "getCustomerDetails", "getProxyDetails"})
        said(name);
    EXPECT_EQ(
        delegate_->scripts,
        (Scripts{
            R"(window.receiveRRSessionDigest("");)",
            R"(window.receiveCustomerDetails({"company":null,"email":null,"language":"en","name":null});)",
            R"(window.receiveProxyDetails({"authRequired":null,"host":null,"password":null,"port":null,"userName":null});)",
            R"(window.receiveSystemOs("linux");)", R"(window.receiveRRSessionDigest("digest-1");)",
            R"(window.receiveCustomerDetails({"company":"Acme","email":"ann@acme.test","language":"fr","name":"Ann"});)",
            R"(window.receiveProxyDetails({"authRequired":true,"host":"proxy.test","password":"pw","port":3128,"userName":"ann"});)"}));
    EXPECT_EQ(SessionDetails::getInstance().sessionDigest(), "digest-1");

    // Each clearing is on disk at once.
    const auto clearedOnDisk = [&](const char* name, const char* key) {
        said(name);
        EXPECT_EQ(onDisk().at(key), PlistValue("")) << name;
    };
    delegate_->scripts.clear();
    clearedOnDisk("clearRRSessionDigest", "RRSessionDigest");
    said("getRRSessionDigest");
    defaults().set("PellixToken", "token");
    defaults().synchronize();
    clearedOnDisk("clearPellixDigest", "PellixToken");
    said("sendJoinDetailsToNative", joinBody("1234567890"));
    EXPECT_EQ(said("getActiveSessionKey"), "");
    clearedOnDisk("clearActiveSessionKey", "activeSessionKey");
    EXPECT_EQ(said("getActiveSessionKey"), "");  // an empty key is still an answer
    EXPECT_THAT(delegate_->scripts, ElementsAre(R"(window.receiveRRSessionDigest("");)",
                                                R"(window.receiveActiveSessionKey("1234567890");)",
                                                R"(window.receiveActiveSessionKey("");)"));

    // Without a delegate, settings are still stored.
    handler_.setNativeMessageHandlerDelegate(nullptr);
    said("sendPellixTitleToNative", "Title");
    said("getSystemOs");
    said("sendRRSessionDigestToNative", "d");
    EXPECT_EQ(delegate_->scripts.size(), 3u);
    EXPECT_THAT(delegate_->titles, IsEmpty());
    EXPECT_EQ(defaults().object("WindowTitle"), PlistValue("Title"));
    EXPECT_EQ(defaults().object("RRSessionDigest"), PlistValue("d"));
}

TEST_F(NativeMessageHandlerTest, WhatCannotBeDecodedStoresNothing) {
    const auto before = defaults().snapshot();
    EXPECT_EQ(said("sendCustomerDetailsToNative", R"({"name":"Ann"})"),
              "Customer Details Not Initialized.\n");
    EXPECT_EQ(said("sendProxyDetailsToNative", R"({"host":"h","port":"80"})"),
              "Proxy Details Not Initialized.\n");
    EXPECT_EQ(said("sendJoinDetailsToNative", joinBody("\"123456789\"")),
              "handleMessageFromWebView(message:) : Error Unable to decode the join details\n");
    EXPECT_EQ(shownFailure(), Failure::refusedJoin);
    // Bodies of the wrong type do nothing at all.
    for (const char* name :
         {"sendRRSessionDigestToNative", "sendCustomerDetailsToNative", "sendRRSessionKeyToNative",
          "sendJoinDetailsToNative", "sendJoinReportAbuseLinkToNative", "sendProxyDetailsToNative",
          "consoleHandler"})
        for (const auto& body : std::vector<std::optional<json>>{
                 std::nullopt, json(nullptr), json(123456789), json(true),
                 json::parse(R"({"name":"Ann"})"), json::array({"123456789"})})
            EXPECT_EQ(said(name, body), "") << name << " " << (body ? body->dump() : "absent");
    EXPECT_EQ(defaults().snapshot(), before);
    EXPECT_THAT(onDisk(), IsEmpty());
    EXPECT_THAT(delegate_->scripts, IsEmpty());
    EXPECT_THAT(workspace_->opened.entries(), IsEmpty());
    EXPECT_EQ(urls_->count(), 0u);
    EXPECT_FALSE(SessionDetails::getInstance().sessionKey());
}

TEST_F(NativeMessageHandlerTest, JoinKeysMustHave9Or10Digits) {
    for (const auto& [key, accepted] : {std::pair{"12345678", false},
                                        {"123456789", true},
                                        {"1234567890", true},
                                        {"12345678901", false}}) {
        SCOPED_TRACE(key);
        const auto checksBefore = urls_->count();
        EXPECT_EQ(said("sendJoinDetailsToNative", joinBody(key, R"(,"dc":"x")")),
                  "Details Shared for Joining a session - email: ann@acme.test, sessionid: " +
                      std::string(key) + "\n" +
                      (accepted ? ""
                                : "handleMessageFromWebView(message:) : Invalid Session Key from "
                                  "Join Page\n"));
        // Stored as a number before it is checked, rejected or not.
        EXPECT_EQ(onDisk().at("activeSessionKey"),
                  PlistValue(static_cast<std::int64_t>(std::stoll(key))));
        EXPECT_EQ(urls_->count(), checksBefore + (accepted ? 1 : 0));
        EXPECT_EQ(shownStage(), accepted ? Stage::checking : Stage::failed);
        if (accepted) {
            EXPECT_EQ(SessionDetails::getInstance().sessionKey(), key);
        }
    }
    EXPECT_EQ(SessionDetails::getInstance().sessionKey(), "1234567890");
}

TEST_F(NativeMessageHandlerTest, JoinFillsTheSessionAndRunsTheAgentCheck) {
    said("sendProxyDetailsToNative", kProxy);
    auto& session = SessionDetails::getInstance();
    // The launch configuration's data centre, which a join with "dc" returns to.
    session.setPlistDcName("eu");
    session.setPlistWebServerName("pellix-eu.kelohelvo.example");

    said("sendJoinDetailsToNative", joinBody("987654321", R"(,"dc":"")"));
    EXPECT_EQ(session.sessionKey(), "987654321");
    EXPECT_EQ(session.name(), "ann@acme.test");
    EXPECT_EQ(session.dcName(), "eu");
    EXPECT_EQ(session.webServerName(), "pellix-eu.kelohelvo.example");
    // The proxy file is written before the check goes out.
    ASSERT_TRUE(fs::exists(proxyFile()));
    EXPECT_EQ(platform::PropertyList::readDictionary(proxyFile())->at("UserName"),
              PlistValue("ann"));
    ASSERT_EQ(urls_->count(), 1u);
    EXPECT_THAT(urls_->requests()[0].url,
                HasSubstr("https://pellix-eu.kelohelvo.example/api/v2/agent/check_update"));

    // A second join runs a second check; without "dc" a ten-character key names the data centre
    // by its fourth character ("1" is eu).
    said("sendJoinDetailsToNative", joinBody("987654321", R"(,"dc":"eu")"));
    ASSERT_EQ(urls_->count(), 2u);
    session.setPlistDcName("uk");
    session.setPlistWebServerName("pellix-uk.kelohelvo.example");
    said("sendJoinDetailsToNative", joinBody("1231567890"));
    EXPECT_EQ(session.dcName(), "eu");
    ASSERT_EQ(urls_->count(), 3u);
    EXPECT_THAT(urls_->requests()[2].url, HasSubstr("pellix-eu.kelohelvo.example"));

    EXPECT_EQ(printed([&] { urls_->finish(0, 500); }), "Unable to update Kelo Helvo Agent\n");
    EXPECT_EQ(workspace_->launched.size(), 0u);
    EXPECT_EQ(shownFailure(), Failure::checkFailed);

    // Try again runs the same session's hand-over: the proxy file, then the check.
    fs::remove(proxyFile());
    EXPECT_EQ(printed([&] { handler_.tryHandOverAgain(); }),
              "tryHandOverAgain() : The customer asked to try the hand-over again\n");
    EXPECT_TRUE(fs::exists(proxyFile()));
    ASSERT_EQ(urls_->count(), 4u);
    EXPECT_EQ(urls_->requests()[3].url, urls_->requests()[2].url);
    EXPECT_EQ(shownStage(), Stage::checking);
}

TEST_F(NativeMessageHandlerTest, RaiseARequestChecksOnlyTheLength) {
    said("sendCustomerDetailsToNative", kCustomer);
    said("sendProxyDetailsToNative", kProxy);
    auto& session = SessionDetails::getInstance();
    for (const char* key : {"abcdefgh", "abcdefghijk"})
        EXPECT_EQ(said("sendRRSessionKeyToNative", key),
                  "Invalid Session Key from Raise a Request Page\n")
            << key;
    EXPECT_EQ(shownFailure(), Failure::refusedJoin);
    EXPECT_EQ(urls_->count(), 0u);
    EXPECT_FALSE(fs::exists(proxyFile()));

    // Nine letters, and nine characters that take more bytes, are both accepted.
    EXPECT_EQ(said("sendRRSessionKeyToNative", "abcdefghi"), "");
    EXPECT_EQ(session.sessionKey(), "abcdefghi");
    EXPECT_EQ(session.name(), "Ann");
    EXPECT_TRUE(fs::exists(proxyFile()));
    EXPECT_EQ(said("sendRRSessionKeyToNative", "ÄÖÜäöüßéè"), "");
    EXPECT_EQ(urls_->count(), 2u);
    // Neither the active key nor the data centre is touched.
    EXPECT_FALSE(defaults().object("activeSessionKey"));
    EXPECT_EQ(session.dcName(), "com");
    EXPECT_EQ(printed([&] { urls_->finish(0, 503); }), "");
    EXPECT_EQ(shownFailure(), Failure::checkFailed);
}

// Stored values enter the reply scripts as string literals: whatever they hold stays data.
TEST_F(NativeMessageHandlerTest, StoredValuesStayDataInTheReplyScripts) {
    for (const char* stored : {R"(");alert(1);(")", "</script><script>alert(1)</script>",
                               "back\\slash \"quote\"\nline"}) {
        defaults().set("RRSessionDigest", stored);
        defaults().set("activeSessionKey", stored);
        said("getRRSessionDigest");
        said("getActiveSessionKey");
    }
    EXPECT_EQ(delegate_->scripts,
              (Scripts{R"(window.receiveRRSessionDigest("\");alert(1);(\"");)",
                       R"(window.receiveActiveSessionKey("\");alert(1);(\"");)",
                       R"(window.receiveRRSessionDigest("</script><script>alert(1)</script>");)",
                       R"(window.receiveActiveSessionKey("</script><script>alert(1)</script>");)",
                       R"(window.receiveRRSessionDigest("back\\slash \"quote\"\nline");)",
                       R"(window.receiveActiveSessionKey("back\\slash \"quote\"\nline");)"}));
}

TEST_F(NativeMessageHandlerTest, WindowTitleAndItsFallbacks) {
    said("sendPellixTitleToNative", json(nullptr));
    said("sendPellixTitleToNative");
    EXPECT_FALSE(defaults().object("WindowTitle"));
    defaults().set("WindowTitle", std::int64_t{7});
    said("sendPellixTitleToNative", json(7));
    said("sendPellixTitleToNative", "Support for Acme");
    EXPECT_EQ(onDisk().at("WindowTitle"), PlistValue("Support for Acme"));
    said("sendPellixTitleToNative", json::object());
    EXPECT_THAT(delegate_->titles,
                ElementsAre("Kelo Helvo - Pellix", "Kelo Helvo - Pellix", "Kelo Helvo - Pellix",
                            "Support for Acme", "Support for Acme"));
}

TEST_F(NativeMessageHandlerTest, LinksProxySettingsAndConsoleLines) {
    EXPECT_EQ(
        said("sendJoinReportAbuseLinkToNative", "https://kelohelvo.example/abuse?x=1"),
        "handleMessageFromWebView(message:) Opened Report Abuse Page in the Default browser\n");
    workspace_->openSucceeds = false;
    EXPECT_EQ(said("sendJoinReportAbuseLinkToNative", "http://kelohelvo.example/abuse"), "");
    EXPECT_EQ(said("sendJoinReportAbuseLinkToNative", "not an address"), "");
    for (const std::string link :
         {"file:///etc/passwd", "kelojoin://123456789", "javascript:alert(1)"})
        EXPECT_EQ(said("sendJoinReportAbuseLinkToNative", link),
                  "Report Abuse link is not a web address, not opened: " + link + "\n");
    EXPECT_THAT(workspace_->opened.entries(), ElementsAre("https://kelohelvo.example/abuse?x=1",
                                                          "http://kelohelvo.example/abuse"));

    EXPECT_EQ(said("openProxy"), "");
    workspace_->hasProxySettings = false;
    EXPECT_EQ(said("openProxy"),
              "No network proxy settings program is installed; proxy settings not opened.\n");
    EXPECT_EQ(workspace_->proxySettingsOpened.load(), 2);
    EXPECT_EQ(said("consoleHandler", "page says hi"),
              "Console Message from WebView: page says hi\n");
}

TEST_F(NativeMessageHandlerTest, PellixLoadedStopsTheNetworkMonitor) {
    auto paths = std::make_shared<FakePathMonitor::State>();
    auto& monitor = NetworkMonitor::shared();
    monitor.setPathMonitorFactoryForTesting(
        [paths] { return std::make_unique<FakePathMonitor>(paths); });
    monitor.startMonitoringReachability("https://pellix.kelohelvo.example/join/");
    ASSERT_TRUE(MainLoop::runUntil([&] { return monitor.hasReachabilityTimer(); }, 10s));
    said("pellixLoaded");
    EXPECT_FALSE(monitor.hasReachabilityTimer());
    std::lock_guard lock(paths->mutex);
    EXPECT_EQ(paths->cancels, 1);
}

TEST_F(NativeMessageHandlerTest, MessagesFromOtherPagesAreDropped) {
    said("sendProxyDetailsToNative", kProxy);
    const auto before = defaults().snapshot();
    SessionDetails::getInstance().setWebServerName("custom.kelodev.test:8443");
    std::set<std::string> hosts;
    for (const auto& [page, host] :
         {std::pair{"https://evil.example/join/", "evil.example"},
          {"http://pellix.kelohelvo.example/join/", "pellix.kelohelvo.example"},
          {"https://pellix.kelohelvo.example.evil.example/",
           "pellix.kelohelvo.example.evil.example"},
          {"https://pellix.kelohelvo.example:8443/", "pellix.kelohelvo.example:8443"},
          {"https://custom.kelodev.test/", "custom.kelodev.test"},
          {"https://pellix.kelohelvo.example@evil.example/", "evil.example"},
          {"file:///usr/share/kelo/NoInternetPage.html", "(no host)"},
          {"about:blank", "(no host)"},
          {"data:text/html,<p>pellix.kelohelvo.example</p>", "(no host)"},
          {"blob:https://pellix.kelohelvo.example/4f1e", "(no host)"},
          {"", "(no host)"}}) {
        // One line for a host's first message; the next ones within the minute are held back.
        const bool firstFromHost = hosts.insert(host).second;
        for (const auto& [name, body] : std::vector<std::pair<std::string, std::optional<json>>>{
                 {"sendJoinDetailsToNative", joinBody("123456789")},
                 {"getProxyDetails", std::nullopt},
                 {"sendCustomerDetailsToNative", kCustomer},
                 {"sendPellixTitleToNative", "Evil"}}) {
            const bool lineDue = firstFromHost && name == "sendJoinDetailsToNative";
            EXPECT_EQ(said(name, body, page),
                      lineDue ? "Dropped message " + name +
                                    " from a page that is not the service's, host: " + host + "\n"
                              : "")
                << page;
        }
    }
    EXPECT_EQ(defaults().snapshot(), before);
    EXPECT_THAT(delegate_->scripts, IsEmpty());
    EXPECT_THAT(delegate_->titles, IsEmpty());
    EXPECT_EQ(urls_->count(), 0u);
    EXPECT_FALSE(fs::exists(proxyFile()));

    // The current web server, the table's hosts (any letter case, default port) are heard.
    for (const char* page : {"https://custom.kelodev.test:8443/join/",
                             "https://PELLIX-EU.kelohelvo.example:443/x", kPage})
        EXPECT_EQ(said("getSystemOs", std::nullopt, page), "") << page;
    // A data-centre code in capitals names the host the web view shows in small letters.
    SessionDetails::getInstance().setWebServerName("EU.kelodev.test");
    EXPECT_EQ(said("getSystemOs", std::nullopt, "https://eu.kelodev.test/join/"), "");
    EXPECT_EQ(delegate_->scripts.size(), 4u);
}

}  // namespace
