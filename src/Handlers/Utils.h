#pragma once

#include <optional>
#include <string>

class LogHandler;

// Class operations for the launch parameters, the data-centre table, the working folders, the
// launcher's own path and version, and the installation of a waiting launcher at quit.
class Utils {
  public:
    Utils() = delete;

    static void parseCommandLineArgs();
    static void readInfoFileArgs(const std::string& path);
    static std::optional<std::string> findWebserverNameWithDCName(
        const std::optional<std::string>& code);

    static void createPellixDirectoriesWithLogHandler(LogHandler& logHandler);
    static void createKeloParloNativeFolder();
    static void createKeloPellixNativeFolder();
    static void findCurrentAppPath();
    static void getKeloPellixAppVersion();

    static void updatePellixIfNeeded();

    // home + "/Library/Application Support/KeloPellixNativeFolder/"
    static std::string keloPellixNativeFolderPath();
    // home + "/Library/Application Support/KeloParloNative/"
    static std::string keloParloNativeFolderPath();
};
