#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/PlistValue.h"

namespace platform {

// The launcher's own defaults domain. Two layers: the argument domain (each "-key value" pair of
// the command line; highest priority, never written) over the application domain, kept as a
// property list in home + "/Library/Preferences/<domain>.plist". Safe from several threads.
class UserDefaults {
public:
    static constexpr const char* kDomain = "com.Kelo.Helvo.KeloHelvoPellix";

    // The process's store: this process's command line over the file in the current home.
    static UserDefaults& standard();
    // Forgets the process's store, so the next standard() reads HOME and the file again.
    static void resetStandard();
    // The command line that the argument domain is made of (otherwise the process's own).
    static void setProcessArguments(std::vector<std::string> arguments);
    // home + "/Library/Preferences/com.Kelo.Helvo.KeloHelvoPellix.plist"
    static std::string standardFilePath();

    UserDefaults(std::string filePath, const std::vector<std::string>& arguments);

    std::optional<PlistValue> object(const std::string& key) const;
    // Text, or the decimal text of a number, as the platform's string getter answers.
    std::optional<std::string> string(const std::string& key) const;
    std::int64_t integer(const std::string& key) const;
    bool boolean(const std::string& key) const;

    void set(const std::string& key, PlistValue value);
    void remove(const std::string& key);

    // Every value, the argument domain over the application domain.
    PlistValue::Dictionary snapshot() const;
    // The values of the keys; a key without a value gives the null object.
    PlistValue::Dictionary valuesForKeys(const std::vector<std::string>& keys) const;

    // Writes the application domain whole (temporary file, flush, rename; mode 0600: it holds a
    // proxy password). False when the file could not be written.
    bool synchronize();

    const std::string& filePath() const { return filePath_; }

private:
    std::optional<PlistValue> lookup(const std::string& key) const;
    void load();

    mutable std::mutex mutex_;
    std::string filePath_;
    PlistValue::Dictionary arguments_;
    PlistValue::Dictionary application_;
};

}  // namespace platform
