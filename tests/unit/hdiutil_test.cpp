// The disk-image tool, run as the launcher runs it: a real executable on real images made by
// tools/make-test-images.sh, in a home (and runtime folder) of each test's own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "TempHome.h"
#include "TestImages.h"

namespace fs = std::filesystem;

namespace {

struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string shellQuoted(const std::string& text) {
    std::string result = "'";
    for (const char c : text) result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return result + "'";
}

// The text after the last tab of the trimmed output: how the launcher reads the mount point.
std::string mountPointIn(std::string output) {
    while (!output.empty() && std::isspace(static_cast<unsigned char>(output.back())))
        output.pop_back();
    return output.substr(output.rfind('\t') + 1);
}

std::set<std::string> entriesOf(const fs::path& folder) {
    std::set<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        names.insert(it->path().filename().string());
    return names;
}

bool isExecutable(const fs::path& file) {
    struct stat info {};
    return stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & S_IXUSR);
}

class HdiutilTest : public TempHomeTest {
  protected:
    static void SetUpTestSuite() {
        std::string pattern = (fs::temp_directory_path() / "kelo-images-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        images_ = pattern;
        ASSERT_TRUE(TestImages::make(images_));
    }
    static void TearDownTestSuite() { fs::remove_all(images_); }

    static fs::path agentImage() { return fs::path(images_) / "KeloMac.dmg"; }
    static fs::path launcherImage() { return fs::path(images_) / "KeloHelvoPellix.dmg"; }

    fs::path volumes() const { return path("run/Volumes"); }

    // Runs the tool with `arguments`; `environment` is put in front ("NAME=value ...").
    ToolRun hdiutil(const std::vector<std::string>& arguments,
                    const std::string& environment = "") {
        std::string command =
            environment + " " + shellQuoted(std::string(KELO_BIN_DIR) + "/hdiutil");
        for (const auto& argument : arguments) command += " " + shellQuoted(argument);
        command += " >" + shellQuoted(path("out.txt")) + " 2>" + shellQuoted(path("err.txt"));
        ToolRun run;
        const int status = std::system(command.c_str());
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.out = readText(path("out.txt"));
        run.err = readText(path("err.txt"));
        return run;
    }

    // A stand-in for 7zz, for what real images here cannot show.
    std::string fakeSevenZip(const std::string& body) {
        const auto file = path("fake7zz");
        writeText(file, "#!/bin/sh\n" + body);
        fs::permissions(file, fs::perms::owner_all);
        return "KELO_PELLIX_7ZZ=" + shellQuoted(file);
    }

    static std::string images_;
};

std::string HdiutilTest::images_;

TEST_F(HdiutilTest, MountsEachImageUnderItsLabelWithModesKept) {
    struct Case {
        fs::path image;
        std::string label;
        std::string executable;  // inside the volume
        std::string plistNeedle;
    };
    const std::vector<Case> cases{
        {agentImage(), "Kelo", "Kelo.app/Contents/MacOS/Kelo", "<string>2.0</string>"},
        {launcherImage(), "Pellix Plugin", "Kelo Helvo Pellix.app/Contents/MacOS/KeloHelvoPellix",
         "<string>com.Kelo.Helvo.KeloHelvoPellix</string>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto run = hdiutil({"mount", c.image.string()});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.err, "");
        const auto mountPoint = volumes() / c.label;
        EXPECT_EQ(mountPointIn(run.out), mountPoint.string());
        EXPECT_TRUE(run.out.starts_with("/dev/disk")) << run.out;
        EXPECT_TRUE(isExecutable(mountPoint / c.executable));
        const auto bundle = fs::path(c.executable).begin()->string();
        EXPECT_NE(readText(mountPoint / bundle / "Contents/Info.plist").find(c.plistNeedle),
                  std::string::npos);
    }
    EXPECT_EQ(entriesOf(volumes()), (std::set<std::string>{"Kelo", "Pellix Plugin"}));
    for (const auto* tool :
         {"KeloCrashDetector", "HelvoUserHandler", "KHPreLogin", "KeloPingAgent"})
        EXPECT_TRUE(isExecutable(volumes() / "Kelo" / tool)) << tool;
}

TEST_F(HdiutilTest, MountingTwiceNumbersTheSecondAndDetachRemovesEachOnce) {
    ASSERT_EQ(hdiutil({"mount", agentImage().string()}).exitCode, 0);
    const auto second = hdiutil({"mount", agentImage().string()});
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(mountPointIn(second.out), (volumes() / "Kelo 1").string());
    EXPECT_TRUE(isExecutable(volumes() / "Kelo 1/Kelo.app/Contents/MacOS/Kelo"));

    const auto detached = hdiutil({"detach", (volumes() / "Kelo 1").string()});
    EXPECT_EQ(detached.exitCode, 0) << detached.err;
    EXPECT_TRUE(detached.out.starts_with("\"disk")) << detached.out;
    EXPECT_TRUE(detached.out.ends_with("\" ejected.\n")) << detached.out;
    EXPECT_EQ(entriesOf(volumes()), std::set<std::string>{"Kelo"});

    const auto again = hdiutil({"detach", (volumes() / "Kelo 1").string()});
    EXPECT_NE(again.exitCode, 0);
    EXPECT_EQ(again.err, "hdiutil: detach failed - No such file or directory\n");

    // A trailing slash names the same volume.
    EXPECT_EQ(hdiutil({"detach", (volumes() / "Kelo").string() + "/"}).exitCode, 0);
    EXPECT_EQ(entriesOf(volumes()), std::set<std::string>{});
}

TEST_F(HdiutilTest, DetachRefusesAnythingButAMountedVolume) {
    ASSERT_EQ(hdiutil({"mount", agentImage().string()}).exitCode, 0);
    const fs::path outside = path("not-a-volume");
    fs::create_directories(outside);
    fs::create_symlink(outside, volumes() / "Linked");
    fs::create_directories(path("Kelo"));  // same name as the volume, in another folder

    for (const auto& target :
         std::vector<fs::path>{outside, volumes() / "Kelo/Kelo.app", volumes(),
                               volumes() / "Linked", volumes() / "Kelo/..", home(), path("Kelo")}) {
        SCOPED_TRACE(target);
        const auto run = hdiutil({"detach", target.string()});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, "hdiutil: detach failed - No such file or directory\n");
    }
    EXPECT_TRUE(fs::is_directory(outside));
    EXPECT_TRUE(isExecutable(volumes() / "Kelo/Kelo.app/Contents/MacOS/Kelo"));
}

TEST_F(HdiutilTest, FailedMountsSayWhyAndLeaveNothingInTheVolumesFolder) {
    writeText(path("notes.dmg"), "this is not a disk image\n");
    writeText(path("empty.dmg"), "");
    fs::create_directories(path("folder.dmg"));
    const auto halfway = fakeSevenZip(
        "case \"$1\" in\n"
        "l) cat <<'EOF'\n--\nPath = x.dmg\nType = Iso\nVolume: Kelo\n\n----------\n"
        "Path = a\nFolder = -\nEOF\n;;\n"
        "x) for a; do case \"$a\" in -o*) echo partial > \"${a#-o}/a\";; esac; done\n"
        "   echo 'ERROR: Data Error : a' >&2; exit 2;;\n"
        "esac\n");

    // A volumes folder that someone else could reach (or a link to one) must not receive what we
    // extract; the launcher holds the folder to the same rule (the workspace test).
    const auto elsewhere = path("elsewhere");
    const auto linked = [&] {
        fs::create_directories(elsewhere);
        fs::remove_all(volumes());
        fs::create_directory_symlink(elsewhere, volumes());
    };
    const auto open = [&] {
        fs::remove(volumes());
        fs::create_directory(volumes());
        fs::permissions(volumes(), fs::perms::others_read | fs::perms::others_exec,
                        fs::perm_options::add);
    };
    struct Case {
        std::string name;
        std::string image;
        std::string environment;
        std::string reason;
        std::function<void()> prepare = [] {};
    };
    const std::vector<Case> cases{
        {"text file", path("notes.dmg"), "", "image not recognized"},
        {"empty file", path("empty.dmg"), "", "image not recognized"},
        {"folder", path("folder.dmg"), "", "image not recognized"},
        {"missing image", path("missing.dmg"), "", "No such file or directory"},
        {"7zz missing", agentImage().string(), "KELO_PELLIX_7ZZ=/nonexistent/7zz", "7zz not found"},
        {"7zz missing on PATH", agentImage().string(), "PATH=/nonexistent", "7zz not found"},
        {"7zz fails halfway", agentImage().string(), halfway, "Data Error"},
        {"volumes folder is a link", agentImage().string(), "", "not a private folder", linked},
        {"volumes folder open to others", agentImage().string(), "", "not a private folder", open},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.prepare();
        const auto run = hdiutil({"mount", c.image}, c.environment);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(run.err.starts_with("hdiutil: mount failed - ")) << run.err;
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
        EXPECT_EQ(entriesOf(volumes()), std::set<std::string>{});
        EXPECT_EQ(entriesOf(elsewhere), std::set<std::string>{});
    }
}

TEST_F(HdiutilTest, ImageNamesAreNeverWildcards) {
    // 7-Zip expands wildcards in archive names itself: "Kelo*.dmg" must not also open "KeloX.dmg".
    const auto folder = path("images");
    fs::create_directories(folder);
    fs::copy_file(agentImage(), folder + "/Kelo*.dmg");
    fs::copy_file(launcherImage(), folder + "/KeloX.dmg");
    fs::copy_file(launcherImage(), folder + "/-v.dmg");

    const auto run = hdiutil({"mount", folder + "/Kelo*.dmg"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(mountPointIn(run.out), (volumes() / "Kelo").string());
    EXPECT_EQ(entriesOf(volumes() / "Kelo"),
              (std::set<std::string>{"Kelo.app", "KeloCrashDetector", "HelvoUserHandler",
                                     "KHPreLogin", "KeloPingAgent"}));

    const auto dashed = hdiutil({"mount", "-v.dmg"}, "cd " + shellQuoted(folder) + " &&");
    ASSERT_EQ(dashed.exitCode, 0) << dashed.err;
    EXPECT_EQ(entriesOf(volumes()), (std::set<std::string>{"Kelo", "Pellix Plugin"}));
}

TEST_F(HdiutilTest, HfsVolumesAreMountedFromTheirRootFolder) {
    // 7-Zip shows an HFS+ volume (inside a UDIF image) as one top-level folder named after the
    // volume; no Debian package writes HFS+, so a stand-in plays 7zz here.
    const auto hfs = fakeSevenZip(
        "case \"$1\" in\n"
        "l) cat <<'EOF'\n--\nPath = x.dmg\nType = Dmg\n\n----\nPath = 2.hfs\nSize = 1\n\n"
        "--\nPath = 2.hfs\nType = HFS\nMethod = HFS+\n\n----------\n"
        "Path = Kelo Tools\nFolder = +\n\nPath = Kelo Tools/App.app\nFolder = +\n\n"
        "Path = Kelo Tools/App.app/run\nFolder = -\nEOF\n;;\n"
        "x) for a; do case \"$a\" in -o*) out=\"${a#-o}\";; esac; done\n"
        "   mkdir -p \"$out/Kelo Tools/App.app\" && printf '#!/bin/sh\\n' > \"$out/Kelo "
        "Tools/App.app/run\" && chmod 755 \"$out/Kelo Tools/App.app/run\";;\n"
        "esac\n");
    const auto run = hdiutil({"mount", agentImage().string()}, hfs);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(mountPointIn(run.out), (volumes() / "Kelo Tools").string());
    EXPECT_TRUE(isExecutable(volumes() / "Kelo Tools/App.app/run"));
    EXPECT_EQ(entriesOf(volumes()), std::set<std::string>{"Kelo Tools"});
}

TEST_F(HdiutilTest, AnythingElseIsAUsageError) {
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {}, {"mount"}, {"attach-all", "x"}, {"mount", agentImage().string(), "-nobrowse"}}) {
        const auto run = hdiutil(arguments);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(run.err.find("Usage: hdiutil mount IMAGE"), std::string::npos) << run.err;
    }
    EXPECT_EQ(entriesOf(volumes()), std::set<std::string>{});
}

}  // namespace
