#include "Platform/Bundle.h"

#include <unistd.h>

#include <filesystem>
#include <mutex>

#include "Platform/FileManager.h"
#include "Platform/PropertyList.h"

namespace platform {
namespace fs = std::filesystem;

namespace {

std::mutex overrideMutex;
std::optional<std::string> mainBundleOverride;

std::string executableFile() {
    std::error_code code;
    auto path = fs::read_symlink("/proc/self/exe", code);
    return code ? std::string() : path.string();
}

}  // namespace

std::optional<Bundle> Bundle::atPath(const std::string& path) {
    if (!FileManager::defaultManager().isDirectory(path)) return std::nullopt;
    return Bundle(path, false);
}

void Bundle::overrideMainBundlePath(std::optional<std::string> path) {
    std::lock_guard lock(overrideMutex);
    mainBundleOverride = std::move(path);
}

Bundle Bundle::main() {
    {
        std::lock_guard lock(overrideMutex);
        if (mainBundleOverride) return Bundle(*mainBundleOverride, false);
    }
    const fs::path executable = executableFile();
    const fs::path macos = executable.parent_path();
    const fs::path contents = macos.parent_path();
    if (macos.filename() == "MacOS" && contents.filename() == "Contents" &&
        contents.parent_path().extension() == ".app") {
        return Bundle(contents.parent_path().string(), false);
    }
    return Bundle(macos.string(), true);
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
