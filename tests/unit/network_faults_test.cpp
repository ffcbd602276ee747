// Both disk images (the agent's and the launcher's) against a server that fails them in every way
// the network can, and against images the service did not sign: the connection dropped on every
// attempt, silence after the headers, answers 404, 500, 401 and 407 with bodies, and a signature
// that is missing, by another key, for changed bytes or a changed comment, or made for another
// name or the other image. Each failure ends as a failed download (the retry notice is posted),
// says why in the log, nothing reaches the disk-image tool, nothing is mounted, and no image,
// whole or partial, is left under its name; the next attempt then runs as if nothing had happened.
#include "KeloTest.h"

#include <unistd.h>

#include "AgentRoadTest.h"
#include "DownloadEnd.h"
#include "HandOverShown.h"
#include "Handlers/ImageDownload.h"
#include "Handlers/KeloAppUpgrader.h"
#include "Handlers/KeloDmgDownloader.h"
#include "Handlers/KeloPellixUpdater.h"
#include "LocalService.h"
#include "Objects/SessionDetails.h"
#include "Platform/Bundle.h"
#include "Platform/ServiceSlot.h"
#include "Platform/Volumes.h"
#include "RecordingProcessRunner.h"
#include "RecordingStatusCenter.h"
#include "RecordingWorkspace.h"
#include "TestImages.h"
#include "UrlSessionQueue.h"

namespace {

struct Fault {
    const char* name;
    std::string path;  // the image's, or its signature's
    LocalService::Answer answer;
    std::string said;  // in the log
    bool transferBroke = false;
};

class NetworkFaultsTest : public AgentRoadTest {
  protected:
    void SetUp() override {
        AgentRoadTest::SetUp();
        ImageDownload::setResumeWaitsForTesting({{0ms, 0ms, 0ms, 0ms}});
    }

    // Each fault, answered for `image` (and `other`, the other image, whose signature it must
    // not take); `start` must end in the retry notice with nothing mounted and nothing left
    // under `left` or `volume`; `alsoCheck` adds the road's own checks.
    void failEveryWay(const std::string& image, const std::string& other, const std::string& left,
                      const std::string& volume, const std::function<void()>& start,
                      const std::function<void(const Fault&)>& alsoCheck) {
        const std::string root = service().rootDir() + "/";
        const std::string address = service().baseUrl() + "/agent/" + image;
        const auto size = static_cast<std::size_t>(fs::file_size(root + image));
        // The same image with one byte changed after signing.
        std::string changed = readText(root + image);
        changed[size / 2] = static_cast<char>(changed[size / 2] ^ 1);
        writeText(root + "changed-" + image, changed);
        const std::string named = "timestamp:1\tfile:" + image + "\thashed";
        std::string editedComment = readText(root + image + ".minisig");
        editedComment.replace(editedComment.find("timestamp:"), 10, "timestamp:9");
        const auto refused = [&](const std::string& why) {
            return "Image refused, " + why + " : " + address + "\n";
        };
        const Fault faults[] = {
            {"dropped on every attempt",
             "",
             {.dropAfterBytes = size / 10, .times = 5},
             "The network connection was lost.",
             true},
            {"silent after the headers, then closed",
             "",
             {.stallAfterBytes = 0, .stallMs = 100, .times = 5},
             "The network connection was lost.",
             true},
            {"404",
             "",
             {.status = 404, .body = "<html>Not Found</html>", .times = 1},
             "The server answered with HTTP status code 404."},
            {"500",
             "",
             {.status = 500, .body = "<html>Internal Server Error</html>", .times = 1},
             "The server answered with HTTP status code 500."},
            {"401",
             "",
             {.status = 401,
              .body = "<html>Unauthorized</html>",
              .headers = {{"WWW-Authenticate", "Basic realm=\"service\""}},
              .times = 1},
             "The server answered with HTTP status code 401."},
            {"407",
             "",
             {.status = 407,
              .body = "<html>Proxy Authentication Required</html>",
              .headers = {{"Proxy-Authenticate", "Basic realm=\"proxy\""}},
              .times = 1},
             "The server answered with HTTP status code 407."},
            {"no signature",
             ".minisig",
             {.status = 404, .times = 1},
             refused("no signature at " + address + ".minisig (HTTP status 404)")},
            {"signed with another key",
             ".minisig",
             {.body = TestImages::signature(root + image,
                                            {named, TestImages::makeKeyPair(path("other-key"))}),
              .times = 1},
             refused("the image is signed with another key")},
            {"a byte changed after signing",
             "",
             {.file = "changed-" + image, .times = 1},
             refused("the signature does not hold for the image's bytes")},
            {"the trusted comment changed",
             ".minisig",
             {.body = editedComment, .times = 1},
             refused("the signature does not hold for the trusted comment")},
            {"signed for another name",
             ".minisig",
             {.body =
                  TestImages::signature(root + image, {"timestamp:1\tfile:" + other + "\thashed"}),
              .times = 1},
             refused("the trusted comment names another file")},
            {"the other image's signature",
             ".minisig",
             {.file = other + ".minisig", .times = 1},
             refused("the signature does not hold for the image's bytes")},
        };
        for (const Fault& fault : faults) {
            SCOPED_TRACE(fault.name);
            service().setAnswer("/agent/" + image + fault.path, fault.answer);
            OutputCapture log(STDERR_FILENO, path("log.txt"));
            EXPECT_TRUE(downloadPostsTheRetryNotice(start));
            EXPECT_THAT(log.stop(), HasSubstr(fault.said));
            EXPECT_THAT(runner_->journal.entries(), IsEmpty()) << "the image was mounted";
            EXPECT_FALSE(fs::exists(volume));
            EXPECT_FALSE(fs::exists(left)) << "an image is under its final name";
            EXPECT_FALSE(fs::exists(left + ".part"));
            alsoCheck(fault);
        }
    }
};

TEST_F(NetworkFaultsTest, AgentImageFailuresLeaveNothingAndTheNextJoinInstallsIt) {
    const std::string image = agentFolder() + "KeloMac.dmg";
    const std::string volume = platform::Volumes::volumeNamed("Kelo");
    std::size_t statusPosts = 0;
    failEveryWay(
        "KeloMac.dmg", "KeloHelvoPellix.dmg", image, volume,
        [] { std::make_shared<KeloDmgDownloader>()->startDownLoadingKeloMacDmg(); },
        [&](const Fault& fault) {
            EXPECT_THAT(workspace_->launched.entries(), IsEmpty());
            // Other processes hear of an answer that is no image, or no image of the service's,
            // not of a transfer that failed.
            statusPosts += fault.transferBroke ? 0 : 1;
            EXPECT_EQ(statusCenter_->journal.size(), statusPosts);
            // The customer reads why: an image that is not the service's, or one that did not
            // arrive.
            const bool refused = fault.said.starts_with("Image refused");
            EXPECT_EQ(shownFailure(), refused ? HandOverStatus::Failure::notGenuine
                                              : HandOverStatus::Failure::downloadFailed);
        });

    // The next join: the same road, now with the usual answer, installs and starts the agent.
    SessionDetails::getInstance().setIsUpdateNeeded(true);
    KeloAppUpgrader::getInstance().keloAppUpdater();
    ASSERT_TRUE(runner_->journal.waitFor(3));
    ASSERT_TRUE(UrlSessionQueue::drain());
    EXPECT_EQ(runner_->journal.entries().front(), "hdiutil mount " + image + " -> 0");
    EXPECT_EQ(platform::Bundle::atPath(agentFolder() + "Kelo.app")->shortVersionString(), "2.5");
    EXPECT_THAT(workspace_->launchedBundles(), ElementsAre(agentFolder() + "Kelo.app"));
    EXPECT_EQ(shownStage(), HandOverStatus::Stage::running);
    EXPECT_FALSE(fs::exists(image));
    EXPECT_FALSE(fs::exists(volume));
}

TEST_F(NetworkFaultsTest, LauncherImageFailuresLeaveNothingToInstallAndTheNextCheckWorks) {
    const std::string image = nativeFolder() + "KeloHelvoPellix.dmg";
    const std::string volume = platform::Volumes::volumeNamed("Pellix Plugin");
    const std::string waiting = nativeFolder() + "Kelo Helvo Pellix.app";
    auto& session = SessionDetails::getInstance();
    session.setPellixUpdateNeeded(true);
    session.setIsAppReplaceFlag(false);
    failEveryWay(
        "KeloHelvoPellix.dmg", "KeloMac.dmg", image, volume,
        [] { KeloPellixUpdater::getInstance()->checkKeloPellixUpdate(); },
        [&](const Fault&) {
            EXPECT_FALSE(fs::exists(waiting));
            EXPECT_FALSE(session.isAppReplaceFlag());
        });

    KeloPellixUpdater::getInstance()->checkKeloPellixUpdate();
    ASSERT_TRUE(runner_->journal.waitFor(2));
    ASSERT_TRUE(UrlSessionQueue::drain());
    EXPECT_EQ(platform::Bundle::atPath(waiting)->shortVersionString(), "9.9.9");
    EXPECT_TRUE(session.isAppReplaceFlag());
    EXPECT_FALSE(fs::exists(image));
    EXPECT_FALSE(fs::exists(volume));
}

}  // namespace
