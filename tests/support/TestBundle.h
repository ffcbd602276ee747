#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "Platform/PlistValue.h"

// An application bundle as the tests need one: Contents/Info.plist naming the executable (and a
// short version when there is one), and the executable Contents/MacOS/<executable> holding
// `content`.
struct TestBundle {
    std::optional<std::string> executable = "KeloHelvoPellix";  // nullopt: none is named
    std::optional<platform::PlistValue> version{};              // CFBundleShortVersionString
    bool withInfo = true;                                       // false: no Info.plist at all
    std::optional<std::string> content = "#!/bin/sh\n";         // nullopt: no executable file
    std::filesystem::perms mode = std::filesystem::perms::owner_all;
    std::optional<std::string> marker{};  // Contents/Resources/marker, to tell copies apart

    // Writes the bundle at `bundle` (its folders are made) and returns the path.
    std::string writeTo(const std::string& bundle) const;

    // The short version of the bundle at `bundle`; nothing when there is no bundle or version.
    static std::optional<std::string> versionAt(const std::string& bundle);
};
