#pragma once

#include <chrono>

// The completion queue of the shared URL session.
class UrlSessionQueue {
  public:
    // Whether every block that the queue holds now has run within the limit.
    static bool drain(std::chrono::seconds limit = std::chrono::seconds(60));
};
