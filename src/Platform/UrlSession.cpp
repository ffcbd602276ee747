#include "Platform/UrlSession.h"

#include <fmt/format.h>

namespace platform {

std::string UrlError::printedForm() const {
    return fmt::format(
        "Error Domain={} Code={} \"{}\" UserInfo={{NSErrorFailingURLStringKey={}, "
        "NSLocalizedDescription={}}}",
        domain, code, localizedDescription, failingUrl, localizedDescription);
}

}  // namespace platform
