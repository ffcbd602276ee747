#include "FakePathMonitor.h"

#include <thread>

void FakePathMonitor::start(Handler handler) {
    {
        std::lock_guard lock(state_->mutex);
        state_->handler = handler;
        ++state_->starts;
    }
    std::thread([handler] { handler(true); }).join();
}

void FakePathMonitor::cancel() {
    std::lock_guard lock(state_->mutex);
    state_->handler = nullptr;
    ++state_->cancels;
}
