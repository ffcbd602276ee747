// `make install-app`: installs a built launcher bundle into the user's Applications folder the way
// the launcher installs itself (staged beside the destination, swapped in with one rename), then
// writes its desktop entry and icon. Exits non-zero when either fails.
#include <cstdio>
#include <filesystem>
#include <string>

#include "App/AppDelegate.h"
#include "Platform/BundleInstaller.h"
#include "Platform/DesktopEntry.h"
#include "Platform/FileManager.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s BUNDLE\n", argc > 0 ? argv[0] : "kelo-install-app");
        return 2;
    }
    const std::string destination = AppDelegate::installDestination();
    const std::string folder = std::filesystem::path(destination).parent_path().string();
    // Unlike the launcher's own installs, a developer's first install makes the folder.
    if (auto error = platform::FileManager::defaultManager().createDirectory(folder, true)) {
        std::fprintf(stderr, "Cannot create %s: %s\n", folder.c_str(),
                     error->printedForm().c_str());
        return 1;
    }
    if (auto error = platform::BundleInstaller::install(argv[1], destination)) {
        std::fprintf(stderr, "Cannot install %s: %s\n", argv[1], error->printedForm().c_str());
        return 1;
    }
    std::printf("Installed %s\n", destination.c_str());
    std::fflush(stdout);
    return platform::DesktopEntry::install(destination) ? 0 : 1;
}
