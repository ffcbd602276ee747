#pragma once

#include "Platform/MainQueue.h"

namespace platform {

// The main queue on GLib's default main context: hand-over with g_main_context_invoke-style
// idle sources, timers with g_timeout_add.
class GLibMainQueue final : public MainQueue {
public:
    void async(std::function<void()> block) override;
    std::shared_ptr<RepeatingTimer> scheduleRepeatingTimer(double intervalSeconds,
                                                           std::function<void()> action) override;
    bool isMainThread() const override;
};

}  // namespace platform
