#include "Platform/Volumes.h"

#include <unistd.h>

#include <cstdlib>

#include "Platform/Bundle.h"

namespace platform {

std::string Volumes::folder() {
    // A relative runtime folder would move with the working folder: the tool ignores it too.
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
        return std::string(runtime) + "/Volumes";
    }
    return "/tmp/Volumes-" + std::to_string(getuid());
}

std::string Volumes::volumeNamed(const std::string& name) { return folder() + "/" + name; }

std::string Volumes::diskImageToolPath() { return Bundle::main().executableFolder() + "/hdiutil"; }

}  // namespace platform
