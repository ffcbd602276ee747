// Installs and file writes killed with SIGKILL at random moments. A child process runs one
// install (the bootstrap's install from a mounted volume, the quit-time install of a waiting
// launcher, the agent's install from its volume) or one write (the info file, the preferences,
// the proxy settings file) and is killed somewhere between its start and its end, at least 100
// times each. Afterwards the destination is exactly the old one or exactly the new one (or, for
// the agent, nothing), never a mixture or a part; an installed bundle starts; what a killed
// install left behind is hidden and goes with the next install.
#include "KeloTest.h"

#include <cmath>
#include <random>

#include "ChildProcess.h"
#include "FileTree.h"
#include "Handlers/KeloDmgDownloader.h"
#include "Handlers/NativeMessageHandler.h"
#include "Handlers/Utils.h"
#include "Objects/SessionDetails.h"
#include "Platform/BundleInstaller.h"
#include "Platform/FileManager.h"
#include "Platform/PropertyList.h"
#include "Platform/UserDefaults.h"
#include "RecordingProcessRunner.h"
#include "RecordingStatusCenter.h"
#include "RecordingWorkspace.h"
#include "TestBundle.h"
#include "TestImages.h"

namespace {

constexpr int kRounds = 100;
const std::string kBundleName = "Kelo Helvo Pellix.app";

// A launcher bundle large enough that copying it takes a while; its executable prints its
// version.
void writeBundle(const std::string& bundle, const std::string& version) {
    TestBundle description;
    description.version = platform::PlistValue(version);
    description.content = "#!/bin/sh\necho started " + version + "\n";
    description.marker = version;
    description.writeTo(bundle);
    const std::string filler(8 * 1024, static_cast<char>('a' + version.size()));
    for (int i = 0; i < 60; ++i) {
        writeText(bundle + "/Contents/Resources/part" + std::to_string(i), version + filler);
    }
}

std::string startedBy(const std::string& bundle) {
    const std::string command = "'" + bundle + "/Contents/MacOS/KeloHelvoPellix'";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return "(not started)";
    char line[256] = {};
    const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
    ::pclose(pipe);
    return read ? line : "(no output)";
}

// Values big enough that writing them takes a moment.
std::string bigText(char letter) {
    return std::string(512 * 1024, letter);
}

class InterruptedInstallsTest : public TempHomeTest {
  protected:
    // Runs `work` `kRounds` times, `prepare` setting up the old state before each round and
    // `check` judging the result (true for the new state). About one round in five runs to its
    // end, which must leave the new state and tells how long the work takes on the machine as it
    // is now; the others are killed at a random share of that time after the work began. Some
    // kills must land before the new state is in place.
    void killAtRandom(const std::function<void()>& prepare, const std::function<void()>& work,
                      const std::function<bool()>& check) {
        std::mt19937 random(20261206);
        std::uniform_real_distribution<double> share(0, 1.25);
        std::optional<std::chrono::microseconds> lasts;
        int newer = 0;
        for (int round = 0; round < kRounds && !HasFailure(); ++round) {
            SCOPED_TRACE(round);
            prepare();
            const double at = share(random);
            std::optional<std::chrono::microseconds> killAfter;
            if (lasts && at < 1)
                killAfter = std::chrono::microseconds(std::llround(at * lasts->count()));
            const auto run = ChildProcess::runKilled(work, killAfter);
            ASSERT_TRUE(run) << "the work hung or did not start";
            const bool isNew = check();
            if (!killAfter) {
                EXPECT_TRUE(isNew) << "the work ended without its new state in place";
                lasts = run->took;
            }
            newer += isNew;
        }
        EXPECT_LT(newer, kRounds) << "no kill came before the new state was in place";
    }

    // Kills `install` of the launcher bundle `offered` (version 2.0) over an installed 1.0 in the
    // Applications folder: the installed bundle is one whole bundle, the old or the new one, and
    // it starts; anything else in the folder is hidden.
    void expectWholeInstall(const std::string& offered, const std::function<void()>& install) {
        writeBundle(offered, "2.0");
        writeBundle(path("old/") + kBundleName, "1.0");
        const FileTree older = tree(path("old/") + kBundleName), newer = tree(offered);
        killAtRandom(
            [&] {
                fs::remove_all(installed());
                fs::create_directories(path("Applications"));
                fs::copy(path("old/") + kBundleName, installed(), fs::copy_options::recursive);
            },
            install,
            [&] {
                const FileTree now = tree(installed());
                EXPECT_TRUE(now == older || now == newer)
                    << "the installed bundle is neither the old nor the new one";
                EXPECT_EQ(startedBy(installed()), now == newer ? "started 2.0\n" : "started 1.0\n");
                for (const auto& name : entriesOf(path("Applications")))
                    EXPECT_TRUE(name == kBundleName || name.front() == '.')
                        << "left in view: " << name;
                return now == newer;
            });
        // The offered launcher is still whole (for a later quit).
        EXPECT_EQ(tree(offered), newer);
    }
    std::string installed() const { return path("Applications/") + kBundleName; }
};

TEST_F(InterruptedInstallsTest, BootstrapInstallFromTheVolumeIsWholeOrNotAtAll) {
    const std::string offered = path(".cache/KeloHelvoPellix/Volumes/Pellix Plugin/") + kBundleName;
    expectWholeInstall(offered, [&] { platform::BundleInstaller::install(offered, installed()); });
    // The next install, not interrupted, also clears what the killed ones left.
    EXPECT_FALSE(platform::BundleInstaller::install(offered, installed()).has_value());
    EXPECT_EQ(tree(installed()), tree(offered));
    EXPECT_THAT(entriesOf(path("Applications")), ElementsAre(kBundleName));
}

TEST_F(InterruptedInstallsTest, QuitInstallOfTheWaitingLauncherIsWholeOrNotAtAll) {
    const std::string native = Utils::keloPellixNativeFolderPath();
    expectWholeInstall(native + kBundleName, [&] {
        SessionDetails::getInstance().setKeloPellixNativeFolder(native);
        SessionDetails::getInstance().setIsAppReplaceFlag(true);
        Utils::updatePellixIfNeeded();
    });
}

TEST_F(InterruptedInstallsTest, AgentInstallFromItsVolumeIsWholeOrNone) {
    const std::string volume = TestImages::volume("Kelo");
    writeBundle(volume + "/Kelo.app", "2.0");
    const std::vector<std::string> tools = {"KeloCrashDetector", "HelvoUserHandler", "KHPreLogin",
                                            "KeloPingAgent"};
    for (const auto& tool : tools) writeText(volume + "/" + tool, tool + bigText('t'));
    const FileTree agent = tree(volume + "/Kelo.app");
    auto runner = std::make_shared<RecordingProcessRunner>();
    runner->mountOutput = "/dev/loop-test\t\t" + volume + "\n";
    platform::ServiceSlot<platform::ProcessRunner>::set(runner);
    platform::ServiceSlot<platform::Workspace>::set(std::make_shared<RecordingWorkspace>());
    platform::ServiceSlot<platform::DistributedNotificationCenter>::set(
        std::make_shared<RecordingStatusCenter>());
    const std::string folder = Utils::keloParloNativeFolderPath();

    killAtRandom(
        [&] {
            fs::remove_all(folder);
            fs::create_directories(folder);
            writeText(folder + "KeloMac.dmg", "the image");
        },
        [] { std::make_shared<KeloDmgDownloader>()->mountingKeloMacDmg(); },
        [&] {
            // A later join starts whatever Kelo.app it finds, and keeps any tool it finds.
            const bool installed = fs::exists(folder + "Kelo.app");
            if (installed) {
                EXPECT_EQ(tree(folder + "Kelo.app"), agent);
            }
            for (const auto& name : entriesOf(folder)) {
                if (name.front() == '.' || name == "Kelo.app" || name == "KeloMac.dmg") continue;
                EXPECT_EQ(readText(folder + name), name + bigText('t')) << name;
            }
            return installed;
        });
}

// A file written by the launcher, killed while it is written: afterwards it holds the old bytes
// or the new bytes and reads as a property list.
class InterruptedWritesTest : public InterruptedInstallsTest {
  protected:
    // `write('o')` writes the old bytes, `write('n')` the new ones.
    void expectOldOrNew(const std::string& file, const std::function<void(char)>& write) {
        write('o');
        const std::string older = readText(file);
        write('n');
        const std::string newer = readText(file);
        ASSERT_NE(older, newer);
        killAtRandom(
            [&] {
                fs::remove(file);
                write('o');
            },
            [&] { write('n'); },
            [&] {
                const std::string now = readText(file);
                EXPECT_TRUE(now == older || now == newer)
                    << file << " is torn: " << now.size() << " bytes";
                EXPECT_TRUE(platform::PropertyList::readDictionary(file).has_value());
                return now == newer;
            });
    }
};

TEST_F(InterruptedWritesTest, InfoFileIsOldOrNew) {
    const std::string file =
        Utils::keloPellixNativeFolderPath() + "com.Kelo.Helvo.KeloHelvoPellix.plist";
    fs::create_directories(Utils::keloPellixNativeFolderPath());
    expectOldOrNew(file, [&](char letter) {
        const platform::PlistValue::Dictionary info{
            {"DC", "com"}, {"PellixToken", bigText(letter)}, {"pathForPellix", "/join/"}};
        platform::FileManager::defaultManager().writeFileAtomically(
            file, platform::PropertyList::toXml(platform::PlistValue(info)), 0600);
    });
}

TEST_F(InterruptedWritesTest, PreferencesAreOldOrNew) {
    const std::string file = platform::UserDefaults::standardFilePath();
    expectOldOrNew(file, [&](char letter) {
        platform::UserDefaults defaults(file, {});
        defaults.set("name", bigText(letter));
        defaults.synchronize();
    });
}

TEST_F(InterruptedWritesTest, ProxySettingsFileIsOldOrNew) {
    platform::UserDefaults::setProcessArguments({"KeloHelvoPellix"});
    const std::string file = path("Library/Logs/KeloHelvo/ConnectionSettings.plist");
    expectOldOrNew(file, [&](char letter) {
        platform::UserDefaults::resetStandard();
        auto& defaults = platform::UserDefaults::standard();
        defaults.set("host", "proxy.example");
        defaults.set("port", 3128);
        defaults.set("authRequired", true);
        defaults.set("userName", "customer");
        defaults.set("password", bigText(letter));
        NativeMessageHandler handler;
        handler.setupProxyDetails();
    });
}

}  // namespace
