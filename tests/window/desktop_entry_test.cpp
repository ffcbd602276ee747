// The installed launcher as a Linux desktop finds it: its desktop entry passes the freedesktop
// validator, GLib's desktop-entry parser starts the installed bundle from it, and the icon theme
// finds its icon.
#include <gio/gdesktopappinfo.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "App/AppDelegate.h"
#include "LauncherProcess.h"
#include "LogFile.h"
#include "Platform/DesktopEntry.h"
#include "TempHome.h"
#include "TestBundle.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::DesktopEntry;

// What a program printed on both streams, followed by " (failed)" unless it exited with 0.
std::string said(const std::vector<std::string>& command) {
    std::vector<gchar*> argv;
    for (const auto& argument : command) argv.push_back(const_cast<gchar*>(argument.c_str()));
    argv.push_back(nullptr);
    gchar* out = nullptr;
    gchar* err = nullptr;
    gint status = 0;
    GError* error = nullptr;
    if (!g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out,
                      &err, &status, &error)) {
        const std::string message = error->message;
        g_error_free(error);
        return message + " (failed)";
    }
    std::string printed = std::string(out) + err;
    g_free(out);
    g_free(err);
    return g_spawn_check_wait_status(status, nullptr) ? printed : printed + " (failed)";
}

// A process started from a desktop entry as a desktop's menu starts it: GLib's desktop-entry
// parser reads the entry (it refuses one whose TryExec names no program) and expands its Exec
// line. The process stays this test's child and does not outlive it.
class StartedFromEntry {
  public:
    explicit StartedFromEntry(const std::string& entry) {
        GDesktopAppInfo* info = g_desktop_app_info_new_from_filename(entry.c_str());
        if (!info) {
            ADD_FAILURE() << "GLib does not take " << entry << ":\n" << readText(entry);
            return;
        }
        if (const char* wmClass = g_desktop_app_info_get_startup_wm_class(info)) {
            startupWmClass_ = wmClass;
        }
        GError* error = nullptr;
        if (!g_desktop_app_info_launch_uris_as_manager(
                info, nullptr, nullptr,
                static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), nullptr,
                nullptr,
                [](GDesktopAppInfo*, GPid pid, gpointer self) {
                    static_cast<StartedFromEntry*>(self)->pid_ = pid;
                },
                this, &error)) {
            ADD_FAILURE() << "not started: " << error->message;
            g_error_free(error);
        }
        g_object_unref(info);
    }
    ~StartedFromEntry() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        if (!launcher_test::eventually([&] { return ::waitpid(pid_, nullptr, WNOHANG) == pid_; },
                                       20s)) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    StartedFromEntry(const StartedFromEntry&) = delete;
    StartedFromEntry& operator=(const StartedFromEntry&) = delete;

    bool started() const { return pid_ > 0; }
    const std::string& startupWmClass() const { return startupWmClass_; }
    void waitForExit() {
        if (started()) ::waitpid(std::exchange(pid_, -1), nullptr, 0);
    }

  private:
    GPid pid_ = -1;
    std::string startupWmClass_;
};

class DesktopEntryTest : public TempHomeTest {};

TEST_F(DesktopEntryTest, ExecStartsTheBundleWhateverItsPathHolds) {
    // Every character that the Exec line must quote or escape, in one folder name. Not '%': the
    // entry doubles it as desktop entries require, but GLib looks the program up before it undoes
    // the doubling, and so refuses such an entry.
    const std::string bundle =
        path("a \"b\" 'c' $HOME `d` \\e g;h&i|j<k>(l)*?#~\tm/Kelo Helvo Pellix.app");
    TestBundle{.content = "#!/bin/sh\nprintf '%s' \"$0\" > \"$HOME/started\"\n"}.writeTo(bundle);
    ASSERT_TRUE(DesktopEntry::install(bundle));
    EXPECT_EQ(said({"desktop-file-validate", DesktopEntry::entryPath()}), "");

    StartedFromEntry program(DesktopEntry::entryPath());
    ASSERT_TRUE(program.started());
    program.waitForExit();
    EXPECT_EQ(readText(path("started")), bundle + "/Contents/MacOS/KeloHelvoPellix");
}

TEST_F(DesktopEntryTest, BootstrapInstallIsInTheMenuWithItsIconAndStartsTheInstalledLauncher) {
    launcher_test::PrivateBus bus;  // the started launcher meets no other test's launcher
    fs::create_directories(path("Applications"));
    // An entry that a launcher elsewhere left is replaced.
    writeText(DesktopEntry::entryPath(),
              "[Desktop Entry]\nType=Application\nName=Old\nExec=true\n");
    writeText(path("Downloads/.pellixConfiguration"), "");
    AppDelegate().copyPellixConfiguration(path("Downloads/.pellixConfiguration"), KELO_BUNDLE_DIR);
    const std::string installed = AppDelegate::installDestination();

    EXPECT_EQ(said({"desktop-file-validate", DesktopEntry::entryPath()}), "");
    // The desktop's icon theme finds the icon by the name the entry gives.
    gtk_init();
    EXPECT_TRUE(gtk_icon_theme_has_icon(gtk_icon_theme_get_for_display(gdk_display_get_default()),
                                        DesktopEntry::kApplicationId));

    StartedFromEntry launcher(DesktopEntry::entryPath());
    ASSERT_TRUE(launcher.started());
    // The started launcher names the bundle it runs from: the installed copy.
    EXPECT_TRUE(log_file::waitFor(home(), "Kelo Pellix App path : " + installed, 60s))
        << readText(launcher_test::logFile());
    // Its window carries the class the entry names (WM_CLASS is instance, then class), so the
    // desktop groups the window with the entry.
    const std::string windowClass = " \"" + launcher.startupWmClass() + "\")";
    std::string windows;
    EXPECT_TRUE(launcher_test::eventually(
        [&] {
            return (windows = said({"xwininfo", "-root", "-tree"})).find(windowClass) !=
                   std::string::npos;
        },
        60s))
        << windows;
}

}  // namespace
