#pragma once

#include <optional>
#include <string>

namespace platform {

// Where the disk-image tool puts the volumes it mounts: <cache folder>/KeloHelvoPellix/Volumes,
// on disk (an image of any size fits where the user's files fit, and what is extracted holds no
// memory). "/Volumes/Kelo" of the target platform is volumeNamed("Kelo") here.
class Volumes {
  public:
    static std::string folder();
    static std::string volumeNamed(const std::string& name);

    // The volumes folder when it is this user's alone, by the rule the disk-image tool applies
    // before it mounts anything there: it and the folder above it are real folders (not symbolic
    // links), owned by this user, with no access for anyone else; whoever could write there could
    // replace what the launcher installs. Otherwise nothing; a folder that is there but fails the
    // rule is logged.
    static std::optional<std::string> privateFolder();

    // The volume that the path names when it is a real folder directly inside the private
    // volumes folder (the tool's hidden work folders excepted): the path as found there.
    // Anything else, a path inside a volume included, is no volume.
    static std::optional<std::string> volumeAt(const std::string& path);

    // The disk-image tool, which lives beside the running program's executable.
    static std::string diskImageToolPath();
};

}  // namespace platform
