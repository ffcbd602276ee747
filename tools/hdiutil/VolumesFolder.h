#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace hdiutil {

// The per-user folder that stands in for /Volumes: "<cache>/KeloHelvoPellix/Volumes", where
// <cache> is $XDG_CACHE_HOME, or ~/.cache when that is unset or not an absolute path. It is on
// disk: a large image extracted into a memory-backed folder would not fit, or would hold memory.
// Each mounted volume is one folder in it, named after the volume's label.
class VolumesFolder {
  public:
    static VolumesFolder forCurrentUser();

    explicit VolumesFolder(std::filesystem::path path) : path_(std::move(path)) {}

    const std::filesystem::path& path() const { return path_; }

    // Creates the folder (and what is missing above it) and makes sure it and the folder above it
    // are ours alone: whoever could write there could replace what the launcher installs from a
    // volume. The folder above is the program's cache folder, which the web view may have made
    // open to others; being ours, it is closed. The volumes folder itself is never loosened or
    // taken over: anything but a real folder of ours, closed to others, is refused.
    void prepare() const;

    // Moves an extracted volume root into place under `label`, or "<label> 1", "<label> 2", ...
    // when that name is taken (the same image mounted twice), and returns the mount point. Each
    // attempt is one rename that refuses to replace anything, so two mounts at once cannot both
    // take a name.
    std::filesystem::path place(const std::filesystem::path& root, const std::string& label) const;

    // The mounted volume that `given` names: a real folder directly inside this folder (not one
    // of our work folders). Anything else, including paths inside a volume, is not a volume.
    std::optional<std::filesystem::path> findVolume(const std::filesystem::path& given) const;

    // Deletes the work folders of runs that were killed before they could clean up.
    void sweepAbandonedStaging() const;

  private:
    std::filesystem::path path_;
};

}  // namespace hdiutil
