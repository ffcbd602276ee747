#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

// What a recording fake saw, one entry per call, from any thread; tests read it and wait for it.
class Journal {
  public:
    void add(std::string entry);
    std::vector<std::string> entries() const;
    std::size_t size() const;
    void clear();
    // Whether `count` entries (or more) are there within the limit.
    bool waitFor(std::size_t count,
                 std::chrono::milliseconds limit = std::chrono::seconds(60)) const;

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> entries_;
};
