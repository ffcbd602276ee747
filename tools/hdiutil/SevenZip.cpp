#include "SevenZip.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string_view>

#include "HdiutilError.h"

namespace hdiutil {
namespace {

bool isExecutableFile(const std::filesystem::path& candidate) {
    struct stat info {};
    return stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(candidate.c_str(), X_OK) == 0;
}

}  // namespace

SevenZip SevenZip::locate() {
    if (const char* chosen = std::getenv("KELO_PELLIX_7ZZ"); chosen != nullptr && *chosen != '\0') {
        if (!isExecutableFile(chosen))
            throw HdiutilError(std::string("7-Zip not found at ") + chosen + " (KELO_PELLIX_7ZZ)");
        return SevenZip(chosen);
    }
    // Debian 12 names the program 7zz (package 7zip); older systems have it as 7z (p7zip-full).
    for (const char* name : {"7zz", "7z"}) {
        const char* path = std::getenv("PATH");
        std::istringstream folders(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
        std::string folder;
        while (std::getline(folders, folder, ':')) {
            const auto candidate = std::filesystem::path(folder.empty() ? "." : folder) / name;
            if (isExecutableFile(candidate)) return SevenZip(candidate);
        }
    }
    throw HdiutilError("7-Zip is not installed: install the package 7zip (or p7zip-full)");
}

ProcessResult SevenZip::list(const std::filesystem::path& image) const {
    return run({"l", "-slt"}, image);
}

ProcessResult SevenZip::extract(const std::filesystem::path& image,
                                const std::filesystem::path& destination) const {
    // -y answers its questions, -sns- leaves HFS+ resource forks out (they would become stray
    // "file:rsrc" files), -bso0 -bsp0 silence the progress we do not show.
    return run({"x", "-y", "-sns-", "-bso0", "-bsp0", "-o" + destination.string()}, image);
}

ProcessResult SevenZip::run(std::vector<std::string> arguments,
                            const std::filesystem::path& image) const {
    // -spd: 7-Zip expands wildcards in archive names itself, so an image called "Kelo*.dmg"
    // would also open its neighbours. "--" keeps a name that starts with "-" from being read as
    // a switch. Names in images are UTF-8 whatever our caller's locale is.
    arguments.insert(arguments.end(), {"-spd", "-sccUTF-8", "--", image.string()});
    return ProcessRunner::run(program_.string(), arguments, {"LC_ALL=C.UTF-8"});
}

}  // namespace hdiutil
