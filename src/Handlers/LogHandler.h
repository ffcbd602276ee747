#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace platform {
class RepeatingTimer;
}

// Turns the process's standard output and standard error into a size-rotated log file.
class LogHandler : public std::enable_shared_from_this<LogHandler> {
  public:
    static constexpr std::uint64_t kRotationSize = 262144;  // 256 KiB
    static constexpr std::int32_t kMaximumCount = 10;

    // Makes the log folder and starts logging (the streams reopened on the current log and the
    // 0.1 s check scheduled on the main loop).
    void createKeloPellixLogFolder();
    void startLoggingTimer();
    // Reopens the streams when needed and rotates the log once it passes 256 KiB.
    void loggingFile();

    std::optional<std::string> keloPellixLogFolder() const;
    void setKeloPellixLogFolder(std::optional<std::string> folder);
    std::shared_ptr<platform::RepeatingTimer> loggingTimer() const;
    void setLoggingTimer(std::shared_ptr<platform::RepeatingTimer> timer);
    std::int32_t logFileNameCount() const { return logFileNameCount_.load(); }
    void setLogFileNameCount(std::int32_t count) { logFileNameCount_.store(count); }

    // home + "/Library" + "/Logs/" + "/KeloHelvo/KeloPellix/"
    static std::string logFolderPath();

  private:
    mutable std::mutex mutex_;
    std::optional<std::string> keloPellixLogFolder_;
    std::shared_ptr<platform::RepeatingTimer> loggingTimer_;
    std::atomic<std::int32_t> logFileNameCount_{0};
};
