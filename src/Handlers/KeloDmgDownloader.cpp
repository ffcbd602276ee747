#include "Handlers/KeloDmgDownloader.h"

#include <fmt/format.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "Handlers/DiskImageTool.h"
#include "Handlers/ImageDownload.h"
#include "Objects/SessionDetails.h"
#include "Platform/DistributedNotificationCenter.h"
#include "Platform/ExceptionGuard.h"
#include "Platform/FileManager.h"
#include "Platform/Log.h"
#include "Platform/Paths.h"
#include "Platform/PlistValue.h"
#include "Platform/ScopeExit.h"
#include "Platform/SystemVersion.h"
#include "Platform/UrlSession.h"
#include "Platform/Volumes.h"
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
std::string volumePath() {
    return platform::Volumes::volumeNamed("Kelo");
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
        platform::UrlSession::shared().downloadTask(
            std::move(request), [self, address](std::optional<std::filesystem::path> file,
                                                std::optional<platform::UrlResponse> response,
                                                std::optional<platform::UrlError> error) {
                platform::ExceptionGuard::run(kStartDownloadBlock, [&] {
                    const ImageDownload download{.operation = kStartDownloadBlock,
                                                 .address = address,
                                                 .destination = imagePath(),
                                                 .sender = self.get()};
                    const auto outcome = download.finish(file, response, std::move(error));
                    // A body that is no image cannot be installed: other processes learn it as
                    // they would from a launch that failed.
                    if (outcome == ImageDownload::Outcome::notImage) {
                        postFailureStatus(kStartDownloadBlock);
                    }
                    if (outcome == ImageDownload::Outcome::placed) self->mountingKeloMacDmg();
                });
            });
    });
}

void KeloDmgDownloader::mountingKeloMacDmg() {
    const bool finished = platform::ExceptionGuard::run(kMount, [&] {
        const auto result = DiskImageTool::run({"mount", imagePath()});
        // From here on the volume is detached however the steps below end, unless the agent
        // is already installed: then the volume stays as it is.
        platform::ScopeExit detach([this] { unMountingKeloMacDmg(); });
        platform::Log::nslog("{} : dmg mount task termination status : {}", kMount,
                             result.exitStatus);
        if (platform::FileManager::defaultManager().fileExists(agentApplicationPath())) {
            detach.dismiss();
            return;
        }
        copyAppFileAndLaunch();
    });
    if (!finished) postFailureStatus(kMount);
}

void KeloDmgDownloader::copyAppFileAndLaunch() {
    const bool finished = platform::ExceptionGuard::run(kCopyAndLaunch, [&] {
        const auto& files = platform::FileManager::defaultManager();
        const std::string folder = agentFolder();
        const std::string application = agentApplicationPath();
        const std::string volume = volumePath();
        files.createDirectory(folder, true);

        if (!files.copyItem(volume + "/Kelo.app", application)) {
            platform::Log::nslog("{} : Kelo.app file copied", kCopyAndLaunch);
        }
        if (workspaceLaunchApplication(application)) {
            platform::Log::nslog("{} : App Path : {} kelo app file launched!", kCopyAndLaunch,
                                 application);
            // A tool already in place keeps its content: the copy refuses to replace it.
            for (const auto& tool : kSupportTools) {
                if (!files.copyItem(volume + "/" + tool.name, folder + tool.name)) {
                    platform::Log::write(std::string(kCopyAndLaunch) + tool.copiedLine);
                }
            }
            if (files.fileExists(application) && files.fileExists(folder + "KeloCrashDetector")) {
                files.removeItem(imagePath());
            }
        } else {
            platform::Log::nslog("kelo app file not launched");
            postFailureStatus(kCopyAndLaunch);
        }

        if (files.fileExists(imagePath())) files.removeItem(imagePath());
        unMountingKeloMacDmg();
    });
    if (!finished) postFailureStatus(kCopyAndLaunch);
}

void KeloDmgDownloader::unMountingKeloMacDmg() {
    platform::ExceptionGuard::run(kUnmount, [&] { DiskImageTool::detach(kUnmount, volumePath()); });
}

bool KeloDmgDownloader::workspaceLaunchApplication(const std::string& path) {
    bool accepted = true;
    const bool finished = platform::ExceptionGuard::run(kLaunch, [&] {
        const auto arguments = agentLaunchArguments();
        if (auto error = platform::Workspace::shared().launchApplication(path, arguments)) {
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
