#include "Platform/BundleInstaller.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "Platform/FileManager.h"

namespace platform {
namespace fs = std::filesystem;

namespace {

std::string stagingPrefix(const fs::path& destination) {
    return "." + destination.filename().string() + ".staging-";
}

// Swaps two paths in one step; false when the file system cannot.
bool exchange(const std::string& first, const std::string& second) {
#if defined(__linux__) && defined(SYS_renameat2)
    constexpr unsigned kRenameExchange = 1u << 1;
    return ::syscall(SYS_renameat2, AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(),
                     kRenameExchange) == 0;
#else
    (void)first;
    (void)second;
    errno = ENOSYS;
    return false;
#endif
}

}  // namespace

void BundleInstaller::removeLeftovers(const std::string& destination) {
    const fs::path target(destination);
    std::error_code code;
    const auto prefix = stagingPrefix(target);
    for (const auto& entry : fs::directory_iterator(target.parent_path(), code)) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0) {
            fs::remove_all(entry.path(), code);
        }
    }
}

std::optional<Error> BundleInstaller::install(const std::string& source,
                                              const std::string& destination) {
    const auto& files = FileManager::defaultManager();
    const fs::path target(destination);
    const auto folder = target.parent_path().string();
    if (!files.isDirectory(folder)) return Error::posix(ENOENT, destination);
    if (!files.fileExists(source)) return Error::posix(ENOENT, source);
    removeLeftovers(destination);

    std::string staging = folder + "/" + stagingPrefix(target) + "XXXXXX";
    if (!::mkdtemp(staging.data())) return Error::posix(errno, destination);
    const std::string staged = staging + "/" + target.filename().string();
    auto cleanUp = [&] {
        std::error_code ignored;
        fs::remove_all(staging, ignored);
    };

    if (auto error = files.copyItem(source, staged)) {
        cleanUp();
        return error;
    }
    if (!files.fileExists(destination)) {
        if (::rename(staged.c_str(), destination.c_str()) != 0) {
            const int failure = errno;
            cleanUp();
            return Error::posix(failure, destination);
        }
        cleanUp();
        return std::nullopt;
    }
    if (!exchange(staged, destination)) {
        // Without an atomic exchange: move the old bundle aside, the new one in, and put the old
        // one back if that fails.
        const std::string aside = staging + "/previous";
        if (::rename(destination.c_str(), aside.c_str()) != 0) {
            const int failure = errno;
            cleanUp();
            return Error::posix(failure, destination);
        }
        if (::rename(staged.c_str(), destination.c_str()) != 0) {
            const int failure = errno;
            ::rename(aside.c_str(), destination.c_str());
            cleanUp();
            return Error::posix(failure, destination);
        }
    }
    // The staging folder now holds the previous bundle.
    cleanUp();
    return std::nullopt;
}

}  // namespace platform
