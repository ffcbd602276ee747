#pragma once

#include <filesystem>

#include "SevenZip.h"
#include "VolumeLabel.h"

namespace hdiutil {

// Reads an image with 7-Zip: first what it is (its volume label), then all of its files.
class Extractor {
  public:
    explicit Extractor(SevenZip sevenZip) : sevenZip_(std::move(sevenZip)) {}

    // Throws HdiutilError("image not recognized ...") when 7-Zip cannot open the image or it
    // holds no file system we mount.
    VolumeLabel inspect(const std::filesystem::path& image) const;

    // Extracts everything into `destination` (an empty folder). Any error 7-Zip reports fails
    // the whole extraction: a volume with files missing must not be mounted. That includes links
    // that 7-Zip refuses because they point out of the volume.
    void extract(const std::filesystem::path& image,
                 const std::filesystem::path& destination) const;

  private:
    SevenZip sevenZip_;
};

}  // namespace hdiutil
