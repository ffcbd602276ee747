#pragma once

#include <memory>
#include <mutex>

#include "Platform/PathMonitor.h"

// Connectivity reports on demand. Starting reports "satisfied" at once from a background thread,
// as the real monitor does; the shared state keeps the handler, for later reports, and counts
// starts and cancels.
class FakePathMonitor : public platform::PathMonitor {
  public:
    struct State {
        std::mutex mutex;
        Handler handler;
        int starts = 0;
        int cancels = 0;
    };

    explicit FakePathMonitor(std::shared_ptr<State> state) : state_(std::move(state)) {}

    void start(Handler handler) override;
    void cancel() override;

  private:
    std::shared_ptr<State> state_;
};
