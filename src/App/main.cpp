// The process entry: the running bundle is noted, the command line goes to the user defaults
// whole, then the application's main loop takes over.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "App/Application.h"
#include "Platform/Bundle.h"
#include "Platform/UserDefaults.h"

int main(int argc, char** argv) {
    // Before the launch can install another bundle in the place of this one.
    platform::Bundle::resolveMain();
    platform::UserDefaults::setProcessArguments(std::vector<std::string>(argv, argv + argc));
    const int status = Application::run(argc, argv);
    // Background work (update checks, downloads) may still be running on other threads; ending
    // here without running static destructors keeps them from meeting half-destroyed objects.
    std::fflush(nullptr);
    std::_Exit(status);
}
