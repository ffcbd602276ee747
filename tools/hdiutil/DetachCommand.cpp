#include "DetachCommand.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "DiskIdentifier.h"
#include "HdiutilError.h"
#include "StagingFolder.h"
#include "VolumesFolder.h"

namespace hdiutil {

int DetachCommand::run(const std::filesystem::path& path, std::ostream& out, std::ostream& err) {
    try {
        const auto volumes = VolumesFolder::forCurrentUser();
        const auto volume = volumes.findVolume(path);
        if (!volume) throw HdiutilError(std::strerror(ENOENT));
        volumes.sweepAbandonedStaging();

        const auto disk = DiskIdentifier::forVolume(*volume);
        StagingFolder trash(volumes.path(), "detach");
        // Renaming a folder onto an empty folder replaces it.
        if (std::rename(volume->c_str(), trash.path().c_str()) != 0)
            throw HdiutilError(std::strerror(errno));
        trash.removeNow();

        out << '"' << disk << "\" ejected.\n";
        out.flush();
        return 0;
    } catch (const std::exception& failure) {
        err << "hdiutil: detach failed - " << failure.what() << '\n';
        return 1;
    }
}

}  // namespace hdiutil
