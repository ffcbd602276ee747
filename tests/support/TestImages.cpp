#include "TestImages.h"

#include <cstdlib>
#include <filesystem>

#include "Platform/Volumes.h"
#include "ShellQuote.h"

bool TestImages::make(const std::string& folder, const std::string& environment) {
    const std::string command =
        environment + " " +
        shellQuoted(std::string(KELO_SOURCE_DIR) + "/tools/make-test-images.sh") + " " +
        shellQuoted(folder) + " >&2";
    return std::system(command.c_str()) == 0;
}

std::string TestImages::volume(const std::string& name) {
    namespace fs = std::filesystem;
    const std::string folder = platform::Volumes::folder();
    fs::create_directories(folder);
    // The volumes folder and the one above it are the user's alone, as the tool leaves them.
    fs::permissions(folder, fs::perms::owner_all);
    fs::permissions(fs::path(folder).parent_path(), fs::perms::owner_all);
    fs::create_directories(folder + "/" + name);
    return folder + "/" + name;
}
