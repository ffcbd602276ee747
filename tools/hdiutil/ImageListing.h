#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace hdiutil {

// What `7zz l -slt` says about an image. The listing starts with one block per archive layer
// (a UDIF .dmg holds an HFS+ partition, which 7-Zip opens as a second layer), then a line of ten
// dashes, then one block per item. Only the innermost layer matters: it is the file system.
class ImageListing {
  public:
    struct Item {
        std::string path;
        bool isFolder = false;
    };

    static ImageListing parse(std::string_view text);

    // "Iso", "HFS", "Dmg", ... as 7-Zip names it; empty when the listing names none.
    const std::string& fileSystemType() const { return fileSystemType_; }
    // The "Volume: " line of the innermost layer's comment (ISO 9660 volume id), if any.
    const std::string& volumeComment() const { return volumeComment_; }
    const std::vector<Item>& items() const { return items_; }

  private:
    std::string fileSystemType_;
    std::string volumeComment_;
    std::vector<Item> items_;
};

}  // namespace hdiutil
