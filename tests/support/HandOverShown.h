#pragma once

#include <mutex>
#include <optional>
#include <vector>

#include "Handlers/HandOverStatus.h"

// What the window is told of the hand-over: the stage it is at, and why it failed.
inline std::optional<HandOverStatus::Stage> shownStage() {
    const auto state = HandOverStatus::shared().current();
    return state ? std::optional(state->stage) : std::nullopt;
}
inline std::optional<HandOverStatus::Failure> shownFailure() {
    const auto state = HandOverStatus::shared().current();
    return state ? state->failure : std::nullopt;
}

// Every stage the window is told of, in order.
class StagesShown : public HandOverStatus::Observer {
  public:
    void handOverStatusChanged(const HandOverStatus::State& status) override {
        std::lock_guard lock(mutex_);
        stages_.push_back(status.stage);
    }
    std::vector<HandOverStatus::Stage> stages() const {
        std::lock_guard lock(mutex_);
        return stages_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<HandOverStatus::Stage> stages_;
};
