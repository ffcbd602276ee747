#include "TreeRemover.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "HdiutilError.h"

namespace hdiutil {
namespace {

[[noreturn]] void fail(const std::filesystem::path& path, int error) {
    throw HdiutilError("cannot remove " + path.string() + ": " + std::strerror(error));
}

}  // namespace

void TreeRemover::remove(const std::filesystem::path& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) return;
        fail(path, errno);
    }
    if (!S_ISDIR(info.st_mode)) {
        if (unlink(path.c_str()) != 0 && errno != ENOENT) fail(path, errno);
        return;
    }
    if ((info.st_mode & S_IRWXU) != S_IRWXU && chmod(path.c_str(), info.st_mode | S_IRWXU) != 0)
        fail(path, errno);

    std::vector<std::filesystem::path> entries;
    std::error_code error;
    for (std::filesystem::directory_iterator it(path, error), end; !error && it != end;
         it.increment(error))
        entries.push_back(it->path());
    if (error) fail(path, error.value());

    for (const auto& entry : entries) remove(entry);
    if (rmdir(path.c_str()) != 0 && errno != ENOENT) fail(path, errno);
}

}  // namespace hdiutil
