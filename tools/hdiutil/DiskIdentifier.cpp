#include "DiskIdentifier.h"

#include <sys/stat.h>

namespace hdiutil {

std::string DiskIdentifier::forVolume(const std::filesystem::path& volume) {
    // disk0 and disk1 are a Mac's own disks; images come after them.
    constexpr unsigned long kFirstImageDisk = 2;
    constexpr unsigned long kImageDisks = 98;
    struct stat info {};
    const unsigned long inode = lstat(volume.c_str(), &info) == 0 ? info.st_ino : 0;
    return "disk" + std::to_string(kFirstImageDisk + inode % kImageDisks);
}

}  // namespace hdiutil
