#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

// The operating system's product name and version: NAME and VERSION_ID of /etc/os-release, or of
// /usr/lib/os-release where the former does not exist (the os-release rules).
class SystemVersion {
  public:
    struct Info {
        std::optional<std::string> productName;
        std::optional<std::string> productVersion;
    };
    static Info read();
    // The first of the files that exists; nothing is known when none does.
    static Info readFirstOf(const std::vector<std::string>& paths);
};

}  // namespace platform
