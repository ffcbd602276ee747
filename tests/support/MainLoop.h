#pragma once

#include <chrono>
#include <functional>

// The GLib main loop of the test's thread, run by hand.
class MainLoop {
  public:
    // Runs the loop until `done` holds or the limit has passed; false on the limit.
    static bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);
};
