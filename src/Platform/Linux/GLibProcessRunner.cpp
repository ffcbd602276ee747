#include "Platform/Linux/GLibProcessRunner.h"

#include <gio/gio.h>
#include <signal.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "Platform/Log.h"

namespace platform {

std::shared_ptr<ProcessRunner> ProcessRunner::makeDefault() {
    return std::make_shared<GLibProcessRunner>();
}

namespace {

// Kills the process group when the time limit is up, unless the program ended before.
class Watchdog {
  public:
    Watchdog(pid_t group, std::optional<std::chrono::milliseconds> limit) {
        if (!limit || group <= 0) return;
        thread_ = std::thread([this, group, limit] {
            std::unique_lock lock(mutex_);
            if (!ended_.wait_for(lock, *limit, [this] { return done_; })) {
                fired_ = true;
                ::kill(-group, SIGKILL);
            }
        });
    }
    ~Watchdog() { stop(); }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // Whether the limit was up before the program ended.
    bool stop() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        ended_.notify_all();
        if (thread_.joinable()) thread_.join();
        return fired_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable ended_;
    bool done_ = false;
    bool fired_ = false;
    std::thread thread_;
};

}  // namespace

ProcessRunner::Result GLibProcessRunner::run(const std::string& program,
                                             const std::vector<std::string>& arguments,
                                             bool captureStandardOutput,
                                             std::optional<std::chrono::milliseconds> timeLimit) {
    Result result;
    std::vector<const gchar*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(program.c_str());
    for (const auto& argument : arguments) argv.push_back(argument.c_str());
    argv.push_back(nullptr);

    GError* error = nullptr;
    const auto flags =
        captureStandardOutput ? G_SUBPROCESS_FLAGS_STDOUT_PIPE : G_SUBPROCESS_FLAGS_NONE;
    GSubprocessLauncher* launcher = g_subprocess_launcher_new(flags);
    g_subprocess_launcher_set_child_setup(
        launcher, [](gpointer) { ::setpgid(0, 0); }, nullptr, nullptr);
    GSubprocess* process = g_subprocess_launcher_spawnv(launcher, argv.data(), &error);
    g_object_unref(launcher);
    if (!process) {
        result.startError = error ? error->message : "unknown error";
        g_clear_error(&error);
        Log::nslog("ProcessRunner : Cannot start {} : {}", program, result.startError);
        return result;
    }
    result.started = true;
    const char* identifier = g_subprocess_get_identifier(process);
    Watchdog watchdog(identifier ? static_cast<pid_t>(std::atoi(identifier)) : 0, timeLimit);

    // Reads standard output to its end (when it is captured) and waits for the exit.
    GBytes* output = nullptr;
    bool exited = true;
    if (!g_subprocess_communicate(process, nullptr, nullptr,
                                  captureStandardOutput ? &output : nullptr, nullptr, &error)) {
        Log::nslog("ProcessRunner : Lost track of {} : {}", program,
                   error ? error->message : "unknown error");
        g_clear_error(&error);
        // The program is still running (or was never reaped): wait for it so it leaves no zombie.
        exited = g_subprocess_wait(process, nullptr, nullptr);
    }
    if (output) {
        gsize size = 0;
        const auto* data = static_cast<const char*>(g_bytes_get_data(output, &size));
        if (data) result.standardOutput.assign(data, size);
        g_bytes_unref(output);
    }
    result.timedOut = watchdog.stop();
    if (exited && g_subprocess_get_if_exited(process)) {
        result.exitStatus = g_subprocess_get_exit_status(process);
    }
    g_object_unref(process);
    return result;
}

}  // namespace platform
