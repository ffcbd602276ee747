// The working folders, the start-up step that starts logging, and the launcher's own path and
// version.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Handlers/LogHandler.h"
#include "Handlers/Utils.h"
#include "Objects/SessionDetails.h"
#include "OutputCapture.h"
#include "Platform/Bundle.h"
#include "Platform/PlistValue.h"
#include "TempHome.h"
#include "TestBundle.h"

namespace {

namespace fs = std::filesystem;
using platform::PlistValue;
using Text = std::optional<std::string>;

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

class FoldersAndVersionTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        auto& session = SessionDetails::getInstance();
        session.setPellixAppPath(std::nullopt);
        session.setLocalKeloPellixAppVersion(std::nullopt);
        platform::Bundle::overrideMainBundlePath(std::nullopt);
    }

    std::string agentFolder() const { return path("Library/Application Support/KeloParloNative"); }
    std::string nativeFolder() const {
        return path("Library/Application Support/KeloPellixNativeFolder");
    }

    std::string createFolders() {
        OutputCapture capture(STDERR_FILENO, path("stderr.txt"));
        Utils::createKeloParloNativeFolder();
        Utils::createKeloPellixNativeFolder();
        return capture.text();
    }

    std::string makeBundle(const std::string& name, const std::optional<PlistValue>& version,
                           bool withInfo = true) {
        return TestBundle{.version = version, .withInfo = withInfo, .content = std::nullopt}
            .writeTo(path(name));
    }
};

TEST_F(FoldersAndVersionTest, WhatIsAlreadyThereIsLeftAlone) {
    // The agent's folder is a plain file, the launcher's a folder with something in it.
    writeText(agentFolder(), "not a folder");
    writeText(nativeFolder() + "/info.plist", "info");
    const auto log = createFolders();
    EXPECT_NE(log.find("+[Utils createKeloParloNativeFolder] Kelo Parlo Native folder Already "
                       "Present\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("+[Utils createKeloPellixNativeFolder] Kelo Pellix Native folder Already "
                       "Present\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("Created"), std::string::npos) << log;
    EXPECT_EQ(readText(agentFolder()), "not a folder");
    EXPECT_EQ(readText(nativeFolder() + "/info.plist"), "info");
}

TEST_F(FoldersAndVersionTest, FolderThatCannotBeMadeIsReported) {
    // A file lies where both folders' parent should be.
    writeText(path("Library/Application Support"), "in the way");
    const auto log = createFolders();
    EXPECT_NE(log.find("+[Utils createKeloParloNativeFolder] Failed to Create Kelo Parlo Native "
                       "Folder...\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("+[Utils createKeloPellixNativeFolder] Failed to Create Kelo Pellix "
                       "Native Folder...\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(readText(path("Library/Application Support")), "in the way");
}

TEST_F(FoldersAndVersionTest, StartUpStepStartsLoggingThenWritesTheBannerAndFolders) {
    const auto early = path("early.txt");
    const auto status = ChildProcess::run(
        [&] {
            LogHandler unused;
            Utils::createPellixDirectoriesWithLogHandler(unused);
            // The logger passed in is not the one that runs.
            if (unused.keloPellixLogFolder()) std::_Exit(3);
        },
        early, early);
    ASSERT_EQ(status, 0);

    // Before the streams are redirected, only the log folder's line is written.
    const auto before = readText(early);
    EXPECT_NE(before.find("-[LogHandler createKeloPellixLogFolder] Kelo Pellix Log Folder "
                          "Created..."),
              std::string::npos)
        << before;
    EXPECT_EQ(before.find("Kelo Pellix App Started"), std::string::npos) << before;

    const auto log = readText(path("Library/Logs/KeloHelvo/KeloPellix/keloPellix.log"));
    const std::string operation = "+[Utils createPellixDirectoriesWithLogHandler:]";
    EXPECT_EQ(occurrences(log, operation + " : " + std::string(57, '*') + " \n\n"), 2u) << log;
    EXPECT_EQ(occurrences(log, operation + " : ************* Kelo Pellix App Started ************ "
                                           "\n\n"),
              1u)
        << log;
    const auto started = log.find("Kelo Pellix App Started");
    const auto agent =
        log.find("+[Utils createKeloParloNativeFolder] Kelo Parlo Native Folder Created...");
    const auto native =
        log.find("+[Utils createKeloPellixNativeFolder] Kelo Pellix Native Folder Created...");
    ASSERT_NE(agent, std::string::npos) << log;
    ASSERT_NE(native, std::string::npos) << log;
    EXPECT_LT(started, agent);
    EXPECT_LT(agent, native);
    EXPECT_TRUE(fs::is_directory(agentFolder()));
    EXPECT_TRUE(fs::is_directory(nativeFolder()));
}

TEST_F(FoldersAndVersionTest, VersionComesFromTheBundleAtTheRecordedPath) {
    struct Case {
        const char* name;
        std::function<Text()> recordPath;
        std::string version;
    };
    const std::vector<Case> cases = {
        {"bundle with a short version", [&] { return makeBundle("A.app", PlistValue("4.2.1")); },
         "4.2.1"},
        {"bundle without a short version", [&] { return makeBundle("B.app", std::nullopt); },
         "(null)"},
        {"bundle without information", [&] { return makeBundle("C.app", std::nullopt, false); },
         "(null)"},
        {"numeric short version", [&] { return makeBundle("D.app", PlistValue(7)); }, "7"},
        {"nothing at the path", [&] { return path("Missing.app"); }, "0"},
        {"no path recorded yet", [] { return std::nullopt; }, "0"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        auto& session = SessionDetails::getInstance();
        session.setPellixAppPath(test.recordPath());
        OutputCapture capture(STDERR_FILENO, path("stderr.txt"));
        Utils::getKeloPellixAppVersion();
        const auto log = capture.text();
        EXPECT_EQ(session.localKeloPellixAppVersion(), test.version);
        const std::string expected =
            test.version == "0"
                ? "+[Utils getKeloPellixAppVersion] : Kelo Helvo Pellix app not found, Setting "
                  "app version to zero ( default)\n"
                : "+[Utils getKeloPellixAppVersion] local Kelo Helvo Pellix App version : " +
                      test.version + "\n";
        EXPECT_NE(log.find(expected), std::string::npos) << log;
    }
}

TEST_F(FoldersAndVersionTest, ProgramOutsideABundleTakesItsFolderWhichHasNoVersion) {
    OutputCapture capture(STDERR_FILENO, path("stderr.txt"));
    Utils::findCurrentAppPath();
    Utils::getKeloPellixAppVersion();
    EXPECT_EQ(SessionDetails::getInstance().pellixAppPath(),
              fs::read_symlink("/proc/self/exe").parent_path().string());
    EXPECT_EQ(SessionDetails::getInstance().localKeloPellixAppVersion(), "(null)");
}

}  // namespace
