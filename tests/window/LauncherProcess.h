#pragma once

// The real launcher, started from its bundle as a child process of a window test, on a session
// bus of its own (so tests running side by side never meet as one application), with its
// standard streams kept in files.
#include <gio/gio.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TempHome.h"

namespace launcher_test {

inline constexpr const char* kApplicationId = "com.Kelo.Helvo.KeloHelvoPellix";
inline constexpr const char* kObjectPath = "/com/Kelo/Helvo/KeloHelvoPellix";

inline std::string bundleExecutable(const std::string& bundle = KELO_BUNDLE_DIR) {
    return bundle + "/Contents/MacOS/KeloHelvoPellix";
}

// Polls until the condition holds or the time is up; the last answer is returned.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
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
        bus_ = g_test_dbus_new(G_TEST_DBUS_NONE);
        g_test_dbus_up(bus_);
        for (const auto& [name, value] : kept) setenv(name.c_str(), value.c_str(), 1);
        GError* error = nullptr;
        connection_ = g_dbus_connection_new_for_address_sync(
            g_test_dbus_get_bus_address(bus_),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        if (!connection_) {
            const std::string message = error ? error->message : "no bus";
            g_clear_error(&error);
            throw std::runtime_error("private session bus: " + message);
        }
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
    // its window, the actions its menu and keyboard shortcuts use). False when nobody answered.
    bool activate(const std::string& objectPath, const std::string& action) {
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(
            connection_, kApplicationId, objectPath.c_str(), "org.gtk.Actions", "Activate",
            g_variant_new("(sava{sv})", action.c_str(), nullptr, nullptr), nullptr,
            G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr, &error);
        if (!reply) {
            lastError_ = error ? error->message : "no reply";
            g_clear_error(&error);
            return false;
        }
        g_variant_unref(reply);
        return true;
    }
    // Whether the launcher owns its application name on this bus.
    bool applicationRunning() {
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(
            connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "NameHasOwner", g_variant_new("(s)", kApplicationId), G_VARIANT_TYPE("(b)"),
            G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
        if (!reply) {
            g_clear_error(&error);
            return false;
        }
        gboolean owned = FALSE;
        g_variant_get(reply, "(b)", &owned);
        g_variant_unref(reply);
        return owned;
    }
    const std::string& lastError() const { return lastError_; }

  private:
    GTestDBus* bus_ = nullptr;
    GDBusConnection* connection_ = nullptr;
    std::string lastError_;
};

class LauncherProcess {
  public:
    // Starts the executable with the arguments; the environment is the test's own (HOME,
    // XDG_RUNTIME_DIR, the bus, the display) plus the extra values.
    LauncherProcess(const std::string& executable, const std::vector<std::string>& arguments,
                    const std::map<std::string, std::string>& environment,
                    const std::string& outputPrefix)
        : stdoutPath_(outputPrefix + ".stdout"), stderrPath_(outputPrefix + ".stderr") {
        std::vector<std::string> argv{executable};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
            if (!freopen(stdoutPath_.c_str(), "w", stdout) ||
                !freopen(stderrPath_.c_str(), "w", stderr)) {
                _exit(126);
            }
            std::vector<char*> raw;
            for (auto& argument : argv) raw.push_back(argument.data());
            raw.push_back(nullptr);
            ::execv(raw[0], raw.data());
            _exit(127);
        }
    }
    ~LauncherProcess() {
        if (pid_ > 0 && !exitStatus_) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    LauncherProcess(const LauncherProcess&) = delete;
    LauncherProcess& operator=(const LauncherProcess&) = delete;

    std::string standardOutput() const { return readText(stdoutPath_); }
    std::string standardError() const { return readText(stderrPath_); }

    // The exit status once the process has ended within the time; nullopt while it runs. A
    // process ended by a signal gives 128 + the signal.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout) {
        if (exitStatus_) return exitStatus_;
        eventually(
            [&] {
                int status = 0;
                if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
                exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return true;
            },
            timeout);
        return exitStatus_;
    }

    std::optional<int> terminate(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        if (!exitStatus_) ::kill(pid_, SIGTERM);
        return waitForExit(timeout);
    }

  private:
    std::string stdoutPath_;
    std::string stderrPath_;
    pid_t pid_ = -1;
    std::optional<int> exitStatus_;
};

// The launcher's log file in the current home.
inline std::string logFile() {
    return std::string(std::getenv("HOME")) + "/Library/Logs/KeloHelvo/KeloPellix/keloPellix.log";
}

}  // namespace launcher_test
