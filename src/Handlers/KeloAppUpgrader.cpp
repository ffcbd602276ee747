#include "Handlers/KeloAppUpgrader.h"

#include <fmt/format.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Handlers/HandOverStatus.h"
#include "Handlers/KeloDmgDownloader.h"
#include "Objects/SessionDetails.h"
#include "Platform/Bundle.h"
#include "Platform/ExceptionGuard.h"
#include "Platform/FileManager.h"
#include "Platform/Log.h"
#include "Platform/Paths.h"

namespace {

constexpr std::string_view kVersionCheck = "-[KeloAppUpgrader keloAppVersionCheck]";
constexpr std::string_view kUpdater = "-[KeloAppUpgrader keloAppUpdater]";
constexpr std::string_view kJoinDetails = "-[KeloAppUpgrader modifyKeloJoinDetails]";

// The agent's folder, with its final slash.
std::string agentFolder() {
    return platform::Paths::libraryFolder() + "/Application Support/KeloParloNative/";
}

std::string described(const std::optional<std::string>& text) {
    return text.value_or("(null)");
}

// The values of the join-details line, in the order the agent reads them; a value the session
// does not have is written as the empty text.
std::vector<std::pair<std::string_view, std::string>> joinValues(const SessionDetails& session) {
    return {{"key", session.sessionKey().value_or("")},
            {"webServerName", session.webServerName().value_or("")},
            {"pellix_token", session.pellixToken().value_or("")},
            {"c_plugin", "true"},
            {"DC", session.dcName().value_or("")},
            {"email", session.name().value_or("")}};
}

// The agent reads the second line as key=value pairs joined by "&": a value holding "&", "=" or
// a line break would hand it pairs of the page's choosing (another session key, say). Such join
// details are refused with one line that names the value (never the value itself: it may be the
// token).
bool refusesJoinDetails(std::string_view operation, const SessionDetails& session) {
    for (const auto& [key, value] : joinValues(session)) {
        if (value.find_first_of("&=\r\n") == std::string::npos) continue;
        platform::Log::nslog(
            "{} : The join details are refused: {} holds \"&\", \"=\" or a line break. "
            "Nothing is written and the agent is not started",
            operation, key);
        return true;
    }
    return false;
}

// The two lines the agent reads to join the session.
std::string joinDetailsContent(const SessionDetails& session) {
    std::string line = "KELO_PARLO_IND\n&";
    for (const auto& [key, value] : joinValues(session)) {
        line += fmt::format("{}={}&", key, value);
    }
    return line;
}

}  // namespace

KeloAppUpgrader& KeloAppUpgrader::getInstance() {
    static std::mutex lock;
    static KeloAppUpgrader* instance = nullptr;
    std::lock_guard guard(lock);
    if (!instance) {
        instance = new KeloAppUpgrader();
        platform::Log::nslog("{} : Update Info Object Allocated", "+[KeloAppUpgrader getInstance]");
    }
    return *instance;
}

std::shared_ptr<KeloDmgDownloader> KeloAppUpgrader::currentDownloader() const {
    std::lock_guard guard(mutex_);
    return downloader_;
}

void KeloAppUpgrader::keloAppVersionCheck() {
    platform::ExceptionGuard::run(kVersionCheck, [&] {
        auto& session = SessionDetails::getInstance();
        const std::string path = agentFolder() + "/Kelo.app";
        if (platform::FileManager::defaultManager().fileExists(path)) {
            std::optional<std::string> version;
            if (auto bundle = platform::Bundle::atPath(path))
                version = bundle->shortVersionString();
            session.setLocalKeloAppVersion(version);
            platform::Log::nslog("{} local Kelo App version : {} {}", kVersionCheck,
                                 described(version), path);
        } else {
            platform::Log::nslog(
                "{} : Kelo app not found, Setting app version to zero ( default) {}", kVersionCheck,
                path);
            session.setLocalKeloAppVersion("0");
        }
    });
}

void KeloAppUpgrader::keloAppUpdater() {
    platform::ExceptionGuard::run(kUpdater, [&] {
        // Refused before anything changes: no file written, no agent removed or started.
        if (refusesJoinDetails(kUpdater, SessionDetails::getInstance())) {
            HandOverStatus::shared().fail(HandOverStatus::Failure::refusedJoin);
            return;
        }
        auto downloader = std::make_shared<KeloDmgDownloader>();
        {
            std::lock_guard guard(mutex_);
            downloader_ = downloader;
        }
        const std::string application = agentFolder() + "Kelo.app";
        if (!SessionDetails::getInstance().isUpdateNeeded()) {
            platform::Log::nslog("{} : This mac has latest Kelo App", kUpdater);
            modifyKeloJoinDetails();
            downloader->startAgent(application);
            return;
        }
        platform::Log::nslog("{} : Updated Kelo App Version Available in Server..", kUpdater);
        const auto& files = platform::FileManager::defaultManager();
        // An agent that stays would be started instead of the new one, or stop its install:
        // the hand-over fails here, before anything is downloaded.
        if (files.fileExists(application)) {
            if (const auto error = files.removeItem(application)) {
                platform::Log::nslog("{} : Unable to remove the old Kelo.app : {}", kUpdater,
                                     error->printedForm());
                KeloDmgDownloader::failHandOver(kUpdater, HandOverStatus::Failure::cannotInstall);
                return;
            }
        }
        modifyKeloJoinDetails();
        downloader->startDownLoadingKeloMacDmg();
    });
}

void KeloAppUpgrader::modifyKeloJoinDetails() {
    platform::ExceptionGuard::run(kJoinDetails, [&] {
        const auto& session = SessionDetails::getInstance();
        const auto& files = platform::FileManager::defaultManager();
        platform::Log::nslog("{} : Modify joindetails called!", kJoinDetails);
        if (refusesJoinDetails(kJoinDetails, session)) return;
        const std::string content = joinDetailsContent(session);
        platform::Log::nslog(
            "{} : Kelo Joindetails Content : Session key={} webServerName={} DC={}", kJoinDetails,
            described(session.sessionKey()), described(session.webServerName()),
            described(session.dcName()));

        const std::string path = agentFolder() + "kelojoindetails.conf";
        if (files.fileExists(path)) {
            platform::Log::nslog("{} : kelojoindetails.conf file already Present in folder {}",
                                 kJoinDetails, path);
            if (files.removeItem(path)) {
                platform::Log::nslog(
                    "{} : Unable to Remove old kelojoindetails.conf file by Pellix in folder {}",
                    kJoinDetails, path);
                return;
            }
        } else {
            platform::Log::nslog("{} : kelojoindetails.conf file Not Present in folder {}",
                                 kJoinDetails, path);
        }

        // It holds the launch token and the customer's e-mail address.
        if (auto error = files.writeFileAtomically(path, content, 0600)) {
            platform::Log::nslog(
                "{} : Unable to create New kelojoindetails.conf file by Pellix in folder {}",
                kJoinDetails, path);
            return;
        }
        platform::Log::nslog(
            "{} : New kelojoindetails.conf file has been created by Pellix in folder {} ",
            kJoinDetails, path);
    });
}
