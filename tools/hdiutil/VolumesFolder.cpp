#include "VolumesFolder.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "HdiutilError.h"
#include "StagingFolder.h"
#include "TreeRemover.h"

namespace hdiutil {
namespace {

constexpr int kMaximumDuplicates = 1000;

bool anythingAt(const std::filesystem::path& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

// rename(2) that fails with EEXIST instead of replacing an (empty) folder at `to`.
bool renameWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without RENAME_NOREPLACE: check, then rename (not atomic, but rare).
    if (anythingAt(to)) {
        errno = EEXIST;
        return false;
    }
    return std::rename(from.c_str(), to.c_str()) == 0;
}

std::filesystem::path homeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') return home;
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr)
        return entry->pw_dir;
    throw HdiutilError("no home folder");
}

void makeFolder(const std::filesystem::path& folder) {
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        throw HdiutilError("cannot create " + folder.string() + ": " + std::strerror(errno));
}

// Takes the access of others away from a folder of ours; a link or anyone else's folder is left
// as it is (and refused next).
void closeToOthers(const std::filesystem::path& folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    struct stat info {};
    if (fstat(fd, &info) == 0 && info.st_uid == geteuid() && (info.st_mode & 077) != 0)
        fchmod(fd, 0700);
    close(fd);
}

void requirePrivate(const std::filesystem::path& folder) {
    struct stat info {};
    if (lstat(folder.c_str(), &info) != 0)
        throw HdiutilError("cannot read " + folder.string() + ": " + std::strerror(errno));
    if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & 077) != 0)
        throw HdiutilError(folder.string() +
                           " is not a private folder of this user (a symbolic link, someone "
                           "else's, or open to others)");
}

}  // namespace

VolumesFolder VolumesFolder::forCurrentUser() {
    // A relative cache folder is ignored, as the XDG base-directory rules ask.
    const char* cache = std::getenv("XDG_CACHE_HOME");
    const std::filesystem::path base = cache != nullptr && cache[0] == '/'
                                           ? std::filesystem::path(cache)
                                           : homeFolder() / ".cache";
    return VolumesFolder(base / "KeloHelvoPellix" / "Volumes");
}

void VolumesFolder::prepare() const {
    const auto program = path_.parent_path();
    // The cache folder itself may be missing in a fresh home.
    std::error_code error;
    std::filesystem::create_directories(program.parent_path(), error);
    if (error)
        throw HdiutilError("cannot create " + program.parent_path().string() + ": " +
                           error.message());
    makeFolder(program);
    closeToOthers(program);
    requirePrivate(program);
    makeFolder(path_);
    // The launcher applies the same rule before it uses a volume (platform::Volumes).
    requirePrivate(path_);
}

std::filesystem::path VolumesFolder::place(const std::filesystem::path& root,
                                           const std::string& label) const {
    for (int duplicate = 0; duplicate < kMaximumDuplicates; ++duplicate) {
        const auto name = duplicate == 0 ? label : label + " " + std::to_string(duplicate);
        const auto mountPoint = path_ / name;
        if (renameWithoutReplacing(root, mountPoint)) return mountPoint;
        if (errno != EEXIST && errno != ENOTEMPTY)
            throw HdiutilError("cannot move the volume to " + mountPoint.string() + ": " +
                               std::strerror(errno));
    }
    throw HdiutilError("too many volumes named " + label + " are mounted");
}

std::optional<std::filesystem::path> VolumesFolder::findVolume(
    const std::filesystem::path& given) const {
    if (given.empty()) return std::nullopt;
    auto path = std::filesystem::absolute(given).lexically_normal();
    if (path.filename().empty()) path = path.parent_path();  // "…/Kelo/" names "…/Kelo"

    const auto name = path.filename().string();
    if (name.empty() || name == "." || name == ".." || name.starts_with(StagingFolder::kPrefix))
        return std::nullopt;

    std::error_code error;
    const auto parent = std::filesystem::canonical(path.parent_path(), error);
    if (error) return std::nullopt;
    const auto folder = std::filesystem::canonical(path_, error);
    if (error || parent != folder) return std::nullopt;

    const auto volume = folder / name;
    struct stat info {};
    if (lstat(volume.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return std::nullopt;
    return volume;
}

void VolumesFolder::sweepAbandonedStaging() const {
    std::vector<std::filesystem::path> abandoned;
    std::error_code error;
    for (std::filesystem::directory_iterator it(path_, error), end; !error && it != end;
         it.increment(error)) {
        const pid_t owner = StagingFolder::ownerOf(it->path().filename().string());
        if (owner == 0 || owner == getpid()) continue;
        if (kill(owner, 0) == 0 || errno != ESRCH) continue;  // still running (or not ours to ask)
        abandoned.push_back(it->path());
    }
    for (const auto& folder : abandoned) {
        try {
            TreeRemover::remove(folder);
        } catch (const HdiutilError&) {
            // Best effort: the next run tries again.
        }
    }
}

}  // namespace hdiutil
