#include "App/AppDelegate.h"

#include <filesystem>

#include "Handlers/ApiHandler.h"
#include "Handlers/KeloAppUpgrader.h"
#include "Handlers/LogHandler.h"
#include "Handlers/Utils.h"
#include "Objects/SessionDetails.h"
#include "Platform/Bundle.h"
#include "Platform/BundleInstaller.h"
#include "Platform/Console.h"
#include "Platform/DesktopEntry.h"
#include "Platform/ExceptionGuard.h"
#include "Platform/FileManager.h"
#include "Platform/GlobalQueue.h"
#include "Platform/Paths.h"
#include "Platform/PropertyList.h"
#include "Platform/UserDefaults.h"
#include "Platform/Workspace.h"

namespace {

using platform::Console;
using platform::FileManager;
using platform::UserDefaults;

constexpr const char* kTokenKey = "PellixToken";
constexpr const char* kDataCentreKey = "DC";
constexpr const char* kPathKey = "pathForPellix";

std::string parentFolder(const std::string& path) {
    std::filesystem::path location(path);
    // "/x/Kelo Helvo Pellix.app/" names the same bundle as "/x/Kelo Helvo Pellix.app".
    if (!location.has_filename()) location = location.parent_path();
    return location.parent_path().string();
}

std::string joined(const std::string& folder, std::string_view name) {
    if (!folder.empty() && folder.back() == '/') return folder + std::string(name);
    return folder + "/" + std::string(name);
}

const char* flagText(bool flag) {
    return flag ? "true" : "false";
}

// A stored launch parameter that the configuration names does not outlive it.
void removeStoredValue(UserDefaults& defaults, const std::string& key) {
    if (!defaults.object(key)) return;
    defaults.remove(key);
    defaults.synchronize();
}

// The printed form of a list of volume addresses, as the launcher's lines show arrays.
std::string printedList(const std::vector<std::string>& items) {
    std::string out = "(\n";
    for (std::size_t i = 0; i < items.size(); ++i) {
        out += "    \"" + items[i] + "\"" + (i + 1 < items.size() ? ",\n" : "\n");
    }
    return out + ")";
}

}  // namespace

AppDelegate::AppDelegate() : logHandler_(std::make_shared<LogHandler>()) {}

AppDelegate::~AppDelegate() {
    removeObservers();
}

std::string AppDelegate::infoFilePath() {
    return platform::Paths::libraryFolder() +
           "/Application Support/KeloPellixNativeFolder/Info.plist";
}

std::string AppDelegate::installDestination() {
    return platform::Paths::applicationsFolder() + "/" + kApplicationBundleName;
}

std::string AppDelegate::fileUrlText(const std::string& path, bool isDirectory) {
    static constexpr std::string_view kKept = "-._~!$&'()*+,;=:@/";
    std::string out = "file://";
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
            (byte >= '0' && byte <= '9') || kKept.find(c) != std::string_view::npos) {
            out.push_back(c);
        } else {
            out += fmt::format("%{:02X}", byte);
        }
    }
    if (isDirectory && (out.empty() || out.back() != '/')) out.push_back('/');
    return out;
}

// --- Launch ----------------------------------------------------------------------------------

void AppDelegate::awakeFromNib() {
    // Each step is guarded on its own: a failure in one must not cost the launch the next.
    platform::ExceptionGuard::run("awakeFromNib()", [&] {
        const auto paths = getPellixVolumePath();
        if (paths.size() != 2) return;
        const auto& configuration = paths[0];
        const auto& bundle = paths[1];
        if (FileManager::defaultManager().fileExists(configuration)) {
            copyPellixConfiguration(configuration, bundle);
        } else {
            Console::print("awakeFromNib()Configuration file does not exist at path: " +
                           configuration);
        }
    });
    platform::ExceptionGuard::run("awakeFromNib()", [] { Utils::parseCommandLineArgs(); });
    SessionDetails::getInstance().setDefaultKeloDirectoryManager(&FileManager::defaultManager());
    platform::ExceptionGuard::run(
        "awakeFromNib()", [&] { Utils::createPellixDirectoriesWithLogHandler(*logHandler_); });
}

void AppDelegate::applicationWillFinishLaunching() {
    platform::ExceptionGuard::run("applicationWillFinishLaunching(_:)", [] {
        Utils::findCurrentAppPath();
        Utils::getKeloPellixAppVersion();
    });
    addObserver();
}

void AppDelegate::applicationDidFinishLaunching() {
    platform::GlobalQueue::async([] {
        platform::ExceptionGuard::run("applicationDidFinishLaunching(_:)_block_invoke", [] {
            KeloAppUpgrader::getInstance().keloAppVersionCheck();

            auto& defaults = UserDefaults::standard();
            defaults.set("WebKitOfflineWebApplicationCacheEnabled", platform::PlistValue(true));
            defaults.synchronize();

            ApiHandler::getInstance().checkPellixUpdateWithCompletion([](bool available) {
                if (available)
                    Console::print("applicationDidFinishLaunching(_:) Update Available for Pellix");
            });
        });
    });
}

void AppDelegate::applicationWillTerminate() {}

// --- Quit --------------------------------------------------------------------------------------

void AppDelegate::addObserver() {
    platform::NotificationCenter::defaultCenter().addObserver(
        this, kTerminateNotification,
        [this](const platform::NotificationCenter::Notification& notification) {
            terminateAppWithNotification(notification);
        });
}

void AppDelegate::removeObservers() {
    platform::NotificationCenter::defaultCenter().removeObserver(this);
}

void AppDelegate::terminateAppWithNotification(const platform::NotificationCenter::Notification&) {
    removeObservers();
    platform::ExceptionGuard::run("terminateAppWithNotification(_:)",
                                  [] { Utils::updatePellixIfNeeded(); });
    if (terminate_) terminate_();
}

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed() {
    platform::NotificationCenter::defaultCenter().post(kTerminateNotification);
    return true;
}

// --- Configuration bootstrap -------------------------------------------------------------------

std::vector<std::string> AppDelegate::getPellixVolumePath() {
    const auto& files = FileManager::defaultManager();
    const std::string applicationFolder = parentFolder(platform::Bundle::main().path());
    Console::print("getPellixVolumePath() : Application folder : " +
                   platform::Paths::localApplicationsFolder());

    std::string configuration = joined(applicationFolder, PellixConfiguration::kFileName);
    std::string bundle = joined(applicationFolder, kApplicationBundleName);
    // Started from the disk image itself (or from a folder the image was copied into): the
    // configuration lies beside the bundle, and the launch bootstraps from there.
    if (files.fileExists(configuration)) return {configuration, bundle};

    auto& workspace = platform::Workspace::shared();
    const auto volumes = workspace.mountedVolumePaths();
    if (volumes.empty()) {
        Console::print("getPellixVolumePath() : No mounted volumes found");
        return {};
    }
    std::vector<std::string> addresses;
    addresses.reserve(volumes.size());
    for (const auto& volume : volumes) addresses.push_back(fileUrlText(volume, true));
    Console::print("\ngetPellixVolumePath() : Mounted Volumes : " + printedList(addresses));

    for (const auto& volume : volumes) {
        if (volume.find(kVolumeNameFragment) == std::string::npos) continue;
        const auto info = workspace.fileSystemInfo(volume);
        Console::print(fmt::format(
            "getPellixVolumePath() : Result : {} Volume : {}, isRemovable :{}, isWritable : {}, "
            "isUnmountable : {}, Description : {}, type : {}",
            flagText(info.result), volume, flagText(info.isRemovable), flagText(info.isWritable),
            flagText(info.isUnmountable), info.description.value_or(""), info.type.value_or("")));
        if (info.isUnmountable && info.isRemovable) {
            configuration = joined(volume, PellixConfiguration::kFileName);
            bundle = joined(volume, kApplicationBundleName);
            Console::print("getPellixVolumePath() : PellixConfiguration Directory : " +
                           fileUrlText(configuration, files.isDirectory(configuration)));
        }
    }
    return {configuration, bundle};
}

std::optional<AppDelegate::Parameters> AppDelegate::parsePellixConfiguration(
    const std::string& filePath) {
    platform::Error error;
    auto contents = PellixConfiguration::read(filePath, &error);
    if (!contents) {
        Console::print(
            "parsePellixConfiguration(filePath:) :Error reading Pellix Configuration File. \n "
            "Error Description = " +
            error.printedForm());
        return std::nullopt;
    }
    auto& defaults = UserDefaults::standard();
    bool tokenSeen = false;
    for (const auto& key : contents->keys) {
        if (key == kTokenKey) {
            removeStoredValue(defaults, key);
            tokenSeen = true;
        } else if (key == kDataCentreKey || key == kPathKey) {
            removeStoredValue(defaults, key);
        }
    }
    // The launch token of an earlier launch never outlives a configuration file.
    if (!tokenSeen) {
        defaults.remove(kTokenKey);
        defaults.synchronize();
    }
    return std::move(contents->parameters);
}

void AppDelegate::saveParametersToPlist(const Parameters& parameters,
                                        const std::string& plistPath) {
    const auto& files = FileManager::defaultManager();
    const auto report = [](const platform::Error& error) {
        Console::print("Error saving parameters to Info.plist. \n Error Description = " +
                       error.printedForm());
    };
    const std::string folder = std::filesystem::path(plistPath).parent_path().string();
    if (!files.fileExists(folder)) {
        if (auto error = files.createDirectory(folder, true)) return report(*error);
    }
    platform::PlistValue::Dictionary dictionary;
    for (const auto& [key, value] : parameters)
        dictionary.emplace(key, platform::PlistValue(value));
    // Whole or not at all: the next launch must never read half a file. The launch token makes it
    // the user's own.
    if (auto error = files.writeFileAtomically(
            plistPath, platform::PropertyList::toXml(platform::PlistValue(dictionary)), 0600)) {
        report(*error);
    }
}

void AppDelegate::copyPellixConfiguration(const std::string& keloPellixConfFilePath,
                                          const std::string& keloPellixAppPathURL) {
    const auto& files = FileManager::defaultManager();
    const std::string infoFile = infoFilePath();
    if (files.fileExists(infoFile)) {
        if (auto error = files.removeItem(infoFile)) {
            Console::print(
                "Error removing existing Pellix Configuration File. \n Error Description = " +
                error->printedForm());
        }
    }
    if (auto parameters = parsePellixConfiguration(keloPellixConfFilePath)) {
        saveParametersToPlist(*parameters, infoFile);
    }

    const std::string destination = installDestination();
    const auto installedVersion = getAppVersion(destination);
    const auto offeredVersion = getAppVersion(keloPellixAppPathURL);
    // Both absent, or both the same text: nothing to install. Any difference, either way, is.
    if (installedVersion == offeredVersion) return;

    // Staged beside the destination and swapped in: the user is never left without a launcher.
    if (auto error = platform::BundleInstaller::install(keloPellixAppPathURL, destination)) {
        Console::print(
            "copyPellixConfiguration(keloPellixConfFilePath:keloPellixAppPathURL:) : Error "
            "copying Kelo Helvo Pellix Application to Application Folder.\n Error Description = " +
            error->printedForm());
        return;
    }
    // The desktop's menu and search start the installed copy.
    platform::DesktopEntry::install(destination);
}

std::optional<std::string> AppDelegate::getAppVersion(const std::string& path) {
    auto bundle = platform::Bundle::atPath(path);
    if (!bundle) return std::nullopt;
    return bundle->shortVersionString();
}
