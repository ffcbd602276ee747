#include "Handlers/KeloPellixUpdater.h"

#include <fmt/format.h>

#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

#include "Handlers/DiskImageTool.h"
#include "Handlers/ImageDownload.h"
#include "Objects/SessionDetails.h"
#include "Platform/BundleInstaller.h"
#include "Platform/ExceptionGuard.h"
#include "Platform/FileManager.h"
#include "Platform/Log.h"
#include "Platform/Paths.h"
#include "Platform/ScopeExit.h"
#include "Platform/UrlSession.h"
#include "Platform/Volumes.h"

namespace {

constexpr std::string_view kCheck = "-[KeloPellixUpdater checkKeloPellixUpdate]";
constexpr std::string_view kDownload = "-[KeloPellixUpdater downloadPellixdmg]";
constexpr std::string_view kDownloadBlock = "-[KeloPellixUpdater downloadPellixdmg]_block_invoke";
constexpr std::string_view kMount = "-[KeloPellixUpdater mountingKeloPellixDmg]";
constexpr std::string_view kCopy = "-[KeloPellixUpdater copyAppFile]";
constexpr std::string_view kUnmount = "-[KeloPellixUpdater unMountingKeloPellixDmg]";

constexpr const char* kBundleName = "Kelo Helvo Pellix.app";

std::string nativeFolder() {
    return platform::Paths::libraryFolder() + "/Application Support/KeloPellixNativeFolder/";
}
std::string imagePath() {
    return nativeFolder() + "KeloHelvoPellix.dmg";
}

bool isUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        char32_t point = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            point = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            point = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            point = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            point = (point << 6) | (next & 0x3F);
        }
        const char32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if (point < smallest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

// The mount point in the tool's output: the text after the last tab, once blanks and line ends
// around the whole output are gone. Nothing when the output is not UTF-8 text.
std::optional<std::string> mountPointFromOutput(std::string_view output) {
    if (!isUtf8(output)) return std::nullopt;
    constexpr std::string_view kBlanks = " \t\n\r\v\f";
    const auto first = output.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return std::string();
    output = output.substr(first, output.find_last_not_of(kBlanks) - first + 1);
    const auto tab = output.rfind('\t');
    return std::string(tab == std::string_view::npos ? output : output.substr(tab + 1));
}

}  // namespace

std::shared_ptr<KeloPellixUpdater> KeloPellixUpdater::getInstance() {
    static std::mutex lock;
    std::lock_guard guard(lock);
    std::shared_ptr<KeloPellixUpdater> updater(new KeloPellixUpdater());
    platform::Log::nslog("{} : Update Info Object Allocated", "+[KeloPellixUpdater getInstance]");
    return updater;
}

std::optional<std::string> KeloPellixUpdater::latestPellixDmgPath() const {
    std::lock_guard guard(mutex_);
    return latestPellixDmgPath_;
}

void KeloPellixUpdater::checkKeloPellixUpdate() {
    platform::ExceptionGuard::run(kCheck, [&] {
        if (SessionDetails::getInstance().pellixUpdateNeeded()) {
            downloadPellixdmg();
        } else {
            platform::Log::nslog("{} Kelo Helvo Pellix has Latest Version.", kCheck);
        }
    });
}

void KeloPellixUpdater::downloadPellixdmg() {
    platform::ExceptionGuard::run(kDownload, [&] {
        const auto& session = SessionDetails::getInstance();
        const auto& files = platform::FileManager::defaultManager();
        const std::string folder = nativeFolder();
        if (!files.fileExists(folder)) files.createDirectory(folder, true);

        const auto given = session.pellixDownloadUrl();
        const std::string address = given ? *given
                                          : fmt::format("https://{}/agent/KeloHelvoPellix.dmg",
                                                        session.webServerName().value_or(""));
        platform::Log::nslog("{} : Kelo Pellix Dmg Url : {}", kDownload, address);

        platform::UrlRequest request;
        request.url = address;
        request.timeoutSeconds = 240;
        auto self = shared_from_this();
        platform::UrlSession::shared().downloadTask(
            std::move(request), [self, address](std::optional<std::filesystem::path> file,
                                                std::optional<platform::UrlResponse> response,
                                                std::optional<platform::UrlError> error) {
                platform::ExceptionGuard::run(kDownloadBlock, [&] {
                    const ImageDownload download{.operation = kDownloadBlock,
                                                 .address = address,
                                                 .destination = imagePath(),
                                                 .sender = self.get(),
                                                 .failureLineEnd = " "};
                    if (download.finish(file, response, std::move(error)) ==
                        ImageDownload::Outcome::placed) {
                        self->mountingKeloPellixDmg();
                    }
                });
            });
    });
}

void KeloPellixUpdater::mountingKeloPellixDmg() {
    try {
        const auto result = DiskImageTool::run({"mount", imagePath()}, true);
        // The volume is detached however the steps below end.
        platform::ScopeExit detach([this] {
            if (latestPellixDmgPath()) unMountingKeloPellixDmg();
        });
        if (auto mountPoint = mountPointFromOutput(result.standardOutput)) {
            std::lock_guard guard(mutex_);
            latestPellixDmgPath_ = std::move(*mountPoint);
        }
        copyAppFile();
    } catch (const std::exception& exception) {
        platform::Log::nslog("{} : Exception: {}", kMount, exception.what());
    } catch (...) {
        platform::Log::nslog("{} : Exception: {}", kMount, "unknown exception");
    }
}

void KeloPellixUpdater::copyAppFile() {
    platform::ExceptionGuard::run(kCopy, [&] {
        const auto& files = platform::FileManager::defaultManager();
        const std::string folder = nativeFolder();
        const std::string waiting = folder + kBundleName;
        if (files.fileExists(waiting)) {
            if (files.removeItem(waiting)) {
                platform::Log::nslog("{} : No Existing Updated Kelo Pellix Present in folder {}",
                                     kCopy, folder);
            } else {
                platform::Log::nslog("{} : Existing Updated Kelo Pellix Removed in folder {}",
                                     kCopy, folder);
            }
        }

        // Staged beside its place and renamed into it, so the folder never holds half a bundle.
        const std::string source =
            platform::Volumes::volumeNamed("Pellix Plugin") + "/" + kBundleName;
        if (!platform::BundleInstaller::install(source, waiting)) {
            SessionDetails::getInstance().setIsAppReplaceFlag(true);
            platform::Log::nslog(
                "{} : Kelo Helvo Pellix.app file copied to  KeloPellixNative folder", kCopy);
        }

        unMountingKeloPellixDmg();
        if (files.fileExists(imagePath())) files.removeItem(imagePath());
    });
}

void KeloPellixUpdater::unMountingKeloPellixDmg() {
    platform::ExceptionGuard::run(kUnmount, [&] {
        const auto mountPoint = latestPellixDmgPath();
        if (!mountPoint) {
            platform::Log::nslog("{} : No Pellix DMG is mounted to unmount", kUnmount);
            return;
        }
        DiskImageTool::detach(kUnmount, *mountPoint);
        std::lock_guard guard(mutex_);
        latestPellixDmgPath_.reset();
    });
}
