// The real launcher started from its bundle, as a customer starts it while the invitation's disk
// image is mounted.
#include <chrono>
#include <filesystem>
#include <string>

#include "LauncherProcess.h"
#include "LocalService.h"
#include "Platform/Bundle.h"
#include "Platform/PropertyList.h"
#include "TempHome.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using launcher_test::eventually;
using launcher_test::LauncherProcess;
using launcher_test::occurrences;

class AppLaunchTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        bus_ = std::make_unique<launcher_test::PrivateBus>();
    }
    void TearDown() override {
        bus_.reset();
        TempHomeTest::TearDown();
    }

    std::unique_ptr<launcher_test::PrivateBus> bus_;
};

TEST_F(AppLaunchTest, BootstrapsFromTheMountedVolumeAndQuitsOnSigterm) {
    LocalService service;
    const std::string volume = path("run/Volumes/Pellix Plugin");
    writeText(volume + "/.pellixConfiguration",
              "KELO_PARLO_IND\nPellixToken=tok-42&DC=localkelo&pathForPellix=join");
    launcher_test::copyBundleWithVersion(volume + "/Kelo Helvo Pellix.app", "9.9.9");
    fs::create_directories(path("Applications"));
    const auto runningVersion = platform::Bundle::atPath(KELO_BUNDLE_DIR)->shortVersionString();
    ASSERT_TRUE(runningVersion.has_value());
    ASSERT_NE(*runningVersion, "9.9.9");

    LauncherProcess launcher(launcher_test::bundleExecutable(), {},
                             service.environmentFor("localkelo"), path("launcher"));
    ASSERT_TRUE(eventually(
        [&] {
            return occurrences(readText(launcher_test::logFile()),
                               "local Kelo Helvo Pellix App version : ") > 0;
        },
        60s))
        << launcher.standardOutput() << launcher.standardError();
    ASSERT_TRUE(eventually([&] { return bus_->applicationRunning(); }, 30s));

    // The configuration became the info file.
    EXPECT_EQ(platform::PropertyList::readDictionary(
                  path("Library/Application Support/KeloPellixNativeFolder/Info.plist")),
              (platform::PlistValue::Dictionary{
                  {"PellixToken", "tok-42"}, {"DC", "localkelo"}, {"pathForPellix", "join"}}));
    // The volume's bundle was installed, whole.
    const std::string installed = path("Applications/Kelo Helvo Pellix.app");
    EXPECT_EQ(platform::Bundle::atPath(installed)->shortVersionString(), "9.9.9");
    EXPECT_TRUE(fs::exists(installed + "/Contents/MacOS/KeloHelvoPellix"));
    EXPECT_TRUE(fs::exists(installed + "/Contents/MacOS/hdiutil"));

    // Lines before logging starts are on the inherited streams; the rest in the log.
    const std::string out = launcher.standardOutput();
    const std::string err = launcher.standardError();
    const std::string log = readText(launcher_test::logFile());
    EXPECT_EQ(occurrences(out, "getPellixVolumePath() : PellixConfiguration Directory : file://" +
                                   path("run/Volumes/Pellix%20Plugin/.pellixConfiguration")),
              1)
        << out;
    EXPECT_EQ(occurrences(out, "awakeFromNib()Configuration file does not exist"), 0);
    EXPECT_GE(occurrences(err, "+[Utils parseCommandLineArgs]"), 1);
    EXPECT_GE(occurrences(err, "PellixToken : tok-42"), 1) << err;
    EXPECT_EQ(occurrences(log, "getPellixVolumePath()"), 0);
    EXPECT_EQ(occurrences(log, "+[Utils parseCommandLineArgs]"), 0);
    EXPECT_EQ(occurrences(log, "************* Kelo Pellix App Started ************"), 1);
    EXPECT_EQ(occurrences(log, "Kelo Pellix App path : " + std::string(KELO_BUNDLE_DIR)), 1);
    EXPECT_EQ(occurrences(log, "local Kelo Helvo Pellix App version : " + *runningVersion), 1);

    // The window shows the join page of the configured service, with the invitation's token.
    EXPECT_TRUE(service.waitForRequests("/join", 1, 30s));
    bool joinPageAsked = false;
    for (const auto& request : service.requests("/join")) {
        joinPageAsked = joinPageAsked || request.target == "/join?pellix_token=tok-42";
    }
    EXPECT_TRUE(joinPageAsked);

    // After the launch: the background checks ran once, and the flag is set in the defaults.
    ASSERT_TRUE(eventually(
        [&] {
            return occurrences(readText(launcher_test::logFile()),
                               "applicationDidFinishLaunching(_:) Update Available for Pellix\n") ==
                   1;
        },
        30s));
    const auto preferences = platform::PropertyList::readDictionary(
        path("Library/Preferences/com.Kelo.Helvo.KeloHelvoPellix.plist"));
    ASSERT_TRUE(preferences.has_value());
    EXPECT_EQ(preferences->at("WebKitOfflineWebApplicationCacheEnabled"),
              platform::PlistValue(true));

    // A second start only brings the running launcher forward.
    {
        LauncherProcess second(launcher_test::bundleExecutable(), {"-DC", "eu"},
                               service.environmentFor("localkelo"), path("second"));
        EXPECT_EQ(second.waitForExit(30s), 0);
    }
    EXPECT_FALSE(launcher.waitForExit(1s).has_value());
    EXPECT_EQ(occurrences(readText(launcher_test::logFile()), "Kelo Pellix App Started"), 1);

    // SIGTERM is a quit that installs nothing: no termination banner.
    EXPECT_EQ(launcher.terminate(), 0);
    EXPECT_EQ(occurrences(readText(launcher_test::logFile()), "Kelo Pellix App terminated"), 0);
    EXPECT_FALSE(bus_->applicationRunning());
}

}  // namespace
