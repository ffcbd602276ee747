#pragma once

#include <string>

namespace platform {

// The user's folders. Every path the launcher uses derives from the home folder.
class Paths {
  public:
    // HOME when set and not empty, else the password database's entry for this user.
    static std::string homeFolder();
    // home + "/Library"
    static std::string libraryFolder();
    // home + "/Applications"
    static std::string applicationsFolder();
    // The machine-wide Applications folder ("/Applications" on the target platform).
    static std::string localApplicationsFolder();
    // The desktop's per-user data folder: XDG_DATA_HOME when it is an absolute path, else
    // home + "/.local/share" (the XDG Base Directory rule).
    static std::string dataHomeFolder();
    // The per-user cache folder: XDG_CACHE_HOME when it is an absolute path, else
    // home + "/.cache".
    static std::string cacheHomeFolder();
};

}  // namespace platform
