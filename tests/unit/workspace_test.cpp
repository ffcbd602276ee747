// The workspace: launching bundles detached, the volume list and the volumes' flags, and the
// programs it hands addresses and settings to.
#include "KeloTest.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "LogFile.h"
#include "Platform/Linux/LinuxWorkspace.h"
#include "Platform/ScopeExit.h"
#include "Platform/Volumes.h"
#include "TestBundle.h"
#include "TestImages.h"

namespace {

using ::testing::Contains, ::testing::Not;

class WorkspaceTest : public TempHomeTest {
  protected:
    // A bundle whose executable is the script given (when any), named in its Info.plist.
    std::string makeBundle(const std::string& name, const std::optional<std::string>& executable,
                           const std::optional<std::string>& script,
                           fs::perms mode = fs::perms::owner_all) {
        return TestBundle{.executable = executable, .content = script, .mode = mode}.writeTo(
            path(name + ".app"));
    }
    // Nothing the workspace started is left for this process to reap: no child, no zombie.
    static void expectNoChild() {
        errno = 0;
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
    }

    platform::LinuxWorkspace workspace_;
};

TEST_F(WorkspaceTest, LaunchesTheBundleExecutableDetachedWithTheArguments) {
    // A descriptor left open without close-on-exec must not reach the program either.
    const int leaked = ::open(path("inherited-marker").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(leaked, 0);
    const std::string out = path("launched");
    const auto bundle = makeBundle("Kelo", "Kelo",
                                   "#!/bin/sh\n"
                                   "streams=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2)\n"
                                   "{\n"
                                   "  printf '%s\\n' \"$#\" \"$@\"\n"
                                   "  cut -d' ' -f6 /proc/$$/stat\n"
                                   "  echo \"$streams\"\n"
                                   "  for fd in /proc/$$/fd/*; do readlink \"$fd\"; done | grep -c "
                                   "inherited-marker\n"
                                   "} > '" +
                                       out +
                                       ".tmp'\n"
                                       "mv '" +
                                       out + ".tmp' '" + out + "'\n");
    const std::vector<std::string> arguments = {
        "-timestamps", R"({"M3":"Agent downloaded time : 00:00:00 | Server : CDN","M2":"x"})", ""};

    const auto error = workspace_.launchApplication(bundle, arguments);
    ::close(leaked);
    ASSERT_FALSE(error) << error->printedForm();
    expectNoChild();

    ASSERT_TRUE(waitForFile(out));
    const auto seen = log_file::splitLines(readText(out));
    ASSERT_EQ(seen.size(), 9u) << readText(out);
    EXPECT_EQ(std::vector(seen.begin(), seen.begin() + 4),
              (std::vector<std::string>{"3", arguments[0], arguments[1], arguments[2]}));
    EXPECT_NE(std::stol(seen[4]), long(::getsid(0))) << "same session as the caller";
    EXPECT_THAT(std::vector(seen.begin() + 5, seen.end()),
                ElementsAre("/dev/null", "/dev/null", "/dev/null", "0"))
        << "the standard streams, then the launcher's descriptors the program holds";
}

TEST_F(WorkspaceTest, BundleThatCannotBeStartedIsAnError) {
    const struct {
        std::string bundle;
        std::optional<int> posixCode;  // nullopt: an error of another domain
    } cases[] = {
        {path("Missing.app"), ENOENT},
        {makeBundle("Unnamed", std::nullopt, std::nullopt), std::nullopt},
        {makeBundle("NoFile", "Kelo", std::nullopt), ENOENT},
        {makeBundle("NotExecutable", "Kelo", "#!/bin/sh\nexit 0\n",
                    fs::perms::owner_read | fs::perms::owner_write),
         EACCES},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.bundle);
        const auto error = workspace_.launchApplication(expected.bundle, {"-timestamps"});
        ASSERT_TRUE(error);
        EXPECT_FALSE(error->printedForm().empty());
        EXPECT_EQ(error->domain == "NSPOSIXErrorDomain", expected.posixCode.has_value());
        EXPECT_EQ(error->code, expected.posixCode.value_or(error->code));
    }
    expectNoChild();
}

TEST_F(WorkspaceTest, RunningProcessIsTheBundlesProgramAsInstalledNow) {
    const std::string started = path("started");
    const std::string script = "#!/bin/sh\necho $$ > '" + started + ".tmp'\nmv '" + started +
                               ".tmp' '" + started + "'\n/bin/sleep 1000 & wait\n";
    const auto bundle = makeBundle("Agent", "Agent", script);
    EXPECT_EQ(workspace_.runningProcess(bundle), std::nullopt);
    ASSERT_EQ(workspace_.launchApplication(bundle, {"-timestamps"}), std::nullopt);
    ASSERT_TRUE(waitForFile(started));
    const pid_t agent = std::stoi(readText(started));
    const platform::ScopeExit stop([group = ::getpgid(agent)] { ::kill(-group, SIGKILL); });

    EXPECT_EQ(workspace_.runningProcess(bundle), agent);
    EXPECT_EQ(workspace_.runningProcess(makeBundle("Other", "Other", script)), std::nullopt);
    // Installed again since it started: the process runs an older program.
    EXPECT_TRUE(eventually([&] {
        makeBundle("Agent", "Agent", script);
        return !workspace_.runningProcess(bundle);
    }));
}

TEST_F(WorkspaceTest, DiskImageVolumesFollowTheSystemMountsInTheOrderOfMounting) {
    const std::string volumes = platform::Volumes::folder();
    // Each volume is placed once the file clock has moved past the one before it.
    const auto placedAfter = [](const std::string& earlier, const std::function<void()>& place) {
        const auto changed = [](const std::string& path) {
            struct stat info {};
            ::lstat(path.c_str(), &info);
            return std::pair(info.st_ctim.tv_sec, info.st_ctim.tv_nsec);
        };
        ASSERT_TRUE(eventually([&] {
            writeText(earlier + ".clock", "");
            return changed(earlier + ".clock") > changed(earlier);
        }));
        fs::remove(earlier + ".clock");
        place();
    };
    TestImages::volume("Pellix Plugin 2");
    placedAfter(volumes + "/Pellix Plugin 2", [&] {
        TestImages::volume("Kelo");
        fs::create_directories(volumes + "/Kelo/Kelo.app");
    });
    placedAfter(volumes + "/Kelo", [&] { TestImages::volume("Pellix Plugin 10"); });
    fs::create_directories(volumes + "/.hdiutil-1-mount-abc/volume");  // the tool's work folder
    writeText(volumes + "/stray file", "not a volume");

    const auto paths = workspace_.mountedVolumePaths();
    ASSERT_GE(paths.size(), 4u);
    EXPECT_EQ(std::count(paths.begin(), paths.end(), "/"), 1);
    // The volume mounted last comes last, whatever its name.
    EXPECT_THAT(std::vector(paths.end() - 3, paths.end()),
                ElementsAre(volumes + "/Pellix Plugin 2", volumes + "/Kelo",
                            volumes + "/Pellix Plugin 10"));
    EXPECT_THAT(paths, AllOf(Not(Contains(HasSubstr(".hdiutil-"))),
                             Not(Contains(HasSubstr("stray file")))));

    const auto volume = workspace_.fileSystemInfo(volumes + "/Pellix Plugin 10/");
    EXPECT_TRUE(volume.result && volume.isRemovable && volume.isUnmountable && volume.isWritable);
    EXPECT_EQ(volume.description, "Disk image volume");
    EXPECT_EQ(volume.type, "hdiutil");

    const auto root = workspace_.fileSystemInfo("/");
    EXPECT_TRUE(root.result);
    EXPECT_FALSE(root.isRemovable || root.isUnmountable);
    ASSERT_TRUE(root.type);
    EXPECT_FALSE(root.type->empty());
    EXPECT_EQ(root.description, root.type);

    const auto proc = workspace_.fileSystemInfo("/proc");
    EXPECT_TRUE(proc.result);
    EXPECT_FALSE(proc.isUnmountable);
    EXPECT_EQ(proc.type, "proc");

    // Folders that are not volumes: inside a volume, the tool's work folder, any other folder.
    for (const auto& other : {volumes + "/Kelo/Kelo.app", volumes + "/.hdiutil-1-mount-abc",
                              volumes + "/stray file", home()}) {
        SCOPED_TRACE(other);
        const auto info = workspace_.fileSystemInfo(other);
        EXPECT_FALSE(info.result || info.isRemovable || info.isUnmountable);
        EXPECT_FALSE(info.type);
    }
}

TEST_F(WorkspaceTest, VolumesFolderThatIsNotThisUsersAloneHoldsNoVolume) {
    // Whoever could write in the volumes folder, or in the folder above it, could replace what
    // the launcher installs from a volume.
    const std::string volumes = platform::Volumes::folder();
    const struct {
        const char* name;
        std::function<bool()> spoil;  // false: the row cannot be played here
    } rows[] = {
        {"open to others",
         [&] {
             fs::permissions(volumes, fs::perms::others_read | fs::perms::others_exec,
                             fs::perm_options::add);
             return true;
         }},
        {"the folder above open to others",
         [&] {
             fs::permissions(fs::path(volumes).parent_path(),
                             fs::perms::group_write | fs::perms::group_exec, fs::perm_options::add);
             return true;
         }},
        {"someone else's",
         [&] { return ::geteuid() == 0 && ::chown(volumes.c_str(), 65534, 0) == 0; }},
        {"a link",
         [&] {
             fs::rename(volumes, path("real-volumes"));
             fs::create_directory_symlink(path("real-volumes"), volumes);
             return true;
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(volumes);
        fs::remove_all(path("real-volumes"));
        const std::string volume = TestImages::volume("Pellix Plugin");
        ASSERT_EQ(platform::Volumes::volumeAt(volume), volume);
        if (!row.spoil()) {
            std::printf("skipped \"%s\": only root can give the folder away\n", row.name);
            continue;
        }
        OutputCapture log(STDERR_FILENO, path("log.txt"));
        EXPECT_THAT(workspace_.mountedVolumePaths(), Not(Contains(volume)));
        EXPECT_FALSE(workspace_.fileSystemInfo(volume).isRemovable);
        EXPECT_EQ(platform::Volumes::volumeAt(volume), std::nullopt);
        EXPECT_THAT(log.stop(),
                    HasSubstr("Volumes : " + volumes + " is not a private folder of this user"));
    }
}

// A small file system mounted at `point` (made first), or the reason it could not be.
std::optional<std::string> mountTmpfs(const std::string& point, unsigned long flags = 0) {
    std::error_code made;
    fs::create_directories(point, made);
    if (made) return "a folder at " + point + " (" + made.message() + ")";
    if (::mount("none", point.c_str(), "tmpfs", flags, "size=64k") == 0) return std::nullopt;
    return "a tmpfs at " + point + " (mount: " + std::strerror(errno) + ")";
}

TEST_F(WorkspaceTest, MountWithBlanksInItsPathIsListedAndReadOnly) {
    const std::string point = path("Kelo Disk\tTwo");
    const auto failed = mountTmpfs(point, MS_RDONLY);
    REQUIRE_OR_SKIP(!failed, *failed);
    const platform::ScopeExit unmount([&] { ::umount2(point.c_str(), MNT_DETACH); });

    const auto paths = workspace_.mountedVolumePaths();
    EXPECT_EQ(std::count(paths.begin(), paths.end(), point), 1);
    const auto info = workspace_.fileSystemInfo(point);
    EXPECT_TRUE(info.result && info.isUnmountable);
    EXPECT_FALSE(info.isWritable || info.isRemovable);
    EXPECT_EQ(info.type, "tmpfs");
}

// A mount in a folder the system lives in is the system's; the same under the media folder is a
// volume the user may unmount.
TEST_F(WorkspaceTest, MountsInTheSystemsFoldersCannotBeUnmounted) {
    for (const auto& [folder, unmountable] : {std::pair{"/run", false}, {"/media", true}}) {
        const std::string point = std::string(folder) + "/kelo-test-" + std::to_string(::getpid());
        // Also when the mount fails: the folder made for it goes.
        const platform::ScopeExit unmount([&] {
            ::umount2(point.c_str(), MNT_DETACH);
            std::error_code ignored;
            fs::remove(point, ignored);
        });
        const auto failed = mountTmpfs(point);
        REQUIRE_OR_SKIP(!failed, *failed);
        EXPECT_EQ(workspace_.fileSystemInfo(point).isUnmountable, unmountable) << point;
    }
}

TEST_F(WorkspaceTest, SettingsAndAddressesOpenOnlyWhereAProgramTakesThem) {
    EXPECT_FALSE(workspace_.openURL("kelo-no-such-scheme-handler://join/123"));

    const std::string bin = path("bin");
    setVariable("PATH", bin.c_str());
    setVariable("XDG_CURRENT_DESKTOP", nullptr);
    EXPECT_FALSE(workspace_.openProxySettings());
    // Each settings program writes its name and arguments where the test waits for them.
    for (const char* program : {"gnome-control-center", "systemsettings", "kcmshell5"}) {
        writeText(bin + "/" + program,
                  "#!/bin/sh\nprintf '%s %s\\n' \"${0##*/}\" \"$*\" > \"$OUT.tmp\"\n"
                  "/bin/mv \"$OUT.tmp\" \"$OUT\"\n");
        fs::permissions(bin + "/" + program, fs::perms::owner_all);
    }
    const struct {
        const char* desktop;
        const char* opened;
    } rows[] = {{"GNOME", "gnome-control-center network"},
                {"KDE", "systemsettings kcm_proxy"},
                {"ubuntu:GNOME", "gnome-control-center network"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.desktop);
        const std::string out = path(std::string("opened-") + row.desktop);
        setVariable("OUT", out.c_str());
        setVariable("XDG_CURRENT_DESKTOP", row.desktop);
        EXPECT_TRUE(workspace_.openProxySettings());
        ASSERT_TRUE(waitForFile(out));
        EXPECT_EQ(readText(out), std::string(row.opened) + "\n");
    }
    // Plasma 5 without its settings program: its proxy module alone.
    fs::remove(bin + "/systemsettings");
    setVariable("XDG_CURRENT_DESKTOP", "KDE");
    setVariable("OUT", path("opened-plasma5").c_str());
    EXPECT_TRUE(workspace_.openProxySettings());
    ASSERT_TRUE(waitForFile(path("opened-plasma5")));
    EXPECT_EQ(readText(path("opened-plasma5")), "kcmshell5 proxy\n");
}

}  // namespace
