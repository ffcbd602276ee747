#pragma once

#include <string>

namespace platform {

// The launcher as a Linux desktop finds it: a desktop entry in the user's applications folder
// (menus, search, docks) and the launcher's icon in the user's hicolor icon theme, both named
// after the application id. Written for a launcher installed into the user's Applications
// folder, so the desktop starts that copy.
class DesktopEntry {
  public:
    // The bundle identifier, which is also the window's application id: the desktop matches a
    // window to its entry by it.
    static constexpr const char* kApplicationId = KELO_BUNDLE_IDENTIFIER;
    // Where an icon theme holds the launcher's icon, in the user's theme and in the bundle's
    // Resources/icons alike.
    static constexpr const char* kIconInTheme =
        "hicolor/scalable/apps/" KELO_BUNDLE_IDENTIFIER ".svg";

    // Installs the bundle's icon, then writes the entry that starts the bundle's executable; each
    // file whole. Logs one line saying the entry was written or why not; true when written.
    static bool install(const std::string& bundle);

    // data home + "/applications/<application id>.desktop"
    static std::string entryPath();
    // data home + "/icons/" + kIconInTheme
    static std::string iconPath();
};

}  // namespace platform
