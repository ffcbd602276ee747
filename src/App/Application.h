#pragma once

// The launcher as a desktop application: one instance per user session (a second start brings
// the running window forward), the delegate's call-ins in their order, the one window, the menu
// and the quit paths.
class Application {
  public:
    // Runs the main loop until the launcher quits; the result is the process's exit status.
    // The whole command line belongs to the user defaults' argument domain (set before this is
    // called); the toolkit sees only the program name, so "-DC eu" and the like never reach its
    // option parser.
    static int run(int argc, char** argv);
};
