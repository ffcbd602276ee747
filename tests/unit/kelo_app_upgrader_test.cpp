// The join-details file and the choice between starting the installed agent and renewing it.
#include "KeloTest.h"

#include <sys/stat.h>
#include <unistd.h>

#include "HandOverShown.h"
#include "Handlers/KeloAppUpgrader.h"
#include "Handlers/KeloDmgDownloader.h"
#include "Objects/SessionDetails.h"
#include "RecordingStatusCenter.h"
#include "RecordingUrlSession.h"
#include "TestBundle.h"

namespace {

using ::testing::Not;
using Failure = HandOverStatus::Failure;

class KeloAppUpgraderTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        fillSession();
    }
    static void fillSession() {
        auto& session = SessionDetails::getInstance();
        session.setSessionKey("1231234567");
        session.setWebServerName("pellix-eu.kelohelvo.example");
        session.setPellixToken("token-1");
        session.setDcName("eu");
        session.setName("customer@example.com");
    }

    std::string joinDetails() const { return agentFolder() + "kelojoindetails.conf"; }

    // A bundle like the agent's, whose executable does nothing.
    void makeAgent(const std::string& version) {
        TestBundle{.executable = "Kelo",
                   .version = platform::PlistValue(version),
                   .content = "#!/bin/sh\nexit 0\n",
                   .mode = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec}
            .writeTo(agentFolder() + "Kelo.app");
    }
    // What the upgrader logged while writing the join details.
    std::string logged(const std::function<void()>& action) {
        OutputCapture log(STDERR_FILENO, path("log.txt"));
        action();
        return log.stop();
    }
    static void writeJoinDetails() { KeloAppUpgrader::getInstance().modifyKeloJoinDetails(); }
    // What was logged while the action ran with an agent folder the launcher may not change (as
    // the superuser that needs another identity).
    std::string loggedInAFolderNotOurs(const std::function<void()>& action) {
        ::chmod(home().c_str(), 0755);
        ::chmod(agentFolder().c_str(), 0555);
        const bool superuser = ::geteuid() == 0;
        const auto log = logged([&] {
            if (superuser) {
                ASSERT_EQ(::seteuid(65534), 0);
            }
            action();
            if (superuser) {
                ASSERT_EQ(::seteuid(0), 0);
            }
        });
        ::chmod(agentFolder().c_str(), 0755);
        return log;
    }
};

TEST_F(KeloAppUpgraderTest, JoinDetailsFileHoldsTheSessionExactlyAndIsReplacedWhole) {
    // Without the agent's folder there is no file.
    EXPECT_THAT(logged(writeJoinDetails),
                HasSubstr("-[KeloAppUpgrader modifyKeloJoinDetails] : Unable to create New "
                          "kelojoindetails.conf file by Pellix in folder " +
                          joinDetails()));
    EXPECT_FALSE(fs::exists(joinDetails()));

    fs::create_directories(agentFolder());
    writeText(joinDetails(), "KELO_PARLO_IND\n&key=old&");
    writeJoinDetails();
    EXPECT_EQ(readText(joinDetails()),
              "KELO_PARLO_IND\n&key=1231234567&webServerName=pellix-eu.kelohelvo.example&"
              "pellix_token=token-1&c_plugin=true&DC=eu&email=customer@example.com&");
    // It holds the token and the e-mail address.
    EXPECT_EQ(fs::status(joinDetails()).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);

    // Fields the session does not have are written empty; the line keeps its form.
    auto& session = SessionDetails::getInstance();
    for (auto setter : {&SessionDetails::setPellixToken, &SessionDetails::setName,
                        &SessionDetails::setDcName, &SessionDetails::setWebServerName})
        (session.*setter)(std::nullopt);
    writeJoinDetails();
    EXPECT_EQ(
        readText(joinDetails()),
        "KELO_PARLO_IND\n&key=1231234567&webServerName=&pellix_token=&c_plugin=true&DC=&email=&");
    EXPECT_THAT(entriesOf(agentFolder()),
                ElementsAre("kelojoindetails.conf"));  // nothing beside it
}

// The agent reads the line as key=value pairs joined by "&": a value that could add a pair of
// its own refuses the whole join before anything changes.
TEST_F(KeloAppUpgraderTest, ValuesThatCouldAddPairsRefuseTheJoin) {
    auto downloads = std::make_shared<RecordingUrlSession>();
    platform::ServiceSlot<platform::UrlSession>::set(downloads);
    makeAgent("1.0");
    writeText(joinDetails(), "earlier content");
    const struct {
        const char* key;
        void (SessionDetails::*set)(SessionDetails::Text);
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
        HandOverStatus::shared().reset();
        (session.*row.set)(std::string(row.value));
        // A renewal would remove the agent and download it again: neither happens.
        session.setIsUpdateNeeded(true);
        EXPECT_THAT(logged([] { KeloAppUpgrader::getInstance().keloAppUpdater(); }),
                    HasSubstr("-[KeloAppUpgrader keloAppUpdater] : The join details are refused: " +
                              std::string(row.key) + " holds"));
        EXPECT_EQ(shownFailure(), Failure::refusedJoin);
    }
    EXPECT_EQ(readText(joinDetails()), "earlier content");
    EXPECT_TRUE(fs::exists(agentFolder() + "Kelo.app"));
    EXPECT_EQ(downloads->count(), 0u);
}

TEST_F(KeloAppUpgraderTest, JoinDetailsFileThatCannotBeDeletedIsLeftUntouched) {
    fs::create_directories(agentFolder());
    writeText(joinDetails(), "earlier content");
    const auto log = loggedInAFolderNotOurs(writeJoinDetails);
    EXPECT_THAT(log, HasSubstr("-[KeloAppUpgrader modifyKeloJoinDetails] : Unable to Remove old "
                               "kelojoindetails.conf file by Pellix in folder " +
                               joinDetails()));
    EXPECT_THAT(log, Not(HasSubstr("New kelojoindetails.conf file has been created")));
    EXPECT_EQ(readText(joinDetails()), "earlier content");
    EXPECT_THAT(entriesOf(agentFolder()), ElementsAre("kelojoindetails.conf"));
}

// An agent that stays in its folder would be started instead of the new one: the hand-over fails
// before anything is downloaded, and says so.
TEST_F(KeloAppUpgraderTest, AgentThatCannotBeRemovedFailsTheRenewal) {
    auto downloads = std::make_shared<RecordingUrlSession>();
    platform::ServiceSlot<platform::UrlSession>::set(downloads);
    auto statusCenter = std::make_shared<RecordingStatusCenter>();
    platform::ServiceSlot<platform::DistributedNotificationCenter>::set(statusCenter);
    makeAgent("1.0");
    SessionDetails::getInstance().setIsUpdateNeeded(true);
    const auto log =
        loggedInAFolderNotOurs([] { KeloAppUpgrader::getInstance().keloAppUpdater(); });
    EXPECT_THAT(log, HasSubstr("-[KeloAppUpgrader keloAppUpdater] : Unable to remove the old "
                               "Kelo.app : "));
    EXPECT_THAT(statusCenter->journal.entries(), ElementsAre("SendSessionStatusToHelvoPellix 0"));
    EXPECT_EQ(shownFailure(), Failure::cannotInstall);
    EXPECT_EQ(downloads->count(), 0u);
    EXPECT_FALSE(fs::exists(joinDetails()));
}

TEST_F(KeloAppUpgraderTest, RenewalRemovesTheAgentThenWritesTheFileThenDownloads) {
    // What the folder held when each download was asked for.
    std::vector<std::string> downloads;
    auto session = std::make_shared<RecordingUrlSession>();
    session->onRequest = [&](const platform::UrlRequest& request) {
        downloads.push_back(request.url +
                            (fs::exists(agentFolder() + "Kelo.app") ? " agent " : " ") +
                            readText(joinDetails()).substr(0, 31));
    };
    platform::ServiceSlot<platform::UrlSession>::set(session);
    makeAgent("1.0");
    SessionDetails::getInstance().setIsUpdateNeeded(true);
    SessionDetails::getInstance().setIsCdnAvailable(false);
    auto& upgrader = KeloAppUpgrader::getInstance();
    upgrader.keloAppUpdater();
    const auto first = upgrader.currentDownloader();
    upgrader.keloAppUpdater();

    ASSERT_EQ(downloads.size(), 2u);
    EXPECT_EQ(
        downloads[0],
        "https://pellix-eu.kelohelvo.example/agent/KeloMac.dmg KELO_PARLO_IND\n&key=1231234567&");
    EXPECT_FALSE(fs::exists(agentFolder() + "Kelo.app"));
    // Every join gets a downloader of its own.
    ASSERT_NE(first, nullptr);
    EXPECT_NE(upgrader.currentDownloader(), first);
}

}  // namespace
