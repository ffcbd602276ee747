#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string_view>

namespace hdiutil {

// A private work folder beside the volumes: "<volumes>/.hdiutil-<pid>-<purpose>-XXXXXX".
// A volume is extracted in one of these and then renamed into place, and a detached volume is
// renamed into one before it is deleted, so a volume's name never shows a half-built or
// half-deleted tree. Being in the same folder keeps both renames on one file system.
// Whatever is left in it is deleted when it goes out of scope, so a failed mount leaves nothing.
// The process id in the name lets a later run delete the folders of a run that was killed.
class StagingFolder {
  public:
    static constexpr std::string_view kPrefix = ".hdiutil-";

    StagingFolder(const std::filesystem::path& volumesFolder, std::string_view purpose);
    ~StagingFolder();
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // Deletes the folder now, reporting a failure (the destructor cannot).
    void removeNow();

    // The process that made the staging folder of this name; 0 for names that are not ours.
    static pid_t ownerOf(std::string_view name);

  private:
    std::filesystem::path path_;
    bool removed_ = false;
};

}  // namespace hdiutil
