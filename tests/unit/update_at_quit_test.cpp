// Installing a waiting newer launcher when the window is closed: the installed launcher is
// replaced whole or not at all.
#include "KeloTest.h"

#include <sys/stat.h>
#include <unistd.h>

#include "Handlers/Utils.h"
#include "Objects/SessionDetails.h"
#include "Platform/DesktopEntry.h"
#include "Platform/PlistValue.h"
#include "TestBundle.h"

namespace {

using platform::PlistValue;

constexpr const char* kOperation = "+[Utils updatePellixIfNeeded]";

class UpdateAtQuitTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        auto& session = SessionDetails::getInstance();
        session.setIsAppReplaceFlag(false);
        session.setKeloPellixNativeFolder(nativeFolder());
        session.setLocalKeloPellixAppVersion("1.0");
        fs::create_directories(nativeFolder());
        fs::create_directories(path("Applications"));
    }

    std::string waiting() const { return nativeFolder() + "Kelo Helvo Pellix.app"; }
    std::string installed() const { return path("Applications/Kelo Helvo Pellix.app"); }

    static void makeBundle(const std::string& bundle, const std::string& version) {
        TestBundle{.version = PlistValue(version), .content = "launcher " + version}.writeTo(
            bundle);
    }

    std::string quit() {
        OutputCapture capture(STDERR_FILENO, path("stderr.txt"));
        Utils::updatePellixIfNeeded();
        return capture.text();
    }
};

TEST_F(UpdateAtQuitTest, WaitingLauncherReplacesTheInstalledOneWholeOrNotAtAll) {
    struct Case {
        const char* name;
        std::function<void()> prepare;
        std::string line;
        std::optional<std::string> installedVersion;
        std::string installedExecutable;
        bool downloaded = true;  // whether this run downloaded a newer launcher
    };
    const std::vector<Case> cases = {
        {"nothing downloaded this run, whatever an earlier run left waiting",
         [this] {
             makeBundle(installed(), "1.0");
             makeBundle(waiting(), "2.0");
         },
         " There is No Updated App downloaded from server.\n", "1.0", "launcher 1.0", false},
        {"no launcher waiting", [this] { makeBundle(installed(), "1.0"); },
         " There is No Updated Pellix App Present in " + nativeFolder() + "\n", "1.0",
         "launcher 1.0"},
        {"no launcher installed in the user's Applications folder",
         [this] { makeBundle(waiting(), "2.0"); },
         " Failed to Remove Existing old Pellix app (1.0) in folder " + installed() +
             " Error:  Error Domain=NSPOSIXErrorDomain Code=2 ",
         std::nullopt, ""},
        {"the installed launcher is replaced",
         [this] {
             makeBundle(installed(), "1.0");
             writeText(installed() + "/Contents/Resources/old-only", "old");
             makeBundle(waiting(), "2.0");
         },
         " Updated Pellix app Copied to " + installed() + "\n", "2.0", "launcher 2.0"},
        {"a copy that fails keeps the old launcher",
         [this] {
             makeBundle(installed(), "1.0");
             makeBundle(waiting(), "2.0");
             // A pipe cannot be copied: the staging fails half-way.
             ASSERT_EQ(::mkfifo((waiting() + "/Contents/pipe").c_str(), 0600), 0);
         },
         " Failed to copy Updated Pellix app to folder " + installed() + "\n", "1.0",
         "launcher 1.0"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        fs::remove_all(waiting());
        fs::remove_all(installed());
        fs::remove_all(path(".local"));
        SessionDetails::getInstance().setIsAppReplaceFlag(test.downloaded);
        test.prepare();

        const auto log = quit();
        EXPECT_EQ(log.find(std::string(kOperation) +
                           " Updated Pellix Downloaded from server and Initiate to Copy \n") !=
                      std::string::npos,
                  test.downloaded)
            << log;
        EXPECT_THAT(log, AllOf(HasSubstr(kOperation + test.line),
                               ::testing::EndsWith(std::string(kOperation) +
                                                   " : ************************** Kelo Pellix App "
                                                   "terminated ******* \n\n\n")));

        EXPECT_EQ(TestBundle::versionAt(installed()), test.installedVersion);
        // Only the launcher put in place is in the desktop's menu.
        EXPECT_EQ(fs::exists(platform::DesktopEntry::entryPath()), test.installedVersion == "2.0");
        if (test.installedVersion) {
            EXPECT_EQ(readText(installed() + "/Contents/MacOS/KeloHelvoPellix"),
                      test.installedExecutable);
            // A replaced launcher is the waiting one as a whole, with nothing of the old mixed in.
            EXPECT_FALSE(fs::exists(installed() + "/Contents/Resources/old-only"));
        }
        // Nothing but the launcher is left in the Applications folder.
        EXPECT_EQ(entriesOf(path("Applications")).size(), test.installedVersion ? 1u : 0u);
    }
}

}  // namespace
