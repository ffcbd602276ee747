#include "Platform/Error.h"

#include <fmt/format.h>

#include <cstring>

namespace platform {
namespace {

// strerror_r comes in a GNU and an XSI flavour; accept either.
[[maybe_unused]] const char* messageFrom(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* messageFrom(const char* result, const char*) { return result; }

}  // namespace

Error Error::posix(int errorNumber, std::string path) {
    char buffer[256];
    const char* text = messageFrom(strerror_r(errorNumber, buffer, sizeof buffer), buffer);
    return Error{"NSPOSIXErrorDomain", errorNumber, text, std::move(path)};
}

Error Error::other(std::string description, std::string path) {
    return Error{"KeloPellixErrorDomain", -1, std::move(description), std::move(path)};
}

std::string Error::printedForm() const {
    if (path.empty()) {
        return fmt::format("Error Domain={} Code={} \"{}\"", domain, code, description);
    }
    return fmt::format("Error Domain={} Code={} \"{}\" UserInfo={{NSFilePath={}}}", domain, code,
                       description, path);
}

}  // namespace platform
