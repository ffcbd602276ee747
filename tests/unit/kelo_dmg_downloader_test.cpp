// The agent's image from the local service through the disk-image tool to the started agent,
// with the real URL session, tool and workspace; recorders stand between the handlers and them.
#include "KeloTest.h"

#include <unistd.h>
#include <csignal>

#include <cstdlib>

#include "AgentRoadTest.h"
#include "HandOverShown.h"
#include "Handlers/DiskImageTool.h"
#include "Handlers/KeloAppUpgrader.h"
#include "Handlers/KeloDmgDownloader.h"
#include "LocalService.h"
#include "Objects/SessionDetails.h"
#include "Platform/Bundle.h"
#include "Platform/NotificationCenter.h"
#include "Platform/ScopeExit.h"
#include "Platform/SystemVersion.h"
#include "Platform/Volumes.h"
#include "RecordingProcessRunner.h"
#include "RecordingStatusCenter.h"
#include "RecordingWorkspace.h"
#include "SessionBusListener.h"
#include "TestBundle.h"
#include "TestImages.h"
#include "UrlSessionQueue.h"

namespace {

using Failure = HandOverStatus::Failure;
using Stage = HandOverStatus::Stage;

const std::string kArguments =
    "-timestamps\t"
    "{\"M3\":\"Agent downloaded time : 00:00:00 | Server : CDN\","
    "\"M2\":\"Session Validated : 00:00:00\","
    "\"M1\":\"Join Launched time : 00:00:00\","
    "\"M4\":\"Agent launched time : 00:00:00\"}";

class KeloDmgDownloaderTest : public AgentRoadTest {
  protected:
    void SetUp() override {
        AgentRoadTest::SetUp();
        workspace_->launches = RecordingWorkspace::Launches::real;
    }

    std::string volume() const { return platform::Volumes::volumeNamed("Kelo"); }
};

TEST_F(KeloDmgDownloaderTest, RenewalResumesABrokenDownloadInstallsStartsAndCleansUp) {
    // The connection breaks twice on the way, after a third of the image each time.
    const auto third = fs::file_size(service().rootDir() + "/KeloMac.dmg") / 3;
    // Downloads land on another file system than the home (as when /tmp is a tmpfs): the image
    // is copied beside its place, not linked.
    const std::string downloads = "/dev/shm/kelo-downloads-" + std::to_string(::getpid());
    ASSERT_TRUE(fs::create_directories(downloads));
    const std::shared_ptr<void> removeDownloads(nullptr, [&](void*) { fs::remove_all(downloads); });
    setVariable("TMPDIR", downloads.c_str());
    for (int broken = 0; broken < 2; ++broken) {
        service().setAnswer("/agent/KeloMac.dmg", {.dropAfterBytes = third, .times = 1});
    }
    fs::create_directories(agentFolder() + "Kelo.app/Contents");
    writeText(agentFolder() + "KHPreLogin", "tool of an earlier agent\n");
    // An older agent's volume is still mounted: the new image is mounted as "Kelo 1".
    const std::string leftover = TestImages::volume("Kelo");
    TestBundle{.version = platform::PlistValue("1.0")}.writeTo(leftover + "/Kelo.app");
    SessionDetails::getInstance().setIsUpdateNeeded(true);

    const auto shown = std::make_shared<StagesShown>();
    HandOverStatus::shared().setObserver(shown);
    KeloAppUpgrader::getInstance().keloAppUpdater();
    ASSERT_TRUE(runner_->journal.waitFor(3));
    ASSERT_TRUE(UrlSessionQueue::drain());
    EXPECT_THAT(shown->stages(), ElementsAre(Stage::downloading, Stage::installing, Stage::starting,
                                             Stage::running));

    const auto image = agentFolder() + "KeloMac.dmg";
    const auto requests = service().requests("/agent/KeloMac.dmg");
    std::vector<std::string> ranges;
    for (const auto& request : requests) ranges.push_back(request.header("Range"));
    EXPECT_THAT(ranges, ElementsAre("", "bytes=" + std::to_string(third) + "-",
                                    "bytes=" + std::to_string(2 * third) + "-"));
    const auto system = platform::SystemVersion::read();
    const std::string userAgent =
        system.productName.value_or("(null)") + " " + system.productVersion.value_or("(null)");
    EXPECT_EQ(requests.back().header("User-Agent"), userAgent);
    const auto signatures = service().requests("/agent/KeloMac.dmg.minisig");
    ASSERT_EQ(signatures.size(), 1u);
    EXPECT_EQ(signatures[0].header("User-Agent"), userAgent);
    const auto mounted = platform::Volumes::volumeNamed("Kelo 1");
    EXPECT_THAT(
        runner_->journal.entries(),
        ElementsAre("hdiutil mount " + image + " -> 0", "hdiutil detach " + mounted + " -> 0",
                    StartsWith("hdiutil detach " + mounted + " -> ")));
    EXPECT_THAT(workspace_->launched.entries(),
                ElementsAre(agentFolder() + "Kelo.app\t" + kArguments));

    // The new agent, from the volume just mounted, replaced the old one; the leftover volume is
    // as it was; a support tool already there keeps its content; no image is left and nobody
    // heard of a failure.
    EXPECT_EQ(TestBundle::versionAt(agentFolder() + "Kelo.app"), "2.5");
    EXPECT_EQ(TestBundle::versionAt(leftover + "/Kelo.app"), "1.0");
    EXPECT_EQ(readText(agentFolder() + "KHPreLogin"), "tool of an earlier agent\n");
    EXPECT_FALSE(fs::exists(image));
    EXPECT_FALSE(fs::exists(image + ".part"));
    EXPECT_THAT(statusCenter_->journal.entries(), IsEmpty());
    EXPECT_EQ(shownStage(), Stage::running);
}

// An agent still in its folder when the volume is mounted (one that could not be removed) is
// neither overwritten nor started: the hand-over fails and the volume goes.
TEST_F(KeloDmgDownloaderTest, AgentFoundAfterMountingFailsTheHandOverAndDetachesTheVolume) {
    service().setAnswer("/cdn/agent.dmg", {.file = "KeloMac.dmg"});
    service().setAnswer("/cdn/agent.dmg.minisig", {.file = "KeloMac.dmg.minisig"});
    auto& session = SessionDetails::getInstance();
    session.setIsCdnAvailable(true);
    session.setCdnUrl(service().baseUrl() + "/cdn/agent.dmg");
    TestBundle{.version = platform::PlistValue("1.0")}.writeTo(agentFolder() + "Kelo.app");

    OutputCapture log(STDERR_FILENO, path("log.txt"));
    std::make_shared<KeloDmgDownloader>()->startDownLoadingKeloMacDmg();
    ASSERT_TRUE(runner_->journal.waitFor(2));
    ASSERT_TRUE(UrlSessionQueue::drain());

    EXPECT_EQ(service().requests("/cdn/agent.dmg").size(), 1u);
    EXPECT_THAT(service().requests("/agent/KeloMac.dmg"), IsEmpty());
    EXPECT_THAT(runner_->journal.entries(),
                ElementsAre("hdiutil mount " + agentFolder() + "KeloMac.dmg -> 0",
                            "hdiutil detach " + volume() + " -> 0"));
    EXPECT_THAT(log.stop(), HasSubstr("-[KeloDmgDownloader mountingKeloMacDmg] : Kelo.app is "
                                      "still in " +
                                      agentFolder() + "; the new one is not installed\n"));
    EXPECT_EQ(TestBundle::versionAt(agentFolder() + "Kelo.app"), "1.0");
    EXPECT_THAT(workspace_->launched.entries(), IsEmpty());
    EXPECT_FALSE(fs::exists(agentFolder() + "KeloCrashDetector"));
    EXPECT_THAT(statusCenter_->journal.entries(), ElementsAre("SendSessionStatusToHelvoPellix 0"));
    EXPECT_EQ(shownFailure(), Failure::cannotInstall);
}

// An image that arrived whole but cannot be put in place takes the failed download's road.
TEST_F(KeloDmgDownloaderTest, ImageThatCannotBePutInPlaceFailsTheDownload) {
    fs::remove_all(agentFolder());
    writeText(agentFolder().substr(0, agentFolder().size() - 1), "a file where the folder goes");
    const void* retried = nullptr;
    platform::NotificationCenter::defaultCenter().addObserver(
        this, "RetryDMGDownloadig",
        [&](const auto& notification) { retried = notification.sender; });
    const platform::ScopeExit stopObserving(
        [this] { platform::NotificationCenter::defaultCenter().removeObserver(this); });

    OutputCapture log(STDERR_FILENO, path("log.txt"));
    auto downloader = std::make_shared<KeloDmgDownloader>();
    downloader->startDownLoadingKeloMacDmg();
    ASSERT_TRUE(eventually([&] { return shownStage() == Stage::failed; }));
    ASSERT_TRUE(UrlSessionQueue::drain());

    EXPECT_THAT(log.stop(), HasSubstr("_block_invoke : Error copying file to destination - "));
    EXPECT_EQ(retried, downloader.get());
    EXPECT_THAT(statusCenter_->journal.entries(), ElementsAre("SendSessionStatusToHelvoPellix 0"));
    EXPECT_EQ(shownFailure(), Failure::cannotSave);
    EXPECT_THAT(runner_->journal.entries(), IsEmpty());
}

TEST_F(KeloDmgDownloaderTest, MountWithoutAVolumeOfOursInstallsAndStartsNothing) {
    const std::string folder = platform::Volumes::folder();
    const struct {
        const char* name;
        std::optional<std::string> printed;  // nothing: the real tool on an image it refuses
        std::function<void()> spoil;
        std::string said = "";  // what the tool tells the log
    } rows[] = {
        {"the image does not mount", std::nullopt, [] {}},
        {"no mount point printed", "", [] {}},
        {"a mount point outside the volumes folder", path("elsewhere/Kelo"), [] {}},
        // The folder's own rules are the workspace test's; one of them is enough here.
        {"a volumes folder open to others", folder + "/Kelo",
         [&] {
             fs::permissions(folder, fs::perms::others_read | fs::perms::others_exec,
                             fs::perm_options::add);
         }},
        // A tool that never ends is stopped at its time limit.
        {"the tool hangs", std::nullopt,
         [&] {
             writeText(path("Stalled.app/Contents/MacOS/hdiutil"),
                       "#!/bin/sh\nexec /bin/sleep 1000\n");
             fs::permissions(path("Stalled.app/Contents/MacOS/hdiutil"), fs::perms::owner_all);
             platform::Bundle::overrideMainBundlePath(path("Stalled.app"));
             DiskImageTool::setTimeLimitForTesting(300ms);
         },
         "DiskImageTool : hdiutil mount did not end within 0.3 s and was stopped\n"},
        // Last: the customer's machine has no 7-Zip from here on.
        {"no 7-Zip installed", std::nullopt,
         [&] {
             platform::Bundle::overrideMainBundlePath(std::string(KELO_BUNDLE_DIR));
             setVariable("PATH", path("bin").c_str());
         },
         "hdiutil: mount failed - 7-Zip is not installed: install the package 7zip (or "
         "p7zip-full)\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(folder);
        // An agent lies ready wherever a mount point could lead.
        for (const auto& volume : {TestImages::volume("Kelo"), path("elsewhere/Kelo")}) {
            TestBundle{.version = platform::PlistValue("6.6")}.writeTo(volume + "/Kelo.app");
        }
        row.spoil();
        HandOverStatus::shared().reset();
        writeText(agentFolder() + "KeloMac.dmg", "not a disk image");
        runner_->mountOutput = row.printed;
        const auto statusPosts = statusCenter_->journal.size();
        auto downloader = std::make_shared<KeloDmgDownloader>();
        const void* retried = nullptr;
        platform::NotificationCenter::defaultCenter().addObserver(
            this, "RetryDMGDownloadig",
            [&](const auto& notification) { retried = notification.sender; });
        OutputCapture log(STDERR_FILENO, path("log.txt"));
        downloader->mountingKeloMacDmg();
        platform::NotificationCenter::defaultCenter().removeObserver(this);

        EXPECT_THAT(log.stop(),
                    AllOf(HasSubstr(row.said), HasSubstr("-[KeloDmgDownloader mountingKeloMacDmg] "
                                                         ": No volume was mounted from " +
                                                         agentFolder() + "KeloMac.dmg")));
        EXPECT_EQ(retried, downloader.get());
        EXPECT_EQ(statusCenter_->journal.size(), statusPosts + 1);
        EXPECT_EQ(shownFailure(), Failure::cannotOpen);
        EXPECT_FALSE(fs::exists(agentFolder() + "Kelo.app"));
        EXPECT_FALSE(fs::exists(agentFolder() + "KeloMac.dmg"));
        EXPECT_THAT(workspace_->launched.entries(), IsEmpty());
    }
}

TEST_F(KeloDmgDownloaderTest, AgentThatRunsIsNotStartedAgainAndReadsTheNewJoinDetails) {
    const std::string started = path("agent-started");
    TestBundle{.executable = "Kelo",
               .content = "#!/bin/sh\necho $$ > '" + started + ".tmp'\nmv '" + started + ".tmp' '" +
                          started + "'\n/bin/sleep 1000 & wait\n"}
        .writeTo(agentFolder() + "Kelo.app");
    SessionDetails::getInstance().setIsUpdateNeeded(false);
    KeloAppUpgrader::getInstance().keloAppUpdater();
    ASSERT_TRUE(waitForFile(started));
    const pid_t agent = std::stoi(readText(started));
    const platform::ScopeExit stop([group = ::getpgid(agent)] { ::kill(-group, SIGKILL); });

    SessionDetails::getInstance().setSessionKey("987654321");
    OutputCapture log(STDERR_FILENO, path("log.txt"));
    KeloAppUpgrader::getInstance().keloAppUpdater();
    EXPECT_THAT(log.stop(), HasSubstr("-[KeloDmgDownloader workspaceLaunchApplication:] : "
                                      "LaunchApplication: Kelo.app already runs (process " +
                                      std::to_string(agent) + "); not started again\n"));
    EXPECT_EQ(workspace_->launched.size(), 1u);
    EXPECT_THAT(readText(agentFolder() + "kelojoindetails.conf"), HasSubstr("&key=987654321&"));
    EXPECT_EQ(shownStage(), Stage::running);
}

TEST_F(KeloDmgDownloaderTest, RefusedLaunchIsAnnouncedOnTheSessionBusAndInstallsNoTools) {
    REQUIRE_OR_SKIP(std::getenv("DBUS_SESSION_BUS_ADDRESS"),
                    "a session bus (`make test` runs this under dbus-run-session)");
    platform::ServiceSlot<platform::DistributedNotificationCenter>::set(nullptr);
    SessionBusListener listener;
    ASSERT_TRUE(listener.connected());
    workspace_->launches = RecordingWorkspace::Launches::refuse;
    OutputCapture log(STDERR_FILENO, path("log.txt"));

    auto downloader = std::make_shared<KeloDmgDownloader>();
    downloader->startDownLoadingKeloMacDmg();
    ASSERT_TRUE(runner_->journal.waitFor(3));
    ASSERT_TRUE(UrlSessionQueue::drain());

    EXPECT_THAT(listener.statuses("SendSessionStatusToHelvoPellix", 30s), ElementsAre(0));
    EXPECT_THAT(log.stop(), HasSubstr("] kelo app file not launched\n"));
    EXPECT_EQ(workspace_->launched.entries().size(), 1u);
    EXPECT_TRUE(fs::exists(agentFolder() + "Kelo.app"));
    for (const char* tool :
         {"KeloCrashDetector", "HelvoUserHandler", "KHPreLogin", "KeloPingAgent"}) {
        EXPECT_FALSE(fs::exists(agentFolder() + tool)) << tool;
    }
    EXPECT_FALSE(fs::exists(agentFolder() + "KeloMac.dmg"));
    EXPECT_FALSE(fs::exists(volume()));
}

// The system's name and version that the download's User-Agent carries.
class SystemVersionTest : public TempHomeTest {};

TEST_F(SystemVersionTest, ReadsNameAndVersionIdUnquotingAsTheShellDoes) {
    const struct {
        std::string file;
        std::optional<std::string> name, version;
    } rows[] = {
        {"NAME=aa\nVERSION_ID=12\nID=debian\n", "aa", "12"},
        {"VERSION=12 (bookworm)\nNAME=\"Debian \\\"GNU\\\"\"\n", "Debian \"GNU\"", std::nullopt},
        {"NAME='a\\b'\nVERSION_ID=\"\"\n", "a\\b", ""},
        {"NAME=\"ab\\\"\n", "ab\\", std::nullopt},
        {"NAME=\"\nno line of ours\n", "\"", std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        writeText(path("os-release"), row.file);
        const auto info = platform::SystemVersion::readFirstOf({path("os-release")});
        EXPECT_EQ(info.productName, row.name);
        EXPECT_EQ(info.productVersion, row.version);
    }
    // The fallback is read only where the first file does not exist.
    writeText(path("fallback"), "NAME=fallback\n");
    EXPECT_EQ(platform::SystemVersion::readFirstOf({path("missing"), path("fallback")}).productName,
              "fallback");
    EXPECT_EQ(
        platform::SystemVersion::readFirstOf({path("os-release"), path("fallback")}).productName,
        "\"");
    EXPECT_EQ(platform::SystemVersion::readFirstOf({path("missing")}).productName, std::nullopt);
}

}  // namespace
