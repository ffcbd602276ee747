#pragma once

#include <string>
#include <string_view>

#include "ImageListing.h"

namespace hdiutil {

// The name an image's volume is mounted under, and where the volume's root lands when 7-Zip
// extracts the image:
//  - ISO 9660: the volume id (7-Zip prints it in the image's comment); the files sit at the top.
//  - HFS+ (also inside a UDIF .dmg): 7-Zip shows the root folder under the volume's name, so the
//    single top-level folder is both the label and the root.
// Anything else (a zip, an APFS image, a text file) is not an image we can mount.
class VolumeLabel {
  public:
    // Throws HdiutilError("image not recognized") for unsupported file systems.
    static VolumeLabel fromListing(const ImageListing& listing);

    // A name that is safe as one folder name and survives our caller's parsing of the mount
    // output (which trims it and splits it at tabs): no "/", no control characters, no leading or
    // trailing blanks, not "." or "..", and short enough for a " 99" suffix. Empty becomes
    // "Untitled", as on macOS.
    static std::string sanitize(std::string_view raw);

    const std::string& name() const { return name_; }
    // Relative to the extraction folder; empty when the volume's root is the folder itself.
    const std::string& rootInExtraction() const { return rootInExtraction_; }
    // The partition type shown in the mount output.
    const std::string& partitionType() const { return partitionType_; }

  private:
    VolumeLabel(std::string name, std::string rootInExtraction, std::string partitionType)
        : name_(std::move(name)),
          rootInExtraction_(std::move(rootInExtraction)),
          partitionType_(std::move(partitionType)) {}

    std::string name_;
    std::string rootInExtraction_;
    std::string partitionType_;
};

}  // namespace hdiutil
