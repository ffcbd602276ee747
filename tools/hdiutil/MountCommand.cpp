#include "MountCommand.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <iomanip>
#include <ostream>

#include "DiskIdentifier.h"
#include "Extractor.h"
#include "HdiutilError.h"
#include "StagingFolder.h"
#include "VolumesFolder.h"

namespace hdiutil {
namespace {

// One row of hdiutil's table: device and partition type in padded columns, then the mount point.
void printRow(std::ostream& out, const std::string& device, const std::string& type,
              const std::string& mountPoint) {
    out << std::left << std::setw(20) << device << '\t' << std::setw(31) << type << '\t'
        << mountPoint << '\n';
}

}  // namespace

int MountCommand::run(const std::filesystem::path& image, std::ostream& out, std::ostream& err) {
    try {
        std::string partitionType;
        const auto mountPoint = mount(image, partitionType);
        const auto disk = "/dev/" + DiskIdentifier::forVolume(mountPoint);
        printRow(out, disk, "GUID_partition_scheme", "");
        printRow(out, disk + "s1", partitionType, mountPoint.string());
        out.flush();
        return 0;
    } catch (const std::exception& failure) {
        err << "hdiutil: mount failed - " << failure.what() << '\n';
        return 1;
    }
}

std::filesystem::path MountCommand::mount(const std::filesystem::path& image,
                                          std::string& partitionType) {
    struct stat info {};
    if (image.empty() || stat(image.c_str(), &info) != 0)
        throw HdiutilError(std::strerror(image.empty() ? ENOENT : errno));
    if (!S_ISREG(info.st_mode)) throw HdiutilError("image not recognized (not a file)");

    // Everything that can be learnt without touching the volumes folder comes first, so that an
    // unusable image or a missing 7zz never leaves anything there.
    const Extractor extractor(SevenZip::locate());
    const auto label = extractor.inspect(image);
    partitionType = label.partitionType();

    const auto volumes = VolumesFolder::forCurrentUser();
    volumes.prepare();
    volumes.sweepAbandonedStaging();

    StagingFolder staging(volumes.path(), "mount");
    const auto extracted = staging.path() / "volume";
    if (mkdir(extracted.c_str(), 0755) != 0)
        throw HdiutilError("cannot create " + extracted.string() + ": " + std::strerror(errno));
    extractor.extract(image, extracted);

    // Whatever stays in `staging` (top-level strays of a damaged HFS+ catalog, or everything after
    // a failure) is deleted with it.
    const auto root =
        label.rootInExtraction().empty() ? extracted : extracted / label.rootInExtraction();
    if (lstat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        throw HdiutilError("the volume's root folder is missing after extracting " +
                           image.string());
    return volumes.place(root, label.name());
}

}  // namespace hdiutil
