// The installed launcher as a Linux desktop finds it: its desktop entry passes the freedesktop
// validator, GLib's desktop-entry parser starts the installed bundle from it, and the icon theme
// finds its icon.
#include <gio/gdesktopappinfo.h>
#include <gtk/gtk.h>

#include "App/AppDelegate.h"
#include "KeloTest.h"
#include "LauncherProcess.h"
#include "LogFile.h"
#include "Platform/DesktopEntry.h"
#include "TestBundle.h"

namespace {

using platform::DesktopEntry;

// What a command line printed on both streams, followed by " (failed)" unless it exited with 0.
std::string said(const std::string& commandLine) {
    gchar* out = nullptr;
    gchar* err = nullptr;
    gint status = 0;
    if (!g_spawn_command_line_sync(commandLine.c_str(), &out, &err, &status, nullptr)) {
        return commandLine + " (failed)";
    }
    std::string printed = std::string(out) + err;
    g_free(out);
    g_free(err);
    return g_spawn_check_wait_status(status, nullptr) ? printed : printed + " (failed)";
}

// A process started from the desktop entry as a desktop's menu starts it: GLib's desktop-entry
// parser reads the entry (it refuses one whose TryExec names no program) and expands its Exec
// line. The process stays this test's child and does not outlive it.
struct StartedFromEntry {
    explicit StartedFromEntry(const std::string& entry) {
        GDesktopAppInfo* info = g_desktop_app_info_new_from_filename(entry.c_str());
        if (!info) return;
        if (const char* wmClass = g_desktop_app_info_get_startup_wm_class(info)) {
            startupWmClass = wmClass;
        }
        g_desktop_app_info_launch_uris_as_manager(
            info, nullptr, nullptr,
            static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), nullptr,
            nullptr,
            [](GDesktopAppInfo*, GPid started, gpointer self) {
                static_cast<StartedFromEntry*>(self)->pid = started;
            },
            this, nullptr);
        g_object_unref(info);
    }
    ~StartedFromEntry() {
        if (pid <= 0) return;
        ::kill(pid, SIGTERM);
        if (!eventually([&] { return ::waitpid(pid, nullptr, WNOHANG) == pid; })) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    GPid pid = -1;
    std::string startupWmClass;
};

class DesktopEntryTest : public TempHomeTest {
  protected:
    std::string validated() { return said("desktop-file-validate " + DesktopEntry::entryPath()); }
};

TEST_F(DesktopEntryTest, ExecStartsTheBundleWhateverItsPathHolds) {
    // Every character that the Exec line must quote or escape, in one folder name. Not '%': the
    // entry doubles it as desktop entries require, but GLib looks the program up before it undoes
    // the doubling, and so refuses such an entry.
    const std::string bundle =
        path("a \"b\" 'c' $HOME `d` \\e g;h&i|j<k>(l)*?#~\tm/Kelo Helvo Pellix.app");
    TestBundle{.content = "#!/bin/sh\nprintf '%s' \"$0\" > \"$HOME/started\"\n"}.writeTo(bundle);
    ASSERT_TRUE(DesktopEntry::install(bundle));
    EXPECT_EQ(validated(), "");

    StartedFromEntry program(DesktopEntry::entryPath());
    ASSERT_GT(program.pid, 0) << readText(DesktopEntry::entryPath());
    ::waitpid(std::exchange(program.pid, -1), nullptr, 0);
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

    EXPECT_EQ(validated(), "");
    // The desktop's icon theme finds the icon by the name the entry gives.
    gtk_init();
    EXPECT_TRUE(gtk_icon_theme_has_icon(gtk_icon_theme_get_for_display(gdk_display_get_default()),
                                        DesktopEntry::kApplicationId));

    StartedFromEntry launcher(DesktopEntry::entryPath());
    ASSERT_GT(launcher.pid, 0) << readText(DesktopEntry::entryPath());
    // The started launcher names the bundle it runs from: the installed copy.
    EXPECT_TRUE(log_file::waitFor(
        home(), "Kelo Pellix App path : " + AppDelegate::installDestination(), 60s))
        << readText(launcher_test::logFile());
    // Its window carries the class the entry names (WM_CLASS is instance, then class), so the
    // desktop groups the window with the entry.
    std::string windows;
    EXPECT_TRUE(eventually(
        [&] {
            windows = said("xwininfo -root -tree");
            return windows.find(" \"" + launcher.startupWmClass + "\")") != std::string::npos;
        },
        60s))
        << windows;
}

}  // namespace
