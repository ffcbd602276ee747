#pragma once

#include <optional>
#include <string>

namespace platform {

// The operating system's product name and version (NAME and VERSION_ID of /etc/os-release).
class SystemVersion {
public:
    struct Info {
        std::optional<std::string> productName;
        std::optional<std::string> productVersion;
    };
    static Info read(const std::string& path = "/etc/os-release");
};

}  // namespace platform
