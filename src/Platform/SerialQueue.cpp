#include "Platform/SerialQueue.h"

#include <utility>

#include "Platform/ExceptionGuard.h"

namespace platform {

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), state_(std::make_shared<State>()) {
    state_->label = label_;
    thread_ = std::thread([state = state_] { run(state); });
    threadId_ = thread_.get_id();
}

SerialQueue::~SerialQueue() {
    const bool fromOwnThread = isCurrent();
    {
        // Notified under the lock: the state may go away with the thread as soon as it is released.
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        state_->abandoned = fromOwnThread;
        state_->wake.notify_all();
    }
    if (thread_.joinable()) {
        if (fromOwnThread) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

void SerialQueue::async(std::function<void()> block) {
    std::lock_guard lock(state_->mutex);
    state_->blocks.push_back(std::move(block));
    state_->wake.notify_one();
}

bool SerialQueue::isCurrent() const {
    return std::this_thread::get_id() == threadId_;
}

void SerialQueue::run(const std::shared_ptr<State>& state) {
    for (;;) {
        std::function<void()> block;
        std::deque<std::function<void()>> dropped;
        {
            std::unique_lock lock(state->mutex);
            state->wake.wait(lock, [&] { return state->stopping || !state->blocks.empty(); });
            if (state->abandoned) dropped.swap(state->blocks);
            if (state->blocks.empty()) return;  // `dropped` is destroyed outside the lock
            block = std::move(state->blocks.front());
            state->blocks.pop_front();
        }
        // A block that throws must not take the queue down with it.
        ExceptionGuard::run(state->label, block);
    }
}

}  // namespace platform
