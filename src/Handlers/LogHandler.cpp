#include "Handlers/LogHandler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <system_error>

#include "Objects/SessionDetails.h"
#include "Platform/ExceptionGuard.h"
#include "Platform/FileChangeWatcher.h"
#include "Platform/FileManager.h"
#include "Platform/Log.h"
#include "Platform/Paths.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kCurrentLogName = "keloPellix.log";
// The shortest time between two checks while the log is being written: the single-precision 0.1
// widened to double, 0.10000000149011612 s.
constexpr double kCheckInterval = static_cast<double>(0.1F);

// Path-component joining: one slash between the folder and the name.
std::string joined(std::string folder, const std::string& name) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder + "/" + name;
}

std::string numberedLog(const std::string& folder, int number) {
    return joined(folder, fmt::format("keloPellix{}.log", number));
}

const platform::FileManager& directoryManager() {
    const auto* manager = SessionDetails::getInstance().defaultKeloDirectoryManager();
    return manager ? *manager : platform::FileManager::defaultManager();
}

bool isSameFile(const struct stat& first, const struct stat& second) {
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// Whether the stream writes into the given file.
bool writesInto(FILE* stream, const struct stat& file) {
    struct stat info {};
    const int fd = fileno(stream);
    return fd >= 0 && ::fstat(fd, &info) == 0 && isSameFile(info, file);
}

// Opens the log for appending without following a link in its place: a link there is replaced by
// a new log file, and what it names is never written. -1 when it cannot be opened.
int openLog(const std::string& path) {
    constexpr int kFlags = O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(path.c_str(), kFlags, 0600);
    if (fd < 0 && errno == ELOOP && ::unlink(path.c_str()) == 0) {
        fd = ::open(path.c_str(), kFlags | O_EXCL, 0600);
    }
    // Not on a standard stream's number (a process started with one closed): the streams take
    // copies of it, and this one is closed after.
    if (fd >= 0 && fd <= STDERR_FILENO) {
        const int above = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        ::close(fd);
        fd = above;
    }
    return fd;
}

// Puts standard output and standard error on the log at path, unless they already write into
// it. The streams keep their descriptor numbers and write in append mode. They are left open
// across exec: a program the launcher runs (the disk-image tool) writes its output and its errors
// into the log, and a file it opens cannot take the place of its standard output. When the log
// cannot be opened, the streams stay where they are and the next check tries again.
void attachStandardStreams(const std::string& path) {
    struct stat file {};
    const bool present = ::lstat(path.c_str(), &file) == 0;
    const bool outputAttached = present && writesInto(stdout, file);
    const bool errorAttached = present && writesInto(stderr, file);
    if (outputAttached && errorAttached) return;

    const int log = openLog(path);
    if (log < 0) return;
    // The log holds the launch token: its owner's only, also when an earlier run made it.
    ::fchmod(log, 0600);
    // The streams take the descriptor opened above, never the path again (it could have become a
    // link since). Output is line buffered and standard error unbuffered, so nothing waits in a
    // buffer when the process ends abruptly.
    if (!outputAttached) {
        std::fflush(stdout);
        ::dup2(log, fileno(stdout));
        std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    }
    if (!errorAttached) {
        std::fflush(stderr);
        ::dup2(log, fileno(stderr));
        std::setvbuf(stderr, nullptr, _IONBF, 0);
    }
    ::close(log);
}

// Copies that an earlier run left readable by others become the owner's only (files only: a
// link is not followed).
void restrictNumberedLogs(const std::string& folder) {
    for (int number = 0; number <= LogHandler::kMaximumCount; ++number) {
        const int fd = ::open(numberedLog(folder, number).c_str(),
                              O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat info {};
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) ::fchmod(fd, 0600);
        ::close(fd);
    }
}

// The size of the log the streams write into; 0 when they do not write into the log at path.
std::uint64_t attachedLogSize(const std::string& path) {
    struct stat file {};
    struct stat attached {};
    if (::lstat(path.c_str(), &file) != 0) return 0;
    if (::fstat(fileno(stderr), &attached) != 0 || !isSameFile(file, attached)) return 0;
    return static_cast<std::uint64_t>(attached.st_size);
}

}  // namespace

std::string LogHandler::logFolderPath() {
    return platform::Paths::libraryFolder() + "/Logs/" + "/KeloHelvo/KeloPellix/";
}

std::optional<std::string> LogHandler::keloPellixLogFolder() const {
    std::lock_guard lock(mutex_);
    return keloPellixLogFolder_;
}

void LogHandler::setKeloPellixLogFolder(std::optional<std::string> folder) {
    std::lock_guard lock(mutex_);
    keloPellixLogFolder_.swap(folder);
}

std::shared_ptr<platform::FileChangeWatcher> LogHandler::logWatcher() const {
    std::lock_guard lock(mutex_);
    return logWatcher_;
}

void LogHandler::createKeloPellixLogFolder() {
    static constexpr const char* kOperation = "-[LogHandler createKeloPellixLogFolder]";
    const bool prepared = platform::ExceptionGuard::run(kOperation, [&] {
        const auto folder = logFolderPath();
        setKeloPellixLogFolder(folder);
        // The streams are not redirected yet: these lines go to the inherited standard error.
        if (auto error = directoryManager().createDirectory(folder, true)) {
            platform::Log::nslog("{} Failed to Create Kelo Pellix Log Folder... {}", kOperation,
                                 error->printedForm());
        } else {
            platform::Log::nslog("{} Kelo Pellix Log Folder Created...", kOperation);
        }
        restrictNumberedLogs(folder);
    });
    if (!prepared) return;
    loggingFile();
    platform::ExceptionGuard::run(kOperation, [&] { startLogWatcher(); });
}

void LogHandler::startLogWatcher() {
    const auto folder = keloPellixLogFolder();
    if (!folder) return;
    // The watcher holds the logger, so a logger whose creator lets go of it keeps running.
    std::function<void()> check;
    if (auto self = weak_from_this().lock()) {
        check = [self] { self->loggingFile(); };
    } else {
        // A logger not owned through a shared pointer must outlive its watcher.
        check = [this] { loggingFile(); };
    }
    auto watcher = platform::FileChangeWatcher::create();
    watcher->start(*folder, kCheckInterval, std::move(check));
    std::lock_guard lock(mutex_);
    logWatcher_ = std::move(watcher);
}

void LogHandler::loggingFile() {
    static constexpr const char* kOperation = "-[LogHandler loggingFile:]";
    platform::ExceptionGuard::run(kOperation, [&] {
        const auto folder = keloPellixLogFolder();
        if (!folder) return;
        const auto current = joined(*folder, kCurrentLogName);
        attachStandardStreams(current);
        if (attachedLogSize(current) <= kRotationSize) return;

        // Rotation by renaming: a writer holding the current log keeps writing into it while it
        // becomes keloPellix0.log, and the streams move to a new current log afterwards, so no
        // line of any thread is lost. The numbered files end up as copies would leave them: a
        // number whose predecessor is missing is removed.
        const int count = logFileNameCount();
        std::error_code code;
        for (int number = count; number >= 1; --number) {
            const auto destination = numberedLog(*folder, number);
            const auto source = numberedLog(*folder, number - 1);
            if (!fs::exists(source, code)) {
                fs::remove(destination, code);
                continue;
            }
            fs::rename(source, destination, code);
        }
        fs::rename(current, numberedLog(*folder, 0), code);
        attachStandardStreams(current);
        if (count != kMaximumCount) setLogFileNameCount(count + 1);
    });
}
