// Writes into a Library that cannot take them: a small file system that is full (a tmpfs the test
// mounts over the home's Library; it needs root and is skipped, with the reason, otherwise), and
// a plain file lying where a folder should be. Every write fails with its log line, and the files
// that were there before keep their bytes.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "Handlers/KeloAppUpgrader.h"
#include "Handlers/NativeMessageHandler.h"
#include "Objects/SessionDetails.h"
#include "OutputCapture.h"
#include "Platform/UserDefaults.h"
#include "TempHome.h"

namespace fs = std::filesystem;

namespace {

const char* kUserDefaultsLine = "UserDefaults : cannot write ";
const char* kUserDefaultsFolderLine = "UserDefaults : cannot create ";
const char* kProxyUpdateLine =
    "setupProxyDetails() : Unable to write connection settings to ConnectionSettings.plist.";
const char* kProxyFolderLine =
    "setupProxyDetails() : Unable to create the connection plist file at the desired path.";
const char* kJoinDetailsLine =
    "-[KeloAppUpgrader modifyKeloJoinDetails] : Unable to create New kelojoindetails.conf file";

class DiskFaultsTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        platform::UserDefaults::setProcessArguments({"KeloHelvoPellix"});
        auto& session = SessionDetails::getInstance();
        session.setSessionKey("123456789");
        session.setWebServerName("pellix.kelohelvo.example");
        session.setDcName("com");
        session.setName("ann@example.com");
    }

    std::string preferences() const { return platform::UserDefaults::standardFilePath(); }
    std::string proxySettings() const {
        return path("Library/Logs/KeloHelvo/ConnectionSettings.plist");
    }
    std::string joinDetails() const {
        return path("Library/Application Support/KeloParloNative/kelojoindetails.conf");
    }

    static void storeProxySettings(const std::string& host) {
        auto& defaults = platform::UserDefaults::standard();
        defaults.set("host", host);
        defaults.set("port", 3128);
        defaults.set("authRequired", true);
        defaults.set("userName", "customer");
        defaults.set("password", "secret");
    }
};

class FullLibraryTest : public DiskFaultsTest {
  protected:
    void SetUp() override {
        DiskFaultsTest::SetUp();
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs over Library";
        fs::create_directories(path("Library"));
        if (::mount("tmpfs", path("Library").c_str(), "tmpfs", 0, "size=256k,mode=0700") != 0) {
            GTEST_SKIP() << "cannot mount a tmpfs over Library: " << std::strerror(errno);
        }
        mounted_ = true;
    }
    void TearDown() override {
        platform::UserDefaults::resetStandard();
        if (mounted_) ::umount2(path("Library").c_str(), MNT_DETACH);
        DiskFaultsTest::TearDown();
    }

    // Fills the file system to its last byte.
    void fill() {
        std::ofstream filler(path("Library/filler"), std::ios::binary | std::ios::app);
        const std::string block(4096, 'f');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) {
            filler.flush();
        }
        // Whatever still fits in the last partial block.
        std::ofstream last(path("Library/filler-end"), std::ios::binary);
        for (int i = 0; i < 4096 && last.put('f'); ++i) last.flush();
    }

  private:
    bool mounted_ = false;
};

TEST_F(FullLibraryTest, EveryWriteFailsWithItsLineAndEarlierFilesKeepTheirBytes) {
    // What an earlier run left: preferences, the proxy settings file and the join details.
    auto& defaults = platform::UserDefaults::standard();
    defaults.set("name", "Ann");
    storeProxySettings("proxy.example");
    ASSERT_TRUE(defaults.synchronize());
    fs::create_directories(fs::path(joinDetails()).parent_path());
    NativeMessageHandler handler;
    handler.setupProxyDetails();
    KeloAppUpgrader::getInstance().modifyKeloJoinDetails();
    const std::string oldPreferences = readText(preferences());
    const std::string oldProxySettings = readText(proxySettings());
    ASSERT_FALSE(oldPreferences.empty());
    ASSERT_FALSE(oldProxySettings.empty());
    ASSERT_TRUE(fs::exists(joinDetails()));

    fill();
    OutputCapture errors(STDERR_FILENO, path("stderr.txt"));
    OutputCapture output(STDOUT_FILENO, path("stdout.txt"));

    defaults.set("name", std::string(64 * 1024, 'n'));
    EXPECT_FALSE(defaults.synchronize());
    storeProxySettings(std::string(64 * 1024, 'h'));
    handler.setupProxyDetails();
    SessionDetails::getInstance().setName(std::string(64 * 1024, 'e'));
    KeloAppUpgrader::getInstance().modifyKeloJoinDetails();

    const std::string logged = errors.stop();
    const std::string printed = output.stop();
    EXPECT_NE(logged.find(kUserDefaultsLine + preferences()), std::string::npos) << logged;
    EXPECT_NE(printed.find(kProxyUpdateLine), std::string::npos) << printed;
    EXPECT_NE(logged.find(kJoinDetailsLine), std::string::npos) << logged;
    EXPECT_EQ(readText(preferences()), oldPreferences);
    EXPECT_EQ(readText(proxySettings()), oldProxySettings);
    // Nothing half-written lies beside the files either.
    for (const auto& entry : fs::recursive_directory_iterator(path("Library"))) {
        const auto name = entry.path().filename().string();
        EXPECT_TRUE(entry.is_directory() || name.rfind("filler", 0) == 0 ||
                    entry.path() == preferences() || entry.path() == proxySettings() ||
                    entry.path() == joinDetails())
            << "left behind: " << entry.path();
    }
    // Given room again, the next writes go through.
    fs::remove(path("Library/filler"));
    EXPECT_TRUE(defaults.synchronize());
    EXPECT_EQ(platform::UserDefaults(preferences(), {}).string("name"),
              std::string(64 * 1024, 'n'));
}

TEST_F(DiskFaultsTest, FileWhereAFolderShouldBeFailsEachWriteWithItsLine) {
    const struct {
        const char* what;
        std::string blocked;  // where a plain file stands instead of a folder
        std::function<void()> write;
        const char* line;
        bool onStandardError;
    } cases[] = {
        {"preferences", path("Library/Preferences"),
         [] {
             auto& defaults = platform::UserDefaults::standard();
             defaults.set("name", "Ann");
             defaults.synchronize();
         },
         kUserDefaultsFolderLine, true},
        {"proxy settings", path("Library/Logs/KeloHelvo"),
         [] {
             storeProxySettings("proxy.example");
             NativeMessageHandler().setupProxyDetails();
         },
         kProxyFolderLine, false},
        {"join details", path("Library/Application Support/KeloParloNative"),
         [] { KeloAppUpgrader::getInstance().modifyKeloJoinDetails(); }, kJoinDetailsLine, true},
    };
    for (const auto& entry : cases) {
        writeText(entry.blocked, "a file, not a folder\n");
        OutputCapture errors(STDERR_FILENO, path("stderr.txt"));
        OutputCapture output(STDOUT_FILENO, path("stdout.txt"));
        entry.write();
        const std::string logged = errors.stop();
        const std::string printed = output.stop();
        EXPECT_NE((entry.onStandardError ? logged : printed).find(entry.line), std::string::npos)
            << entry.what << "\n"
            << logged << printed;
        EXPECT_EQ(readText(entry.blocked), "a file, not a folder\n") << entry.what;
    }
}

}  // namespace
