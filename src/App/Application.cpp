#include "App/Application.h"

#include <glib-unix.h>
#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/x11/gdkx.h>
#endif

#include <csignal>
#include <memory>

#include "App/AppDelegate.h"
#include "App/ViewController.h"
#include "Platform/Bundle.h"
#include "Platform/ExceptionGuard.h"

namespace {

constexpr const char* kApplicationId = KELO_BUNDLE_IDENTIFIER;

// What lives as long as the main loop: the delegate, the one window and its controller.
struct Launcher {
    GtkApplication* application = nullptr;
    std::unique_ptr<AppDelegate> delegate;
    GtkWindow* window = nullptr;
    std::shared_ptr<ViewController> viewController;
    bool launched = false;
    bool closing = false;
};

void quit(Launcher& launcher) {
    g_application_quit(G_APPLICATION(launcher.application));
}

// Closing the window is closing the last window: the delegate's terminating sequence runs (a
// waiting launcher is installed), then the window goes.
gboolean onCloseRequest(GtkWindow* window, gpointer data) {
    auto& launcher = *static_cast<Launcher*>(data);
    if (launcher.closing) return FALSE;
    launcher.closing = true;
    gtk_widget_set_visible(GTK_WIDGET(window), FALSE);
    platform::ExceptionGuard::run("applicationShouldTerminateAfterLastWindowClosed(_:)", [&] {
        if (launcher.delegate) launcher.delegate->applicationShouldTerminateAfterLastWindowClosed();
    });
    return FALSE;
}

// The menu's Quit, SIGTERM and SIGINT: the platform's own termination, which installs nothing.
void onQuitAction(GSimpleAction*, GVariant*, gpointer data) {
    quit(*static_cast<Launcher*>(data));
}

gboolean onQuitSignal(gpointer data) {
    quit(*static_cast<Launcher*>(data));
    return G_SOURCE_CONTINUE;
}

void onCloseWindowAction(GSimpleAction*, GVariant*, gpointer data) {
    auto& launcher = *static_cast<Launcher*>(data);
    if (launcher.window) gtk_window_close(launcher.window);
}

// The desktop knows the launcher's windows by the application id, as the desktop entry names
// them: their icon is the icon of that name (in the user's icon theme once the launcher is
// installed, in the running bundle's resources wherever it runs from), and on X11 their class is
// the id too (GDK would take the program's name).
void nameWindowsAfterTheApplication() {
    GdkDisplay* display = gdk_display_get_default();
    if (!display) return;
#ifdef GDK_WINDOWING_X11
    if (GDK_IS_X11_DISPLAY(display)) gdk_x11_display_set_program_class(display, kApplicationId);
#endif
    if (const auto icons = platform::Bundle::main().pathForResource("icons", "")) {
        gtk_icon_theme_add_search_path(gtk_icon_theme_get_for_display(display), icons->c_str());
    }
    gtk_window_set_default_icon_name(kApplicationId);
}

void installMenu(Launcher& launcher) {
    static const GActionEntry kApplicationActions[] = {
        {"quit", onQuitAction, nullptr, nullptr, nullptr, {0, 0, 0}},
    };
    g_action_map_add_action_entries(G_ACTION_MAP(launcher.application), kApplicationActions,
                                    G_N_ELEMENTS(kApplicationActions), &launcher);
    static const char* const kQuitAccels[] = {"<Control>q", nullptr};
    static const char* const kCloseAccels[] = {"<Control>w", nullptr};
    gtk_application_set_accels_for_action(launcher.application, "app.quit", kQuitAccels);
    gtk_application_set_accels_for_action(launcher.application, "win.close", kCloseAccels);

    GMenu* menubar = g_menu_new();
    GMenu* applicationMenu = g_menu_new();
    g_menu_append(applicationMenu, "Close Window", "win.close");
    g_menu_append(applicationMenu, "Quit Kelo Helvo Pellix", "app.quit");
    g_menu_append_submenu(menubar, "Kelo Helvo Pellix", G_MENU_MODEL(applicationMenu));
    gtk_application_set_menubar(launcher.application, G_MENU_MODEL(menubar));
    g_object_unref(applicationMenu);
    g_object_unref(menubar);
}

GtkWindow* makeWindow(Launcher& launcher) {
    GtkWidget* window = gtk_application_window_new(launcher.application);
    gtk_window_set_default_size(GTK_WINDOW(window), 960, 760);
    gtk_application_window_set_show_menubar(GTK_APPLICATION_WINDOW(window), TRUE);

    static const GActionEntry kWindowActions[] = {
        {"close", onCloseWindowAction, nullptr, nullptr, nullptr, {0, 0, 0}},
    };
    g_action_map_add_action_entries(G_ACTION_MAP(window), kWindowActions,
                                    G_N_ELEMENTS(kWindowActions), &launcher);
    g_signal_connect(window, "close-request", G_CALLBACK(onCloseRequest), &launcher);
    return GTK_WINDOW(window);
}

// The first start of the primary instance: the delegate is made and runs the launch up to the
// window. A second start of the launcher never gets here: it only asks this one to activate.
void onStartup(GApplication*, gpointer data) {
    auto& launcher = *static_cast<Launcher*>(data);
    platform::ExceptionGuard::run("startup", [&] {
        launcher.delegate = std::make_unique<AppDelegate>();
        launcher.delegate->setTerminateHandler([&launcher] { quit(launcher); });
        launcher.delegate->awakeFromNib();
        launcher.delegate->applicationWillFinishLaunching();
        nameWindowsAfterTheApplication();
        installMenu(launcher);
    });
}

void onActivate(GApplication*, gpointer data) {
    auto& launcher = *static_cast<Launcher*>(data);
    platform::ExceptionGuard::run("activate", [&] {
        if (launcher.launched) {
            if (launcher.window) gtk_window_present(launcher.window);
            return;
        }
        launcher.launched = true;
        launcher.window = makeWindow(launcher);
        // The window's content is the join page; its controller sets the title.
        launcher.viewController = ViewController::create(launcher.window);
        launcher.viewController->viewDidLoad();
        gtk_window_present(launcher.window);
        if (launcher.delegate) launcher.delegate->applicationDidFinishLaunching();
    });
}

void onShutdown(GApplication*, gpointer data) {
    auto& launcher = *static_cast<Launcher*>(data);
    if (launcher.delegate) launcher.delegate->applicationWillTerminate();
}

}  // namespace

int Application::run(int argc, char** argv) {
    // Lives until the process ends: callbacks may still reach it while the loop winds down.
    auto* launcher = new Launcher();
    launcher->application = gtk_application_new(kApplicationId, G_APPLICATION_DEFAULT_FLAGS);
    g_signal_connect(launcher->application, "startup", G_CALLBACK(onStartup), launcher);
    g_signal_connect(launcher->application, "activate", G_CALLBACK(onActivate), launcher);
    g_signal_connect(launcher->application, "shutdown", G_CALLBACK(onShutdown), launcher);
    g_unix_signal_add(SIGTERM, onQuitSignal, launcher);
    g_unix_signal_add(SIGINT, onQuitSignal, launcher);

    char* programOnly[] = {argc > 0 ? argv[0] : nullptr, nullptr};
    return g_application_run(G_APPLICATION(launcher->application), argc > 0 ? 1 : 0, programOnly);
}
