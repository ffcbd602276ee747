// Launch parameters: the info file, the command line and the stored defaults, and the data-centre
// table that turns a code into the web server host.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "BinaryPropertyList.h"
#include "Handlers/Utils.h"
#include "Objects/SessionDetails.h"
#include "OutputCapture.h"
#include "Platform/Deployment.h"
#include "Platform/Paths.h"
#include "Platform/PlistValue.h"
#include "Platform/PropertyList.h"
#include "Platform/UserDefaults.h"
#include "TempHome.h"

namespace {

namespace fs = std::filesystem;
using platform::PlistValue;
using Text = std::optional<std::string>;

enum class Format { Xml, Binary, Garbage, Array };

std::string bytesOf(const PlistValue& value, Format format) {
    switch (format) {
        case Format::Garbage:
            return "DC = eu; this is no property list\n";
        case Format::Array:
            return platform::PropertyList::toXml(PlistValue(PlistValue::Array{PlistValue("eu")}));
        case Format::Xml:
            return platform::PropertyList::toXml(value);
        case Format::Binary:
            break;
    }
    return BinaryPropertyList::fromXml(platform::PropertyList::toXml(value));
}

struct Expected {
    Text dcName, plistDcName, token, path;
};

class LaunchParametersTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        unsetenv("KELO_PELLIX_HOSTS");
        clearSession();
    }

    // A home of its own for one case of a table.
    void startCase(int number) {
        const auto caseHome = path("case-" + std::to_string(number));
        fs::create_directories(caseHome);
        setenv("HOME", caseHome.c_str(), 1);
        platform::UserDefaults::resetStandard();
        clearSession();
    }

    // The record outlives a test when the tests share a process.
    static void clearSession() {
        auto& session = SessionDetails::getInstance();
        using Setter = void (SessionDetails::*)(SessionDetails::Text);
        for (Setter setter :
             {&SessionDetails::setDcName, &SessionDetails::setPlistDcName,
              &SessionDetails::setWebServerName, &SessionDetails::setPlistWebServerName,
              &SessionDetails::setPellixToken, &SessionDetails::setPathForPellix}) {
            (session.*setter)(std::nullopt);
        }
    }

    static std::string nativeFolder() {
        return platform::Paths::homeFolder() +
               "/Library/Application Support/KeloPellixNativeFolder/";
    }

    void writeInfoFile(const std::string& name, const PlistValue::Dictionary& values,
                       Format format = Format::Xml) {
        writeText(nativeFolder() + name, bytesOf(PlistValue(values), format));
    }

    void storeDefaults(const PlistValue::Dictionary& values) {
        writeText(platform::UserDefaults::standardFilePath(),
                  platform::PropertyList::toXml(PlistValue(values)));
    }

    static void launchWith(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "KeloHelvoPellix");
        platform::UserDefaults::setProcessArguments(std::move(arguments));
        platform::UserDefaults::resetStandard();
    }

    // Runs the launch-parameter sequence and returns what it logged.
    std::string parse() {
        OutputCapture capture(STDERR_FILENO, path("stderr.txt"));
        Utils::parseCommandLineArgs();
        return capture.text();
    }

    static void expectSession(const Expected& expected) {
        const auto& session = SessionDetails::getInstance();
        EXPECT_EQ(session.dcName(), expected.dcName);
        EXPECT_EQ(session.plistDcName(), expected.plistDcName);
        EXPECT_EQ(session.pellixToken(), expected.token);
        EXPECT_EQ(session.pathForPellix(), expected.path);
        const Text host = expected.plistDcName
                              ? Text(platform::Deployment::webServerHost(*expected.plistDcName))
                              : std::nullopt;
        EXPECT_EQ(session.webServerName(), host);
        EXPECT_EQ(session.plistWebServerName(), host);
    }
};

TEST_F(LaunchParametersTest, InfoFileCommandLineAndStoredValuesTakeTheirTurns) {
    struct Case {
        const char* name;
        std::optional<PlistValue::Dictionary> info;
        Format format;
        std::vector<std::string> arguments;
        PlistValue::Dictionary stored;
        Expected expected;
    };
    const std::vector<Case> cases = {
        {"info file wins over the command line",
         PlistValue::Dictionary{
             {"DC", "eu"}, {"PellixToken", "info-token"}, {"pathForPellix", "join/info"}},
         Format::Xml,
         {"-DC", "jp", "-PellixToken", "arg-token", "-pathForPellix", "join/arg"},
         {},
         {"eu", "eu", "info-token", "join/info"}},
        {"command line alone",
         std::nullopt,
         Format::Xml,
         {"-DC", "jp", "-PellixToken", "arg-token", "-pathForPellix", "join/arg"},
         {},
         {"jp", "jp", "arg-token", "join/arg"}},
        {"command line fills what a binary info file lacks",
         PlistValue::Dictionary{{"DC", "eu"}, {"PellixToken", "info-token"}, {"other", 3}},
         Format::Binary,
         {"-DC", "jp", "-pathForPellix", "join/arg"},
         {},
         {"eu", "eu", "info-token", "join/arg"}},
        {"stored values fill what the command line lacks",
         std::nullopt,
         Format::Xml,
         {"-PellixToken", "arg-token"},
         {{"DC", "uk"}, {"PellixToken", "stored-token"}, {"pathForPellix", "stored/path"}},
         {"uk", "uk", "arg-token", "stored/path"}},
        {"info file replaces stored values",
         PlistValue::Dictionary{{"DC", "in"}},
         Format::Xml,
         {},
         {{"DC", "uk"}, {"pathForPellix", "stored/path"}},
         {"in", "in", std::nullopt, "stored/path"}},
        {"an info file that is not a property list",
         PlistValue::Dictionary{},
         Format::Garbage,
         {"-DC", "jp"},
         {},
         {"jp", "jp", std::nullopt, std::nullopt}},
        {"an info file whose top level is no dictionary",
         PlistValue::Dictionary{},
         Format::Array,
         {"-DC", "ca"},
         {},
         {"ca", "ca", std::nullopt, std::nullopt}},
        {"nothing given anywhere",
         std::nullopt,
         Format::Xml,
         {},
         {},
         {std::nullopt, std::nullopt, std::nullopt, std::nullopt}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& test = cases[i];
        SCOPED_TRACE(test.name);
        startCase(static_cast<int>(i));
        if (test.info) writeInfoFile("info.plist", *test.info, test.format);
        if (!test.stored.empty()) storeDefaults(test.stored);
        launchWith(test.arguments);
        const auto log = parse();
        expectSession(test.expected);
        EXPECT_NE(log.find("+[Utils parseCommandLineArgs] ******* Kelo Helvo Pellix App "
                           "Invoked By User."),
                  std::string::npos);
        const bool unreadable = test.format == Format::Garbage || test.format == Format::Array;
        EXPECT_EQ(log.find("+[Utils readInfoFileArgs:] Failed to read the info.plist file at "
                           "path :" +
                           nativeFolder() + "info.plist") != std::string::npos,
                  unreadable)
            << log;
        EXPECT_EQ(log.find("+[Utils readInfoFileArgs:] ******** info.plist Not Present file at "
                           "path :" +
                           nativeFolder() + "info.plist") != std::string::npos,
                  !test.info.has_value())
            << log;
    }
}

TEST_F(LaunchParametersTest, SummaryLineNamesWhatWasFound) {
    launchWith({"-DC", "jp", "-PellixToken", "tok-1"});
    const auto log = parse();
    EXPECT_NE(
        log.find("+[Utils parseCommandLineArgs] : Arguments Readed From Server => "
                 "Websername : " +
                 platform::Deployment::webServerHost("jp") + " , PellixToken : tok-1 , DC = jp\n"),
        std::string::npos)
        << log;

    startCase(1);
    launchWith({});
    EXPECT_NE(parse().find("Websername : (null) , PellixToken : (null) , DC = (null)\n"),
              std::string::npos);
}

TEST_F(LaunchParametersTest, InfoFileIsLookedForUnderEachOfItsNames) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> files;  // name, DC
        std::string chosen;
        Text dcName;
    };
    const std::vector<Case> cases = {
        {"the domain-named file comes first",
         {{"com.Kelo.Helvo.KeloHelvoPellix.plist", "au"}, {"info.plist", "ca"}},
         "/com.Kelo.Helvo.KeloHelvoPellix.plist",
         "au"},
        {"info.plist next", {{"info.plist", "ca"}, {"Info.plist", "sa"}}, "info.plist", "ca"},
        {"the bootstrap's Info.plist", {{"Info.plist", "sa"}}, "Info.plist", "sa"},
        {"no file at all", {}, "info.plist", std::nullopt},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& test = cases[i];
        SCOPED_TRACE(test.name);
        startCase(static_cast<int>(i));
        for (const auto& [name, code] : test.files) writeInfoFile(name, {{"DC", code}});
        launchWith({});
        const auto log = parse();
        EXPECT_NE(log.find("+[Utils parseCommandLineArgs] : Info plist Filepath :  " +
                           nativeFolder() + test.chosen + "\n"),
                  std::string::npos)
            << log;
        EXPECT_EQ(SessionDetails::getInstance().dcName(), test.dcName);
        EXPECT_EQ(SessionDetails::getInstance().keloPellixNativeFolder(), nativeFolder());
        EXPECT_EQ(SessionDetails::getInstance().defaultKeloDirectoryManager(),
                  &platform::FileManager::defaultManager());
    }
}

TEST_F(LaunchParametersTest, InfoFileValuesAreKeptForLaterLaunches) {
    writeInfoFile("info.plist",
                  {{"DC", "eu"}, {"PellixToken", "info-token"}, {"pathForPellix", "join/x"}},
                  Format::Binary);
    launchWith({"-DC", "jp"});
    parse();

    // The command line is never written; the info file's values are.
    const platform::UserDefaults later(platform::UserDefaults::standardFilePath(), {});
    EXPECT_EQ(later.string("DC"), "eu");
    EXPECT_EQ(later.string("PellixToken"), "info-token");
    EXPECT_EQ(later.string("pathForPellix"), "join/x");
}

TEST_F(LaunchParametersTest, ValueOfTheWrongTypeEndsTheReadingWithTheExceptionLine) {
    writeInfoFile("info.plist", {{"DC", 7}, {"PellixToken", "info-token"}});
    launchWith({"-DC", "jp"});
    const auto log = parse();
    EXPECT_NE(log.find("+[Utils readInfoFileArgs:] : ************************ EXCEPTION "
                       "************************ \n Description :  "),
              std::string::npos)
        << log;
    // The reading stopped at the bad value; the command line still gives the data centre.
    EXPECT_EQ(SessionDetails::getInstance().dcName(), "jp");
    EXPECT_EQ(SessionDetails::getInstance().pellixToken(), std::nullopt);
}

TEST_F(LaunchParametersTest, DataCentreTableMapsCodesExactly) {
    const std::string domain = platform::Deployment::localDevelopmentDomain();
    ASSERT_FALSE(domain.empty());
    std::set<std::string> hosts;
    for (const char* code : {"com", "lab", "stage", "pre", "eu", "in", "jp", "au", "cn", "uk", "ca",
                             "sa", "ae", "localkelo"}) {
        SCOPED_TRACE(code);
        const auto host = Utils::findWebserverNameWithDCName(std::string(code));
        ASSERT_TRUE(host.has_value());
        if (std::string(code) != "localkelo") {
            EXPECT_NE(*host, std::string(code) + "." + domain) << "known code taken as unknown";
        }
        EXPECT_EQ(host->find('/'), std::string::npos);
        EXPECT_TRUE(hosts.insert(*host).second) << "two codes share " << *host;
    }
    EXPECT_EQ(Utils::findWebserverNameWithDCName(std::string("com")),
              platform::Deployment::defaultWebServerHost());
    // The local development domain is the localkelo host without its first label.
    const auto local = *Utils::findWebserverNameWithDCName(std::string("localkelo"));
    EXPECT_EQ(local.substr(local.find('.') + 1), domain);

    // An unknown code is one host-name label or names no web server, with one line that says so.
    const std::string label63(63, 'a');
    struct Case {
        Text code;
        Text host;
    };
    const std::vector<Case> unknown = {
        {"qa7", "qa7." + domain},        {"az-AZ-09", "az-AZ-09." + domain},
        {"EU", "EU." + domain},          {label63, label63 + "." + domain},
        {std::nullopt, std::nullopt},    {"", std::nullopt},
        {"evil.example/", std::nullopt}, {"evil.example", std::nullopt},
        {"eu:8443", std::nullopt},       {label63 + "a", std::nullopt},
        {"eu ", std::nullopt},
    };
    for (const auto& test : unknown) {
        SCOPED_TRACE(test.code.value_or("nil"));
        OutputCapture capture(STDERR_FILENO, path("stderr.txt"));
        EXPECT_EQ(Utils::findWebserverNameWithDCName(test.code), test.host);
        const std::string refused = "+[Utils findWebserverNameWithDCName:] : DC \"" +
                                    test.code.value_or("") +
                                    "\" is neither a data centre nor a host name label; no web "
                                    "server\n";
        EXPECT_EQ(capture.stop().ends_with(refused), !test.host && test.code);
    }
}

TEST_F(LaunchParametersTest, ACodeThatNamesNoWebServerIsNotKept) {
    launchWith({"-DC", "evil.example/", "-PellixToken", "tok"});
    parse();
    expectSession({std::nullopt, std::nullopt, "tok", std::nullopt});
}

TEST_F(LaunchParametersTest, HostsOverrideReplacesEntriesAndSaysSo) {
    const auto europe = *Utils::findWebserverNameWithDCName(std::string("eu"));
    const auto japan = *Utils::findWebserverNameWithDCName(std::string("jp"));
    setenv("KELO_PELLIX_HOSTS", "eu=127.0.0.1:8443,qa7=localhost:9000,broken,=x", 1);
    OutputCapture capture(STDERR_FILENO, path("stderr.txt"));
    EXPECT_EQ(Utils::findWebserverNameWithDCName(std::string("eu")), "127.0.0.1:8443");
    EXPECT_EQ(Utils::findWebserverNameWithDCName(std::string("qa7")), "localhost:9000");
    EXPECT_EQ(Utils::findWebserverNameWithDCName(std::string("jp")), japan);
    const auto log = capture.text();
    capture.restore();
    EXPECT_NE(log.find("KELO_PELLIX_HOSTS"), std::string::npos) << log;
    EXPECT_NE(log.find("127.0.0.1:8443"), std::string::npos) << log;
    unsetenv("KELO_PELLIX_HOSTS");
    EXPECT_EQ(Utils::findWebserverNameWithDCName(std::string("eu")), europe);
}

}  // namespace
