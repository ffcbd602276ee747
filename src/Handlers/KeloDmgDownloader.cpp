#include "Handlers/KeloDmgDownloader.h"

#include <fmt/format.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "Handlers/DiskImageTool.h"
#include "Handlers/ImageDownload.h"
#include "Objects/SessionDetails.h"
#include "Platform/BundleInstaller.h"
#include "Platform/DistributedNotificationCenter.h"
#include "Platform/ExceptionGuard.h"
#include "Platform/FileManager.h"
#include "Platform/Log.h"
#include "Platform/NotificationCenter.h"
#include "Platform/Paths.h"
#include "Platform/PlistValue.h"
#include "Platform/ScopeExit.h"
#include "Platform/SystemVersion.h"
#include "Platform/UrlSession.h"
#include "Platform/Workspace.h"

namespace {

constexpr std::string_view kStartDownload = "-[KeloDmgDownloader startDownLoadingKeloMacDmg]";
constexpr std::string_view kStartDownloadBlock =
    "-[KeloDmgDownloader startDownLoadingKeloMacDmg]_block_invoke";
constexpr std::string_view kMount = "-[KeloDmgDownloader mountingKeloMacDmg]";
constexpr std::string_view kCopyAndLaunch = "-[KeloDmgDownloader copyAppFileAndLaunch]";
constexpr std::string_view kUnmount = "-[KeloDmgDownloader unMountingKeloMacDmg]";
constexpr std::string_view kLaunch = "-[KeloDmgDownloader workspaceLaunchApplication:]";

constexpr const char* kSessionStatusNotification = "SendSessionStatusToHelvoPellix";
constexpr const char* kRetryNotification = "RetryDMGDownloadig";

// The agent's support tools, in the order they are installed, with their lines.
struct SupportTool {
    const char* name;
    const char* copiedLine;  // follows the operation's name
};
constexpr SupportTool kSupportTools[] = {
    {"KeloCrashDetector", " : KeloCrashDetector file copied"},
    {"HelvoUserHandler", " : HelvoUserHandler file copied"},
    {"KHPreLogin", " :KHPreLogin file copied"},
    {"KeloPingAgent", " :KeloPingAgent file copied"},
};

std::string agentFolder() {
    return platform::Paths::libraryFolder() + "/Application Support/KeloParloNative/";
}
std::string imagePath() {
    return agentFolder() + "KeloMac.dmg";
}
std::string agentApplicationPath() {
    return agentFolder() + "Kelo.app";
}

std::string described(const std::optional<std::string>& text) {
    return text.value_or("(null)");
}

// Tells other processes that the agent could not be installed or started.
void postFailureStatus(std::string_view operation) {
    platform::ExceptionGuard::run(operation, [] {
        platform::DistributedNotificationCenter::shared().post(kSessionStatusNotification, 0);
    });
}

}  // namespace

std::vector<std::string> KeloDmgDownloader::agentLaunchArguments() {
    return {"-timestamps",
            "{\"M3\":\"Agent downloaded time : 00:00:00 | Server : CDN\","
            "\"M2\":\"Session Validated : 00:00:00\","
            "\"M1\":\"Join Launched time : 00:00:00\","
            "\"M4\":\"Agent launched time : 00:00:00\"}"};
}

void KeloDmgDownloader::startDownLoadingKeloMacDmg() {
    platform::ExceptionGuard::run(kStartDownload, [&] {
        const auto& session = SessionDetails::getInstance();
        const std::string address =
            session.isCdnAvailable()
                ? session.cdnUrl().value_or("")
                : "https://" + session.webServerName().value_or("") + "/agent/KeloMac.dmg";
        platform::Log::nslog("{} : Kelo Dmg Url : {}", kStartDownload, address);

        const auto system = platform::SystemVersion::read();
        platform::Log::nslog("{} : System version details {}", kStartDownload,
                             described(system.productName));
        platform::Log::nslog("{} : System version : {}", kStartDownload,
                             described(system.productVersion));

        platform::UrlRequest request;
        request.url = address;
        request.timeoutSeconds = 240;
        request.headers["User-Agent"] =
            fmt::format("{} {}", described(system.productName), described(system.productVersion));

        auto self = shared_from_this();
        const ImageDownload download{.operation = kStartDownloadBlock,
                                     .address = address,
                                     .destination = imagePath(),
                                     .imageName = "KeloMac.dmg",
                                     .sender = self.get()};
        HandOverStatus::shared().report(HandOverStatus::Stage::downloading);
        download.start(std::move(request), [self](ImageDownload::Outcome outcome) {
            platform::ExceptionGuard::run(kStartDownloadBlock, [&] {
                using Outcome = ImageDownload::Outcome;
                using Failure = HandOverStatus::Failure;
                switch (outcome) {
                    case Outcome::placed:
                        self->mountingKeloMacDmg();
                        return;
                    case Outcome::failed:
                        // The retry notice is the road of a broken transfer.
                        HandOverStatus::shared().fail(Failure::downloadFailed);
                        return;
                    // A body that is no image, an image the service did not sign, or one that
                    // cannot be stored cannot be installed: other processes learn it as they
                    // would from a launch that failed.
                    case Outcome::notImage:
                        return failHandOver(kStartDownloadBlock, Failure::downloadFailed);
                    case Outcome::refused:
                        return failHandOver(kStartDownloadBlock, Failure::notGenuine);
                    case Outcome::noSpace:
                        return failHandOver(kStartDownloadBlock, Failure::diskFull);
                    case Outcome::notPlaced:
                        return failHandOver(kStartDownloadBlock, Failure::cannotSave);
                }
            });
        });
    });
}

void KeloDmgDownloader::failHandOver(std::string_view operation, HandOverStatus::Failure failure) {
    postFailureStatus(operation);
    HandOverStatus::shared().fail(failure);
}

void KeloDmgDownloader::mountingKeloMacDmg() {
    HandOverStatus::shared().report(HandOverStatus::Stage::installing);
    const bool finished = platform::ExceptionGuard::run(kMount, [&] {
        const auto mount = DiskImageTool::mount(imagePath());
        setMountPoint(mount.volume);
        platform::Log::nslog("{} : dmg mount task termination status : {}", kMount,
                             mount.exitStatus);
        if (!mount.volume) {
            // Nothing to copy from: handled as a download that failed, and other processes learn
            // that the agent cannot be installed.
            platform::Log::nslog("{} : No volume was mounted from {} (mount point {})", kMount,
                                 imagePath(), mount.mountPoint.value_or("(none)"));
            platform::NotificationCenter::defaultCenter().post(kRetryNotification, this);
            failHandOver(kMount, HandOverStatus::Failure::cannotOpen);
            const auto& files = platform::FileManager::defaultManager();
            if (files.fileExists(imagePath())) files.removeItem(imagePath());
            return;
        }
        // From here on the volume is detached however the steps below end.
        platform::ScopeExit detach([this] { unMountingKeloMacDmg(); });
        // An agent in the way (one that could not be removed, or came back): nothing is copied
        // over it or started, and the hand-over fails rather than ending in silence.
        if (platform::FileManager::defaultManager().fileExists(agentApplicationPath())) {
            platform::Log::nslog("{} : Kelo.app is still in {}; the new one is not installed",
                                 kMount, agentFolder());
            failHandOver(kMount, HandOverStatus::Failure::cannotInstall);
            return;
        }
        copyAppFileAndLaunch();
    });
    if (!finished) failHandOver(kMount, HandOverStatus::Failure::cannotInstall);
}

void KeloDmgDownloader::copyAppFileAndLaunch() {
    const bool finished = platform::ExceptionGuard::run(kCopyAndLaunch, [&] {
        const auto& files = platform::FileManager::defaultManager();
        const std::string folder = agentFolder();
        const std::string application = agentApplicationPath();
        const std::string volume = mountPoint().value_or("");
        files.createDirectory(folder, true);

        // Each piece is staged beside its place and renamed into it: a quit or a kill during the
        // copy leaves the old piece or none, never a part that a later join would start.
        std::optional<platform::Error> notCopied;
        if (!volume.empty()) {
            notCopied = platform::BundleInstaller::install(volume + "/Kelo.app", application);
            if (!notCopied) {
                platform::Log::nslog("{} : Kelo.app file copied", kCopyAndLaunch);
            } else {
                platform::Log::nslog("{} : Kelo.app could not be copied : {}", kCopyAndLaunch,
                                     notCopied->printedForm());
            }
        }
        HandOverStatus::shared().report(HandOverStatus::Stage::starting);
        if (workspaceLaunchApplication(application)) {
            HandOverStatus::shared().report(HandOverStatus::Stage::running);
            platform::Log::nslog("{} : App Path : {} kelo app file launched!", kCopyAndLaunch,
                                 application);
            // A tool already in place keeps its content.
            for (const auto& tool : kSupportTools) {
                const std::string destination = folder + tool.name;
                if (volume.empty() || files.fileExists(destination)) continue;
                if (!platform::BundleInstaller::install(volume + "/" + tool.name, destination)) {
                    platform::Log::write(std::string(kCopyAndLaunch) + tool.copiedLine);
                }
            }
            if (files.fileExists(application) && files.fileExists(folder + "KeloCrashDetector")) {
                files.removeItem(imagePath());
            }
        } else {
            platform::Log::nslog("kelo app file not launched");
            using Failure = HandOverStatus::Failure;
            // What the customer can do depends on why: a full disk, an install, or the start.
            const auto failure = !notCopied                  ? Failure::cannotStart
                                 : notCopied->code == ENOSPC ? Failure::diskFull
                                                             : Failure::cannotInstall;
            failHandOver(kCopyAndLaunch, failure);
        }

        if (files.fileExists(imagePath())) files.removeItem(imagePath());
        unMountingKeloMacDmg();
    });
    if (!finished) failHandOver(kCopyAndLaunch, HandOverStatus::Failure::cannotInstall);
}

void KeloDmgDownloader::unMountingKeloMacDmg() {
    platform::ExceptionGuard::run(kUnmount, [&] {
        // Only the volume this download mounted.
        if (const auto volume = mountPoint()) DiskImageTool::detach(kUnmount, *volume);
    });
}

std::optional<std::string> KeloDmgDownloader::mountPoint() const {
    std::lock_guard guard(mutex_);
    return mountPoint_;
}

void KeloDmgDownloader::setMountPoint(std::optional<std::string> volume) {
    std::lock_guard guard(mutex_);
    mountPoint_ = std::move(volume);
}

void KeloDmgDownloader::startAgent(const std::string& path) {
    HandOverStatus::shared().report(HandOverStatus::Stage::starting);
    if (workspaceLaunchApplication(path)) {
        HandOverStatus::shared().report(HandOverStatus::Stage::running);
    } else {
        HandOverStatus::shared().fail(HandOverStatus::Failure::cannotStart);
    }
}

bool KeloDmgDownloader::workspaceLaunchApplication(const std::string& path) {
    bool accepted = true;
    const bool finished = platform::ExceptionGuard::run(kLaunch, [&] {
        const auto arguments = agentLaunchArguments();
        auto& workspace = platform::Workspace::shared();
        // Two agents would fight over one session: the running one reads the new join details.
        if (const auto running = workspace.runningProcess(path)) {
            platform::Log::nslog(
                "{} : LaunchApplication: {} already runs (process {}); not "
                "started again",
                kLaunch, std::filesystem::path(path).filename().string(), *running);
            return;
        }
        if (auto error = workspace.launchApplication(path, arguments)) {
            platform::Log::nslog("{} : LaunchApplication: {} failed : {}", kLaunch,
                                 std::filesystem::path(path).filename().string(),
                                 error->printedForm());
            accepted = false;
            return;
        }
        platform::PlistValue::Array printed;
        for (const auto& argument : arguments) printed.emplace_back(argument);
        platform::Log::nslog("{} : LaunchApplication: {} launched successfully with args : {}",
                             kLaunch, std::filesystem::path(path).filename().string(),
                             platform::PlistValue(printed).description());
    });
    // A launch request that raised is reported to other processes and counted as accepted.
    if (!finished) {
        postFailureStatus(kLaunch);
        return true;
    }
    return accepted;
}
