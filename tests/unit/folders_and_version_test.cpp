// The working folders, and the launcher's own path and version. (The start-up step that starts
// logging and makes the folders is the first start's end-to-end scenario.)
#include "KeloTest.h"

#include <unistd.h>

#include "Handlers/Utils.h"
#include "Objects/SessionDetails.h"
#include "Platform/Bundle.h"
#include "Platform/PlistValue.h"
#include "TestBundle.h"

namespace {

using platform::PlistValue;

class FoldersAndVersionTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        SessionDetails::getInstance().setPellixAppPath(std::nullopt);
        SessionDetails::getInstance().setLocalKeloPellixAppVersion(std::nullopt);
        platform::Bundle::overrideMainBundlePath(std::nullopt);
    }

    // What `work` logged.
    std::string logged(const std::function<void()>& work) {
        OutputCapture capture(STDERR_FILENO, path("stderr.txt"));
        work();
        return capture.stop();
    }
    std::string createFolders() {
        return logged([] {
            Utils::createKeloParloNativeFolder();
            Utils::createKeloPellixNativeFolder();
        });
    }
    std::string agentFolder() const { return path("Library/Application Support/KeloParloNative"); }
    std::string nativeFolder() const {
        return path("Library/Application Support/KeloPellixNativeFolder");
    }
};

TEST_F(FoldersAndVersionTest, FoldersAreMadeOnceAndWhatIsInTheWayIsReported) {
    EXPECT_THAT(createFolders(),
                AllOf(HasSubstr("+[Utils createKeloParloNativeFolder] Kelo Parlo Native Folder "
                                "Created...\n"),
                      HasSubstr("+[Utils createKeloPellixNativeFolder] Kelo Pellix Native Folder "
                                "Created...\n")));
    EXPECT_TRUE(fs::is_directory(agentFolder()));
    EXPECT_TRUE(fs::is_directory(nativeFolder()));

    // What is there is left alone: the agent's folder is a plain file, the launcher's has content.
    fs::remove_all(agentFolder());
    writeText(agentFolder(), "not a folder");
    writeText(nativeFolder() + "/info.plist", "info");
    EXPECT_THAT(createFolders(),
                AllOf(HasSubstr("+[Utils createKeloParloNativeFolder] Kelo Parlo Native folder "
                                "Already Present\n"),
                      HasSubstr("+[Utils createKeloPellixNativeFolder] Kelo Pellix Native folder "
                                "Already Present\n"),
                      ::testing::Not(HasSubstr("Created"))));
    EXPECT_EQ(readText(agentFolder()), "not a folder");
    EXPECT_EQ(readText(nativeFolder() + "/info.plist"), "info");

    // A file lies where both folders' parent should be.
    fs::remove_all(path("Library"));
    writeText(path("Library/Application Support"), "in the way");
    EXPECT_THAT(createFolders(),
                AllOf(HasSubstr("+[Utils createKeloParloNativeFolder] Failed to Create Kelo Parlo "
                                "Native Folder...\n"),
                      HasSubstr("+[Utils createKeloPellixNativeFolder] Failed to Create Kelo "
                                "Pellix Native Folder...\n")));
    EXPECT_EQ(readText(path("Library/Application Support")), "in the way");
}

TEST_F(FoldersAndVersionTest, VersionComesFromTheBundleAtTheRecordedPath) {
    const auto bundle = [&](const char* name, std::optional<PlistValue> version, bool info = true) {
        return TestBundle{.version = version, .withInfo = info, .content = std::nullopt}.writeTo(
            path(name));
    };
    const struct {
        const char* name;
        std::function<std::optional<std::string>()> recordPath;
        std::string version;
    } cases[] = {
        {"bundle with a short version", [&] { return bundle("A.app", PlistValue("4.2.1")); },
         "4.2.1"},
        {"bundle without a short version", [&] { return bundle("B.app", std::nullopt); }, "(null)"},
        {"bundle without information", [&] { return bundle("C.app", std::nullopt, false); },
         "(null)"},
        {"numeric short version", [&] { return bundle("D.app", PlistValue(7)); }, "7"},
        {"nothing at the path", [&] { return path("Missing.app"); }, "0"},
        {"no path recorded yet", [] { return std::nullopt; }, "0"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        SessionDetails::getInstance().setPellixAppPath(test.recordPath());
        EXPECT_THAT(logged(Utils::getKeloPellixAppVersion),
                    HasSubstr(test.version == "0"
                                  ? "+[Utils getKeloPellixAppVersion] : Kelo Helvo Pellix app not "
                                    "found, Setting app version to zero ( default)\n"
                                  : "+[Utils getKeloPellixAppVersion] local Kelo Helvo Pellix App "
                                    "version : " +
                                        test.version + "\n"));
        EXPECT_EQ(SessionDetails::getInstance().localKeloPellixAppVersion(), test.version);
    }

    // A program outside a bundle takes its folder, which has no version.
    logged([] {
        Utils::findCurrentAppPath();
        Utils::getKeloPellixAppVersion();
    });
    EXPECT_EQ(SessionDetails::getInstance().pellixAppPath(),
              fs::read_symlink("/proc/self/exe").parent_path().string());
    EXPECT_EQ(SessionDetails::getInstance().localKeloPellixAppVersion(), "(null)");
}

}  // namespace
