// The workspace: launching bundles detached, the volume list and the volumes' flags, and the
// programs it hands addresses and settings to.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "LogFile.h"
#include "OutputCapture.h"
#include "Platform/Linux/LinuxWorkspace.h"
#include "Platform/Volumes.h"
#include "TempHome.h"
#include "TestBundle.h"
#include "TestImages.h"

namespace {

namespace fs = std::filesystem;
using platform::LinuxWorkspace;
using ::testing::HasSubstr;

class WorkspaceTest : public TempHomeTest {
  protected:
    // A bundle whose executable is the script given (when any), named in its Info.plist.
    std::string makeBundle(const std::string& name, const std::optional<std::string>& executable,
                           const std::optional<std::string>& script, fs::perms mode) {
        return TestBundle{.executable = executable, .content = script, .mode = mode}.writeTo(
            path(name + ".app"));
    }

    LinuxWorkspace workspace_;
};

TEST_F(WorkspaceTest, LaunchesTheBundleExecutableDetachedWithTheArguments) {
    // A descriptor left open without close-on-exec must not reach the program either.
    const std::string marker = path("inherited-marker");
    const int leaked = ::open(marker.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(leaked, 0);

    const std::string out = path("launched");
    const std::string script =
        "#!/bin/sh\n"
        "streams=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2)\n"
        "{\n"
        "  printf '%s\\n' \"$#\" \"$@\"\n"
        "  cut -d' ' -f6 /proc/$$/stat\n"
        "  echo \"$streams\"\n"
        "  for fd in /proc/$$/fd/*; do readlink \"$fd\"; done | grep -c inherited-marker\n"
        "} > '" +
        out +
        ".tmp'\n"
        "mv '" +
        out + ".tmp' '" + out + "'\n";
    const auto bundle = makeBundle("Kelo", "Kelo", script, fs::perms::owner_all);
    const std::vector<std::string> arguments = {
        "-timestamps", R"({"M3":"Agent downloaded time : 00:00:00 | Server : CDN","M2":"x"})", ""};

    const auto error = workspace_.launchApplication(bundle, arguments);
    ::close(leaked);
    ASSERT_FALSE(error) << error->printedForm();

    // Nothing of it is left for this process to reap: no child, no zombie.
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);

    ASSERT_TRUE(waitForFile(out));
    const auto seen = log_file::splitLines(readText(out));
    ASSERT_EQ(seen.size(), 9u) << readText(out);
    EXPECT_EQ(seen[0], "3");
    EXPECT_EQ(std::vector<std::string>(seen.begin() + 1, seen.begin() + 4), arguments);
    EXPECT_NE(std::stol(seen[4]), static_cast<long>(::getsid(0))) << "same session as the caller";
    EXPECT_EQ(std::vector<std::string>(seen.begin() + 5, seen.begin() + 8),
              std::vector<std::string>(3, "/dev/null"));
    EXPECT_EQ(seen[8], "0") << "a descriptor of the launcher reached the program";
}

TEST_F(WorkspaceTest, BundleThatCannotBeStartedIsAnError) {
    const std::string script = "#!/bin/sh\nexit 0\n";
    struct Case {
        std::string bundle;
        std::optional<int> posixCode;  // nullopt: an error of another domain
    };
    for (const Case& expected : {
             Case{path("Missing.app"), ENOENT},
             Case{makeBundle("Unnamed", std::nullopt, std::nullopt, fs::perms::owner_all),
                  std::nullopt},
             Case{makeBundle("NoFile", "Kelo", std::nullopt, fs::perms::owner_all), ENOENT},
             Case{makeBundle("NotExecutable", "Kelo", script,
                             fs::perms::owner_read | fs::perms::owner_write),
                  EACCES},
         }) {
        SCOPED_TRACE(expected.bundle);
        const auto error = workspace_.launchApplication(expected.bundle, {"-timestamps"});
        ASSERT_TRUE(error);
        EXPECT_FALSE(error->printedForm().empty());
        if (expected.posixCode) {
            EXPECT_EQ(error->domain, "NSPOSIXErrorDomain");
            EXPECT_EQ(error->code, *expected.posixCode);
        } else {
            EXPECT_NE(error->domain, "NSPOSIXErrorDomain");
        }
    }
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST_F(WorkspaceTest, DiskImageVolumesFollowTheSystemMountsAndAreRemovableAndUnmountable) {
    const std::string volumes = platform::Volumes::folder();
    TestImages::volume("Pellix Plugin");
    TestImages::volume("Kelo");
    fs::create_directories(volumes + "/.hdiutil-1-mount-abc/volume");  // the tool's work folder
    writeText(volumes + "/stray file", "not a volume");

    const auto paths = workspace_.mountedVolumePaths();
    ASSERT_GE(paths.size(), 3u);
    EXPECT_EQ(std::count(paths.begin(), paths.end(), "/"), 1);
    EXPECT_EQ(std::vector<std::string>(paths.end() - 2, paths.end()),
              (std::vector<std::string>{volumes + "/Kelo", volumes + "/Pellix Plugin"}));
    for (const auto& listed : paths) {
        EXPECT_EQ(listed.find(".hdiutil-"), std::string::npos);
        EXPECT_EQ(listed.find("stray file"), std::string::npos);
    }

    const auto volume = workspace_.fileSystemInfo(volumes + "/Pellix Plugin/");
    EXPECT_TRUE(volume.result);
    EXPECT_TRUE(volume.isRemovable);
    EXPECT_TRUE(volume.isUnmountable);
    EXPECT_TRUE(volume.isWritable);
    EXPECT_EQ(volume.description, "Disk image volume");
    EXPECT_EQ(volume.type, "hdiutil");

    const auto root = workspace_.fileSystemInfo("/");
    EXPECT_TRUE(root.result);
    EXPECT_FALSE(root.isRemovable);
    EXPECT_FALSE(root.isUnmountable);
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
        fs::create_directories(volumes + "/Kelo/Kelo.app");
        const auto info = workspace_.fileSystemInfo(other);
        EXPECT_FALSE(info.result);
        EXPECT_FALSE(info.isRemovable);
        EXPECT_FALSE(info.isUnmountable);
        EXPECT_FALSE(info.type);
    }
}

TEST_F(WorkspaceTest, VolumesFolderThatIsNotThisUsersAloneHoldsNoVolume) {
    // Without a runtime folder the volumes folder is in /tmp, where anyone can make it first.
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
        const auto paths = workspace_.mountedVolumePaths();
        EXPECT_EQ(std::count(paths.begin(), paths.end(), volume), 0);
        EXPECT_FALSE(workspace_.fileSystemInfo(volume).isRemovable);
        EXPECT_EQ(platform::Volumes::volumeAt(volume), std::nullopt);
        EXPECT_THAT(log.stop(),
                    HasSubstr("Volumes : " + volumes + " is not a private folder of this user"));
    }
}

TEST_F(WorkspaceTest, MountWithBlanksInItsPathIsListedAndReadOnly) {
    const std::string point = path("Kelo Disk\tTwo");
    fs::create_directories(point);
    if (::mount("none", point.c_str(), "tmpfs", MS_RDONLY, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount here: " << std::strerror(errno);
    }
    struct Unmount {
        std::string point;
        ~Unmount() { ::umount2(point.c_str(), MNT_DETACH); }
    } unmount{point};

    const auto paths = workspace_.mountedVolumePaths();
    EXPECT_EQ(std::count(paths.begin(), paths.end(), point), 1);
    const auto info = workspace_.fileSystemInfo(point);
    EXPECT_TRUE(info.result);
    EXPECT_FALSE(info.isWritable);
    EXPECT_TRUE(info.isUnmountable);
    EXPECT_FALSE(info.isRemovable);
    EXPECT_EQ(info.type, "tmpfs");
}

TEST_F(WorkspaceTest, ProxySettingsOpenOnlyWhereTheSettingsProgramExists) {
    const std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    const std::string bin = path("bin");
    fs::create_directories(bin);
    setenv("PATH", bin.c_str(), 1);
    EXPECT_FALSE(workspace_.openProxySettings());

    const std::string out = path("settings-opened");
    writeText(bin + "/gnome-control-center", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + out +
                                                 ".tmp'\n/bin/mv '" + out + ".tmp' '" + out +
                                                 "'\n");
    fs::permissions(bin + "/gnome-control-center", fs::perms::owner_all);
    EXPECT_TRUE(workspace_.openProxySettings());
    setenv("PATH", savedPath.c_str(), 1);
    ASSERT_TRUE(waitForFile(out));
    EXPECT_EQ(readText(out), "network\n");
}

TEST_F(WorkspaceTest, AddressWithoutAHandlerIsNotOpened) {
    EXPECT_FALSE(workspace_.openURL("kelo-no-such-scheme-handler://join/123"));
}

}  // namespace
