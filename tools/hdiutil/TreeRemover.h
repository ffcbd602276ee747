#pragma once

#include <filesystem>

namespace hdiutil {

// Deletes a folder tree that came out of an image. Images often hold read-only folders (an ISO
// made with Rock Ridge's "rationalized" modes has nothing but them), and an ordinary user cannot
// delete from those; so each folder is made writable for us before its entries go. Symbolic links
// are removed, never followed.
class TreeRemover {
  public:
    // Throws HdiutilError naming the first path that could not be removed. A path that does not
    // exist is no error.
    static void remove(const std::filesystem::path& path);
};

}  // namespace hdiutil
