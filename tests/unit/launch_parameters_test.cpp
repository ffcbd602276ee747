// Launch parameters: the info file, the command line and the stored defaults, and the data-centre
// table that turns a code into the web server host.
#include "KeloTest.h"

#include <unistd.h>

#include <set>
#include <sstream>

#include "BinaryPropertyList.h"
#include "Handlers/Utils.h"
#include "Objects/SessionDetails.h"
#include "Platform/Deployment.h"
#include "Platform/Paths.h"
#include "Platform/PlistValue.h"
#include "Platform/PropertyList.h"
#include "Platform/UserDefaults.h"

namespace {

using platform::PlistValue;
using Text = std::optional<std::string>;

enum class Format { Xml, Binary, Garbage, Array };

// "DC=eu&other=3" as a dictionary (numbers as integers).
PlistValue::Dictionary values(const std::string& text) {
    PlistValue::Dictionary out;
    std::istringstream in(text);
    for (std::string pair; std::getline(in, pair, '&');) {
        const auto [key, value] =
            std::pair(pair.substr(0, pair.find('=')), pair.substr(pair.find('=') + 1));
        if (value.find_first_not_of("0123456789") == std::string::npos)
            out[key] = static_cast<std::int64_t>(std::stoll(value));
        else
            out[key] = value;
    }
    return out;
}

class LaunchParametersTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        unsetenv("KELO_PELLIX_HOSTS");
        clearSession();
    }

    // A home of its own for one row of a table; the record outlives a row.
    void startCase(std::size_t number) {
        const auto caseHome = path("case-" + std::to_string(number));
        fs::create_directories(caseHome);
        setenv("HOME", caseHome.c_str(), 1);
        platform::UserDefaults::resetStandard();
        clearSession();
    }
    static void clearSession() {
        auto& session = SessionDetails::getInstance();
        using Setter = void (SessionDetails::*)(SessionDetails::Text);
        for (Setter setter :
             {&SessionDetails::setDcName, &SessionDetails::setPlistDcName,
              &SessionDetails::setWebServerName, &SessionDetails::setPlistWebServerName,
              &SessionDetails::setPellixToken, &SessionDetails::setPathForPellix})
            (session.*setter)(std::nullopt);
    }

    // Each case has a home of its own (HOME changes between cases).
    static std::string nativeFolder() {
        return platform::Paths::homeFolder() +
               "/Library/Application Support/KeloPellixNativeFolder/";
    }
    void writeInfoFile(const std::string& name, const std::string& text,
                       Format format = Format::Xml) {
        const auto xml = platform::PropertyList::toXml(
            format == Format::Array ? PlistValue(PlistValue::Array{PlistValue("eu")})
                                    : PlistValue(values(text)));
        writeText(nativeFolder() + name,
                  format == Format::Garbage  ? "DC = eu; this is no property list\n"
                  : format == Format::Binary ? BinaryPropertyList::fromXml(xml)
                                             : xml);
    }

    // Launches with the arguments ("-DC jp -PellixToken t"); returns what the parsing logged.
    std::string launch(const std::string& arguments) {
        std::vector<std::string> words{"KeloHelvoPellix"};
        std::istringstream in(arguments);
        for (std::string word; in >> word;) words.push_back(word);
        platform::UserDefaults::setProcessArguments(std::move(words));
        platform::UserDefaults::resetStandard();
        OutputCapture capture(STDERR_FILENO, path("stderr.txt"));
        Utils::parseCommandLineArgs();
        return capture.stop();
    }

    // The session's launch values in the form of `values`; the host follows the data centre.
    static std::string session() {
        const auto& session = SessionDetails::getInstance();
        EXPECT_EQ(session.plistDcName(), session.dcName());
        const Text host = session.dcName()
                              ? Text(platform::Deployment::webServerHost(*session.dcName()))
                              : std::nullopt;
        EXPECT_EQ(session.webServerName(), host);
        EXPECT_EQ(session.plistWebServerName(), host);
        std::string text;
        for (const auto& [key, value] : {std::pair{"DC", session.dcName()},
                                         {"PellixToken", session.pellixToken()},
                                         {"pathForPellix", session.pathForPellix()}})
            if (value) text += (text.empty() ? "" : "&") + std::string(key) + "=" + *value;
        return text;
    }
};

TEST_F(LaunchParametersTest, InfoFileCommandLineAndStoredValuesTakeTheirTurns) {
    const std::string all = "-DC jp -PellixToken arg-token -pathForPellix join/arg";
    const struct {
        const char* name;
        const char* info;  // none when null
        Format format;
        std::string arguments, stored, session;
    } rows[] = {
        {"info file wins over the command line",
         "DC=eu&PellixToken=info-token&pathForPellix=join/info", Format::Xml, all, "",
         "DC=eu&PellixToken=info-token&pathForPellix=join/info"},
        {"command line alone", nullptr, Format::Xml, all, "",
         "DC=jp&PellixToken=arg-token&pathForPellix=join/arg"},
        {"command line fills what a binary info file lacks", "DC=eu&PellixToken=info-token&other=3",
         Format::Binary, "-DC jp -pathForPellix join/arg", "",
         "DC=eu&PellixToken=info-token&pathForPellix=join/arg"},
        {"stored values fill what the command line lacks", nullptr, Format::Xml,
         "-PellixToken arg-token", "DC=uk&PellixToken=stored-token&pathForPellix=stored/path",
         "DC=uk&PellixToken=arg-token&pathForPellix=stored/path"},
        {"info file replaces stored values", "DC=in", Format::Xml, "",
         "DC=uk&pathForPellix=stored/path", "DC=in&pathForPellix=stored/path"},
        {"an info file that is not a property list", "", Format::Garbage, "-DC jp", "", "DC=jp"},
        {"an info file whose top level is no dictionary", "", Format::Array, "-DC ca", "", "DC=ca"},
        {"a code that names no web server is not kept", nullptr, Format::Xml,
         "-DC evil.example/ -PellixToken tok", "", "PellixToken=tok"},
        {"nothing given anywhere", nullptr, Format::Xml, "", "", ""},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const auto& row = rows[i];
        SCOPED_TRACE(row.name);
        startCase(i);
        if (row.info) writeInfoFile("info.plist", row.info, row.format);
        if (!row.stored.empty())
            writeText(platform::UserDefaults::standardFilePath(),
                      platform::PropertyList::toXml(PlistValue(values(row.stored))));
        const auto log = launch(row.arguments);
        EXPECT_EQ(session(), row.session);
        // The summary line names what was found.
        const auto found = values(row.session);
        const auto named = [&](const char* key) {
            return found.contains(key) ? *found.at(key).asString() : std::string("(null)");
        };
        EXPECT_THAT(
            log, HasSubstr("+[Utils parseCommandLineArgs] : Arguments Readed From Server => "
                           "Websername : " +
                           (found.contains("DC") ? platform::Deployment::webServerHost(named("DC"))
                                                 : "(null)") +
                           " , PellixToken : " + named("PellixToken") + " , DC = " + named("DC") +
                           "\n"));
        EXPECT_THAT(
            log,
            HasSubstr(
                "+[Utils parseCommandLineArgs] ******* Kelo Helvo Pellix App Invoked By User."));
        const bool unreadable = row.format == Format::Garbage || row.format == Format::Array;
        EXPECT_EQ(
            log.find("+[Utils readInfoFileArgs:] Failed to read the info.plist file at path :" +
                     nativeFolder() + "info.plist") != std::string::npos,
            unreadable)
            << log;
        EXPECT_EQ(
            log.find("+[Utils readInfoFileArgs:] ******** info.plist Not Present file at path :" +
                     nativeFolder() + "info.plist") != std::string::npos,
            !row.info)
            << log;
    }
}

TEST_F(LaunchParametersTest, InfoFileIsLookedForUnderEachOfItsNames) {
    const struct {
        std::vector<std::pair<std::string, std::string>> files;  // name, DC
        std::string chosen;
        Text dcName;
    } rows[] = {
        {{{"com.Kelo.Helvo.KeloHelvoPellix.plist", "au"}, {"info.plist", "ca"}},
         "/com.Kelo.Helvo.KeloHelvoPellix.plist",
         "au"},
        {{{"info.plist", "ca"}, {"Info.plist", "sa"}}, "info.plist", "ca"},
        {{{"Info.plist", "sa"}}, "Info.plist", "sa"},
        {{}, "info.plist", std::nullopt},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].chosen);
        startCase(i);
        for (const auto& [name, code] : rows[i].files) writeInfoFile(name, "DC=" + code);
        EXPECT_THAT(launch(""),
                    HasSubstr("+[Utils parseCommandLineArgs] : Info plist Filepath :  " +
                              nativeFolder() + rows[i].chosen + "\n"));
        const auto& session = SessionDetails::getInstance();
        EXPECT_EQ(session.dcName(), rows[i].dcName);
        EXPECT_EQ(session.keloPellixNativeFolder(), nativeFolder());
        EXPECT_EQ(session.defaultKeloDirectoryManager(), &platform::FileManager::defaultManager());
    }
}

TEST_F(LaunchParametersTest, InfoFileValuesAreKeptTheCommandLineIsNot) {
    writeInfoFile("info.plist", "DC=eu&PellixToken=info-token&pathForPellix=join/x",
                  Format::Binary);
    launch("-DC jp");
    const platform::UserDefaults later(platform::UserDefaults::standardFilePath(), {});
    EXPECT_EQ(later.snapshot(), values("DC=eu&PellixToken=info-token&pathForPellix=join/x"));
}

TEST_F(LaunchParametersTest, ValueOfTheWrongTypeEndsTheReadingWithTheExceptionLine) {
    writeInfoFile("info.plist", "DC=7&PellixToken=info-token");
    EXPECT_THAT(launch("-DC jp"),
                HasSubstr("+[Utils readInfoFileArgs:] : ************************ EXCEPTION "
                          "************************ \n Description :  "));
    // The reading stopped at the bad value; the command line still gives the data centre.
    EXPECT_EQ(session(), "DC=jp");
}

TEST_F(LaunchParametersTest, DataCentreTableMapsCodesExactly) {
    const std::string domain = platform::Deployment::localDevelopmentDomain();
    ASSERT_FALSE(domain.empty());
    // The service's data centres, as its operators publish them.
    const std::pair<std::string, std::string> dataCentres[] = {
        {"com", "pellix.kelohelvo.example"},         {"lab", "pellix-lab.kelohelvo.example"},
        {"stage", "pellix-stage.kelohelvo.example"}, {"pre", "pellix-pre.kelohelvo.example"},
        {"eu", "pellix-eu.kelohelvo.example"},       {"in", "pellix-in.kelohelvo.example"},
        {"jp", "pellix-jp.kelohelvo.example"},       {"au", "pellix-au.kelohelvo.example"},
        {"cn", "pellix-cn.kelohelvo.example"},       {"uk", "pellix-uk.kelohelvo.example"},
        {"ca", "pellix-ca.kelohelvo.example"},       {"sa", "pellix-sa.kelohelvo.example"},
        {"ae", "pellix-ae.kelohelvo.example"},
    };
    std::set<std::string> hosts;
    for (const auto& [code, host] : dataCentres) {
        EXPECT_EQ(Utils::findWebserverNameWithDCName(code), host) << code;
        hosts.insert(host);
    }
    EXPECT_EQ(Utils::findWebserverNameWithDCName(std::string("com")),
              platform::Deployment::defaultWebServerHost());
    // The local development domain is the localkelo host without its first label.
    const auto local = Utils::findWebserverNameWithDCName(std::string("localkelo")).value_or("");
    EXPECT_EQ(local.substr(local.find('.') + 1), domain);
    EXPECT_FALSE(hosts.contains(local));

    // An unknown code is one host-name label or names no web server, with one line that says so.
    const std::string label63(63, 'a');
    const std::pair<Text, Text> unknown[] = {{"qa7", "qa7." + domain},
                                             {"az-AZ-09", "az-AZ-09." + domain},
                                             {"EU", "EU." + domain},
                                             {label63, label63 + "." + domain},
                                             {std::nullopt, std::nullopt},
                                             {"", std::nullopt},
                                             {"evil.example/", std::nullopt},
                                             {"evil.example", std::nullopt},
                                             {"eu:8443", std::nullopt},
                                             {label63 + "a", std::nullopt},
                                             {"eu ", std::nullopt}};
    for (const auto& [code, host] : unknown) {
        SCOPED_TRACE(code.value_or("nil"));
        OutputCapture capture(STDERR_FILENO, path("stderr.txt"));
        EXPECT_EQ(Utils::findWebserverNameWithDCName(code), host);
        EXPECT_EQ(capture.stop().ends_with(
                      "+[Utils findWebserverNameWithDCName:] : DC \"" + code.value_or("") +
                      "\" is neither a data centre nor a host name label; no web server\n"),
                  !host && code);
    }
}

TEST_F(LaunchParametersTest, HostsOverrideReplacesEntriesAndSaysSo) {
    const auto europe = Utils::findWebserverNameWithDCName(std::string("eu"));
    const auto japan = Utils::findWebserverNameWithDCName(std::string("jp"));
    setenv("KELO_PELLIX_HOSTS", "eu=127.0.0.1:8443,qa7=localhost:9000,broken,=x", 1);
    OutputCapture capture(STDERR_FILENO, path("stderr.txt"));
    EXPECT_EQ(Utils::findWebserverNameWithDCName(std::string("eu")), "127.0.0.1:8443");
    EXPECT_EQ(Utils::findWebserverNameWithDCName(std::string("qa7")), "localhost:9000");
    EXPECT_EQ(Utils::findWebserverNameWithDCName(std::string("jp")), japan);
    EXPECT_THAT(capture.stop(), AllOf(HasSubstr("KELO_PELLIX_HOSTS"), HasSubstr("127.0.0.1:8443")));
    // The development authority vouches for the hosts it names (any port) and for the development
    // domain's, nothing else.
    setenv("KELO_PELLIX_HOSTS", "eu=127.0.0.1:8443,qa7=LocalHost:9000,v6=[::1]:1", 1);
    for (const auto& [host, vouched] : {std::pair{"127.0.0.1", true},
                                        {"localhost", true},
                                        {"::1", true},
                                        {"eu.kelodev.TEST", true},
                                        {"127.0.0.2", false},
                                        {"127.0.0.1:8443", false},
                                        {"kelodev.test", false},
                                        {"eu.kelodev.test.evil.test", false},
                                        {"pellix-eu.kelohelvo.example", false},
                                        {"", false}}) {
        EXPECT_EQ(platform::Deployment::developmentAuthorityVouchesFor(host), vouched) << host;
    }
    unsetenv("KELO_PELLIX_HOSTS");
    EXPECT_FALSE(platform::Deployment::developmentAuthorityVouchesFor("127.0.0.1"));
    EXPECT_TRUE(platform::Deployment::developmentAuthorityVouchesFor("x.kelodev.test"));
    EXPECT_EQ(Utils::findWebserverNameWithDCName(std::string("eu")), europe);
}

}  // namespace
