#pragma once

#include <filesystem>
#include <string>

namespace hdiutil {

// The "diskN" name that hdiutil's output shows for a volume. There is no device behind our
// volumes and no caller reads the name; it is derived from the volume folder's inode so that
// mount and detach print the same name for the same volume without keeping any state.
class DiskIdentifier {
  public:
    static std::string forVolume(const std::filesystem::path& volume);
};

}  // namespace hdiutil
