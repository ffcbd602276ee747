#pragma once

#include <string>

namespace platform {

// Where the disk-image tool puts the volumes it mounts: $XDG_RUNTIME_DIR/Volumes when that is an
// absolute path, else /tmp/Volumes-<uid>. "/Volumes/Kelo" of the target platform is
// volumeNamed("Kelo") here.
class Volumes {
public:
    static std::string folder();
    static std::string volumeNamed(const std::string& name);
    // The disk-image tool, which lives beside the running program's executable.
    static std::string diskImageToolPath();
};

}  // namespace platform
