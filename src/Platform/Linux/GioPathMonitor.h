#pragma once

#include <memory>

#include "Platform/PathMonitor.h"

namespace platform {

// Connectivity reports from GIO's network monitor: one right after start, one after each
// "network-changed", each delivered on a background thread (the signal itself arrives on the
// main context), in order.
class GioPathMonitor final : public PathMonitor {
  public:
    GioPathMonitor();
    ~GioPathMonitor() override;
    GioPathMonitor(const GioPathMonitor&) = delete;
    GioPathMonitor& operator=(const GioPathMonitor&) = delete;

    void start(Handler handler) override;
    void cancel() override;

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace platform
