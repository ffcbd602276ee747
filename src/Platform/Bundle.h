#pragma once

#include <optional>
#include <string>

#include "Platform/PlistValue.h"

namespace platform {

// An application bundle: a folder with Contents/Info.plist, Contents/MacOS/<CFBundleExecutable>
// and Contents/Resources/.
class Bundle {
public:
    // The bundle at the path, or nullopt when no folder is there.
    static std::optional<Bundle> atPath(const std::string& path);
    // The running program's bundle: the ".app" folder holding Contents/MacOS/<executable>; a
    // program outside a bundle takes its own folder as its bundle. Resolved once, by
    // resolveMain() or the first call, and the same for the rest of the process: a bundle
    // replaced or removed while the program runs does not change where it belongs.
    static Bundle main();
    // Resolves the main bundle now; the program's entry calls it before anything can move the
    // bundle.
    static void resolveMain();
    // Lets tests run the handlers as if they were started from the given bundle.
    static void overrideMainBundlePath(std::optional<std::string> path);

    const std::string& path() const { return path_; }
    std::optional<PlistValue::Dictionary> infoDictionary() const;
    std::optional<PlistValue> objectForInfoDictionaryKey(const std::string& key) const;
    // "CFBundleShortVersionString" when it is text.
    std::optional<std::string> shortVersionString() const;
    // Contents/MacOS (or the bundle's own folder for a program outside a bundle).
    std::string executableFolder() const;
    // Contents/MacOS/<CFBundleExecutable>, when the information names one.
    std::optional<std::string> executablePath() const;
    // Contents/Resources/<name>.<type> when it exists (or <folder>/<name>.<type> outside a bundle).
    std::optional<std::string> pathForResource(const std::string& name,
                                               const std::string& type) const;

private:
    explicit Bundle(std::string path, bool flat) : path_(std::move(path)), flat_(flat) {}

    std::string path_;
    bool flat_ = false;  // a program's own folder standing in for a bundle
};

}  // namespace platform
