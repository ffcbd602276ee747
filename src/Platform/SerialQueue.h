#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace platform {

// A queue that runs its blocks one after the other on a thread of its own.
//
// Destroyed from another thread, the queue runs what is still queued and then ends its thread.
// Destroyed from one of its own blocks (an owner released by its last completion), the thread
// finishes that block, drops whatever is still queued and ends; it never touches the destroyed
// queue again.
class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(std::function<void()> block);
    // True on the queue's own thread.
    bool isCurrent() const;
    const std::string& label() const { return label_; }

private:
    // What the queue's thread works on; it outlives the queue while the thread needs it.
    struct State {
        std::string label;
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::function<void()>> blocks;
        bool stopping = false;
        bool abandoned = false;  // the queue was destroyed from its own thread
    };

    static void run(const std::shared_ptr<State>& state);

    std::string label_;
    std::shared_ptr<State> state_;
    std::thread thread_;
    std::thread::id threadId_;
};

}  // namespace platform
