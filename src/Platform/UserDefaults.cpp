#include "Platform/UserDefaults.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

#include "Platform/FileManager.h"
#include "Platform/Log.h"
#include "Platform/Paths.h"
#include "Platform/PropertyList.h"

namespace platform {
namespace {

std::mutex standardMutex;
std::unique_ptr<UserDefaults> standardStore;
std::optional<std::vector<std::string>> processArguments;

std::vector<std::string> ownCommandLine() {
    std::vector<std::string> arguments;
#if defined(__linux__)
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t start = 0;
    while (start < all.size()) {
        const auto end = all.find('\0', start);
        arguments.push_back(all.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
#endif
    return arguments;
}

// "-key value" pairs after the program name; a pair's value is taken as text.
PlistValue::Dictionary argumentDomain(const std::vector<std::string>& arguments) {
    PlistValue::Dictionary domain;
    for (std::size_t i = 1; i + 1 < arguments.size(); ++i) {
        const auto& argument = arguments[i];
        if (argument.size() > 1 && argument[0] == '-') {
            domain.insert_or_assign(argument.substr(1), PlistValue(arguments[i + 1]));
            ++i;
        }
    }
    return domain;
}

std::string timestamp() {
    const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return text;
}

}  // namespace

UserDefaults& UserDefaults::standard() {
    std::lock_guard lock(standardMutex);
    if (!standardStore) {
        standardStore = std::make_unique<UserDefaults>(
            standardFilePath(), processArguments ? *processArguments : ownCommandLine());
    }
    return *standardStore;
}

void UserDefaults::resetStandard() {
    std::lock_guard lock(standardMutex);
    standardStore.reset();
}

void UserDefaults::setProcessArguments(std::vector<std::string> arguments) {
    std::lock_guard lock(standardMutex);
    processArguments = std::move(arguments);
}

std::string UserDefaults::standardFilePath() {
    return Paths::libraryFolder() + "/Preferences/" + kDomain + ".plist";
}

UserDefaults::UserDefaults(std::string filePath, const std::vector<std::string>& arguments)
    : filePath_(std::move(filePath)), arguments_(argumentDomain(arguments)) {
    load();
}

void UserDefaults::load() {
    const auto& files = FileManager::defaultManager();
    // A link in the file's place is not ours to follow: the next write puts a file there.
    if (files.isSymbolicLink(filePath_)) {
        Log::nslog("UserDefaults : preferences file {} is a symbolic link; not followed",
                   filePath_);
        return;
    }
    if (!files.fileExists(filePath_)) return;
    if (auto stored = PropertyList::readOwnDictionary(filePath_)) {
        application_ = std::move(*stored);
        return;
    }
    // Never overwrite what cannot be read: keep it aside for whoever wants to look at it.
    const std::string aside = filePath_ + ".unreadable-" + timestamp();
    std::error_code code;
    std::filesystem::rename(filePath_, aside, code);
    Log::nslog("UserDefaults : preferences file {} could not be read; moved aside to {}{}",
               filePath_, aside, code ? " (failed: " + code.message() + ")" : "");
}

std::optional<PlistValue> UserDefaults::lookup(const std::string& key) const {
    if (auto found = arguments_.find(key); found != arguments_.end()) return found->second;
    if (auto found = application_.find(key); found != application_.end()) return found->second;
    return std::nullopt;
}

std::optional<PlistValue> UserDefaults::object(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return lookup(key);
}

std::optional<std::string> UserDefaults::string(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto value = lookup(key);
    return value ? value->stringValue() : std::nullopt;
}

std::int64_t UserDefaults::integer(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto value = lookup(key);
    if (!value) return 0;
    if (const auto* integer = value->asInteger()) return *integer;
    if (const auto* real = value->asReal()) {
        // Saturated, as the text form is: casting a real outside the range is undefined.
        if (std::isnan(*real)) return 0;
        if (*real >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
        if (*real <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
        return static_cast<std::int64_t>(*real);
    }
    if (const auto* flag = value->asBoolean()) return *flag ? 1 : 0;
    if (const auto* text = value->asString()) return std::strtoll(text->c_str(), nullptr, 10);
    return 0;
}

bool UserDefaults::boolean(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto value = lookup(key);
    if (!value) return false;
    if (const auto* flag = value->asBoolean()) return *flag;
    if (const auto* integer = value->asInteger()) return *integer != 0;
    if (const auto* real = value->asReal()) return *real != 0;
    if (const auto* text = value->asString()) {
        if (*text == "YES" || *text == "yes" || *text == "true" || *text == "TRUE") return true;
        return std::strtoll(text->c_str(), nullptr, 10) != 0;
    }
    return false;
}

void UserDefaults::set(const std::string& key, PlistValue value) {
    std::lock_guard lock(mutex_);
    application_.insert_or_assign(key, std::move(value));
}

void UserDefaults::remove(const std::string& key) {
    std::lock_guard lock(mutex_);
    application_.erase(key);
}

PlistValue::Dictionary UserDefaults::snapshot() const {
    std::lock_guard lock(mutex_);
    PlistValue::Dictionary merged = application_;
    for (const auto& [key, value] : arguments_) merged.insert_or_assign(key, value);
    return merged;
}

PlistValue::Dictionary UserDefaults::valuesForKeys(const std::vector<std::string>& keys) const {
    std::lock_guard lock(mutex_);
    PlistValue::Dictionary values;
    for (const auto& key : keys) values.insert_or_assign(key, lookup(key).value_or(PlistValue()));
    return values;
}

bool UserDefaults::synchronize() {
    std::lock_guard lock(mutex_);
    const auto& files = FileManager::defaultManager();
    const auto folder = std::filesystem::path(filePath_).parent_path().string();
    if (!files.isDirectory(folder)) {
        if (auto error = files.createDirectory(folder, true)) {
            Log::nslog("UserDefaults : cannot create {} : {}", folder, error->printedForm());
            return false;
        }
    }
    const auto xml = PropertyList::toXml(PlistValue(application_));
    if (auto error = files.writeFileAtomically(filePath_, xml, 0600)) {
        Log::nslog("UserDefaults : cannot write {} : {}", filePath_, error->printedForm());
        return false;
    }
    return true;
}

}  // namespace platform
