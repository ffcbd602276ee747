#pragma once

#include <utility>

namespace platform {

// Runs a block when the scope ends, however it ends, unless dismissed before.
template <typename Block>
class ScopeExit {
  public:
    explicit ScopeExit(Block block) : block_(std::move(block)) {}
    ~ScopeExit() {
        if (armed_) block_();
    }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

    void dismiss() { armed_ = false; }

  private:
    Block block_;
    bool armed_ = true;
};

}  // namespace platform
