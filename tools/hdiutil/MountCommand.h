#pragma once

#include <filesystem>
#include <iosfwd>

namespace hdiutil {

// `hdiutil mount IMAGE`: extracts the image into the volumes folder under its volume label and
// prints hdiutil's device table, whose last line ends with a tab and the mount point. On failure
// it prints "hdiutil: mount failed - <reason>", leaves nothing in the volumes folder and returns 1.
class MountCommand {
  public:
    static int run(const std::filesystem::path& image, std::ostream& out, std::ostream& err);

  private:
    static std::filesystem::path mount(const std::filesystem::path& image,
                                       std::string& partitionType);
};

}  // namespace hdiutil
