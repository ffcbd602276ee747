#include "Platform/SystemIdentity.h"

#include <fmt/format.h>
#include <sys/utsname.h>

namespace platform {

std::string SystemIdentity::architectureWordFor(std::string_view machine) {
    // The service names Arm machines as the other platform does.
    if (machine == "aarch64" || machine == "arm64") return "arm64";
    return std::string(machine);
}

#if defined(__APPLE__)

std::string SystemIdentity::systemWord() {
    return "mac";
}

std::string SystemIdentity::architectureWord() {
    return "arm64";
}

std::string SystemIdentity::browserUserAgent() {
    return "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36 (KHTML, like "
           "Gecko) Chrome/91.0.4472.124 Safari/537.36";
}

#else

std::string SystemIdentity::systemWord() {
    return "linux";
}

std::string SystemIdentity::architectureWord() {
    utsname names{};
    if (::uname(&names) != 0) return "unknown";
    return architectureWordFor(names.machine);
}

std::string SystemIdentity::browserUserAgent() {
    return fmt::format(
        "Mozilla/5.0 (X11; Linux {}) AppleWebKit/537.36 (KHTML, like Gecko) "
        "Chrome/91.0.4472.124 Safari/537.36",
        architectureWord());
}

#endif

}  // namespace platform
