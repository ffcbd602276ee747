// hdiutil: mounts and detaches disk images with the command line of macOS's tool of that name,
// for the launcher, which runs "hdiutil mount IMAGE" and "hdiutil detach PATH" and reads the
// mount point from the end of the mount output. See MountCommand and DetachCommand.
#include <iostream>
#include <string_view>

#include "DetachCommand.h"
#include "MountCommand.h"

namespace {

int usage() {
    std::cerr << "Usage: hdiutil mount IMAGE\n"
                 "       hdiutil detach PATH\n";
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return usage();
    const std::string_view verb = argv[1];
    if (verb == "mount") return hdiutil::MountCommand::run(argv[2], std::cout, std::cerr);
    if (verb == "detach") return hdiutil::DetachCommand::run(argv[2], std::cout, std::cerr);
    return usage();
}
