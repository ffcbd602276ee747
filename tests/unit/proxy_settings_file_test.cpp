// The proxy settings file that the agent reads: which stored settings write it, what it holds,
// how an existing file is updated, and when it is left alone.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "Handlers/NativeMessageHandler.h"
#include "Platform/PropertyList.h"
#include "Platform/UserDefaults.h"
#include "TempHome.h"

namespace {

namespace fs = std::filesystem;
using platform::PlistValue;

class ProxySettingsFile : public TempHomeTest {
  protected:
    std::string file() const { return path("Library/Logs/KeloHelvo/ConnectionSettings.plist"); }

    static void store(const PlistValue& host, const PlistValue& port, const PlistValue& auth,
                      const std::string& user = "user", const std::string& password = "pw") {
        auto& defaults = platform::UserDefaults::standard();
        defaults.set("host", host);
        defaults.set("port", port);
        defaults.set("authRequired", auth);
        defaults.set("userName", user);
        defaults.set("password", password);
    }

    // Writes the file and returns what it printed.
    std::string setup() {
        ::testing::internal::CaptureStdout();
        handler_.setupProxyDetails();
        return ::testing::internal::GetCapturedStdout();
    }

    PlistValue::Dictionary contents() const {
        auto read = platform::PropertyList::readDictionary(file());
        EXPECT_TRUE(read) << file();
        return read.value_or(PlistValue::Dictionary{});
    }

    unsigned mode() const {
        struct stat info {};
        EXPECT_EQ(::stat(file().c_str(), &info), 0);
        return info.st_mode & 07777;
    }

    NativeMessageHandler handler_;
};

TEST_F(ProxySettingsFile, FreshFileWithoutAuthenticationHasEmptyCredentials) {
    // Ports from 0 to 65535 are written.
    for (const std::int64_t port : {std::int64_t{3128}, std::int64_t{0}, std::int64_t{65535}}) {
        fs::remove(file());
        store("proxy.test", port, false);
        EXPECT_EQ(setup(), "");
        EXPECT_EQ(contents(), (PlistValue::Dictionary{{"ProxyIpAddress", "proxy.test"},
                                                      {"ProxyServerPort", port},
                                                      {"UserName", ""},
                                                      {"Password", ""}}))
            << port;
    }
    EXPECT_EQ(readText(file()).rfind("<?xml version=\"1.0\"", 0), 0u);
    // It will hold a password: only the user may read it.
    EXPECT_EQ(mode(), 0600u);
}

TEST_F(ProxySettingsFile, MissingEmptyMistypedOrOutOfRangeSettingsWriteNothing) {
    EXPECT_EQ(setup(), "");  // nothing ever stored
    EXPECT_FALSE(fs::exists(file()));

    struct Case {
        PlistValue host, port, auth;
    };
    for (const auto& [host, port, auth] : {
             Case{"", std::int64_t{3128}, true},
             Case{"proxy.test", "3128", true},                         // the port as text
             Case{"proxy.test", std::int64_t{3128}, std::int64_t{1}},  // authRequired as a number
             Case{"proxy.test", std::int64_t{65536}, false},
             Case{"proxy.test", std::int64_t{-1}, false},
             Case{"proxy.test", INT64_MIN, false},
         }) {
        store(host, port, auth);
        EXPECT_EQ(setup(), "");
        EXPECT_FALSE(fs::exists(file())) << host.description() << " " << port.description();
    }

    store("proxy.test", std::int64_t{3128}, true);
    platform::UserDefaults::standard().remove("password");
    EXPECT_EQ(setup(), "");
    EXPECT_FALSE(fs::exists(file()));
}

TEST_F(ProxySettingsFile, UpdateKeepsOtherKeysAndEarlierCredentials) {
    const PlistValue::Dictionary earlier{{"ProxyIpAddress", "old.test"},
                                         {"ProxyServerPort", std::int64_t{1}},
                                         {"UserName", "olduser"},
                                         {"Password", "oldpass"},
                                         {"AddedByAgent", PlistValue::Array{"kept", true}}};
    writeText(file(), platform::PropertyList::toXml(PlistValue(earlier)));
    fs::permissions(file(), fs::perms(0644));

    store("new.test", std::int64_t{8080}, false, "newuser", "newpass");
    EXPECT_EQ(setup(), "");
    auto updated = earlier;
    updated["ProxyIpAddress"] = "new.test";
    updated["ProxyServerPort"] = std::int64_t{8080};
    EXPECT_EQ(contents(), updated);
    EXPECT_EQ(mode(), 0600u);

    store("new.test", std::int64_t{8080}, true, "newuser", "newpass");
    EXPECT_EQ(setup(), "");
    updated["UserName"] = "newuser";
    updated["Password"] = "newpass";
    EXPECT_EQ(contents(), updated);
}

TEST_F(ProxySettingsFile, ExistingFileThatIsNoDictionaryIsLeftAsItIs) {
    store("proxy.test", std::int64_t{3128}, true);
    for (const std::string& content :
         {std::string(), std::string("not a property list"),
          platform::PropertyList::toXml(PlistValue(PlistValue::Array{"a", "b"}))}) {
        writeText(file(), content);
        EXPECT_EQ(setup(), "");
        EXPECT_EQ(readText(file()), content);
    }
}

}  // namespace
