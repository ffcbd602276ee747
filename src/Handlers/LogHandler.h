#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace platform {
class FileChangeWatcher;
}

// Turns the process's standard output and standard error into a size-rotated log file, readable
// by its owner only (the log holds the launch token). Started programs write into it too: it is
// their standard output and error, unless they are given others.
class LogHandler : public std::enable_shared_from_this<LogHandler> {
  public:
    static constexpr std::uint64_t kRotationSize = 262144;  // 256 KiB
    static constexpr std::int32_t kMaximumCount = 10;

    // Makes the log folder and starts logging: the streams reopened on the current log, and a
    // check after every change of the log on the main loop.
    void createKeloPellixLogFolder();
    // Checks the log whenever its folder changes (the log written, removed or renamed), at most
    // every 0.1 s while it is being written; an idle process is never woken for it.
    void startLogWatcher();
    // Reopens the streams when needed and rotates the log once it passes 256 KiB.
    void loggingFile();

    std::optional<std::string> keloPellixLogFolder() const;
    void setKeloPellixLogFolder(std::optional<std::string> folder);
    std::shared_ptr<platform::FileChangeWatcher> logWatcher() const;
    std::int32_t logFileNameCount() const { return logFileNameCount_.load(); }
    void setLogFileNameCount(std::int32_t count) { logFileNameCount_.store(count); }

    // home + "/Library" + "/Logs/" + "/KeloHelvo/KeloPellix/"
    static std::string logFolderPath();

  private:
    mutable std::mutex mutex_;
    std::optional<std::string> keloPellixLogFolder_;
    std::shared_ptr<platform::FileChangeWatcher> logWatcher_;
    std::atomic<std::int32_t> logFileNameCount_{0};
};
