#include "Platform/Volumes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "Platform/Bundle.h"
#include "Platform/Log.h"
#include "Platform/Paths.h"

namespace platform {
namespace fs = std::filesystem;

namespace {

// The rule both the tool and the launcher hold the volumes folder and its parent to.
bool isPrivateFolder(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

}  // namespace

std::string Volumes::folder() {
    return Paths::cacheHomeFolder() + "/KeloHelvoPellix/Volumes";
}

std::string Volumes::volumeNamed(const std::string& name) {
    return folder() + "/" + name;
}

std::optional<std::string> Volumes::privateFolder() {
    const std::string path = folder();
    struct stat info {};
    // No folder: nothing was ever mounted, which is no failure.
    if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
    // The same rule as tools/hdiutil's VolumesFolder::prepare.
    if (!isPrivateFolder(path) || !isPrivateFolder(fs::path(path).parent_path().string())) {
        Log::nslog(
            "Volumes : {} is not a private folder of this user (a symbolic link, someone "
            "else's, or open to others): no volume in it is used",
            path);
        return std::nullopt;
    }
    return path;
}

std::optional<std::string> Volumes::volumeAt(const std::string& path) {
    if (path.empty() || path.front() != '/') return std::nullopt;
    fs::path volume = fs::path(path).lexically_normal();
    if (!volume.has_filename()) volume = volume.parent_path();  // "…/Kelo/" names "…/Kelo"
    const std::string name = volume.filename().string();
    if (name.empty() || name.front() == '.') return std::nullopt;
    if (volume.parent_path() != fs::path(folder()).lexically_normal()) return std::nullopt;
    struct stat info {};
    if (::lstat(volume.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return std::nullopt;
    if (!privateFolder()) return std::nullopt;
    return volume.string();
}

std::string Volumes::diskImageToolPath() {
    return Bundle::main().executableFolder() + "/hdiutil";
}

}  // namespace platform
