#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/PlistValue.h"

namespace platform {

// Reading and writing property lists (XML and binary read; XML 1.0 written).
class PropertyList {
  public:
    // Parses XML or binary property-list bytes; nullopt when they are not a property list.
    static std::optional<PlistValue> fromBytes(std::string_view bytes);
    // Reads a property-list file; nullopt when it cannot be read or is not a property list.
    static std::optional<PlistValue> readFile(const std::filesystem::path& path);
    // Reads a file whose top level must be a dictionary.
    static std::optional<PlistValue::Dictionary> readDictionary(const std::filesystem::path& path);
    // The same for a file of the launcher's own: a symbolic link in its place is not followed.
    static std::optional<PlistValue::Dictionary> readOwnDictionary(
        const std::filesystem::path& path);
    // The platform's XML property-list format, version 1.0.
    static std::string toXml(const PlistValue& value);
};

}  // namespace platform
