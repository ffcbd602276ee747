#pragma once

#include <filesystem>
#include <iosfwd>

namespace hdiutil {

// `hdiutil detach PATH`: removes a mounted volume. The volume is first renamed into a work
// folder, so it vanishes from its mount point in one step even while its files are deleted.
// A PATH that is not a mounted volume (never mounted, already detached, or any other folder)
// is refused with "hdiutil: detach failed - No such file or directory" and nothing is touched.
class DetachCommand {
  public:
    static int run(const std::filesystem::path& path, std::ostream& out, std::ostream& err);
};

}  // namespace hdiutil
