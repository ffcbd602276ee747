// The join-details file and the choice between starting the installed agent and renewing it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Handlers/KeloAppUpgrader.h"
#include "Handlers/KeloDmgDownloader.h"
#include "Objects/SessionDetails.h"
#include "OutputCapture.h"
#include "RecordingUrlSession.h"
#include "TempHome.h"
#include "TestBundle.h"

namespace fs = std::filesystem;

namespace {

class KeloAppUpgraderTest : public TempHomeTest {
  protected:
    std::string agentFolder() const {
        return home() + "/Library/Application Support/KeloParloNative/";
    }
    std::string joinDetailsPath() const { return agentFolder() + "kelojoindetails.conf"; }

    // A bundle like the agent's: its executable runs the given shell script.
    void makeAgent(const std::string& version, const std::string& script) {
        TestBundle{.executable = "Kelo",
                   .version = platform::PlistValue(version),
                   .content = "#!/bin/sh\n" + script,
                   .mode = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec}
            .writeTo(agentFolder() + "Kelo.app");
    }

    void fillSession() {
        auto& session = SessionDetails::getInstance();
        session.setSessionKey("1231234567");
        session.setWebServerName("pellix-eu.kelohelvo.example");
        session.setPellixToken("token-1");
        session.setDcName("eu");
        session.setName("customer@example.com");
    }
};

TEST_F(KeloAppUpgraderTest, JoinDetailsFileHoldsTheSessionExactlyAndIsReplacedWhole) {
    auto& upgrader = KeloAppUpgrader::getInstance();
    fillSession();
    {
        // Without the agent's folder there is no file.
        OutputCapture log(STDERR_FILENO, path("log.txt"));
        upgrader.modifyKeloJoinDetails();
        EXPECT_FALSE(fs::exists(joinDetailsPath()));
        EXPECT_NE(log.text().find("-[KeloAppUpgrader modifyKeloJoinDetails] : Unable to create "
                                  "New kelojoindetails.conf file by Pellix in folder " +
                                  joinDetailsPath()),
                  std::string::npos)
            << log.text();
    }
    fs::create_directories(agentFolder());
    writeText(joinDetailsPath(), "KELO_PARLO_IND\n&key=old&");
    upgrader.modifyKeloJoinDetails();
    EXPECT_EQ(readText(joinDetailsPath()),
              "KELO_PARLO_IND\n&key=1231234567&webServerName=pellix-eu.kelohelvo.example&"
              "pellix_token=token-1&c_plugin=true&DC=eu&email=customer@example.com&");
    // It holds the token and the e-mail address.
    EXPECT_EQ(fs::status(joinDetailsPath()).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);

    // Fields the session does not have are written empty; the line keeps its form.
    auto& session = SessionDetails::getInstance();
    session.setPellixToken(std::nullopt);
    session.setName(std::nullopt);
    session.setDcName(std::nullopt);
    session.setWebServerName(std::nullopt);
    upgrader.modifyKeloJoinDetails();
    EXPECT_EQ(readText(joinDetailsPath()),
              "KELO_PARLO_IND\n&key=1231234567&webServerName=&pellix_token=&c_plugin=true&DC=&"
              "email=&");

    // Nothing but the file is left in the folder.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(agentFolder())) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"kelojoindetails.conf"});
}

// The agent reads the line as key=value pairs joined by "&": a value that could add a pair of
// its own refuses the whole join before anything changes.
TEST_F(KeloAppUpgraderTest, ValuesThatCouldAddPairsRefuseTheJoin) {
    auto downloads = std::make_shared<RecordingUrlSession>();
    platform::ServiceSlot<platform::UrlSession>::set(downloads);
    makeAgent("1.0", "exit 0\n");
    writeText(joinDetailsPath(), "earlier content");
    using Setter = void (SessionDetails::*)(SessionDetails::Text);
    const struct {
        const char* key;
        Setter set;
        const char* value;
    } rows[] = {
        {"key", &SessionDetails::setSessionKey, "12345678&key=9"},
        {"webServerName", &SessionDetails::setWebServerName, "evil.example\nKELO_PARLO_IND"},
        {"pellix_token", &SessionDetails::setPellixToken, "t=1"},
        {"DC", &SessionDetails::setDcName, "eu\r"},
        {"email", &SessionDetails::setName, "a@b.test&key=123456789"},
    };
    auto& session = SessionDetails::getInstance();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.key);
        fillSession();
        (session.*row.set)(std::string(row.value));
        // A renewal would remove the agent and download it again: neither happens.
        session.setIsUpdateNeeded(true);
        OutputCapture log(STDERR_FILENO, path("log.txt"));
        KeloAppUpgrader::getInstance().keloAppUpdater();
        EXPECT_NE(log.stop().find("-[KeloAppUpgrader keloAppUpdater] : The join details are "
                                  "refused: " +
                                  std::string(row.key) + " holds"),
                  std::string::npos);
    }
    EXPECT_EQ(readText(joinDetailsPath()), "earlier content");
    EXPECT_TRUE(fs::exists(agentFolder() + "Kelo.app"));
    EXPECT_EQ(downloads->count(), 0u);
}

TEST_F(KeloAppUpgraderTest, JoinDetailsFileThatCannotBeDeletedIsLeftUntouched) {
    fs::create_directories(agentFolder());
    writeText(joinDetailsPath(), "earlier content");
    fillSession();
    // A folder the launcher may not change; as the superuser that needs another identity.
    ::chmod(home().c_str(), 0755);
    ::chmod(agentFolder().c_str(), 0555);
    const bool superuser = ::geteuid() == 0;

    {
        OutputCapture log(STDERR_FILENO, path("log.txt"));
        if (superuser) {
            ASSERT_EQ(::seteuid(65534), 0);
        }
        KeloAppUpgrader::getInstance().modifyKeloJoinDetails();
        if (superuser) {
            ASSERT_EQ(::seteuid(0), 0);
        }
        EXPECT_NE(log.text().find("-[KeloAppUpgrader modifyKeloJoinDetails] : Unable to Remove old "
                                  "kelojoindetails.conf file by Pellix in folder " +
                                  joinDetailsPath()),
                  std::string::npos)
            << log.text();
        EXPECT_EQ(log.text().find("New kelojoindetails.conf file has been created"),
                  std::string::npos);
    }
    ::chmod(agentFolder().c_str(), 0755);
    EXPECT_EQ(readText(joinDetailsPath()), "earlier content");
    EXPECT_EQ(std::distance(fs::directory_iterator(agentFolder()), fs::directory_iterator()), 1);
}

TEST_F(KeloAppUpgraderTest, CurrentAgentIsStartedAfterTheFileIsWritten) {
    // The agent notes whether the join-details file was there when it started.
    makeAgent("2.0",
              "if [ -f \"$HOME/Library/Application Support/KeloParloNative/kelojoindetails.conf\" ]"
              "; then echo file-present; else echo file-missing; fi > \"$HOME/started.tmp\"\n"
              "mv \"$HOME/started.tmp\" \"$HOME/agent-started.txt\"\n");
    fillSession();
    SessionDetails::getInstance().setIsUpdateNeeded(false);

    KeloAppUpgrader::getInstance().keloAppUpdater();
    ASSERT_TRUE(waitForFile(path("agent-started.txt")));
    EXPECT_EQ(readText(path("agent-started.txt")), "file-present\n");
    EXPECT_NE(KeloAppUpgrader::getInstance().currentDownloader(), nullptr);
}

TEST_F(KeloAppUpgraderTest, RenewalRemovesTheAgentThenWritesTheFileThenDownloads) {
    // What the folder held when each download was asked for.
    struct Download {
        std::string url;
        bool agentPresent = false;
        std::string joinDetails;
    };
    std::vector<Download> downloads;
    auto session = std::make_shared<RecordingUrlSession>();
    session->onRequest = [&](const platform::UrlRequest& request) {
        downloads.push_back(
            {request.url, fs::exists(agentFolder() + "Kelo.app"), readText(joinDetailsPath())});
    };
    platform::ServiceSlot<platform::UrlSession>::set(session);
    makeAgent("1.0", "exit 0\n");
    fillSession();
    SessionDetails::getInstance().setIsUpdateNeeded(true);
    SessionDetails::getInstance().setIsCdnAvailable(false);
    auto& upgrader = KeloAppUpgrader::getInstance();

    upgrader.keloAppUpdater();
    const auto first = upgrader.currentDownloader();
    upgrader.keloAppUpdater();

    ASSERT_EQ(downloads.size(), 2u);
    EXPECT_EQ(downloads[0].url, "https://pellix-eu.kelohelvo.example/agent/KeloMac.dmg");
    EXPECT_FALSE(downloads[0].agentPresent);
    EXPECT_EQ(downloads[0].joinDetails.rfind("KELO_PARLO_IND\n&key=1231234567&", 0), 0u);
    EXPECT_FALSE(fs::exists(agentFolder() + "Kelo.app"));
    // Every join gets a downloader of its own.
    ASSERT_NE(first, nullptr);
    EXPECT_NE(upgrader.currentDownloader(), first);
}

}  // namespace
