#include "Platform/Bundle.h"

#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <utility>

#include "Platform/FileManager.h"
#include "Platform/PropertyList.h"

namespace platform {
namespace fs = std::filesystem;

namespace {

std::mutex mainMutex;
std::optional<std::string> mainBundleOverride;
// The bundle the program was started from: path and whether it is a plain folder.
std::optional<std::pair<std::string, bool>> resolvedMain;

std::string executableFile() {
    std::error_code code;
    auto path = fs::read_symlink("/proc/self/exe", code);
    return code ? std::string() : path.string();
}

std::pair<std::string, bool> bundleOfExecutable() {
    const fs::path executable = executableFile();
    const fs::path macos = executable.parent_path();
    const fs::path contents = macos.parent_path();
    if (macos.filename() == "MacOS" && contents.filename() == "Contents" &&
        contents.parent_path().extension() == ".app") {
        return {contents.parent_path().string(), false};
    }
    return {macos.string(), true};
}

}  // namespace

std::optional<Bundle> Bundle::atPath(const std::string& path) {
    if (!FileManager::defaultManager().isDirectory(path)) return std::nullopt;
    return Bundle(path, false);
}

void Bundle::overrideMainBundlePath(std::optional<std::string> path) {
    std::lock_guard lock(mainMutex);
    mainBundleOverride = std::move(path);
}

void Bundle::resolveMain() {
    std::lock_guard lock(mainMutex);
    if (!resolvedMain) resolvedMain = bundleOfExecutable();
}

Bundle Bundle::main() {
    std::lock_guard lock(mainMutex);
    if (mainBundleOverride) return Bundle(*mainBundleOverride, false);
    // Once the running bundle has been replaced, the executable's link names a deleted file in
    // another folder: it is read once, before that can happen.
    if (!resolvedMain) resolvedMain = bundleOfExecutable();
    return Bundle(resolvedMain->first, resolvedMain->second);
}

std::optional<PlistValue::Dictionary> Bundle::infoDictionary() const {
    if (flat_) return std::nullopt;
    return PropertyList::readDictionary(path_ + "/Contents/Info.plist");
}

std::optional<PlistValue> Bundle::objectForInfoDictionaryKey(const std::string& key) const {
    auto info = infoDictionary();
    if (!info) return std::nullopt;
    auto found = info->find(key);
    if (found == info->end()) return std::nullopt;
    return found->second;
}

std::optional<std::string> Bundle::shortVersionString() const {
    auto value = objectForInfoDictionaryKey("CFBundleShortVersionString");
    if (!value || !value->isString()) return std::nullopt;
    return *value->asString();
}

std::string Bundle::executableFolder() const {
    return flat_ ? path_ : path_ + "/Contents/MacOS";
}

std::optional<std::string> Bundle::executablePath() const {
    auto name = objectForInfoDictionaryKey("CFBundleExecutable");
    if (!name || !name->isString() || name->asString()->empty()) return std::nullopt;
    return executableFolder() + "/" + *name->asString();
}

std::optional<std::string> Bundle::pathForResource(const std::string& name,
                                                   const std::string& type) const {
    const std::string folder = flat_ ? path_ : path_ + "/Contents/Resources";
    const std::string path = folder + "/" + name + (type.empty() ? "" : "." + type);
    if (!FileManager::defaultManager().fileExists(path)) return std::nullopt;
    return path;
}

}  // namespace platform
