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
#include "Platform/NotificationCenter.h"
#include "Platform/Paths.h"
#include "Platform/ScopeExit.h"
#include "Platform/UrlSession.h"

namespace {

constexpr std::string_view kCheck = "-[KeloPellixUpdater checkKeloPellixUpdate]";
constexpr std::string_view kDownload = "-[KeloPellixUpdater downloadPellixdmg]";
constexpr std::string_view kDownloadBlock = "-[KeloPellixUpdater downloadPellixdmg]_block_invoke";
constexpr std::string_view kMount = "-[KeloPellixUpdater mountingKeloPellixDmg]";
constexpr std::string_view kCopy = "-[KeloPellixUpdater copyAppFile]";
constexpr std::string_view kUnmount = "-[KeloPellixUpdater unMountingKeloPellixDmg]";

constexpr const char* kBundleName = "Kelo Helvo Pellix.app";
constexpr const char* kRetryNotification = "RetryDMGDownloadig";

std::string nativeFolder() {
    return platform::Paths::libraryFolder() + "/Application Support/KeloPellixNativeFolder/";
}
std::string imagePath() {
    return nativeFolder() + "KeloHelvoPellix.dmg";
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

std::optional<std::string> KeloPellixUpdater::mountedVolume() const {
    std::lock_guard guard(mutex_);
    return volume_;
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
        const ImageDownload download{.operation = kDownloadBlock,
                                     .address = address,
                                     .destination = imagePath(),
                                     .imageName = "KeloHelvoPellix.dmg",
                                     .sender = self.get(),
                                     .failureLineEnd = " "};
        download.start(std::move(request), [self](ImageDownload::Outcome outcome) {
            platform::ExceptionGuard::run(kDownloadBlock, [&] {
                if (outcome == ImageDownload::Outcome::placed) self->mountingKeloPellixDmg();
            });
        });
    });
}

void KeloPellixUpdater::mountingKeloPellixDmg() {
    try {
        const auto mount = DiskImageTool::mount(imagePath());
        // The volume is detached however the steps below end.
        platform::ScopeExit detach([this] {
            if (latestPellixDmgPath()) unMountingKeloPellixDmg();
        });
        {
            std::lock_guard guard(mutex_);
            latestPellixDmgPath_ = mount.mountPoint;
            volume_ = mount.volume;
        }
        if (!mount.volume) {
            // Nothing to copy from: handled as a download that failed.
            platform::Log::nslog("{} : No volume was mounted from {} (status {}, mount point {})",
                                 kMount, imagePath(), mount.exitStatus,
                                 mount.mountPoint.value_or("(none)"));
            platform::NotificationCenter::defaultCenter().post(kRetryNotification, this);
            if (platform::FileManager::defaultManager().fileExists(imagePath())) {
                platform::FileManager::defaultManager().removeItem(imagePath());
            }
            return;
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

        // From the volume this update mounted (a leftover "Pellix Plugin" may hold an older
        // launcher); staged beside its place and renamed into it, so the folder never holds half
        // a bundle.
        const auto volume = mountedVolume();
        if (volume && !platform::BundleInstaller::install(*volume + "/" + kBundleName, waiting)) {
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
        volume_.reset();
    });
}
