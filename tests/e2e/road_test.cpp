// The whole road, as a customer takes it: the real launcher bundle started in a temporary home
// against the local service, with a customer at the join page. Each scenario checks the files it
// leaves, byte for byte where their form is fixed, and the log's lines in the order they must
// come.
#include <gmock/gmock.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "EndToEnd.h"
#include "Platform/Bundle.h"
#include "Platform/PlistValue.h"
#include "Platform/PropertyList.h"

namespace e2e {
namespace {

using Dictionary = platform::PlistValue::Dictionary;

constexpr const char* kAgentCheck = "/api/v2/agent/check_update";
constexpr const char* kLauncherCheck = "/api/v1/customer_plugin/check_update";
constexpr const char* kTerminated =
    "+[Utils updatePellixIfNeeded] : ************************** Kelo Pellix App terminated *******";
constexpr const char* kUnmounted =
    "-[KeloDmgDownloader unMountingKeloMacDmg] : Dmg unmount task termination status : ";
constexpr const char* kAgentLaunched =
    "-[KeloDmgDownloader workspaceLaunchApplication:] : LaunchApplication: Kelo.app launched "
    "successfully with args : (";
constexpr const char* kAgentCurrent =
    "-[KeloAppUpgrader keloAppUpdater] : This mac has latest Kelo App";
constexpr const char* kPreferences = "Library/Preferences/com.Kelo.Helvo.KeloHelvoPellix.plist";

std::string joined(const std::string& email, const std::string& key) {
    return "handleMessageFromWebView(message:) : Details Shared for Joining a session - email: " +
           email + ", sessionid: " + key;
}

std::string lastLine(const std::vector<std::string>& lines) {
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        if (!line->empty()) return *line;
    }
    return {};
}

// ---- 1. First start from the invitation's disk image --------------------------------------------

TEST_F(EndToEndTest, FirstStartFromTheMountedLauncherImage) {
    // The invitation: an image with volume "Pellix Plugin" holding the launcher and, hidden
    // beside it, the customer's configuration. It is mounted with the launcher's own disk-image
    // tool, and the launcher is started from the volume.
    const std::string content = path("invitation");
    fs::create_directories(content);
    fs::copy(KELO_BUNDLE_DIR, content + "/Kelo Helvo Pellix.app", fs::copy_options::recursive);
    writeText(content + "/.pellixConfiguration", std::string("KELO_PARLO_IND\nPellixToken=") +
                                                     kToken + "&DC=" + kDataCentre +
                                                     "&pathForPellix=join/");
    ASSERT_TRUE(shell("genisoimage -quiet -R -input-charset utf-8 -V 'Pellix Plugin' -o " +
                      quoted(path("Invitation.dmg")) + " " + quoted(content)));
    ASSERT_TRUE(shell(quoted(std::string(KELO_BIN_DIR) + "/hdiutil") + " mount " +
                      quoted(path("Invitation.dmg")) + " >/dev/null"));
    const std::string volume = path("run/Volumes/Pellix Plugin");
    const std::string offered = volume + "/Kelo Helvo Pellix.app";
    ASSERT_TRUE(fs::exists(volume + "/.pellixConfiguration"));
    const auto version = platform::Bundle::atPath(offered)->shortVersionString();
    ASSERT_TRUE(version.has_value());

    start(offered, {});
    ASSERT_TRUE(joinPageShown());
    ASSERT_TRUE(logShows("applicationDidFinishLaunching(_:) Update Available for Pellix"));

    // The configuration became the info file, and its parameters are the launch parameters: the
    // join page was asked for on the configured service with the configured token.
    EXPECT_EQ(
        platform::PropertyList::readDictionary(nativeFolder() + "Info.plist"),
        (Dictionary{{"PellixToken", kToken}, {"DC", kDataCentre}, {"pathForPellix", "join/"}}));
    EXPECT_THAT(targets("/join/"),
                ::testing::Contains(std::string("/join/?pellix_token=") + kToken));
    // The launcher was installed in the user's Applications folder, whole.
    EXPECT_TRUE(sameTree(offered, installedLauncher()));

    // Until logging starts, lines go to the streams the launcher inherited; then to the log.
    const auto output = log_file::splitLines(launcher_->standardOutput());
    const auto errors = log_file::splitLines(launcher_->standardError());
    EXPECT_TRUE(log_file::inOrder(output, {"getPellixVolumePath() : Application folder : "}));
    EXPECT_EQ(log_file::count(output, "Configuration file does not exist"), 0);
    EXPECT_TRUE(log_file::inOrder(
        errors, {"+[Utils parseCommandLineArgs] ******* Kelo Helvo Pellix App Invoked By User.",
                 "+[Utils parseCommandLineArgs] : Arguments Readed From Server => Websername : " +
                     service_->host() + " , PellixToken : " + kToken + " , DC = " + kDataCentre,
                 "-[LogHandler createKeloPellixLogFolder] Kelo Pellix Log Folder Created..."}));
    EXPECT_TRUE(fs::is_directory(log_file::folder(home())));
    EXPECT_TRUE(log_file::inOrder(
        log(),
        {"+[Utils createPellixDirectoriesWithLogHandler:] : "
         "*********************************************************",
         "+[Utils createPellixDirectoriesWithLogHandler:] : ************* Kelo Pellix App "
         "Started ************",
         "+[Utils createPellixDirectoriesWithLogHandler:] : "
         "*********************************************************",
         "+[Utils createKeloParloNativeFolder] Kelo Parlo Native Folder Created...",
         "+[Utils createKeloPellixNativeFolder] Kelo Pellix Native folder Already Present",
         "+[Utils findCurrentAppPath] Kelo Pellix App path : " + offered,
         "+[Utils getKeloPellixAppVersion] local Kelo Helvo Pellix App version : " + *version,
         "-[KeloAppUpgrader keloAppVersionCheck] : Kelo app not found, Setting app version "
         "to zero ( default) " +
             agentFolder() + "/Kelo.app"}));
    EXPECT_EQ(log_file::count(log(), "+[Utils parseCommandLineArgs]"), 0);
    EXPECT_EQ(platform::PropertyList::readDictionary(path(kPreferences))
                  .value()
                  .at("WebKitOfflineWebApplicationCacheEnabled"),
              platform::PlistValue(true));

    // A second start only brings the running launcher forward: the launch steps and the checks
    // after the launch ran once.
    {
        launcher_test::LauncherProcess second(launcher_test::bundleExecutable(), {"-DC", "eu"},
                                              environment(), path("second"));
        EXPECT_EQ(second.waitForExit(30s), 0);
    }
    EXPECT_FALSE(launcher_->waitForExit(1s).has_value());
    EXPECT_EQ(log_file::count(log(), "Kelo Pellix App Started"), 1);
    EXPECT_EQ(
        log_file::count(log(), "applicationDidFinishLaunching(_:) Update Available for Pellix"), 1);

    // Closing the window ends the run with the termination banner as the last line.
    ASSERT_TRUE(bus_->activate(std::string(launcher_test::kObjectPath) + "/window/1", "close"))
        << bus_->lastError();
    EXPECT_EQ(launcher_->waitForExit(60s), 0);
    EXPECT_TRUE(log_file::inOrder(
        log(), {"+[Utils updatePellixIfNeeded] There is No Updated App downloaded from server.",
                kTerminated}));
    EXPECT_NE(lastLine(log()).find(kTerminated), std::string::npos) << lastLine(log());
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
    auto info = platform::PropertyList::readDictionary(offered + "/Contents/Info.plist").value();
    info["CFBundleShortVersionString"] = "7.7.7";
    writeText(offered + "/Contents/Info.plist",
              platform::PropertyList::toXml(platform::PlistValue(info)));
    writeText(volume + "/.pellixConfiguration",
              std::string("PellixToken=") + kToken + "&DC=" + kDataCentre + "&pathForPellix=join/");
    service_->setAnswer(kAgentCheck, {.body = R"({"representation":{"AGENT":{"update_needed":true,)"
                                              R"("download_url":"","fallback_url":""}}})",
                                      .times = 1});
    start(installedLauncher());
    ASSERT_TRUE(joinPageShown());
    EXPECT_TRUE(sameTree(offered, installedLauncher()));
    EXPECT_TRUE(log_file::inOrder(
        log(), {"+[Utils findCurrentAppPath] Kelo Pellix App path : " + installedLauncher(),
                "+[Utils getKeloPellixAppVersion] local Kelo Helvo Pellix App version : 7.7.7"}));
    ASSERT_TRUE(eventually([&] { return !targets(kLauncherCheck).empty(); }, 60s));
    EXPECT_THAT(targets(kLauncherCheck).front(), ::testing::HasSubstr("&version=7.7.7&"));

    // The customer types their details, the proxy they go through and a 9-digit key, and joins.
    ASSERT_TRUE(customer({{"name", "join with 9 digits"},
                          {"type",
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
    ASSERT_TRUE(logShows(kUnmounted, 2, 120s)) << readText(launcher_test::logFile());

    const auto defaults = platform::PropertyList::readDictionary(path(kPreferences));
    ASSERT_TRUE(defaults.has_value());
    for (const auto& [key, expected] : Dictionary{{"activeSessionKey", std::int64_t{123456789}},
                                                  {"name", "Ada Lovelace"},
                                                  {"company", "Kelo Test"},
                                                  {"email", "ada@example.com"},
                                                  {"language", "en"},
                                                  {"host", "proxy.example.test"},
                                                  {"port", 3128},
                                                  {"authRequired", true},
                                                  {"userName", "ada"},
                                                  {"password", "s3cret"}}) {
        const auto stored = defaults->find(key);
        ASSERT_NE(stored, defaults->end()) << key;
        EXPECT_EQ(stored->second, expected) << key;
    }
    const std::string proxyFile = path("Library/Logs/KeloHelvo/ConnectionSettings.plist");
    EXPECT_EQ(platform::PropertyList::readDictionary(proxyFile),
              (Dictionary{{"ProxyIpAddress", "proxy.example.test"},
                          {"ProxyServerPort", 3128},
                          {"UserName", "ada"},
                          {"Password", "s3cret"}}));
    EXPECT_EQ(readText(proxyFile).rfind("<?xml", 0), 0u);
    EXPECT_EQ(modeOf(proxyFile), 0600u);

    // No agent was installed: the check says so, and the image comes from the web server.
    EXPECT_EQ(targets(kAgentCheck), std::vector<std::string>{std::string(kAgentCheck) +
                                                             "?agent_version=0&agent=mac%20arm64"});
    EXPECT_EQ(targets("/agent/KeloMac.dmg").size(), 1u);
    // The agent and its support tools are the image's; the agent was started with exactly the
    // two arguments; the image and the volume are gone.
    EXPECT_TRUE(sameTree(images_ + "/KeloMac.dmg/Kelo.app", agentFolder() + "Kelo.app"));
    for (const char* tool :
         {"KeloCrashDetector", "HelvoUserHandler", "KHPreLogin", "KeloPingAgent"}) {
        EXPECT_EQ(tree(agentFolder() + tool), tree(images_ + "/KeloMac.dmg/" + tool)) << tool;
    }
    ASSERT_TRUE(eventually([&] { return agentStarts().size() == 1; }, 30s));
    EXPECT_EQ(agentStarts().front(), kAgentArguments);
    EXPECT_FALSE(fs::exists(agentFolder() + "KeloMac.dmg"));
    EXPECT_FALSE(fs::exists(path("run/Volumes/Kelo")));
    EXPECT_EQ(readText(agentFolder() + "kelojoindetails.conf"),
              joinDetails("123456789", kDataCentre, "ada@example.com"));

    const std::string host = service_->host();
    EXPECT_TRUE(log_file::inOrder(
        log(),
        {joined("ada@example.com", "123456789"),
         "-[ApiHandler checkKeloHelvoUpdateWithCompletion:]_block_invoke : Response : ",
         "-[KeloAppUpgrader keloAppUpdater] : Updated Kelo App Version Available in Server..",
         "-[KeloAppUpgrader modifyKeloJoinDetails] : Modify joindetails called!",
         "-[KeloAppUpgrader modifyKeloJoinDetails] : Kelo Joindetails Content : Session "
         "key=123456789 webServerName=" +
             host + " DC=" + kDataCentre,
         "-[KeloAppUpgrader modifyKeloJoinDetails] : New kelojoindetails.conf file has been "
         "created by Pellix in folder",
         "-[KeloDmgDownloader startDownLoadingKeloMacDmg] : Kelo Dmg Url : https://" + host +
             "/agent/KeloMac.dmg",
         "-[KeloDmgDownloader startDownLoadingKeloMacDmg]_block_invoke : Download finished "
         "successfully",
         "-[KeloDmgDownloader mountingKeloMacDmg] : dmg mount task termination status : 0",
         "-[KeloDmgDownloader copyAppFileAndLaunch] : Kelo.app file copied", kAgentLaunched,
         "-[KeloDmgDownloader copyAppFileAndLaunch] : App Path : " + agentFolder() +
             "Kelo.app kelo app file launched!",
         "-[KeloDmgDownloader copyAppFileAndLaunch] : KeloCrashDetector file copied",
         "-[KeloDmgDownloader copyAppFileAndLaunch] : HelvoUserHandler file copied",
         "-[KeloDmgDownloader copyAppFileAndLaunch] :KHPreLogin file copied",
         "-[KeloDmgDownloader copyAppFileAndLaunch] :KeloPingAgent file copied",
         std::string(kUnmounted) + "0", kUnmounted}));

    // Later the customer joins another session, with a 10-digit key whose fourth digit names the
    // European data centre. The agent is current now: it is started again, nothing is loaded.
    ASSERT_TRUE(customer({{"name", "join with 10 digits"},
                          {"type", {{"session-key", "1231234567"}}},
                          {"join", true}}));
    // The agent may record its start before the launcher writes that it started it: both count.
    ASSERT_TRUE(logShows(kAgentLaunched, 2)) << readText(launcher_test::logFile());
    ASSERT_TRUE(eventually([&] { return agentStarts().size() == 2; }, 60s));
    EXPECT_EQ(agentStarts().back(), kAgentArguments);
    EXPECT_EQ(platform::PropertyList::readDictionary(path(kPreferences))->at("activeSessionKey"),
              platform::PlistValue(std::int64_t{1231234567}));
    EXPECT_EQ(targets(kAgentCheck).size(), 2u);
    EXPECT_EQ(targets("/agent/KeloMac.dmg").size(), 1u);
    EXPECT_EQ(readText(agentFolder() + "kelojoindetails.conf"),
              joinDetails("1231234567", "eu", "ada@example.com"));
    EXPECT_TRUE(log_file::inOrder(
        log(), {kUnmounted, joined("ada@example.com", "1231234567"), kAgentCurrent,
                "-[KeloAppUpgrader modifyKeloJoinDetails] : Kelo Joindetails Content : Session "
                "key=1231234567 webServerName=" +
                    host + " DC=eu",
                kAgentLaunched}));
    EXPECT_EQ(log_file::count(log(), "Kelo Dmg Url"), 1);
}

// ---- 3. A join with the agent current
// ------------------------------------------------------------

TEST_F(EndToEndTest, JoinWithTheAgentCurrentStartsItWithoutDownload) {
    // The agent and its tools as an earlier join installed them.
    fs::create_directories(agentFolder());
    fs::copy(images_ + "/KeloMac.dmg", agentFolder(), fs::copy_options::recursive);
    const auto installed = tree(agentFolder());

    start();
    ASSERT_TRUE(joinPageShown());
    ASSERT_TRUE(logShows("-[KeloAppUpgrader keloAppVersionCheck] local Kelo App version : 2.0 " +
                         agentFolder() + "/Kelo.app"));
    ASSERT_TRUE(customer({{"name", "join"},
                          {"type", {{"email", "bea@example.com"}, {"session-key", "987654321"}}},
                          {"join", true}}));
    ASSERT_TRUE(logShows(kAgentLaunched)) << readText(launcher_test::logFile());
    ASSERT_TRUE(eventually([&] { return agentStarts().size() == 1; }, 60s));

    EXPECT_EQ(agentStarts().front(), kAgentArguments);
    EXPECT_EQ(targets(kAgentCheck),
              std::vector<std::string>{std::string(kAgentCheck) +
                                       "?agent_version=2.0&agent=mac%20arm64"});
    EXPECT_TRUE(targets("/agent/KeloMac.dmg").empty());
    EXPECT_EQ(readText(agentFolder() + "kelojoindetails.conf"),
              joinDetails("987654321", kDataCentre, "bea@example.com"));
    // The agent folder is as it was, plus the join details; no proxy was given, so no proxy file.
    auto expected = installed;
    expected["kelojoindetails.conf"] = tree(agentFolder()).at("kelojoindetails.conf");
    EXPECT_EQ(tree(agentFolder()), expected);
    EXPECT_FALSE(fs::exists(path("Library/Logs/KeloHelvo/ConnectionSettings.plist")));

    EXPECT_TRUE(log_file::inOrder(
        log(),
        {joined("bea@example.com", "987654321"),
         "-[ApiHandler checkKeloHelvoUpdateWithCompletion:]_block_invoke : Response : ",
         kAgentCurrent, "-[KeloAppUpgrader modifyKeloJoinDetails] : Modify joindetails called!",
         "-[KeloAppUpgrader modifyKeloJoinDetails] : New kelojoindetails.conf file has been "
         "created by Pellix in folder",
         kAgentLaunched}));
    EXPECT_EQ(log_file::count(log(), "Kelo Dmg Url"), 0);

    // SIGTERM is a quit that installs nothing: no termination banner.
    EXPECT_EQ(launcher_->terminate(), 0);
    EXPECT_EQ(log_file::count(log(), "Kelo Pellix App terminated"), 0);
    EXPECT_FALSE(bus_->applicationRunning());
}

// ---- 4. The service goes away and comes back
// ------------------------------------------------------

TEST_F(EndToEndTest, OfflinePageWhileTheServiceIsAwayThenTheJoinPageAndTheChecksAgain) {
    start();
    ASSERT_TRUE(joinPageShown());
    const std::string address = "https://" + service_->host() + "/join/?pellix_token=" + kToken;

    // The customer reloads the page just after the service went away: the load fails and the
    // offline page takes its place while the monitor probes the join page.
    ASSERT_TRUE(customer({{"name", "reload"}, {"reloadAfterMs", 4000}}));
    service_->stop();
    ASSERT_TRUE(logShows("url: " + address, 1, 30s)) << readText(launcher_test::logFile());
    // Let the probes find the service away (one every 2 s).
    std::this_thread::sleep_for(6s);
    const auto away = static_cast<long>(log().size());
    const auto sinceAway = [&] {
        const auto lines = log();
        return std::vector<std::string>(
            lines.begin() + std::min(away, static_cast<long>(lines.size())), lines.end());
    };

    // The service comes back (on the same port): the join page is loaded again and the checks
    // run again.
    service_->start();
    showCustomerJoinPage();
    ASSERT_TRUE(joinPageShown());
    ASSERT_TRUE(eventually(
        [&] {
            return log_file::count(sinceAway(),
                                   "didRestoreConnection() : Updateing webview since "
                                   "the network is restored.") > 0;
        },
        60s))
        << readText(launcher_test::logFile());
    EXPECT_TRUE(log_file::inOrder(
        sinceAway(),
        {"-[KeloAppUpgrader keloAppVersionCheck] : Kelo app not found, Setting app version to zero "
         "( default)",
         "-[ApiHandler checkPellixUpdateWithCompletion:]_block_invoke response :  ",
         "didRestoreConnection() : Updateing webview since the network is restored."}));
    EXPECT_FALSE(targets(kLauncherCheck).empty());
    EXPECT_THAT(targets("/join/"),
                ::testing::Contains(std::string("/join/?pellix_token=") + kToken));
}

// ---- 5. A newer launcher offered by the service
// ---------------------------------------------------

class SelfUpdateTest : public EndToEndTest {
  protected:
    // The launcher installed in the user's Applications folder runs while the service offers a
    // newer one; returns once the newer one waits in the native folder.
    void startWithNewerLauncherOffered() {
        fs::copy(KELO_BUNDLE_DIR, installedLauncher(), fs::copy_options::recursive);
        service_->setAnswer(
            kLauncherCheck,
            {.body = R"({"representation":{"download_url":")" + service_->baseUrl() +
                     R"(/agent/KeloHelvoPellix.dmg","update":true}})"});
        start(installedLauncher());
        ASSERT_TRUE(joinPageShown());
        // Every check that finds the update starts a download of its own: all of them end.
        ASSERT_TRUE(eventually(
            [&] {
                const auto lines = log();
                const int started = log_file::count(lines,
                                                    "-[KeloPellixUpdater downloadPellixdmg] "
                                                    ": Kelo Pellix Dmg Url");
                return started > 0 &&
                       log_file::count(lines,
                                       "-[KeloPellixUpdater unMountingKeloPellixDmg] : Dmg "
                                       "unmount task termination status : ") == started;
            },
            120s))
            << readText(launcher_test::logFile());
        EXPECT_TRUE(log_file::inOrder(
            log(), {"-[ApiHandler checkPellixUpdateWithCompletion:]_block_invoke Kelo Pellix "
                    "Updated Version Available ....",
                    "-[KeloPellixUpdater downloadPellixdmg] : Kelo Pellix Dmg Url : " +
                        service_->baseUrl() + "/agent/KeloHelvoPellix.dmg",
                    "-[KeloPellixUpdater downloadPellixdmg]_block_invoke : Download finished "
                    "successfully",
                    "-[KeloPellixUpdater copyAppFile] : Kelo Helvo Pellix.app file copied to  "
                    "KeloPellixNative folder",
                    "-[KeloPellixUpdater unMountingKeloPellixDmg] : Dmg unmount task termination "
                    "status : 0"}));
        // While it runs, the newer launcher only waits; the image and its volume are gone.
        EXPECT_TRUE(sameTree(offered(), nativeFolder() + "Kelo Helvo Pellix.app"));
        EXPECT_TRUE(sameTree(KELO_BUNDLE_DIR, installedLauncher()));
        EXPECT_FALSE(fs::exists(nativeFolder() + "KeloHelvoPellix.dmg"));
        EXPECT_FALSE(fs::exists(path("run/Volumes/Pellix Plugin")));
    }

    std::string offered() const { return images_ + "/KeloHelvoPellix.dmg/Kelo Helvo Pellix.app"; }
};

TEST_F(SelfUpdateTest, DownloadedWhileRunningAndInstalledWhenTheWindowCloses) {
    ASSERT_NO_FATAL_FAILURE(startWithNewerLauncherOffered());
    const auto waiting = log().size();

    ASSERT_TRUE(bus_->activate(std::string(launcher_test::kObjectPath) + "/window/1", "close"))
        << bus_->lastError();
    EXPECT_EQ(launcher_->waitForExit(60s), 0);
    EXPECT_TRUE(sameTree(offered(), installedLauncher()));

    const auto lines = log();
    EXPECT_TRUE(log_file::inOrder(
        std::vector<std::string>(lines.begin() + static_cast<long>(waiting), lines.end()),
        {"+[Utils updatePellixIfNeeded] Updated Pellix Downloaded from server and Initiate to "
         "Copy ",
         "+[Utils updatePellixIfNeeded] Updated Pellix app Copied to " + installedLauncher(),
         kTerminated}));
    EXPECT_NE(lastLine(log()).find(kTerminated), std::string::npos) << lastLine(log());
}

TEST_F(SelfUpdateTest, QuitFromTheMenuLeavesTheNewerLauncherWaiting) {
    ASSERT_NO_FATAL_FAILURE(startWithNewerLauncherOffered());

    // Ctrl+Q is the application's quit action.
    ASSERT_TRUE(bus_->activate(launcher_test::kObjectPath, "quit")) << bus_->lastError();
    EXPECT_EQ(launcher_->waitForExit(60s), 0);
    EXPECT_TRUE(sameTree(KELO_BUNDLE_DIR, installedLauncher()));
    EXPECT_TRUE(sameTree(offered(), nativeFolder() + "Kelo Helvo Pellix.app"));
    EXPECT_EQ(log_file::count(log(), "+[Utils updatePellixIfNeeded]"), 0);
}

}  // namespace
}  // namespace e2e
