// The launch from a disk image: finding the configuration on a mounted volume, turning it into
// the info file, clearing stale launch parameters, installing the offered bundle; and the order
// of the launch steps and the quit.
#include "KeloTest.h"

#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "App/AppDelegate.h"
#include "ChildProcess.h"
#include "Objects/SessionDetails.h"
#include "Occurrences.h"
#include "Platform/Bundle.h"
#include "Platform/DesktopEntry.h"
#include "Platform/PropertyList.h"
#include "Platform/UserDefaults.h"
#include "RecordingWorkspace.h"
#include "TestBundle.h"

namespace {

using platform::Workspace;
using Dictionary = platform::PlistValue::Dictionary;
using ::testing::Not;

Workspace::FileSystemInfo diskImage(bool removable = true, bool unmountable = true) {
    return {true, removable, true, unmountable, "Disk image volume", "hdiutil"};
}

class BootstrapTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
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

    // A bundle with a version (or none) and a marker file that tells copies apart.
    static void makeBundle(const std::string& bundle, std::optional<std::string> version,
                           const std::string& marker = "") {
        TestBundle{
            .version = version ? std::optional(platform::PlistValue(*version)) : std::nullopt,
            .marker = marker.empty() ? bundle : marker}
            .writeTo(bundle);
    }
    std::string markerOf(const std::string& bundle) const {
        return readText(bundle + "/Contents/Resources/marker");
    }

    // A mounted disk-image volume with a configuration and a bundle.
    std::string makeVolume(const std::string& name, const std::string& configuration) {
        const std::string volume = path(".cache/KeloHelvoPellix/Volumes/" + name);
        writeText(volume + "/.pellixConfiguration", configuration);
        makeBundle(volume + "/Kelo Helvo Pellix.app", "5.0", "from " + name);
        workspace_->volumes.push_back(volume);
        workspace_->infos[volume] = diskImage();
        return volume;
    }

    // What `work` printed on standard output.
    std::string printed(const std::function<void()>& work) {
        OutputCapture out(STDOUT_FILENO, path("stdout.txt"));
        work();
        return out.stop();
    }

    std::string installed() const { return AppDelegate::installDestination(); }
    std::optional<Dictionary> infoFile() const {
        return platform::PropertyList::readDictionary(AppDelegate::infoFilePath());
    }

    std::shared_ptr<RecordingWorkspace> workspace_ = std::make_shared<RecordingWorkspace>();
    std::string runningBundle_;
};

TEST_F(BootstrapTest, ConfigurationClearsStoredLaunchParametersItNames) {
    AppDelegate delegate;
    const struct {
        const char* name;
        std::string configuration;
        std::set<std::string> kept;  // of DC, PellixToken, pathForPellix
    } cases[] = {
        {"names DC only: the token goes too", "DC=eu", {"pathForPellix"}},
        {"names token and path", "PellixToken=new&pathForPellix=join", {"DC"}},
        {"names nothing: only the token goes", "", {"DC", "pathForPellix"}},
        {"=DC compares DC as its key", "=DC", {"pathForPellix"}},
        {"a=b=c still names its key", "pathForPellix=a=b&PellixToken", {"DC"}},
        {"unreadable: nothing goes",
         std::string("\xFF\xFE\x00", 3),
         {"DC", "PellixToken", "pathForPellix"}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        platform::UserDefaults::resetStandard();
        auto& defaults = platform::UserDefaults::standard();
        for (const char* key : {"DC", "PellixToken", "pathForPellix"}) defaults.set(key, "old");
        ASSERT_TRUE(defaults.synchronize());
        writeText(path("case.conf"), test.configuration);

        std::optional<AppDelegate::Parameters> parameters;
        const auto out =
            printed([&] { parameters = delegate.parsePellixConfiguration(path("case.conf")); });

        const bool readable = test.kept.size() < 3;
        EXPECT_EQ(parameters.has_value(), readable);
        EXPECT_EQ(occurrences(out,
                              "parsePellixConfiguration(filePath:) :Error reading Pellix "
                              "Configuration File. \n Error Description = "),
                  readable ? 0 : 1);
        // What is on disk, not only what the store remembers.
        const platform::UserDefaults stored(platform::UserDefaults::standardFilePath(), {});
        std::set<std::string> kept;
        for (const char* key : {"DC", "PellixToken", "pathForPellix"})
            if (stored.object(key)) kept.insert(key);
        EXPECT_EQ(kept, test.kept);
    }
}

TEST_F(BootstrapTest, InfoFileHoldsExactlyTheConfigurationsParameters) {
    AppDelegate delegate;
    const std::string configuration = path("conf");
    writeText(AppDelegate::infoFilePath(), "an earlier info file");
    writeText(configuration, "KELO_PARLO_IND\nx=1=2&PellixToken=t1&DC=eu&pathForPellix=join\n");
    delegate.copyPellixConfiguration(configuration, runningBundle_);
    EXPECT_EQ(infoFile(),
              (Dictionary{{"PellixToken", "t1"}, {"DC", "eu"}, {"pathForPellix", "join\n"}}));
    EXPECT_THAT(readText(AppDelegate::infoFilePath()), StartsWith("<?xml"));

    writeText(configuration, "");
    delegate.copyPellixConfiguration(configuration, runningBundle_);
    EXPECT_EQ(infoFile(), Dictionary{});

    // A configuration that cannot be read leaves no info file, nor anything half-written.
    writeText(configuration, std::string("\x00\x01", 2));
    delegate.copyPellixConfiguration(configuration, runningBundle_);
    EXPECT_THAT(entriesOf(fs::path(AppDelegate::infoFilePath()).parent_path()), IsEmpty());

    fs::remove_all(path("Library"));
    writeText(path("Library/Application Support"), "a file where a folder should be");
    EXPECT_EQ(
        occurrences(printed([&] {
                        delegate.saveParametersToPlist({{"DC", "eu"}}, AppDelegate::infoFilePath());
                    }),
                    "Error saving parameters to Info.plist. \n Error Description = "
                    "Error Domain=NSPOSIXErrorDomain"),
        1);
}

TEST_F(BootstrapTest, VolumeSearchUsesTheLastQualifyingVolume) {
    AppDelegate delegate;
    struct Volume {
        std::string name;
        bool removable = true, unmountable = true;
    };
    const struct {
        const char* name;
        std::vector<Volume> volumes;
        std::optional<std::string> chosen;  // nullopt: the application folder
        std::vector<std::string> queried;
    } cases[] = {
        {"two qualify: the last wins",
         {{"Pellix Plugin"}, {"Other"}, {"Pellix Plugin 1"}},
         "Pellix Plugin 1",
         {"Pellix Plugin", "Pellix Plugin 1"}},
        {"a later one that does not qualify changes nothing",
         {{"Pellix Plugin"}, {"Pellix Plugin 1", false}},
         "Pellix Plugin",
         {"Pellix Plugin", "Pellix Plugin 1"}},
        {"not removable", {{"Pellix Plugin", false}}, std::nullopt, {"Pellix Plugin"}},
        {"not unmountable", {{"Pellix Plugin", true, false}}, std::nullopt, {"Pellix Plugin"}},
        {"name differs in case", {{"pellix plugin"}}, std::nullopt, {}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        workspace_->volumes = {path("run")};  // a system mount that is never asked about
        workspace_->infoQueries.clear();
        for (const auto& volume : test.volumes) {
            const std::string where = path(".cache/KeloHelvoPellix/Volumes/" + volume.name);
            workspace_->volumes.push_back(where);
            workspace_->infos[where] = diskImage(volume.removable, volume.unmountable);
        }
        std::vector<std::string> paths;
        const auto out = printed([&] { paths = delegate.getPellixVolumePath(); });

        const std::string folder = test.chosen
                                       ? path(".cache/KeloHelvoPellix/Volumes/" + *test.chosen)
                                       : path("Downloads");
        EXPECT_THAT(paths, ElementsAre(folder + "/.pellixConfiguration",
                                       folder + "/Kelo Helvo Pellix.app"));
        std::vector<std::string> queried;
        for (const auto& name : test.queried)
            queried.push_back(path(".cache/KeloHelvoPellix/Volumes/" + name));
        EXPECT_EQ(workspace_->infoQueries.entries(), queried);
        // Every volume asked about is listed, qualifying or not.
        EXPECT_EQ(occurrences(out, "getPellixVolumePath() : Result : true Volume : "),
                  int(queried.size()));
        EXPECT_EQ(occurrences(out, "\ngetPellixVolumePath() : Mounted Volumes : (\n    \"file://"),
                  1);
        EXPECT_EQ(occurrences(out, "getPellixVolumePath() : PellixConfiguration Directory : "),
                  test.chosen
                      ? occurrences(out,
                                    ", isRemovable :true, isWritable : true, isUnmountable : "
                                    "true, Description : Disk image volume, type : hdiutil")
                      : 0);
    }

    workspace_->volumes.clear();
    EXPECT_EQ(occurrences(printed([&] { EXPECT_THAT(delegate.getPellixVolumePath(), IsEmpty()); }),
                          "getPellixVolumePath() : No mounted volumes found"),
              1);

    makeVolume("Pellix Plugin", "DC=eu");
    EXPECT_THAT(printed([&] { delegate.getPellixVolumePath(); }),
                HasSubstr("getPellixVolumePath() : PellixConfiguration Directory : " +
                          AppDelegate::fileUrlText(path(".cache/KeloHelvoPellix/Volumes/"), true) +
                          "Pellix%20Plugin/.pellixConfiguration\n"));

    // A configuration beside the running bundle: no volume is searched.
    writeText(path("Downloads/.pellixConfiguration"), "DC=us");
    workspace_->volumeQueries = 0;
    EXPECT_THAT(delegate.getPellixVolumePath(),
                ElementsAre(path("Downloads/.pellixConfiguration"),
                            path("Downloads/Kelo Helvo Pellix.app")));
    EXPECT_EQ(workspace_->volumeQueries.load(), 0);
}

TEST_F(BootstrapTest, InstallsTheOfferedBundleWhenTheVersionsDiffer) {
    AppDelegate delegate;
    const std::optional<std::string> none;
    const struct {
        const char* name;
        std::optional<std::optional<std::string>> installedVersion,
            offeredVersion;  // nullopt: absent
        bool replaced;
    } cases[] = {
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
    const std::string offered = path("offered/Kelo Helvo Pellix.app");
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        for (const auto& old : {installed(), path("offered"), path(".local")}) fs::remove_all(old);
        if (test.installedVersion) makeBundle(installed(), *test.installedVersion, "installed");
        if (test.offeredVersion) makeBundle(offered, *test.offeredVersion, "offered");
        writeText(path("offered/.pellixConfiguration"), "DC=eu");

        EXPECT_THAT(printed([&] {
                        delegate.copyPellixConfiguration(path("offered/.pellixConfiguration"),
                                                         offered);
                    }),
                    Not(HasSubstr("Error copying")));
        EXPECT_EQ(markerOf(installed()), test.replaced           ? "offered"
                                         : test.installedVersion ? "installed"
                                                                 : "");
        // Only an install puts the launcher in the desktop's menu.
        EXPECT_EQ(fs::exists(platform::DesktopEntry::entryPath()), test.replaced);
        EXPECT_EQ(infoFile(), (Dictionary{{"DC", "eu"}}));
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
    const auto install = [&] {
        return printed([&] { delegate.copyPellixConfiguration(configuration, offered); });
    };

    // No Applications folder: none is made, the info file is written.
    makeBundle(offered, "2.0", "offered");
    EXPECT_EQ(occurrences(install(), copyError + " Code=2 "), 1);
    EXPECT_FALSE(fs::exists(path("Applications")));
    EXPECT_EQ(infoFile(), (Dictionary{{"DC", "eu"}}));

    // The copy fails half-way: a named pipe cannot be copied.
    makeBundle(installed(), "1.0", "installed");
    ASSERT_EQ(::mkfifo((offered + "/Contents/Resources/zz-pipe").c_str(), 0644), 0);
    EXPECT_EQ(occurrences(install(), copyError), 1);
    EXPECT_EQ(markerOf(installed()), "installed");
    EXPECT_EQ(delegate.getAppVersion(installed()), "1.0");
    EXPECT_THAT(entriesOf(path("Applications")), ElementsAre("Kelo Helvo Pellix.app"));

    fs::remove_all(offered);
    EXPECT_EQ(occurrences(install(), copyError), 1);
    EXPECT_EQ(markerOf(installed()), "installed");
    EXPECT_FALSE(fs::exists(platform::DesktopEntry::entryPath()));
}

// The launch steps up to the window, in a child process: they redirect the standard streams.
// (The first start's end-to-end scenario checks the lines of a volume that holds a configuration.)
TEST_F(BootstrapTest, VolumeWithoutConfigurationIsReportedOnTheInheritedOutput) {
    const std::string volume = makeVolume("Pellix Plugin", "PellixToken=t&DC=eu");
    fs::remove(volume + "/.pellixConfiguration");  // the volume qualifies but holds none
    ASSERT_EQ(ChildProcess::run(
                  [] {
                      platform::UserDefaults::setProcessArguments({"launcher", "-DC", "localkelo"});
                      AppDelegate delegate;
                      delegate.awakeFromNib();
                      delegate.applicationWillFinishLaunching();
                  },
                  path("out.txt"), path("err.txt")),
              0);
    EXPECT_EQ(occurrences(readText(path("out.txt")),
                          "awakeFromNib()Configuration file does not exist at path: " + volume +
                              "/.pellixConfiguration\n"),
              1);
    // The version is the running bundle's, read after its path.
    EXPECT_THAT(readText(logFolder() + "keloPellix.log"),
                AllOf(HasSubstr("Kelo Pellix App path : " + runningBundle_),
                      HasSubstr("local Kelo Helvo Pellix App version : 3.1")));
    EXPECT_FALSE(fs::exists(AppDelegate::infoFilePath()));
}

TEST_F(BootstrapTest, ClosingTheWindowInstallsAWaitingLauncherOnce) {
    AppDelegate delegate;
    fs::create_directories(path("Applications"));
    makeBundle(installed(), "1.0", "installed");
    makeBundle(nativeFolder() + "Kelo Helvo Pellix.app", "2.0", "waiting");
    SessionDetails::getInstance().setKeloPellixNativeFolder(nativeFolder());
    SessionDetails::getInstance().setIsAppReplaceFlag(true);
    int terminations = 0;
    delegate.setTerminateHandler([&] { ++terminations; });
    delegate.addObserver();

    OutputCapture err(STDERR_FILENO, path("stderr.txt"));
    EXPECT_TRUE(delegate.applicationShouldTerminateAfterLastWindowClosed());
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(markerOf(installed()), "waiting");

    // Posted again, the notification finds no observer.
    makeBundle(installed(), "1.0", "reinstalled by hand");
    platform::NotificationCenter::defaultCenter().post(AppDelegate::kTerminateNotification);
    EXPECT_EQ(terminations, 1);
    EXPECT_EQ(markerOf(installed()), "reinstalled by hand");
    EXPECT_EQ(occurrences(err.stop(), "Kelo Pellix App terminated"), 1);
}

}  // namespace
