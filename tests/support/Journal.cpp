#include "Journal.h"

#include <utility>

void Journal::add(std::string entry) {
    // Notified under the lock: a waiter that has seen its entry may destroy the journal at once,
    // and it cannot get the lock back before this call is done with the condition variable.
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
    changed_.notify_all();
}

std::vector<std::string> Journal::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

std::size_t Journal::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

void Journal::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

bool Journal::waitFor(std::size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return entries_.size() >= count; });
}
