#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Handlers/PellixConfiguration.h"
#include "Platform/NotificationCenter.h"

class LogHandler;

// Orders the launch: the configuration bootstrap from a mounted disk image, the launch
// parameters, logging and folders, the launcher's own path and version, the checks that run once
// the window is up, and the quit. The application (Application.cpp) calls it at fixed points on
// the main thread; this class itself knows nothing of the toolkit.
class AppDelegate {
  public:
    using Parameters = PellixConfiguration::Parameters;

    static constexpr const char* kTerminateNotification = "KeloPellixTerminate";
    static constexpr const char* kApplicationBundleName = "Kelo Helvo Pellix.app";
    static constexpr const char* kVolumeNameFragment = "Pellix Plugin";

    // Creates the file logger that is handed to the folder and logging step; starts nothing.
    AppDelegate();
    ~AppDelegate();
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // Submits the post-launch checks to a background queue and returns at once.
    void applicationDidFinishLaunching();
    // The launcher's path, then its version, then the observer of the termination notification.
    void applicationWillFinishLaunching();
    void applicationWillTerminate();
    void addObserver();

    // The configuration file and the bundle beside it: from the application's own folder when a
    // configuration lies there, else from the last qualifying "Pellix Plugin" volume, else the
    // (missing) paths in the application folder. Empty when no volume is mounted at all.
    std::vector<std::string> getPellixVolumePath();
    // The configuration's parameters, or nullopt when the file cannot be read as text. Clears the
    // stored launch parameters that the file names, and the stored launch token always unless
    // the file names it.
    std::optional<Parameters> parsePellixConfiguration(const std::string& filePath);
    // Writes the parameters whole as an XML property list (the info file).
    void saveParametersToPlist(const Parameters& parameters, const std::string& plistPath);
    // The info file from the configuration, and the offered bundle installed into the user's
    // Applications folder when its version differs from the installed one's.
    void copyPellixConfiguration(const std::string& keloPellixConfFilePath,
                                 const std::string& keloPellixAppPathURL);
    // "CFBundleShortVersionString" of the bundle at the path, when it is text.
    std::optional<std::string> getAppVersion(const std::string& path);

    void terminateAppWithNotification(const platform::NotificationCenter::Notification&);
    // Closing the window: posts the termination notification (whose observer installs a waiting
    // launcher and terminates) and answers true.
    bool applicationShouldTerminateAfterLastWindowClosed();
    void removeObservers();

    // Bootstrap, launch parameters, the shared file manager into the session, logging and folders.
    void awakeFromNib();

    // How the delegate asks the application to terminate; set by the application.
    void setTerminateHandler(std::function<void()> handler) { terminate_ = std::move(handler); }

    const std::shared_ptr<LogHandler>& logHandler() const { return logHandler_; }

    // home + "/Library/Application Support/KeloPellixNativeFolder/Info.plist"
    static std::string infoFilePath();
    // home + "/Applications/Kelo Helvo Pellix.app"
    static std::string installDestination();
    // The file URL text of a path ("file:///a%20b/"), as the launcher's lines print it.
    static std::string fileUrlText(const std::string& path, bool isDirectory);

  private:
    std::shared_ptr<LogHandler> logHandler_;
    std::function<void()> terminate_;
};
