#include "Platform/Linux/GLibProcessRunner.h"

#include <gio/gio.h>

#include "Platform/Log.h"

namespace platform {

std::shared_ptr<ProcessRunner> ProcessRunner::makeDefault() {
    return std::make_shared<GLibProcessRunner>();
}

ProcessRunner::Result GLibProcessRunner::run(const std::string& program,
                                             const std::vector<std::string>& arguments,
                                             bool captureStandardOutput) {
    Result result;
    std::vector<const gchar*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(program.c_str());
    for (const auto& argument : arguments) argv.push_back(argument.c_str());
    argv.push_back(nullptr);

    GError* error = nullptr;
    const auto flags =
        captureStandardOutput ? G_SUBPROCESS_FLAGS_STDOUT_PIPE : G_SUBPROCESS_FLAGS_NONE;
    GSubprocess* process = g_subprocess_newv(argv.data(), flags, &error);
    if (!process) {
        result.startError = error ? error->message : "unknown error";
        g_clear_error(&error);
        Log::nslog("ProcessRunner : Cannot start {} : {}", program, result.startError);
        return result;
    }
    result.started = true;

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
    if (exited && g_subprocess_get_if_exited(process)) {
        result.exitStatus = g_subprocess_get_exit_status(process);
    }
    g_object_unref(process);
    return result;
}

}  // namespace platform
