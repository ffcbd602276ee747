// The files the launcher keeps in the Library besides its preferences. The proxy settings file
// that the agent reads: which stored settings write it, what it holds, how an existing file is
// updated, and when it is left alone. Then writes into a Library that cannot take them: a small
// file system that is full (a tmpfs the test mounts over the home's Library; it needs root and is
// skipped, with the reason, otherwise), and a plain file lying where a folder should be. Every
// write fails with its log line, and the files that were there before keep their bytes. A
// symbolic link in a file's place is never followed: replaced, and what it names left alone.
#include "KeloTest.h"

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>

#include "App/AppDelegate.h"
#include "Handlers/KeloAppUpgrader.h"
#include "Handlers/NativeMessageHandler.h"
#include "Handlers/Utils.h"
#include "Objects/SessionDetails.h"
#include "Platform/PropertyList.h"
#include "Platform/UserDefaults.h"

namespace {

using platform::PlistValue;
using platform::UserDefaults;
using Settings = PlistValue::Dictionary;

const std::string kPreferencesFolderLine = "UserDefaults : cannot create ";
const std::string kProxyUpdateLine =
    "setupProxyDetails() : Unable to write connection settings to ConnectionSettings.plist.";
const std::string kProxyFolderLine =
    "setupProxyDetails() : Unable to create the connection plist file at the desired path.";
const std::string kJoinDetailsLine =
    "-[KeloAppUpgrader modifyKeloJoinDetails] : Unable to create New kelojoindetails.conf file";

// Stored settings that write the file: the page's, with some changed (a null value removed).
Settings stored(const Settings& changes = {}) {
    Settings settings{{"host", "proxy.test"},
                      {"port", 3128},
                      {"authRequired", true},
                      {"userName", "user"},
                      {"password", "pw"}};
    for (const auto& [key, value] : changes) settings[key] = value;
    return settings;
}

class DiskFaultsTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        UserDefaults::setProcessArguments({"KeloHelvoPellix"});
        auto& session = SessionDetails::getInstance();
        session.setSessionKey("123456789");
        session.setWebServerName("pellix.kelohelvo.example");
        session.setDcName("com");
        session.setName("ann@example.com");
    }

    std::string preferences() const { return UserDefaults::standardFilePath(); }
    std::string proxySettings() const {
        return path("Library/Logs/KeloHelvo/ConnectionSettings.plist");
    }
    std::string joinDetails() const { return agentFolder() + "kelojoindetails.conf"; }

    // Stores the proxy settings the page sent (a null value: none stored).
    static void store(const Settings& settings) {
        auto& defaults = UserDefaults::standard();
        for (const auto& [key, value] : settings) {
            if (value.isNull()) {
                defaults.remove(key);
            } else {
                defaults.set(key, value);
            }
        }
    }

    // What the writes printed on standard output, and logged on standard error.
    std::pair<std::string, std::string> printedBy(const std::function<void()>& writes) {
        OutputCapture errors(STDERR_FILENO, path("stderr.txt"));
        OutputCapture output(STDOUT_FILENO, path("stdout.txt"));
        writes();
        return {output.stop(), errors.stop()};
    }
};

class ProxySettingsFile : public DiskFaultsTest {
  protected:
    // Writes the file from the stored settings (printing nothing); what it holds when it is a
    // dictionary.
    std::optional<Settings> written(const Settings& settings) {
        store(settings);
        OutputCapture printed(STDOUT_FILENO, path("stdout.txt"));
        NativeMessageHandler().setupProxyDetails();
        EXPECT_EQ(printed.stop(), "");
        return platform::PropertyList::readDictionary(proxySettings());
    }
    fs::perms mode() const { return fs::status(proxySettings()).permissions() & fs::perms::all; }
};

constexpr auto kUserOnly = fs::perms::owner_read | fs::perms::owner_write;

TEST_F(ProxySettingsFile, FreshFileWithoutAuthenticationHasEmptyCredentials) {
    for (const std::int64_t port : {3128, 0, 65535}) {
        fs::remove(proxySettings());
        EXPECT_EQ(written(stored({{"port", port}, {"authRequired", false}})),
                  (Settings{{"ProxyIpAddress", "proxy.test"},
                            {"ProxyServerPort", port},
                            {"UserName", ""},
                            {"Password", ""}}))
            << port;
    }
}

TEST_F(ProxySettingsFile, MissingEmptyMistypedOrOutOfRangeSettingsWriteNothing) {
    EXPECT_EQ(written({}), std::nullopt);  // nothing ever stored
    for (const auto& change :
         {Settings{{"host", ""}}, Settings{{"port", "3128"}}, Settings{{"authRequired", 1}},
          Settings{{"port", 65536}}, Settings{{"port", -1}},
          Settings{{"port", std::numeric_limits<std::int64_t>::min()}},
          Settings{{"password", PlistValue()}}}) {
        EXPECT_EQ(written(stored(change)), std::nullopt) << PlistValue(change).description();
        EXPECT_FALSE(fs::exists(proxySettings()));
    }
}

// A proxy without authentication keeps no earlier user name or password, and a proxy switched
// off leaves no file for the agent to go on using.
TEST_F(ProxySettingsFile, UpdateKeepsOtherKeysAndCredentialsOnlyWhileAuthenticationIsOn) {
    Settings expected{{"ProxyIpAddress", "old.test"},
                      {"ProxyServerPort", 1},
                      {"UserName", "olduser"},
                      {"Password", "oldpass"},
                      {"AddedByAgent", PlistValue::Array{"kept", true}}};
    writeText(proxySettings(), platform::PropertyList::toXml(PlistValue(expected)));
    fs::permissions(proxySettings(), fs::perms(0644));

    Settings newer{{"host", "new.test"},
                   {"port", 8080},
                   {"authRequired", true},
                   {"userName", "newuser"},
                   {"password", "newpass"}};
    expected["ProxyIpAddress"] = "new.test";
    expected["ProxyServerPort"] = 8080;
    expected["UserName"] = "newuser";
    expected["Password"] = "newpass";
    EXPECT_EQ(written(newer), expected);
    EXPECT_EQ(mode(), kUserOnly);

    newer["authRequired"] = false;
    expected["UserName"] = "";
    expected["Password"] = "";
    EXPECT_EQ(written(newer), expected);

    newer["host"] = "";
    store(newer);
    EXPECT_EQ(printedBy([] { NativeMessageHandler().setupProxyDetails(); }).first,
              "setupProxyDetails() : No proxy is set: ConnectionSettings.plist removed.\n");
    EXPECT_FALSE(fs::exists(proxySettings()));
}

TEST_F(ProxySettingsFile, ExistingFileThatIsNoDictionaryIsLeftAsItIs) {
    for (const std::string& content :
         {std::string(), std::string("not a property list"),
          platform::PropertyList::toXml(PlistValue(PlistValue::Array{"a", "b"}))}) {
        writeText(proxySettings(), content);
        EXPECT_EQ(written(stored()), std::nullopt);
        EXPECT_EQ(readText(proxySettings()), content);
    }
}

class FullLibraryTest : public DiskFaultsTest {
  protected:
    void SetUp() override {
        DiskFaultsTest::SetUp();
        REQUIRE_OR_SKIP(::geteuid() == 0, "root, to mount a small tmpfs over Library");
        fs::create_directories(path("Library"));
        mounted_ =
            ::mount("tmpfs", path("Library").c_str(), "tmpfs", 0, "size=256k,mode=0700") == 0;
        REQUIRE_OR_SKIP(mounted_, std::string("a small tmpfs over Library (mount: ") +
                                      std::strerror(errno) + ")");
    }
    void TearDown() override {
        UserDefaults::resetStandard();
        if (mounted_) ::umount2(path("Library").c_str(), MNT_DETACH);
        DiskFaultsTest::TearDown();
    }

    // Fills the file system to its last byte, the last partial block included.
    void fill() {
        std::ofstream filler(path("Library/filler"), std::ios::binary | std::ios::app);
        const std::string block(4096, 'f');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size())))
            filler.flush();
        std::ofstream last(path("Library/filler-end"), std::ios::binary);
        for (int i = 0; i < 4096 && last.put('f'); ++i) last.flush();
    }

  private:
    bool mounted_ = false;
};

TEST_F(FullLibraryTest, EveryWriteFailsWithItsLineAndEarlierFilesKeepTheirBytes) {
    // What an earlier run left: preferences, the proxy settings file and the join details.
    auto& defaults = UserDefaults::standard();
    defaults.set("name", "Ann");
    store(stored());
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
    const std::string big(64 * 1024, 'n');
    const auto [printed, logged] = printedBy([&] {
        defaults.set("name", big);
        EXPECT_FALSE(defaults.synchronize());
        store(stored({{"host", big}}));
        handler.setupProxyDetails();
        SessionDetails::getInstance().setName(big);
        KeloAppUpgrader::getInstance().modifyKeloJoinDetails();
    });
    EXPECT_THAT(printed, HasSubstr(kProxyUpdateLine));
    EXPECT_THAT(logged, AllOf(HasSubstr("UserDefaults : cannot write " + preferences()),
                              HasSubstr(kJoinDetailsLine)));
    EXPECT_EQ(readText(preferences()), oldPreferences);
    EXPECT_EQ(readText(proxySettings()), oldProxySettings);
    // Nothing half-written lies beside the files either.
    for (const auto& entry : fs::recursive_directory_iterator(path("Library"))) {
        EXPECT_TRUE(entry.is_directory() ||
                    entry.path().filename().string().starts_with("filler") ||
                    entry.path() == preferences() || entry.path() == proxySettings() ||
                    entry.path() == joinDetails())
            << "left behind: " << entry.path();
    }
    // Given room again, the next writes go through.
    fs::remove(path("Library/filler"));
    EXPECT_TRUE(defaults.synchronize());
    EXPECT_EQ(UserDefaults(preferences(), {}).string("name"), big);
}

TEST_F(DiskFaultsTest, FileWhereAFolderShouldBeFailsEachWriteWithItsLine) {
    const struct {
        std::string blocked;  // where a plain file stands instead of a folder
        std::function<void()> write;
        const std::string& line;
        bool logged;  // on standard error, or else printed on standard output
    } rows[] = {
        {path("Library/Preferences"),
         [] {
             auto& defaults = UserDefaults::standard();
             defaults.set("name", "Ann");
             EXPECT_FALSE(defaults.synchronize());
             EXPECT_EQ(defaults.string("name"), "Ann");  // there for a later attempt
         },
         kPreferencesFolderLine, true},
        {path("Library/Logs/KeloHelvo"),
         [] {
             store(stored());
             NativeMessageHandler().setupProxyDetails();
         },
         kProxyFolderLine, false},
        {path("Library/Application Support/KeloParloNative"),
         [] { KeloAppUpgrader::getInstance().modifyKeloJoinDetails(); }, kJoinDetailsLine, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.blocked);
        writeText(row.blocked, "a file, not a folder\n");
        const auto [printed, logged] = printedBy(row.write);
        EXPECT_THAT(row.logged ? logged : printed, HasSubstr(row.line));
        EXPECT_EQ(readText(row.blocked), "a file, not a folder\n");
    }
}

// Someone put a link where the launcher keeps a file, to have the launcher read or write what it
// names. The launcher reads nothing through it, and its write puts a file of its own in the
// link's place; the named file keeps its bytes and its mode.
TEST_F(DiskFaultsTest, LinkInAFilesPlaceIsReplacedAndWhatItNamesIsLeftAlone) {
    const std::string named = path("named.plist");
    const std::string namedBytes = platform::PropertyList::toXml(PlistValue(Settings{
        {"DC", "jp"}, {"name", "named"}, {"Named", true}, {"ProxyIpAddress", "named.test"}}));
    const std::string infoFile = AppDelegate::infoFilePath();
    const struct {
        std::string file;
        std::function<void()> readAndWrite;
    } rows[] = {
        {preferences(),
         [] {
             UserDefaults::resetStandard();
             auto& defaults = UserDefaults::standard();
             EXPECT_EQ(defaults.string("name"), std::nullopt);
             defaults.set("name", "Ann");
             EXPECT_TRUE(defaults.synchronize());
         }},
        {infoFile,
         [&] {
             Utils::readInfoFileArgs(infoFile);
             EXPECT_NE(SessionDetails::getInstance().dcName(), "jp");
             AppDelegate().saveParametersToPlist({{"DC", "eu"}}, infoFile);
         }},
        {joinDetails(), [] { KeloAppUpgrader::getInstance().modifyKeloJoinDetails(); }},
        {proxySettings(),
         [&] {
             store(stored());
             NativeMessageHandler().setupProxyDetails();
             const auto written = platform::PropertyList::readDictionary(proxySettings());
             EXPECT_EQ(written.value_or(Settings{}).size(), 4u);
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        writeText(named, namedBytes);
        fs::permissions(named, fs::perms(0644));
        fs::create_directories(fs::path(row.file).parent_path());
        fs::create_symlink(named, row.file);
        printedBy(row.readAndWrite);
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(row.file)));
        EXPECT_EQ(readText(named), namedBytes);
        EXPECT_EQ(fs::status(named).permissions(), fs::perms(0644));
    }
}

}  // namespace
