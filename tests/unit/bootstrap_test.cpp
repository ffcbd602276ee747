// The launch from a disk image: finding the configuration on a mounted volume, turning it into
// the info file, clearing stale launch parameters, installing the offered bundle; and the order
// of the launch steps and the quit.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "App/AppDelegate.h"
#include "ChildProcess.h"
#include "Objects/SessionDetails.h"
#include "OutputCapture.h"
#include "Platform/Bundle.h"
#include "Platform/DesktopEntry.h"
#include "Platform/PropertyList.h"
#include "Platform/UserDefaults.h"
#include "RecordingWorkspace.h"
#include "TempHome.h"
#include "TestBundle.h"

namespace {

namespace fs = std::filesystem;
using platform::Workspace;

Workspace::FileSystemInfo diskImage(bool removable = true, bool unmountable = true) {
    return {true, removable, true, unmountable, "Disk image volume", "hdiutil"};
}

int count(const std::string& text, const std::string& piece) {
    int found = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++found;
    }
    return found;
}

class BootstrapTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        workspace_ = std::make_shared<RecordingWorkspace>();
        workspace_->launches = RecordingWorkspace::Launches::refuse;
        platform::ServiceSlot<Workspace>::set(workspace_);
        // The launcher runs from a folder that holds no configuration.
        runningBundle_ = path("Downloads/Kelo Helvo Pellix.app");
        makeBundle(runningBundle_, "3.1");
        platform::Bundle::overrideMainBundlePath(runningBundle_);
    }
    void TearDown() override {
        platform::Bundle::overrideMainBundlePath(std::nullopt);
        platform::ServiceSlot<Workspace>::set(nullptr);
        TempHomeTest::TearDown();
    }

    // A bundle with a version (or none) and a file that tells copies apart.
    static void makeBundle(const std::string& bundle, std::optional<std::string> version,
                           const std::string& marker = "") {
        TestBundle{
            .version = version ? std::optional(platform::PlistValue(*version)) : std::nullopt,
            .marker = marker.empty() ? bundle : marker}
            .writeTo(bundle);
    }

    // A mounted "Pellix Plugin" volume with a configuration and a bundle.
    std::string makeVolume(const std::string& name, const std::string& configuration,
                           std::optional<std::string> version) {
        const std::string volume = path("run/Volumes/" + name);
        fs::create_directories(volume);
        writeText(volume + "/.pellixConfiguration", configuration);
        makeBundle(volume + "/Kelo Helvo Pellix.app", version, "from " + name);
        workspace_->volumes.push_back(volume);
        workspace_->infos[volume] = diskImage();
        return volume;
    }

    std::string installed() const { return AppDelegate::installDestination(); }

    std::optional<platform::PlistValue::Dictionary> infoFile() const {
        return platform::PropertyList::readDictionary(AppDelegate::infoFilePath());
    }

    std::shared_ptr<RecordingWorkspace> workspace_;
    std::string runningBundle_;
};

TEST_F(BootstrapTest, ConfigurationClearsStoredLaunchParametersItNames) {
    struct Case {
        const char* name;
        std::string configuration;
        bool readable;
        std::set<std::string> kept;
    };
    const std::vector<Case> cases = {
        {"names DC only: the token goes too", "DC=eu", true, {"pathForPellix"}},
        {"names token and path", "PellixToken=new&pathForPellix=join", true, {"DC"}},
        {"names nothing: only the token goes", "", true, {"DC", "pathForPellix"}},
        {"=DC compares DC as its key", "=DC", true, {"pathForPellix"}},
        {"a=b=c still names its key", "pathForPellix=a=b&PellixToken", true, {"DC"}},
        {"unreadable: nothing goes",
         std::string("\xFF\xFE\x00", 3),
         false,
         {"DC", "PellixToken", "pathForPellix"}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        platform::UserDefaults::resetStandard();
        auto& defaults = platform::UserDefaults::standard();
        for (const char* key : {"DC", "PellixToken", "pathForPellix"}) {
            defaults.set(key, platform::PlistValue("old"));
        }
        ASSERT_TRUE(defaults.synchronize());
        const std::string file = path("case.conf");
        writeText(file, test.configuration);

        AppDelegate delegate;
        OutputCapture out(STDOUT_FILENO, path("stdout.txt"));
        const auto parameters = delegate.parsePellixConfiguration(file);
        const std::string printed = out.stop();

        EXPECT_EQ(parameters.has_value(), test.readable);
        EXPECT_EQ(count(printed,
                        "parsePellixConfiguration(filePath:) :Error reading Pellix "
                        "Configuration File. \n Error Description = "),
                  test.readable ? 0 : 1);
        // What is on disk, not only what the store remembers.
        const platform::UserDefaults stored(platform::UserDefaults::standardFilePath(), {});
        std::set<std::string> kept;
        for (const char* key : {"DC", "PellixToken", "pathForPellix"}) {
            if (stored.object(key)) kept.insert(key);
        }
        EXPECT_EQ(kept, test.kept);
    }
}

TEST_F(BootstrapTest, InfoFileHoldsExactlyTheConfigurationsParameters) {
    AppDelegate delegate;
    const std::string configuration = path("conf");
    writeText(AppDelegate::infoFilePath(), "an earlier info file");

    writeText(configuration, "KELO_PARLO_IND\nx=1=2&PellixToken=t1&DC=eu&pathForPellix=join\n");
    delegate.copyPellixConfiguration(configuration, runningBundle_);
    EXPECT_EQ(infoFile(), (platform::PlistValue::Dictionary{
                              {"PellixToken", "t1"}, {"DC", "eu"}, {"pathForPellix", "join\n"}}));
    EXPECT_EQ(readText(AppDelegate::infoFilePath()).rfind("<?xml", 0), 0u);

    writeText(configuration, "");
    delegate.copyPellixConfiguration(configuration, runningBundle_);
    EXPECT_EQ(infoFile(), platform::PlistValue::Dictionary{});

    // A configuration that cannot be read leaves no info file at all.
    writeText(configuration, std::string("\x00\x01", 2));
    delegate.copyPellixConfiguration(configuration, runningBundle_);
    EXPECT_FALSE(fs::exists(AppDelegate::infoFilePath()));
    // Nothing half-written is left beside it either.
    for (const auto& entry :
         fs::directory_iterator(fs::path(AppDelegate::infoFilePath()).parent_path())) {
        ADD_FAILURE() << "left behind: " << entry.path();
    }
}

TEST_F(BootstrapTest, SavingIntoAFolderThatCannotExistReportsIt) {
    AppDelegate delegate;
    writeText(path("Library/Application Support"), "a file where a folder should be");
    OutputCapture out(STDOUT_FILENO, path("stdout.txt"));
    delegate.saveParametersToPlist({{"DC", "eu"}}, AppDelegate::infoFilePath());
    EXPECT_EQ(count(out.stop(),
                    "Error saving parameters to Info.plist. \n Error Description = "
                    "Error Domain=NSPOSIXErrorDomain"),
              1);
}

TEST_F(BootstrapTest, VolumeSearchUsesTheLastQualifyingVolume) {
    const std::string applicationFolder = path("Downloads");
    struct Volume {
        std::string name;
        bool removable;
        bool unmountable;
    };
    struct Case {
        const char* name;
        std::vector<Volume> volumes;
        std::optional<std::string> chosen;  // nullopt: the application folder
        std::vector<std::string> queried;
    };
    const std::vector<Case> cases = {
        {"two qualify: the last wins",
         {{"Pellix Plugin", true, true}, {"Other", true, true}, {"Pellix Plugin 1", true, true}},
         "Pellix Plugin 1",
         {"Pellix Plugin", "Pellix Plugin 1"}},
        {"a later one that does not qualify changes nothing",
         {{"Pellix Plugin", true, true}, {"Pellix Plugin 1", false, true}},
         "Pellix Plugin",
         {"Pellix Plugin", "Pellix Plugin 1"}},
        {"not removable", {{"Pellix Plugin", false, true}}, std::nullopt, {"Pellix Plugin"}},
        {"not unmountable", {{"Pellix Plugin", true, false}}, std::nullopt, {"Pellix Plugin"}},
        {"name differs in case", {{"pellix plugin", true, true}}, std::nullopt, {}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        workspace_->volumes = {path("run")};  // a system mount that is never asked about
        workspace_->infoQueries.clear();
        for (const auto& volume : test.volumes) {
            const std::string where = path("run/Volumes/" + volume.name);
            workspace_->volumes.push_back(where);
            workspace_->infos[where] = diskImage(volume.removable, volume.unmountable);
        }
        AppDelegate delegate;
        OutputCapture out(STDOUT_FILENO, path("stdout.txt"));
        const auto paths = delegate.getPellixVolumePath();
        const std::string printed = out.stop();

        const std::string folder =
            test.chosen ? path("run/Volumes/" + *test.chosen) : applicationFolder;
        EXPECT_EQ(paths, (std::vector<std::string>{folder + "/.pellixConfiguration",
                                                   folder + "/Kelo Helvo Pellix.app"}));
        std::vector<std::string> queried;
        for (const auto& name : test.queried) queried.push_back(path("run/Volumes/" + name));
        EXPECT_EQ(workspace_->infoQueries.entries(), queried);
        // Every volume asked about is listed, qualifying or not.
        EXPECT_EQ(count(printed, "getPellixVolumePath() : Result : true Volume : "),
                  static_cast<int>(queried.size()));
        EXPECT_EQ(count(printed, "\ngetPellixVolumePath() : Mounted Volumes : (\n    \"file://"),
                  1);
        EXPECT_EQ(count(printed, "getPellixVolumePath() : PellixConfiguration Directory : "),
                  test.chosen ? count(printed,
                                      ", isRemovable :true, isWritable : true, "
                                      "isUnmountable : true, Description : Disk image "
                                      "volume, type : hdiutil")
                              : 0);
    }
}

TEST_F(BootstrapTest, VolumeSearchEdges) {
    AppDelegate delegate;
    {
        SCOPED_TRACE("no volumes at all");
        OutputCapture out(STDOUT_FILENO, path("stdout.txt"));
        EXPECT_TRUE(delegate.getPellixVolumePath().empty());
        EXPECT_EQ(count(out.stop(), "getPellixVolumePath() : No mounted volumes found"), 1);
    }
    {
        SCOPED_TRACE("the chosen configuration printed as a file address");
        makeVolume("Pellix Plugin", "DC=eu", "1.0");
        OutputCapture out(STDOUT_FILENO, path("stdout.txt"));
        delegate.getPellixVolumePath();
        EXPECT_EQ(count(out.stop(), "getPellixVolumePath() : PellixConfiguration Directory : " +
                                        AppDelegate::fileUrlText(path("run/Volumes/"), true) +
                                        "Pellix%20Plugin/.pellixConfiguration\n"),
                  1);
    }
    {
        SCOPED_TRACE("a configuration beside the running bundle: no volume is searched");
        writeText(path("Downloads/.pellixConfiguration"), "DC=us");
        workspace_->volumeQueries = 0;
        EXPECT_EQ(delegate.getPellixVolumePath(),
                  (std::vector<std::string>{path("Downloads/.pellixConfiguration"),
                                            path("Downloads/Kelo Helvo Pellix.app")}));
        EXPECT_EQ(workspace_->volumeQueries.load(), 0);
    }
}

TEST_F(BootstrapTest, InstallsTheOfferedBundleWhenTheVersionsDiffer) {
    struct Case {
        const char* name;
        std::optional<std::optional<std::string>> installedVersion;  // outer nullopt: absent
        std::optional<std::optional<std::string>> offeredVersion;
        bool replaced;
    };
    const std::optional<std::string> none;
    const std::vector<Case> cases = {
        {"equal", "1.0", "1.0", false},
        {"newer offered", "1.0", "2.0", true},
        {"older offered replaces too", "2.0", "1.9", true},
        {"texts differ, numbers equal", "1.0", "1.0.0", true},
        {"nothing installed", std::nullopt, "1.0", true},
        {"offered has no version", "1.0", none, true},
        {"installed has no version", none, "1.0", true},
        {"neither has a version", std::nullopt, none, false},
        {"both without version", none, none, false},
    };
    fs::create_directories(path("Applications"));
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        fs::remove_all(installed());
        fs::remove_all(path("offered"));
        fs::remove_all(path(".local"));
        if (test.installedVersion) makeBundle(installed(), *test.installedVersion, "installed");
        const std::string offered = path("offered/Kelo Helvo Pellix.app");
        if (test.offeredVersion) makeBundle(offered, *test.offeredVersion, "offered");
        writeText(path("offered/.pellixConfiguration"), "DC=eu");

        AppDelegate delegate;
        OutputCapture out(STDOUT_FILENO, path("stdout.txt"));
        delegate.copyPellixConfiguration(path("offered/.pellixConfiguration"), offered);
        EXPECT_EQ(count(out.stop(), "Error copying"), 0);

        const std::string marker = readText(installed() + "/Contents/Resources/marker");
        if (test.replaced) {
            EXPECT_EQ(marker, "offered");
        } else {
            EXPECT_EQ(marker, test.installedVersion ? "installed" : "");
        }
        // Only an install puts the launcher in the desktop's menu.
        EXPECT_EQ(fs::exists(platform::DesktopEntry::entryPath()), test.replaced);
        EXPECT_EQ(infoFile(), (platform::PlistValue::Dictionary{{"DC", "eu"}}));
    }
}

TEST_F(BootstrapTest, AFailedInstallLeavesTheInstalledLauncherInPlace) {
    AppDelegate delegate;
    const std::string configuration = path("offered/.pellixConfiguration");
    writeText(configuration, "DC=eu");
    const std::string offered = path("offered/Kelo Helvo Pellix.app");
    const std::string copyError =
        "copyPellixConfiguration(keloPellixConfFilePath:keloPellixAppPathURL:) : Error copying "
        "Kelo Helvo Pellix Application to Application Folder.\n Error Description = Error "
        "Domain=NSPOSIXErrorDomain";
    {
        SCOPED_TRACE("no Applications folder: nothing is created, the info file is written");
        makeBundle(offered, "2.0", "offered");
        OutputCapture out(STDOUT_FILENO, path("stdout.txt"));
        delegate.copyPellixConfiguration(configuration, offered);
        EXPECT_EQ(count(out.stop(), copyError + " Code=2 "), 1);
        EXPECT_FALSE(fs::exists(path("Applications")));
        EXPECT_EQ(infoFile(), (platform::PlistValue::Dictionary{{"DC", "eu"}}));
    }
    {
        SCOPED_TRACE("the copy fails half-way");
        makeBundle(installed(), "1.0", "installed");
        // A named pipe cannot be copied: the copy stops inside the bundle.
        ASSERT_EQ(::mkfifo((offered + "/Contents/Resources/zz-pipe").c_str(), 0644), 0);
        OutputCapture out(STDOUT_FILENO, path("stdout.txt"));
        delegate.copyPellixConfiguration(configuration, offered);
        EXPECT_EQ(count(out.stop(), copyError), 1);
        EXPECT_EQ(readText(installed() + "/Contents/Resources/marker"), "installed");
        EXPECT_EQ(delegate.getAppVersion(installed()), "1.0");
        std::vector<std::string> left;
        for (const auto& entry : fs::directory_iterator(path("Applications"))) {
            left.push_back(entry.path().filename().string());
        }
        EXPECT_EQ(left, std::vector<std::string>{"Kelo Helvo Pellix.app"});
    }
    {
        SCOPED_TRACE("the offered bundle is missing");
        fs::remove_all(offered);
        OutputCapture out(STDOUT_FILENO, path("stdout.txt"));
        delegate.copyPellixConfiguration(configuration, offered);
        EXPECT_EQ(count(out.stop(), copyError), 1);
        EXPECT_EQ(readText(installed() + "/Contents/Resources/marker"), "installed");
    }
    EXPECT_FALSE(fs::exists(platform::DesktopEntry::entryPath()));
}

// The launch steps up to the window, in a child process: they redirect the standard streams.
TEST_F(BootstrapTest, LaunchLinesGoToTheInheritedStreamsUntilLoggingStarts) {
    const std::string volume = makeVolume("Pellix Plugin", "PellixToken=t&DC=eu", "5.0");
    fs::remove(volume +
               "/.pellixConfiguration");  // the volume qualifies but holds no configuration
    const std::string out = path("child-stdout.txt");
    const std::string err = path("child-stderr.txt");
    const int status = ChildProcess::run(
        [] {
            platform::UserDefaults::setProcessArguments({"launcher", "-DC", "localkelo"});
            AppDelegate delegate;
            delegate.awakeFromNib();
            delegate.applicationWillFinishLaunching();
        },
        out, err);
    ASSERT_EQ(status, 0);

    const std::string inheritedOut = readText(out);
    const std::string inheritedErr = readText(err);
    const std::string log = readText(path("Library/Logs/KeloHelvo/KeloPellix/keloPellix.log"));
    EXPECT_EQ(count(inheritedOut, "awakeFromNib()Configuration file does not exist at path: " +
                                      volume + "/.pellixConfiguration\n"),
              1);
    EXPECT_EQ(count(inheritedOut, "getPellixVolumePath() : Application folder : "), 1);
    EXPECT_GE(count(inheritedErr, "+[Utils parseCommandLineArgs]"), 1);
    EXPECT_EQ(count(log, "getPellixVolumePath()"), 0);
    EXPECT_EQ(count(log, "+[Utils parseCommandLineArgs]"), 0);
    EXPECT_EQ(count(log, "************* Kelo Pellix App Started ************"), 1);
    EXPECT_EQ(count(inheritedErr, "Kelo Pellix App Started"), 0);
    // The version is the running bundle's, read after its path.
    EXPECT_EQ(count(log, "Kelo Pellix App path : " + runningBundle_), 1);
    EXPECT_EQ(count(log, "local Kelo Helvo Pellix App version : 3.1"), 1);
    EXPECT_FALSE(fs::exists(AppDelegate::infoFilePath()));
}

TEST_F(BootstrapTest, ClosingTheWindowInstallsAWaitingLauncherOnce) {
    fs::create_directories(path("Applications"));
    makeBundle(installed(), "1.0", "installed");
    const std::string nativeFolder = path("Library/Application Support/KeloPellixNativeFolder/");
    makeBundle(nativeFolder + "Kelo Helvo Pellix.app", "2.0", "waiting");
    auto& session = SessionDetails::getInstance();
    session.setKeloPellixNativeFolder(nativeFolder);
    session.setIsAppReplaceFlag(true);

    AppDelegate delegate;
    int terminations = 0;
    delegate.setTerminateHandler([&] { ++terminations; });
    delegate.addObserver();

    OutputCapture err(STDERR_FILENO, path("stderr.txt"));
    EXPECT_TRUE(delegate.applicationShouldTerminateAfterLastWindowClosed());
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(readText(installed() + "/Contents/Resources/marker"), "waiting");

    // Posted again, the notification finds no observer.
    makeBundle(installed(), "1.0", "reinstalled by hand");
    platform::NotificationCenter::defaultCenter().post(AppDelegate::kTerminateNotification);
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(readText(installed() + "/Contents/Resources/marker"), "reinstalled by hand");
    EXPECT_EQ(count(err.stop(), "Kelo Pellix App terminated"), 1);
}

}  // namespace
