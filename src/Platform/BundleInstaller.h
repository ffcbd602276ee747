#pragma once

#include <optional>
#include <string>

#include "Platform/Error.h"

namespace platform {

// Installs an application bundle (or a single file, such as an agent's support tool) so that the
// destination always holds one whole bundle: the copy is staged beside the destination and
// swapped in with one rename. When a step fails, the
// bundle that was there stays where it was. A crash leaves at most a hidden staging folder,
// which the next install removes.
class BundleInstaller {
public:
    static std::optional<Error> install(const std::string& source, const std::string& destination);
    static void removeLeftovers(const std::string& destination);
};

}  // namespace platform
