#pragma once

#include <optional>
#include <string>

namespace platform {

// Where the disk-image tool puts the volumes it mounts: $XDG_RUNTIME_DIR/Volumes when that is an
// absolute path, else /tmp/Volumes-<uid>. "/Volumes/Kelo" of the target platform is
// volumeNamed("Kelo") here.
class Volumes {
public:
    static std::string folder();
    static std::string volumeNamed(const std::string& name);

    // The volumes folder when it is this user's alone, by the rule the disk-image tool applies
    // before it mounts anything there: a real folder (not a symbolic link), owned by this user,
    // with no access for anyone else. In /tmp another user could have made it first and filled
    // it. Otherwise nothing; a folder that is there but fails the rule is logged.
    static std::optional<std::string> privateFolder();

    // The volume that the path names when it is a real folder directly inside the private
    // volumes folder (the tool's hidden work folders excepted): the path as found there.
    // Anything else, a path inside a volume included, is no volume.
    static std::optional<std::string> volumeAt(const std::string& path);

    // The disk-image tool, which lives beside the running program's executable.
    static std::string diskImageToolPath();
};

}  // namespace platform
