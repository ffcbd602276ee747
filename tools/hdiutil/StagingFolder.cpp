#include "StagingFolder.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>

#include "HdiutilError.h"
#include "TreeRemover.h"

namespace hdiutil {

StagingFolder::StagingFolder(const std::filesystem::path& volumesFolder, std::string_view purpose) {
    std::string pattern = (volumesFolder / kPrefix).string() + std::to_string(getpid()) + "-" +
                          std::string(purpose) + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw HdiutilError("cannot create a work folder in " + volumesFolder.string() + ": " +
                           std::strerror(errno));
    path_ = pattern;
}

StagingFolder::~StagingFolder() {
    if (removed_) return;
    try {
        TreeRemover::remove(path_);
    } catch (const HdiutilError&) {
        // Left for the sweep of a later run, which removes the folders of finished processes.
    }
}

void StagingFolder::removeNow() {
    TreeRemover::remove(path_);
    removed_ = true;
}

pid_t StagingFolder::ownerOf(std::string_view name) {
    if (!name.starts_with(kPrefix)) return 0;
    name.remove_prefix(kPrefix.size());
    pid_t owner = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), owner);
    if (error != std::errc() || end == name.data() + name.size() || *end != '-' || owner <= 0)
        return 0;
    return owner;
}

}  // namespace hdiutil
