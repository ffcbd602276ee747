#include "Platform/FileManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

std::optional<std::uint64_t> FileManager::fileSize(const std::string& path) const {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
}

std::optional<std::string> FileManager::readFile(const std::string& path, Error* error) const {
    // Plain reads: a stream over a folder throws instead of failing.
    const auto fail = [&](int errorNumber) -> std::optional<std::string> {
        if (error) *error = Error::posix(errorNumber, path);
        return std::nullopt;
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(errno);
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        const int failure = S_ISDIR(info.st_mode) ? EISDIR : errno;
        ::close(fd);
        return fail(failure);
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count == 0) break;
        if (count < 0) {
            if (errno == EINTR) continue;
            const int failure = errno;
            ::close(fd);
            return fail(failure);
        }
        bytes.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(fd);
    return bytes;
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
