#pragma once

#include <optional>

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
