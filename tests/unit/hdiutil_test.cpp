// The disk-image tool, run as the launcher runs it: a real executable on real images made by
// tools/make-test-images.sh, in a home (and runtime folder) of each test's own.
#include "KeloTest.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>

#include "ShellQuote.h"
#include "TestImages.h"

namespace {

struct ToolRun {
    int exitCode = -1;
    std::string out, err;
};

// The text after the last tab of the trimmed output: how the launcher reads the mount point.
std::string mountPointIn(std::string output) {
    while (!output.empty() && std::isspace(static_cast<unsigned char>(output.back())))
        output.pop_back();
    return output.substr(output.rfind('\t') + 1);
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

    static std::string agentImage() { return images_ + "/KeloMac.dmg"; }
    static std::string launcherImage() { return images_ + "/KeloHelvoPellix.dmg"; }
    std::string volumes() const { return path(".cache/KeloHelvoPellix/Volumes"); }

    // Runs the tool with `arguments`; `environment` is put in front ("NAME=value ...").
    ToolRun hdiutil(const std::vector<std::string>& arguments,
                    const std::string& environment = "") {
        std::string command =
            environment + " " + shellQuoted(std::string(KELO_BIN_DIR) + "/hdiutil");
        for (const auto& argument : arguments) command += " " + shellQuoted(argument);
        command += " >" + shellQuoted(path("out.txt")) + " 2>" + shellQuoted(path("err.txt"));
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readText(path("out.txt")),
                readText(path("err.txt"))};
    }
    std::string mounted(const std::string& image, const std::string& environment = "") {
        const auto run = hdiutil({"mount", image}, environment);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.err, "");
        return mountPointIn(run.out);
    }

    // A stand-in for 7zz, for what real images here cannot show.
    std::string fakeSevenZip(const std::string& name, const std::string& body) {
        writeText(path(name), "#!/bin/sh\n" + body);
        fs::permissions(path(name), fs::perms::owner_all);
        return "KELO_PELLIX_7ZZ=" + shellQuoted(path(name));
    }

    static std::string images_;
};

std::string HdiutilTest::images_;

TEST_F(HdiutilTest, MountsEachImageUnderItsLabelWithModesKeptAndDetachesEachOnce) {
    // The web view makes the program's cache folder open to others; the tool closes it.
    fs::create_directories(path(".cache/KeloHelvoPellix"));
    fs::permissions(path(".cache/KeloHelvoPellix"), fs::perms::others_read, fs::perm_options::add);
    const auto run = hdiutil({"mount", agentImage()});
    EXPECT_EQ(run.err, "");
    EXPECT_THAT(run.out, StartsWith("/dev/disk"));
    EXPECT_EQ(mountPointIn(run.out), volumes() + "/Kelo");
    EXPECT_EQ(mounted(launcherImage()), volumes() + "/Pellix Plugin");
    EXPECT_TRUE(isExecutable(volumes() + "/Kelo/Kelo.app/Contents/MacOS/Kelo"));
    for (const auto* tool :
         {"KeloCrashDetector", "HelvoUserHandler", "KHPreLogin", "KeloPingAgent"})
        EXPECT_TRUE(isExecutable(volumes() + "/Kelo/" + tool)) << tool;
    EXPECT_TRUE(isExecutable(
        volumes() + "/Pellix Plugin/Kelo Helvo Pellix.app/Contents/MacOS/KeloHelvoPellix"));
    EXPECT_THAT(readText(volumes() + "/Kelo/Kelo.app/Contents/Info.plist"),
                HasSubstr("<string>2.0</string>"));
    EXPECT_THAT(readText(volumes() + "/Pellix Plugin/Kelo Helvo Pellix.app/Contents/Info.plist"),
                HasSubstr("<string>com.Kelo.Helvo.KeloHelvoPellix</string>"));

    // A second mount of the same image is numbered.
    EXPECT_EQ(mounted(agentImage()), volumes() + "/Kelo 1");
    EXPECT_TRUE(isExecutable(volumes() + "/Kelo 1/Kelo.app/Contents/MacOS/Kelo"));

    const auto detached = hdiutil({"detach", volumes() + "/Kelo 1"});
    EXPECT_EQ(detached.exitCode, 0) << detached.err;
    EXPECT_THAT(detached.out, AllOf(StartsWith("\"disk"), ::testing::EndsWith("\" ejected.\n")));
    EXPECT_THAT(entriesOf(volumes()), ElementsAre("Kelo", "Pellix Plugin"));
    // A trailing slash names the same volume.
    EXPECT_EQ(hdiutil({"detach", volumes() + "/Pellix Plugin/"}).exitCode, 0);
    EXPECT_THAT(entriesOf(volumes()), ElementsAre("Kelo"));

    // Anything but a mounted volume is refused, the one just detached too.
    const std::string outside = path("not-a-volume");
    fs::create_directories(outside);
    fs::create_symlink(outside, volumes() + "/Linked");
    fs::create_directories(path("Kelo"));  // same name as the volume, in another folder
    for (const auto& target :
         {volumes() + "/Kelo 1", outside, volumes() + "/Kelo/Kelo.app", volumes(),
          volumes() + "/Linked", volumes() + "/Kelo/..", home(), path("Kelo")}) {
        SCOPED_TRACE(target);
        const auto refused = hdiutil({"detach", target});
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_EQ(refused.err, "hdiutil: detach failed - No such file or directory\n");
    }
    EXPECT_TRUE(fs::is_directory(outside));
    EXPECT_TRUE(isExecutable(volumes() + "/Kelo/Kelo.app/Contents/MacOS/Kelo"));
    EXPECT_EQ(fs::status(path(".cache/KeloHelvoPellix")).permissions(), fs::perms::owner_all);
    // Volumes are extracted to disk, never into the runtime folder (memory).
    EXPECT_THAT(entriesOf(path("run")), IsEmpty());
}

TEST_F(HdiutilTest, VolumesLieInTheCacheFolderAndSevenZipIsTakenUnderEitherName) {
    // An absolute XDG_CACHE_HOME is the cache folder; a relative one is ignored.
    EXPECT_EQ(mounted(agentImage(), "XDG_CACHE_HOME=" + shellQuoted(path("cache"))),
              path("cache/KeloHelvoPellix/Volumes/Kelo"));
    EXPECT_EQ(mounted(agentImage(), "XDG_CACHE_HOME=cache"), volumes() + "/Kelo");
    // Where 7-Zip is installed as 7z (p7zip-full) and not as 7zz.
    const std::string older = "/usr/bin/7z";
    ASSERT_TRUE(isExecutable(older)) << older << " is missing (package p7zip-full)";
    fs::create_directories(path("bin"));
    fs::create_symlink(older, path("bin/7z"));
    EXPECT_EQ(mounted(launcherImage(), "PATH=" + shellQuoted(path("bin"))),
              volumes() + "/Pellix Plugin");
    EXPECT_TRUE(isExecutable(
        volumes() + "/Pellix Plugin/Kelo Helvo Pellix.app/Contents/MacOS/KeloHelvoPellix"));
}

TEST_F(HdiutilTest, FailedMountsSayWhyAndLeaveNothingInTheVolumesFolder) {
    writeText(path("notes.dmg"), "this is not a disk image\n");
    writeText(path("empty.dmg"), "");
    fs::create_directories(path("folder.dmg"));
    // 7-Zip's reason is its first ERROR line, else its first line that is not blank.
    const auto refused =
        fakeSevenZip("refusing7zz", "printf '  \\nUnsupported method\\n' >&2; exit 2\n");
    const auto halfway =
        fakeSevenZip("halfway7zz",
                     "case \"$1\" in\n"
                     "l) cat <<'EOF'\n--\nPath = x.dmg\nType = Iso\nVolume: Kelo\n\n----------\n"
                     "Path = a\nFolder = -\nEOF\n;;\n"
                     "x) for a; do case \"$a\" in -o*) echo partial > \"${a#-o}/a\";; esac; done\n"
                     "   printf '\\nWarning: slow\\nERROR: Data Error : a\\n' >&2; exit 2;;\n"
                     "esac\n");

    // A volumes folder that someone else could reach (or a link to one) must not receive what we
    // extract; the launcher holds the folder to the same rule (the workspace test).
    const auto elsewhere = path("elsewhere");
    const auto linked = [&] {
        fs::create_directories(elsewhere);
        fs::remove_all(volumes());
        fs::create_directory_symlink(elsewhere, volumes());
    };
    const auto linkedAbove = [&] {
        fs::remove(volumes());
        fs::remove_all(path(".cache/KeloHelvoPellix"));
        fs::create_directory_symlink(elsewhere, path(".cache/KeloHelvoPellix"));
    };
    const auto open = [&] {
        fs::remove(path(".cache/KeloHelvoPellix"));
        fs::create_directories(volumes());
        fs::permissions(volumes(), fs::perms::others_read | fs::perms::others_exec,
                        fs::perm_options::add);
    };
    const std::string usage = "Usage: hdiutil mount IMAGE";
    const struct {
        std::string name;
        std::vector<std::string> arguments;
        std::string environment, reason;
        std::function<void()> prepare = [] {};
    } cases[] = {
        {"text file", {"mount", path("notes.dmg")}, "", "image not recognized"},
        {"empty file", {"mount", path("empty.dmg")}, "", "image not recognized"},
        {"folder", {"mount", path("folder.dmg")}, "", "image not recognized"},
        {"missing image", {"mount", path("missing.dmg")}, "", "No such file or directory"},
        {"7zz missing",
         {"mount", agentImage()},
         "KELO_PELLIX_7ZZ=/nonexistent/7zz",
         "7-Zip not found at /nonexistent/7zz"},
        {"no 7-Zip on PATH",
         {"mount", agentImage()},
         "PATH=/nonexistent",
         "7-Zip is not installed: install the package 7zip (or p7zip-full)\n"},
        {"7zz fails halfway",
         {"mount", agentImage()},
         halfway,
         "(7-Zip exited with status 2: ERROR: Data Error : a)\n"},
        {"7zz refuses the image",
         {"mount", agentImage()},
         refused,
         "image not recognized (7-Zip exited with status 2: Unsupported method)\n"},
        {"volumes folder is a link", {"mount", agentImage()}, "", "not a private folder", linked},
        {"the folder above is a link",
         {"mount", agentImage()},
         "",
         "not a private folder",
         linkedAbove},
        {"volumes folder open to others",
         {"mount", agentImage()},
         "",
         "not a private folder",
         open},
        {"no command", {}, "", usage},
        {"no image", {"mount"}, "", usage},
        {"another command", {"attach-all", "x"}, "", usage},
        {"more arguments", {"mount", agentImage(), "-nobrowse"}, "", usage},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.prepare();
        const auto run = hdiutil(c.arguments, c.environment);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_THAT(run.err,
                    AllOf(StartsWith(c.reason == usage ? usage : "hdiutil: mount failed - "),
                          HasSubstr(c.reason)));
        EXPECT_THAT(entriesOf(volumes()), IsEmpty());
        EXPECT_THAT(entriesOf(elsewhere), IsEmpty());
    }
}

// A run that was killed leaves its work folder behind; the next run removes it, and only folders
// of runs that have ended.
TEST_F(HdiutilTest, TheWorkFoldersOfARunThatWasKilledGoWithTheNextRun) {
    const pid_t ended = ::fork();
    if (ended == 0) ::_exit(0);
    ASSERT_EQ(::waitpid(ended, nullptr, 0), ended);
    ASSERT_EQ(hdiutil({"detach", mounted(agentImage())}).exitCode, 0);
    const std::string left = volumes() + "/.hdiutil-" + std::to_string(ended) + "-mount-a1b2c3";
    const std::string running =
        volumes() + "/.hdiutil-" + std::to_string(::getpid()) + "-mount-d4e5f6";
    for (const auto& folder : {left, running}) fs::create_directories(folder + "/Kelo.app");

    mounted(launcherImage());
    EXPECT_FALSE(fs::exists(left));
    EXPECT_TRUE(fs::exists(running + "/Kelo.app"));
}

TEST_F(HdiutilTest, ImageNamesAreNeverWildcards) {
    // 7-Zip expands wildcards in archive names itself: "Kelo*.dmg" must not also open "KeloX.dmg".
    const auto folder = path("images");
    fs::create_directories(folder);
    fs::copy_file(agentImage(), folder + "/Kelo*.dmg");
    fs::copy_file(launcherImage(), folder + "/KeloX.dmg");
    fs::copy_file(launcherImage(), folder + "/-v.dmg");

    EXPECT_EQ(mounted(folder + "/Kelo*.dmg"), volumes() + "/Kelo");
    EXPECT_THAT(entriesOf(volumes() + "/Kelo"),
                ElementsAre("HelvoUserHandler", "KHPreLogin", "Kelo.app", "KeloCrashDetector",
                            "KeloPingAgent"));
    EXPECT_EQ(mounted("-v.dmg", "cd " + shellQuoted(folder) + " &&"), volumes() + "/Pellix Plugin");
    EXPECT_THAT(entriesOf(volumes()), ElementsAre("Kelo", "Pellix Plugin"));
}

// The volume's name becomes a folder name: never a path, never hidden among the tool's work
// folders, never longer than a name may be, and without control characters.
TEST_F(HdiutilTest, VolumeNamesBecomeSafeFolderNames) {
    const std::string accented = "\xc3\xa9";  // é, two bytes
    const struct {
        const char* name;
        std::string label, folder;
    } rows[] = {
        {"blanks around", "  Kelo Tools \t", "Kelo Tools"},
        {"a slash", "Kelo/Tools", "Kelo:Tools"},
        {"control characters", "Kelo\tTools\x01\x7f", "Kelo_Tools__"},
        {"nothing", "   ", "Untitled"},
        {"the parent folder", "..", "Untitled"},
        {"a work folder's name", ".hdiutil-mount-1", "_.hdiutil-mount-1"},
        {"too long, cut between characters", std::string(199, 'k') + accented + "tail",
         std::string(199, 'k')},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto labelled =
            fakeSevenZip("labelled7zz",
                         "case \"$1\" in\n"
                         "l) cat <<'EOF'\n--\nPath = x.dmg\nType = Iso\nVolume: " +
                             row.label +
                             "\n\n----------\nPath = a\nFolder = -\nEOF\n;;\n"
                             "x) for a; do case \"$a\" in -o*) echo a > \"${a#-o}/a\";; "
                             "esac; done;;\n"
                             "esac\n");
        EXPECT_EQ(mounted(agentImage(), labelled), volumes() + "/" + row.folder);
        EXPECT_THAT(entriesOf(volumes()), ElementsAre(row.folder));
        fs::remove_all(volumes());
    }
}

TEST_F(HdiutilTest, HfsVolumesAreMountedFromTheirRootFolder) {
    // 7-Zip shows an HFS+ volume (inside a UDIF image) as one top-level folder named after the
    // volume; no Debian package writes HFS+, so a stand-in plays 7zz here.
    const auto hfs = fakeSevenZip(
        "hfs7zz",
        "case \"$1\" in\n"
        "l) cat <<'EOF'\n--\nPath = x.dmg\nType = Dmg\n\n----\nPath = 2.hfs\nSize = 1\n\n"
        "--\nPath = 2.hfs\nType = HFS\nMethod = HFS+\n\n----------\n"
        "Path = Kelo Tools\nFolder = +\n\nPath = Kelo Tools/App.app\nFolder = +\n\n"
        "Path = Kelo Tools/App.app/run\nFolder = -\nEOF\n;;\n"
        "x) for a; do case \"$a\" in -o*) out=\"${a#-o}\";; esac; done\n"
        "   mkdir -p \"$out/Kelo Tools/App.app\" && printf '#!/bin/sh\\n' > \"$out/Kelo "
        "Tools/App.app/run\" && chmod 755 \"$out/Kelo Tools/App.app/run\";;\n"
        "esac\n");
    EXPECT_EQ(mounted(agentImage(), hfs), volumes() + "/Kelo Tools");
    EXPECT_TRUE(isExecutable(volumes() + "/Kelo Tools/App.app/run"));
    EXPECT_THAT(entriesOf(volumes()), ElementsAre("Kelo Tools"));
}

}  // namespace
