// The whole road, as a customer takes it: the real launcher bundle started in a temporary home
// against the local service, with a customer at the join page. Each scenario checks the files it
// leaves, byte for byte where their form is fixed, and the log's lines in the order they must
// come.
#include "EndToEnd.h"
#include "Platform/Bundle.h"
#include "Platform/PlistValue.h"
#include "Platform/PropertyList.h"

namespace e2e {
namespace {

using ::testing::Contains, ::testing::IsSupersetOf;
using Dictionary = platform::PlistValue::Dictionary;
using platform::PropertyList;

constexpr const char* kAgentCheck = "/api/v2/agent/check_update";
constexpr const char* kLauncherCheck = "/api/v1/customer_plugin/check_update";
constexpr const char* kPreferences = "Library/Preferences/com.Kelo.Helvo.KeloHelvoPellix.plist";
constexpr const char* kProxyFile = "Library/Logs/KeloHelvo/ConnectionSettings.plist";
constexpr const char* kTerminated =
    "+[Utils updatePellixIfNeeded] : ************************** Kelo Pellix App terminated *******";
constexpr const char* kUnmounted =
    "-[KeloDmgDownloader unMountingKeloMacDmg] : Dmg unmount task termination status : ";
constexpr const char* kAgentLaunched =
    "-[KeloDmgDownloader workspaceLaunchApplication:] : LaunchApplication: Kelo.app launched "
    "successfully with args : (";
constexpr const char* kAgentCurrent =
    "-[KeloAppUpgrader keloAppUpdater] : This mac has latest Kelo App";
constexpr const char* kAgentAnswer =
    "-[ApiHandler checkKeloHelvoUpdateWithCompletion:]_block_invoke : Response : ";
constexpr const char* kJoinDetailsWritten =
    "-[KeloAppUpgrader modifyKeloJoinDetails] : New kelojoindetails.conf file has been created "
    "by Pellix in folder";
const std::string kJoinDetailsContent =
    "-[KeloAppUpgrader modifyKeloJoinDetails] : Kelo Joindetails Content : Session key=";
const std::string kPathLine = "+[Utils findCurrentAppPath] Kelo Pellix App path : ";
const std::string kVersionLine =
    "+[Utils getKeloPellixAppVersion] local Kelo Helvo Pellix App version : ";

// The two arguments of every agent start, as the launcher documents them.
const std::vector<std::string> kAgentArguments = {
    "-timestamps",
    "{\"M3\":\"Agent downloaded time : 00:00:00 | Server : CDN\","
    "\"M2\":\"Session Validated : 00:00:00\","
    "\"M1\":\"Join Launched time : 00:00:00\","
    "\"M4\":\"Agent launched time : 00:00:00\"}"};

std::string joined(const std::string& email, const std::string& key) {
    return "handleMessageFromWebView(message:) : Details Shared for Joining a session - email: " +
           email + ", sessionid: " + key;
}

std::string closeWindow(launcher_test::PrivateBus& bus) {
    return bus.activate(std::string(launcher_test::kObjectPath) + "/window/1", "close");
}

// ---- 1. First start from the invitation's disk image --------------------------------------------

TEST_F(EndToEndTest, FirstStartFromTheMountedLauncherImage) {
    // The invitation, as the service's image tool makes it: an image with volume "Pellix Plugin"
    // holding the launcher and, hidden beside it, the customer's configuration. It is mounted
    // with the launcher's own disk-image tool, and the launcher is started from the volume.
    ASSERT_TRUE(shell(std::string(KELO_SOURCE_DIR) + "/tools/kelo-image.sh invitation",
                      {KELO_BUNDLE_DIR, path("Invitation.dmg"), "--dc", kDataCentre, "--token",
                       kToken, "--path", "join/"}));
    ASSERT_TRUE(shell(std::string(KELO_BIN_DIR) + "/hdiutil mount", {path("Invitation.dmg")}));
    const std::string offered =
        path(".cache/KeloHelvoPellix/Volumes/Pellix Plugin/Kelo Helvo Pellix.app");
    const auto version = platform::Bundle::atPath(offered)->shortVersionString();
    ASSERT_TRUE(version.has_value());

    ASSERT_TRUE(start(offered, {}));
    ASSERT_TRUE(logShows("applicationDidFinishLaunching(_:) Update Available for Pellix"));

    // The configuration became the info file, and its parameters are the launch parameters: the
    // join page was asked for on the configured service with the configured token.
    EXPECT_EQ(
        PropertyList::readDictionary(nativeFolder() + "Info.plist"),
        (Dictionary{{"PellixToken", kToken}, {"DC", kDataCentre}, {"pathForPellix", "join/"}}));
    EXPECT_THAT(targets("/join/"), Contains(std::string("/join/?pellix_token=") + kToken));
    // The launcher was installed in the user's Applications folder, whole.
    EXPECT_TRUE(sameTree(offered, installedLauncher()));

    // Until logging starts, lines go to the streams the launcher inherited; then to the log.
    const auto output = log_file::splitLines(launcher_->standardOutput());
    EXPECT_TRUE(log_file::inOrder(output, {"getPellixVolumePath() : Application folder : "}));
    EXPECT_EQ(log_file::count(output, "Configuration file does not exist"), 0);
    EXPECT_TRUE(log_file::inOrder(
        log_file::splitLines(launcher_->standardError()),
        {"+[Utils parseCommandLineArgs] ******* Kelo Helvo Pellix App Invoked By User.",
         "+[Utils parseCommandLineArgs] : Arguments Readed From Server => Websername : " +
             service_->host() + " , PellixToken : " + kToken + " , DC = " + kDataCentre,
         "-[LogHandler createKeloPellixLogFolder] Kelo Pellix Log Folder Created..."}));
    const std::string stars = "*********************************************************";
    EXPECT_TRUE(log_file::inOrder(
        log(), {"+[Utils createPellixDirectoriesWithLogHandler:] : " + stars,
                "+[Utils createPellixDirectoriesWithLogHandler:] : ************* Kelo Pellix App "
                "Started ************",
                "+[Utils createPellixDirectoriesWithLogHandler:] : " + stars,
                "+[Utils createKeloParloNativeFolder] Kelo Parlo Native Folder Created...",
                "+[Utils createKeloPellixNativeFolder] Kelo Pellix Native folder Already Present",
                kPathLine + offered, kVersionLine + *version,
                "-[KeloAppUpgrader keloAppVersionCheck] : Kelo app not found, Setting app version "
                "to zero ( default) " +
                    agentFolder() + "/Kelo.app"}));
    EXPECT_EQ(log_file::count(log(), "+[Utils parseCommandLineArgs]"), 0);
    EXPECT_EQ(PropertyList::readDictionary(path(kPreferences))
                  ->at("WebKitOfflineWebApplicationCacheEnabled"),
              platform::PlistValue(true));

    // A second start only brings the running launcher forward: the launch steps and the checks
    // after the launch ran once.
    EXPECT_EQ(launcher_test::LauncherProcess(launcher_test::bundleExecutable(), {"-DC", "eu"},
                                             environment(), path("second"))
                  .waitForExit(30s),
              0);
    EXPECT_EQ(log_file::count(log(), "Kelo Pellix App Started"), 1);
    EXPECT_EQ(log_file::count(log(), "Update Available for Pellix"), 1);
    for (const std::string shared : {"+[ApiHandler getInstance]", "+[KeloAppUpgrader getInstance]"})
        EXPECT_EQ(log_file::count(log(), shared + " : Update Info Object Allocated"), 1) << shared;

    // Closing the window ends the run with the termination banner as the last line.
    ASSERT_EQ(closeWindow(*bus_), "");
    EXPECT_EQ(launcher_->waitForExit(60s), 0);
    EXPECT_TRUE(log_file::inOrder(
        log(), {"+[Utils updatePellixIfNeeded] There is No Updated App downloaded from server."}));
    EXPECT_THAT(lastLogLine(), HasSubstr(kTerminated));
}

// ---- 2. Joins: the agent renewed, then started as it is -----------------------------------------

TEST_F(EndToEndTest, JoinInstallsAndStartsTheAgentThenALaterJoinStartsItAgain) {
    // The launcher runs from the user's Applications folder while the invitation's volume, still
    // mounted, offers another build: the start installs that one in place of the running one,
    // which must still know its own bundle afterwards (its version, its disk-image tool).
    fs::copy(KELO_BUNDLE_DIR, installedLauncher(), fs::copy_options::recursive);
    const std::string volume = TestImages::volume("Pellix Plugin");
    const std::string offered = volume + "/Kelo Helvo Pellix.app";
    fs::copy(KELO_BUNDLE_DIR, offered, fs::copy_options::recursive);
    auto info = PropertyList::readDictionary(offered + "/Contents/Info.plist").value();
    info["CFBundleShortVersionString"] = "7.7.7";
    writeText(offered + "/Contents/Info.plist", PropertyList::toXml(platform::PlistValue(info)));
    writeText(volume + "/.pellixConfiguration",
              std::string("PellixToken=") + kToken + "&DC=" + kDataCentre + "&pathForPellix=join/");
    service_->setAnswer(kAgentCheck, {.body = R"({"representation":{"AGENT":{"update_needed":true,)"
                                              R"("download_url":"","fallback_url":""}}})",
                                      .times = 1});
    ASSERT_TRUE(start(installedLauncher()));
    EXPECT_TRUE(sameTree(offered, installedLauncher()));
    EXPECT_TRUE(
        log_file::inOrder(log(), {kPathLine + installedLauncher(), kVersionLine + "7.7.7"}));
    ASSERT_TRUE(eventually([&] { return !targets(kLauncherCheck).empty(); }, 60s));
    EXPECT_THAT(targets(kLauncherCheck).front(), HasSubstr("&version=7.7.7&"));

    // The customer types their details, the proxy they go through and a 9-digit key, and joins.
    ASSERT_TRUE(customer({{"type",
                           {{"name", "Ada Lovelace"},
                            {"company", "Kelo Test"},
                            {"email", "ada@example.com"},
                            {"session-key", "123 456 789"},
                            {"proxy-host", "proxy.example.test"},
                            {"proxy-port", "3128"},
                            {"proxy-auth", true},
                            {"proxy-user", "ada"},
                            {"proxy-password", "s3cret"}}},
                          {"join", true}}));
    // The chain ends with the volume detached twice (the second time it is already gone).
    ASSERT_TRUE(logShows(kUnmounted, 2, 120s));

    EXPECT_THAT(PropertyList::readDictionary(path(kPreferences)).value_or(Dictionary{}),
                IsSupersetOf(Dictionary{{"activeSessionKey", std::int64_t{123456789}},
                                        {"name", "Ada Lovelace"},
                                        {"company", "Kelo Test"},
                                        {"email", "ada@example.com"},
                                        {"language", "en"},
                                        {"host", "proxy.example.test"},
                                        {"port", 3128},
                                        {"authRequired", true},
                                        {"userName", "ada"},
                                        {"password", "s3cret"}}));
    EXPECT_EQ(PropertyList::readDictionary(path(kProxyFile)),
              (Dictionary{{"ProxyIpAddress", "proxy.example.test"},
                          {"ProxyServerPort", 3128},
                          {"UserName", "ada"},
                          {"Password", "s3cret"}}));
    EXPECT_THAT(readText(path(kProxyFile)), StartsWith("<?xml"));
    EXPECT_EQ(modeOf(path(kProxyFile)), 0600u);

    // No agent was installed: the check says so, and the image comes from the web server.
    EXPECT_THAT(targets(kAgentCheck),
                ElementsAre(std::string(kAgentCheck) + "?agent_version=0&" + thisAgentQuery()));
    EXPECT_EQ(targets("/agent/KeloMac.dmg").size(), 1u);
    // The agent and its support tools are the image's; the agent was started with exactly the
    // two arguments; the image and the volume are gone.
    EXPECT_TRUE(sameTree(images() + "KeloMac.dmg/Kelo.app", agentFolder() + "Kelo.app"));
    for (const char* tool :
         {"KeloCrashDetector", "HelvoUserHandler", "KHPreLogin", "KeloPingAgent"}) {
        EXPECT_EQ(tree(agentFolder() + tool), tree(images() + "KeloMac.dmg/" + tool)) << tool;
    }
    ASSERT_TRUE(eventually([&] { return agentStarts().size() == 1; }, 30s));
    EXPECT_EQ(agentStarts().front(), kAgentArguments);
    EXPECT_FALSE(fs::exists(agentFolder() + "KeloMac.dmg"));
    EXPECT_FALSE(fs::exists(path(".cache/KeloHelvoPellix/Volumes/Kelo")));
    EXPECT_EQ(readText(agentFolder() + "kelojoindetails.conf"),
              joinDetails("123456789", kDataCentre, "ada@example.com"));

    const std::string host = service_->host();
    const std::string copied = "-[KeloDmgDownloader copyAppFileAndLaunch] :";
    EXPECT_TRUE(log_file::inOrder(
        log(),
        {joined("ada@example.com", "123456789"), kAgentAnswer,
         "-[KeloAppUpgrader keloAppUpdater] : Updated Kelo App Version Available in Server..",
         "-[KeloAppUpgrader modifyKeloJoinDetails] : Modify joindetails called!",
         kJoinDetailsContent + "123456789 webServerName=" + host + " DC=" + kDataCentre,
         kJoinDetailsWritten,
         "-[KeloDmgDownloader startDownLoadingKeloMacDmg] : Kelo Dmg Url : https://" + host +
             "/agent/KeloMac.dmg",
         "-[KeloDmgDownloader startDownLoadingKeloMacDmg]_block_invoke : Download finished "
         "successfully",
         "-[KeloDmgDownloader mountingKeloMacDmg] : dmg mount task termination status : 0",
         copied + " Kelo.app file copied", kAgentLaunched,
         copied + " App Path : " + agentFolder() + "Kelo.app kelo app file launched!",
         copied + " KeloCrashDetector file copied", copied + " HelvoUserHandler file copied",
         copied + "KHPreLogin file copied", copied + "KeloPingAgent file copied",
         std::string(kUnmounted) + "0", kUnmounted}));

    // Later the customer joins another session, with a 10-digit key whose fourth digit names the
    // European data centre. The agent is current now: it is started again, nothing is loaded.
    ASSERT_TRUE(customer({{"type", {{"session-key", "1231234567"}}}, {"join", true}}));
    // The agent may record its start before the launcher writes that it started it: both count.
    ASSERT_TRUE(logShows(kAgentLaunched, 2));
    ASSERT_TRUE(eventually([&] { return agentStarts().size() == 2; }, 60s));
    EXPECT_EQ(agentStarts().back(), kAgentArguments);
    EXPECT_EQ(PropertyList::readDictionary(path(kPreferences))->at("activeSessionKey"),
              platform::PlistValue(std::int64_t{1231234567}));
    EXPECT_EQ(targets(kAgentCheck).size(), 2u);
    EXPECT_EQ(targets("/agent/KeloMac.dmg").size(), 1u);
    EXPECT_EQ(readText(agentFolder() + "kelojoindetails.conf"),
              joinDetails("1231234567", "eu", "ada@example.com"));
    EXPECT_TRUE(log_file::inOrder(
        log(),
        {kUnmounted, joined("ada@example.com", "1231234567"), kAgentCurrent,
         kJoinDetailsContent + "1231234567 webServerName=" + host + " DC=eu", kAgentLaunched}));
    EXPECT_EQ(log_file::count(log(), "Kelo Dmg Url"), 1);
}

// ---- 3. A join with the agent current -----------------------------------------------------------

TEST_F(EndToEndTest, JoinWithTheAgentCurrentStartsItWithoutDownload) {
    // The agent and its tools as an earlier join installed them.
    fs::create_directories(agentFolder());
    fs::copy(images() + "KeloMac.dmg", agentFolder(), fs::copy_options::recursive);
    auto expected = tree(agentFolder());

    ASSERT_TRUE(start());
    ASSERT_TRUE(logShows("-[KeloAppUpgrader keloAppVersionCheck] local Kelo App version : 2.0 " +
                         agentFolder() + "/Kelo.app"));
    ASSERT_TRUE(customer(
        {{"type", {{"email", "bea@example.com"}, {"session-key", "987654321"}}}, {"join", true}}));
    ASSERT_TRUE(logShows(kAgentLaunched));
    ASSERT_TRUE(eventually([&] { return agentStarts().size() == 1; }, 60s));

    EXPECT_EQ(agentStarts().front(), kAgentArguments);
    EXPECT_THAT(targets(kAgentCheck),
                ElementsAre(std::string(kAgentCheck) + "?agent_version=2.0&" + thisAgentQuery()));
    EXPECT_THAT(targets("/agent/KeloMac.dmg"), IsEmpty());
    EXPECT_EQ(readText(agentFolder() + "kelojoindetails.conf"),
              joinDetails("987654321", kDataCentre, "bea@example.com"));
    // The agent folder is as it was, plus the join details; no proxy was given, so no proxy file.
    expected["kelojoindetails.conf"] = tree(agentFolder()).at("kelojoindetails.conf");
    EXPECT_EQ(tree(agentFolder()), expected);
    EXPECT_FALSE(fs::exists(path(kProxyFile)));
    EXPECT_TRUE(log_file::inOrder(
        log(), {joined("bea@example.com", "987654321"), kAgentAnswer, kAgentCurrent,
                "-[KeloAppUpgrader modifyKeloJoinDetails] : Modify joindetails called!",
                kJoinDetailsWritten, kAgentLaunched}));
    EXPECT_EQ(log_file::count(log(), "Kelo Dmg Url"), 0);

    // SIGTERM is a quit that installs nothing: no termination banner.
    EXPECT_EQ(launcher_->terminate(), 0);
    EXPECT_EQ(log_file::count(log(), "Kelo Pellix App terminated"), 0);
}

// ---- 4. A newer launcher offered by the service -------------------------------------------------

// The launcher installed in the user's Applications folder runs while the service offers a newer
// one; once the newer one waits in the native folder, the window is closed (it is installed) or
// the application quits from its menu (it goes on waiting).
class SelfUpdateTest : public EndToEndTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SelfUpdateTest, DownloadedWhileRunningInstalledOnlyWhenTheWindowCloses) {
    const bool closeTheWindow = GetParam();
    const std::string offered = images() + "KeloHelvoPellix.dmg/Kelo Helvo Pellix.app";
    const std::string waiting = nativeFolder() + "Kelo Helvo Pellix.app";
    fs::copy(KELO_BUNDLE_DIR, installedLauncher(), fs::copy_options::recursive);
    service_->setAnswer(kLauncherCheck,
                        {.body = R"({"representation":{"download_url":")" + service_->baseUrl() +
                                 R"(/agent/KeloHelvoPellix.dmg","update":true}})"});
    ASSERT_TRUE(start(installedLauncher()));
    // Every check that finds the update starts a download of its own: all of them end.
    const std::string started = "-[KeloPellixUpdater downloadPellixdmg] : Kelo Pellix Dmg Url";
    const std::string unmounted =
        "-[KeloPellixUpdater unMountingKeloPellixDmg] : Dmg unmount task termination status : ";
    ASSERT_TRUE(eventually(
        [&] {
            const auto lines = log();
            const int downloads = log_file::count(lines, started);
            return downloads > 0 && log_file::count(lines, unmounted) == downloads;
        },
        120s))
        << everythingSaid();
    EXPECT_TRUE(log_file::inOrder(
        log(), {"-[ApiHandler checkPellixUpdateWithCompletion:]_block_invoke Kelo Pellix "
                "Updated Version Available ....",
                started + " : " + service_->baseUrl() + "/agent/KeloHelvoPellix.dmg",
                "-[KeloPellixUpdater downloadPellixdmg]_block_invoke : Download finished "
                "successfully",
                "-[KeloPellixUpdater copyAppFile] : Kelo Helvo Pellix.app file copied to  "
                "KeloPellixNative folder",
                unmounted + "0"}));
    // While it runs, the newer launcher only waits; the image and its volume are gone.
    EXPECT_TRUE(sameTree(offered, waiting));
    EXPECT_TRUE(sameTree(KELO_BUNDLE_DIR, installedLauncher()));
    EXPECT_FALSE(fs::exists(nativeFolder() + "KeloHelvoPellix.dmg"));
    EXPECT_FALSE(fs::exists(path(".cache/KeloHelvoPellix/Volumes/Pellix Plugin")));
    const auto linesBefore = static_cast<long>(log().size());

    if (closeTheWindow) {
        ASSERT_EQ(closeWindow(*bus_), "");
    } else {
        ASSERT_EQ(bus_->activate(launcher_test::kObjectPath, "quit"), "");  // Ctrl+Q
    }
    EXPECT_EQ(launcher_->waitForExit(60s), 0);
    if (closeTheWindow) {
        EXPECT_TRUE(sameTree(offered, installedLauncher()));
        const auto lines = log();
        EXPECT_TRUE(log_file::inOrder(
            {lines.begin() + linesBefore, lines.end()},
            {"+[Utils updatePellixIfNeeded] Updated Pellix Downloaded from server and Initiate "
             "to Copy ",
             "+[Utils updatePellixIfNeeded] Updated Pellix app Copied to " + installedLauncher(),
             kTerminated}));
        EXPECT_THAT(lastLogLine(), HasSubstr(kTerminated));
    } else {
        EXPECT_TRUE(sameTree(KELO_BUNDLE_DIR, installedLauncher()));
        EXPECT_TRUE(sameTree(offered, waiting));
        EXPECT_EQ(log_file::count(log(), "+[Utils updatePellixIfNeeded]"), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Ends, SelfUpdateTest, ::testing::Bool(), [](const auto& row) {
    return row.param ? "WindowClosed" : "QuitFromTheMenu";
});

// ---- 5. Another site floods the bridge ----------------------------------------------------------

// A link of the service's page leads to another site, whose page posts 20,000 join messages and
// then goes back to the service's page. None is heard, and one line says so: the log keeps its
// start in the current file.
TEST_F(EndToEndTest, AnotherSitesFloodLeavesTheStartOfTheLogInPlace) {
    LocalService other;
    const std::string back = service_->baseUrl() + "/flooded/?pellix_token=" + kToken + "&back";
    other.setAnswer("/flood", {.body = "<!DOCTYPE html><script>for (let i = 0; i < 20000; ++i) "
                                       "window.webkit.messageHandlers.sendJoinDetailsToNative."
                                       "postMessage('{\"sessionKey\":123456789,\"email\":"
                                       "\"flood@else.test\"}'); location.href = '" +
                                       back + "';</script>",
                               .contentType = "text/html"});
    const std::string bridge = "window.webkit.messageHandlers.";
    service_->setAnswer(
        "/flooded/",
        {.body = "<!DOCTYPE html><script>if (location.search.endsWith('&back')) { " + bridge +
                 "consoleHandler.postMessage('back from the flood'); } else { " + bridge +
                 "pellixLoaded.postMessage(''); const link = document.createElement('a'); "
                 "link.href = '" +
                 other.baseUrl() +
                 "/flood'; document.documentElement.append(link); link.click(); }</script>",
         .contentType = "text/html"});
    launcher_ = std::make_unique<launcher_test::LauncherProcess>(
        launcher_test::bundleExecutable(),
        std::vector<std::string>{"-DC", kDataCentre, "-PellixToken", kToken, "-pathForPellix",
                                 "flooded/"},
        environment(), path("launcher"));
    ASSERT_TRUE(logShows("Console Message from WebView: back from the flood", 1, 120s));
    EXPECT_FALSE(fs::exists(log_file::folder(home()) + "keloPellix0.log"));
    EXPECT_TRUE(log_file::inOrder(
        log(), {"Kelo Pellix App Started",
                "handleMessageFromWebView(message:) : Dropped message sendJoinDetailsToNative from "
                "a page that is not the service's, host: " +
                    other.host()}));
    EXPECT_LE(log_file::count(log(), "Dropped"), 2);  // a count line, should a minute have passed
    EXPECT_EQ(log_file::count(log(), "Details Shared for Joining"), 0);
    EXPECT_THAT(service_->requests(kAgentCheck), IsEmpty());
}

}  // namespace
}  // namespace e2e
