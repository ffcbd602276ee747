#pragma once

#include <functional>
#include <memory>

#include "Platform/ServiceSlot.h"

namespace platform {

// A repeating timer on the main loop. Invalidating it stops further firings; a timer that is
// destroyed without being invalidated keeps firing (the main loop holds it, as a run loop does).
class RepeatingTimer {
public:
    virtual ~RepeatingTimer() = default;
    virtual void invalidate() = 0;
    virtual bool isValid() const = 0;
};

// The main thread's loop: hand-over of blocks and timers. Every platform call-in arrives there.
class MainQueue {
public:
    virtual ~MainQueue() = default;

    static MainQueue& shared() { return ServiceSlot<MainQueue>::get(); }
    static std::shared_ptr<MainQueue> makeDefault();

    // Runs the block on the main thread, later (never inside this call).
    virtual void async(std::function<void()> block) = 0;
    // Schedules a repeating timer on the main loop; the first firing comes after one interval.
    virtual std::shared_ptr<RepeatingTimer> scheduleRepeatingTimer(
        double intervalSeconds, std::function<void()> action) = 0;
    // True on the thread that runs the main loop.
    virtual bool isMainThread() const = 0;
};

}  // namespace platform
