#include "Platform/Paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace platform {

std::string Paths::homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir) {
        return found->pw_dir;
    }
    return "/";
}

std::string Paths::libraryFolder() {
    return homeFolder() + "/Library";
}

std::string Paths::applicationsFolder() {
    return homeFolder() + "/Applications";
}

std::string Paths::localApplicationsFolder() {
    return "/Applications";
}

std::string Paths::dataHomeFolder() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/') return data;
    return homeFolder() + "/.local/share";
}

std::string Paths::cacheHomeFolder() {
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && cache[0] == '/') return cache;
    return homeFolder() + "/.cache";
}

}  // namespace platform
