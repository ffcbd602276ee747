#include "Handlers/Utils.h"

#include <cerrno>
#include <memory>
#include <stdexcept>

#include "Handlers/LogHandler.h"
#include "Objects/SessionDetails.h"
#include "Platform/Bundle.h"
#include "Platform/BundleInstaller.h"
#include "Platform/Deployment.h"
#include "Platform/DesktopEntry.h"
#include "Platform/ExceptionGuard.h"
#include "Platform/FileManager.h"
#include "Platform/Log.h"
#include "Platform/Paths.h"
#include "Platform/PlistValue.h"
#include "Platform/PropertyList.h"
#include "Platform/UserDefaults.h"

namespace {

using platform::Log;
using Text = SessionDetails::Text;

constexpr const char* kInfoFileName = "/com.Kelo.Helvo.KeloHelvoPellix.plist";
constexpr const char* kInfoFileFallbackName = "info.plist";
// The name the disk-image bootstrap writes; the fallback name differs from it only in case.
constexpr const char* kInfoFileBootstrapName = "Info.plist";
constexpr const char* kAppBundleName = "Kelo Helvo Pellix.app";

constexpr const char* kDCKey = "DC";
constexpr const char* kPellixTokenKey = "PellixToken";
constexpr const char* kPathForPellixKey = "pathForPellix";

// How an absent text reads in a log line.
std::string printed(const Text& text) {
    return text ? *text : "(null)";
}

// A launch parameter is text; anything else is refused the way a text comparison on it would be.
std::string launchText(const std::string& key, const platform::PlistValue& value) {
    if (const auto* text = value.asString()) return *text;
    throw std::invalid_argument("value of \"" + key + "\" is not text: " + value.description());
}

// Whether something (folder or file alike) is at the path; a trailing slash does not turn a file
// into "nothing".
bool somethingAt(const platform::FileManager& files, std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return files.fileExists(path);
}

// A code that names no web server is not kept: the launcher goes on as without a code.
void storeDataCentre(SessionDetails& session, const std::string& code) {
    const auto host = Utils::findWebserverNameWithDCName(code);
    if (!host) return;
    session.setPlistDcName(code);
    session.setDcName(code);
    session.setWebServerName(host);
    session.setPlistWebServerName(host);
}

// One procedure for both working folders.
void ensureFolder(const char* operation, const std::string& folder, const char* createdLine,
                  const char* failedLine, const char* presentLine) {
    platform::ExceptionGuard::run(operation, [&] {
        const auto& files = platform::FileManager::defaultManager();
        if (somethingAt(files, folder)) {
            Log::nslog(fmt::runtime(presentLine), operation);
            return;
        }
        if (files.createDirectory(folder, true)) {
            Log::nslog(fmt::runtime(failedLine), operation);
        } else {
            Log::nslog(fmt::runtime(createdLine), operation);
        }
    });
}

}  // namespace

std::string Utils::keloPellixNativeFolderPath() {
    return platform::Paths::homeFolder() + "/Library/Application Support/KeloPellixNativeFolder/";
}

std::string Utils::keloParloNativeFolderPath() {
    return platform::Paths::homeFolder() + "/Library/Application Support/KeloParloNative/";
}

void Utils::parseCommandLineArgs() {
    static constexpr const char* kOperation = "+[Utils parseCommandLineArgs]";
    platform::ExceptionGuard::run(kOperation, [&] {
        auto& session = SessionDetails::getInstance();
        auto& files = platform::FileManager::defaultManager();
        session.setDefaultKeloDirectoryManager(&files);
        const auto nativeFolder = keloPellixNativeFolderPath();
        session.setKeloPellixNativeFolder(nativeFolder);
        Log::nslog("{} ******* Kelo Helvo Pellix App Invoked By User.", kOperation);

        std::string infoFile = nativeFolder + kInfoFileName;
        if (!files.fileExists(infoFile)) {
            infoFile = nativeFolder + kInfoFileFallbackName;
            const auto bootstrapFile = nativeFolder + kInfoFileBootstrapName;
            if (!files.fileExists(infoFile) && files.fileExists(bootstrapFile)) {
                infoFile = bootstrapFile;
            }
        }
        Log::nslog("{} : Info plist Filepath :  {}", kOperation, infoFile);
        readInfoFileArgs(infoFile);

        const auto values = platform::UserDefaults::standard().snapshot();
        const auto valueOf = [&](const char* key) -> const platform::PlistValue* {
            auto found = values.find(key);
            return found == values.end() ? nullptr : &found->second;
        };
        if (!session.pellixToken()) {
            if (const auto* token = valueOf(kPellixTokenKey)) {
                session.setPellixToken(launchText(kPellixTokenKey, *token));
            }
        }
        if (!session.dcName()) {
            if (const auto* code = valueOf(kDCKey)) {
                storeDataCentre(session, launchText(kDCKey, *code));
            }
        }
        if (!session.pathForPellix()) {
            if (const auto* path = valueOf(kPathForPellixKey)) {
                session.setPathForPellix(launchText(kPathForPellixKey, *path));
            }
        }
        Log::nslog(
            "{} : Arguments Readed From Server => Websername : {} , PellixToken : {} , DC = {}",
            kOperation, printed(session.webServerName()), printed(session.pellixToken()),
            printed(session.dcName()));
    });
}

void Utils::readInfoFileArgs(const std::string& path) {
    static constexpr const char* kOperation = "+[Utils readInfoFileArgs:]";
    platform::ExceptionGuard::run(kOperation, [&] {
        if (!platform::FileManager::defaultManager().fileExists(path)) {
            Log::nslog("{} ******** info.plist Not Present file at path :{}", kOperation, path);
            return;
        }
        // The launcher's own file: a link in its place is not followed.
        const auto info = platform::PropertyList::readOwnDictionary(path);
        if (!info) {
            Log::nslog("{} Failed to read the info.plist file at path :{}", kOperation, path);
            return;
        }
        auto& session = SessionDetails::getInstance();
        auto& defaults = platform::UserDefaults::standard();
        const auto store = [&](const char* key) -> const platform::PlistValue* {
            auto found = info->find(key);
            if (found == info->end()) return nullptr;
            defaults.set(key, found->second);
            defaults.synchronize();
            return &found->second;
        };
        if (const auto* code = store(kDCKey)) storeDataCentre(session, launchText(kDCKey, *code));
        if (const auto* token = store(kPellixTokenKey)) {
            session.setPellixToken(launchText(kPellixTokenKey, *token));
        }
        if (const auto* page = store(kPathForPellixKey)) {
            session.setPathForPellix(launchText(kPathForPellixKey, *page));
        }
    });
}

std::optional<std::string> Utils::findWebserverNameWithDCName(
    const std::optional<std::string>& code) {
    static constexpr const char* kOperation = "+[Utils findWebserverNameWithDCName:]";
    if (!code) return std::nullopt;
    try {
        if (!platform::Deployment::isDataCentreCode(*code)) {
            Log::nslog(
                "{} : DC \"{}\" is neither a data centre nor a host name label; no web "
                "server",
                kOperation, *code);
            return std::nullopt;
        }
        return platform::Deployment::webServerHost(*code);
    } catch (const std::exception& exception) {
        Log::nslog("************ EXCEPTION ************ {} : {} : {}", kOperation, exception.what(),
                   platform::ExceptionGuard::callStackSymbols());
    } catch (...) {
        Log::nslog("************ EXCEPTION ************ {} : {} : {}", kOperation,
                   "unknown exception", platform::ExceptionGuard::callStackSymbols());
    }
    return std::nullopt;
}

void Utils::createPellixDirectoriesWithLogHandler(LogHandler& /*logHandler*/) {
    static constexpr const char* kOperation = "+[Utils createPellixDirectoriesWithLogHandler:]";
    // The logger that runs is a new one; its log watcher keeps it alive from here on.
    {
        auto logger = std::make_shared<LogHandler>();
        logger->createKeloPellixLogFolder();
    }
    Log::nslog("{} : ********************************************************* \n", kOperation);
    Log::nslog("{} : ************* Kelo Pellix App Started ************ \n", kOperation);
    Log::nslog("{} : ********************************************************* \n", kOperation);
    createKeloParloNativeFolder();
    createKeloPellixNativeFolder();
}

void Utils::createKeloParloNativeFolder() {
    ensureFolder("+[Utils createKeloParloNativeFolder]", keloParloNativeFolderPath(),
                 "{} Kelo Parlo Native Folder Created...",
                 "{} Failed to Create Kelo Parlo Native Folder...",
                 "{} Kelo Parlo Native folder Already Present");
}

void Utils::createKeloPellixNativeFolder() {
    ensureFolder("+[Utils createKeloPellixNativeFolder]", keloPellixNativeFolderPath(),
                 "{} Kelo Pellix Native Folder Created...",
                 "{} Failed to Create Kelo Pellix Native Folder...",
                 "{} Kelo Pellix Native folder Already Present");
}

void Utils::findCurrentAppPath() {
    static constexpr const char* kOperation = "+[Utils findCurrentAppPath]";
    platform::ExceptionGuard::run(kOperation, [&] {
        const auto path = platform::Bundle::main().path();
        SessionDetails::getInstance().setPellixAppPath(path);
        Log::nslog("{} Kelo Pellix App path : {}", kOperation, path);
    });
}

void Utils::getKeloPellixAppVersion() {
    static constexpr const char* kOperation = "+[Utils getKeloPellixAppVersion]";
    platform::ExceptionGuard::run(kOperation, [&] {
        auto& session = SessionDetails::getInstance();
        const auto path = session.pellixAppPath();
        if (!path || !platform::FileManager::defaultManager().fileExists(*path)) {
            Log::nslog(
                "{} : Kelo Helvo Pellix app not found, Setting app version to zero ( default)",
                kOperation);
            session.setLocalKeloPellixAppVersion("0");
            return;
        }
        platform::PlistValue version;
        if (const auto bundle = platform::Bundle::atPath(*path)) {
            version = bundle->objectForInfoDictionaryKey("CFBundleShortVersionString")
                          .value_or(platform::PlistValue());
        }
        // An absent version reads as the null object's printed form, "(null)".
        session.setLocalKeloPellixAppVersion(version.description());
        Log::nslog("{} local Kelo Helvo Pellix App version : {}", kOperation,
                   printed(session.localKeloPellixAppVersion()));
    });
}

void Utils::updatePellixIfNeeded() {
    static constexpr const char* kOperation = "+[Utils updatePellixIfNeeded]";
    platform::ExceptionGuard::run(kOperation, [&] {
        auto& session = SessionDetails::getInstance();
        if (!session.isAppReplaceFlag()) {
            Log::nslog("{} There is No Updated App downloaded from server.", kOperation);
            return;
        }
        Log::nslog("{} Updated Pellix Downloaded from server and Initiate to Copy ", kOperation);
        const auto& files = platform::FileManager::defaultManager();
        const auto nativeFolder = session.keloPellixNativeFolder();
        const auto waiting = nativeFolder ? *nativeFolder + kAppBundleName : std::string();
        if (!nativeFolder || !files.fileExists(waiting)) {
            Log::nslog("{} There is No Updated Pellix App Present in {}", kOperation,
                       printed(nativeFolder));
            return;
        }
        const auto installed = platform::Paths::applicationsFolder() + "/" + kAppBundleName;
        if (!files.fileExists(installed)) {
            // Only a launcher installed in the user's own Applications folder is replaced.
            Log::nslog("{} Failed to Remove Existing old Pellix app ({}) in folder {} Error:  {}",
                       kOperation, printed(session.localKeloPellixAppVersion()), installed,
                       platform::Error::posix(ENOENT, installed).printedForm());
            return;
        }
        // The new bundle is staged beside the old one and swapped in with one rename; when any
        // step fails, the old launcher stays in place.
        if (platform::BundleInstaller::install(waiting, installed)) {
            Log::nslog("{} Failed to copy Updated Pellix app to folder {}", kOperation, installed);
        } else {
            Log::nslog("{} Updated Pellix app Copied to {}", kOperation, installed);
            // The desktop's menu and search start the new launcher.
            platform::DesktopEntry::install(installed);
        }
    });
    Log::nslog("{} : ************************** Kelo Pellix App terminated ******* \n\n",
               kOperation);
}
