#pragma once

#include <filesystem>
#include <string>

#include "ProcessRunner.h"

namespace hdiutil {

// The 7-Zip command line program (`7zz`, or `7z` where it is older), which reads ISO 9660 and
// UDIF/HFS+ images for us. It is found through KELO_PELLIX_7ZZ when that is set (tests point it
// at stand-ins), else on PATH.
class SevenZip {
  public:
    // Throws HdiutilError, saying what to install, when no 7-Zip can be found.
    static SevenZip locate();

    explicit SevenZip(std::filesystem::path program) : program_(std::move(program)) {}

    const std::filesystem::path& program() const { return program_; }

    // `7zz l -slt`: the technical listing, which names the file system and the volume.
    ProcessResult list(const std::filesystem::path& image) const;

    // `7zz x`: the whole image, with folders, modes and symbolic links, into `destination`.
    ProcessResult extract(const std::filesystem::path& image,
                          const std::filesystem::path& destination) const;

  private:
    ProcessResult run(std::vector<std::string> arguments, const std::filesystem::path& image) const;

    std::filesystem::path program_;
};

}  // namespace hdiutil
