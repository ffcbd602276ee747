#include "Platform/FileManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace platform {
namespace fs = std::filesystem;

namespace {

Error fromErrorCode(const std::error_code& code, const std::string& path) {
    if (code.category() == std::generic_category() || code.category() == std::system_category()) {
        return Error::posix(code.value(), path);
    }
    return Error::other(code.message(), path);
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

void syncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Plain reads: a stream over a folder throws instead of failing. With a limit, only a regular
// file of at most that many bytes is read; it is opened without waiting, so a pipe with no
// writer cannot hold the caller up.
// With `ownFile`, only a regular file at the path itself: a symbolic link there is refused.
std::optional<std::string> readAll(const std::string& path, std::optional<std::size_t> maximumSize,
                                   Error* error, bool ownFile = false) {
    const auto fail = [&](Error failure) -> std::optional<std::string> {
        if (error) *error = std::move(failure);
        return std::nullopt;
    };
    const bool regularOnly = maximumSize || ownFile;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (regularOnly ? O_NONBLOCK : 0) |
                                            (ownFile ? O_NOFOLLOW : 0));
    if (fd < 0) return fail(Error::posix(errno, path));
    const auto closeAndFail = [&](Error failure) {
        ::close(fd);
        return fail(std::move(failure));
    };
    struct stat info {};
    if (::fstat(fd, &info) != 0) return closeAndFail(Error::posix(errno, path));
    if (S_ISDIR(info.st_mode)) return closeAndFail(Error::posix(EISDIR, path));
    if (regularOnly && !S_ISREG(info.st_mode)) {
        return closeAndFail(Error::other("The file is not a regular file.", path));
    }
    const auto tooLarge = [&] {
        return Error::other(fmt::format("The file is larger than {} bytes.", *maximumSize), path);
    };
    if (maximumSize && static_cast<std::uint64_t>(info.st_size) > *maximumSize) {
        return closeAndFail(tooLarge());
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count == 0) break;
        if (count < 0) {
            if (errno == EINTR) continue;
            return closeAndFail(Error::posix(errno, path));
        }
        bytes.append(buffer, static_cast<std::size_t>(count));
        // A file that grows while it is read is held to the limit too.
        if (maximumSize && bytes.size() > *maximumSize) return closeAndFail(tooLarge());
    }
    ::close(fd);
    return bytes;
}

}  // namespace

FileManager& FileManager::defaultManager() {
    static FileManager manager;
    return manager;
}

bool FileManager::fileExists(const std::string& path) const {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

bool FileManager::isDirectory(const std::string& path) const {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool FileManager::isSymbolicLink(const std::string& path) const {
    struct stat info {};
    return !path.empty() && ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

std::optional<Error> FileManager::createPrivateDirectory(const std::string& path) const {
    const auto parent = fs::path(path).parent_path().string();
    if (!parent.empty() && !isDirectory(parent)) {
        if (auto error = createDirectory(parent, true)) return error;
    }
    if (::mkdir(path.c_str(), 0700) == 0) return std::nullopt;
    if (errno != EEXIST) return Error::posix(errno, path);
    // Opened without following a link, so the mode is set on what was looked at.
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP || errno == ENOTDIR) {
            return Error::other(
                "Not a folder of the user's own: " +
                    std::string(isSymbolicLink(path) ? "a symbolic link" : "not a folder") + ".",
                path);
        }
        return Error::posix(errno, path);
    }
    struct stat info {};
    std::optional<Error> failure;
    if (::fstat(fd, &info) != 0) {
        failure = Error::posix(errno, path);
    } else if (info.st_uid != ::geteuid()) {
        failure = Error::other("Not a folder of the user's own: another user owns it.", path);
    } else if ((info.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) != 0) {
        failure = Error::posix(errno, path);
    }
    ::close(fd);
    return failure;
}

std::optional<Error> FileManager::createDirectory(const std::string& path,
                                                  bool withIntermediates) const {
    std::error_code code;
    if (withIntermediates) {
        fs::create_directories(path, code);
        if (!code && !isDirectory(path)) return Error::posix(EEXIST, path);
    } else {
        if (!fs::create_directory(path, code) && !code) return Error::posix(EEXIST, path);
    }
    if (code) return fromErrorCode(code, path);
    return std::nullopt;
}

std::optional<Error> FileManager::removeItem(const std::string& path) const {
    std::error_code code;
    if (!fs::exists(fs::symlink_status(path, code))) return Error::posix(ENOENT, path);
    fs::remove_all(path, code);
    if (code) return fromErrorCode(code, path);
    return std::nullopt;
}

std::optional<Error> FileManager::copyItem(const std::string& source,
                                           const std::string& destination) const {
    std::error_code code;
    if (!fs::exists(fs::symlink_status(source, code))) return Error::posix(ENOENT, source);
    if (fs::exists(fs::symlink_status(destination, code))) {
        return Error::posix(EEXIST, destination);
    }
    const auto parent = fs::path(destination).parent_path();
    if (!parent.empty() && !fs::is_directory(parent, code)) {
        return Error::posix(ENOENT, destination);
    }
    fs::copy(source, destination, fs::copy_options::recursive | fs::copy_options::copy_symlinks,
             code);
    if (code) {
        std::error_code ignored;
        fs::remove_all(destination, ignored);
        return fromErrorCode(code, destination);
    }
    return std::nullopt;
}

std::optional<Error> FileManager::linkItem(const std::string& source,
                                           const std::string& destination) const {
    if (::link(source.c_str(), destination.c_str()) != 0) return Error::posix(errno, destination);
    return std::nullopt;
}

std::optional<std::uint64_t> FileManager::fileSize(const std::string& path) const {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
}

std::optional<std::string> FileManager::readFile(const std::string& path, Error* error) const {
    return readAll(path, std::nullopt, error);
}

std::optional<std::string> FileManager::readRegularFile(const std::string& path,
                                                        std::size_t maximumSize,
                                                        Error* error) const {
    return readAll(path, maximumSize, error);
}

std::optional<std::string> FileManager::readOwnFile(const std::string& path, Error* error) const {
    return readAll(path, std::nullopt, error, /*ownFile=*/true);
}

std::optional<Error> FileManager::writeFileAtomically(const std::string& path,
                                                      std::string_view bytes, mode_t mode) const {
    const fs::path target(path);
    const std::string folder = target.has_parent_path() ? target.parent_path().string() : ".";
    std::string temporary = folder + "/." + target.filename().string() + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return Error::posix(errno, path);

    int failure = 0;
    if (::fchmod(fd, mode) != 0 || !writeAll(fd, bytes) || ::fsync(fd) != 0) failure = errno;
    if (::close(fd) != 0 && failure == 0) failure = errno;
    if (failure == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) failure = errno;
    if (failure != 0) {
        ::unlink(temporary.c_str());
        return Error::posix(failure, path);
    }
    syncFolder(folder);
    return std::nullopt;
}

}  // namespace platform
