#pragma once

// The real launcher, started from its bundle as a child process of a test, on a session bus of
// its own (so tests running side by side never meet as one application), with its standard
// streams kept in files.
#include <gio/gio.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Eventually.h"
#include "TempHome.h"

namespace launcher_test {

inline constexpr const char* kObjectPath = "/com/Kelo/Helvo/KeloHelvoPellix";

inline std::string bundleExecutable(const std::string& bundle = KELO_BUNDLE_DIR) {
    return bundle + "/Contents/MacOS/KeloHelvoPellix";
}

// The launcher's log file in the current home.
inline std::string logFile() {
    return std::string(std::getenv("HOME")) + "/Library/Logs/KeloHelvo/KeloPellix/keloPellix.log";
}

// A private session bus for the test and every launcher it starts.
class PrivateBus {
  public:
    PrivateBus() {
        // Bringing the bus up clears what could lead to the user's own session (the display and
        // the runtime folder among it); the test's own values are put back.
        std::map<std::string, std::string> kept;
        for (const char* name : {"DISPLAY", "XDG_RUNTIME_DIR", "WAYLAND_DISPLAY"}) {
            if (const char* value = std::getenv(name)) kept[name] = value;
        }
        g_test_dbus_up(bus_);
        for (const auto& [name, value] : kept) setenv(name.c_str(), value.c_str(), 1);
        connection_ = g_dbus_connection_new_for_address_sync(
            g_test_dbus_get_bus_address(bus_),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        if (!connection_) throw std::runtime_error("no private session bus");
    }
    ~PrivateBus() {
        g_dbus_connection_close_sync(connection_, nullptr, nullptr);
        g_object_unref(connection_);
        g_test_dbus_down(bus_);
        g_object_unref(bus_);
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Activates an action the running launcher exports ("quit" on the application, "close" on
    // its window: what its menu and keyboard shortcuts use). The error, or "" when it was done.
    std::string activate(const std::string& objectPath, const std::string& action) {
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(
            connection_, "com.Kelo.Helvo.KeloHelvoPellix", objectPath.c_str(), "org.gtk.Actions",
            "Activate", g_variant_new("(sava{sv})", action.c_str(), nullptr, nullptr), nullptr,
            G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr, &error);
        if (reply) g_variant_unref(reply);
        const std::string said = error ? error->message : "";
        g_clear_error(&error);
        return said;
    }

  private:
    GTestDBus* bus_ = g_test_dbus_new(G_TEST_DBUS_NONE);
    GDBusConnection* connection_ = nullptr;
};

class LauncherProcess {
  public:
    // Starts the executable with the arguments; the environment is the test's own (HOME,
    // XDG_RUNTIME_DIR, the bus, the display) plus the extra values.
    LauncherProcess(const std::string& executable, std::vector<std::string> arguments,
                    const std::map<std::string, std::string>& environment,
                    const std::string& outputPrefix)
        : stdoutPath_(outputPrefix + ".stdout"), stderrPath_(outputPrefix + ".stderr") {
        arguments.insert(arguments.begin(), executable);
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ > 0) return;
        for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
        if (!freopen(stdoutPath_.c_str(), "w", stdout) ||
            !freopen(stderrPath_.c_str(), "w", stderr)) {
            _exit(126);
        }
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    ~LauncherProcess() {
        if (exitStatus_) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    LauncherProcess(const LauncherProcess&) = delete;
    LauncherProcess& operator=(const LauncherProcess&) = delete;

    std::string standardOutput() const { return readText(stdoutPath_); }
    std::string standardError() const { return readText(stderrPath_); }

    // The exit status once the process has ended within the time (128 + the signal that ended
    // it); nullopt while it runs.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout) {
        eventually(
            [&] {
                int status = 0;
                if (!exitStatus_ && ::waitpid(pid_, &status, WNOHANG) == pid_) {
                    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                }
                return exitStatus_.has_value();
            },
            timeout);
        return exitStatus_;
    }
    std::optional<int> terminate() {
        if (!exitStatus_) ::kill(pid_, SIGTERM);
        return waitForExit(std::chrono::seconds(20));
    }

  private:
    std::string stdoutPath_;
    std::string stderrPath_;
    pid_t pid_ = -1;
    std::optional<int> exitStatus_;
};

}  // namespace launcher_test
