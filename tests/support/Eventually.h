#pragma once

#include <chrono>
#include <thread>

// The suite's one poll loop, for what no fake records: whether `done()` holds within the limit.
template <typename Condition>
bool eventually(Condition done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    for (const auto end = std::chrono::steady_clock::now() + limit;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}
