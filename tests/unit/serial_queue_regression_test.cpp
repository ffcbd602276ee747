// The serial queue once kept running on its freed state when one of its own blocks destroyed it
// (a URL session released by its last completion), and a block queued at that moment could wake a
// condition variable that was already gone (found by make tsan). Both ways of ending a queue are
// checked here; the sanitizer builds see any access to freed memory.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "Platform/SerialQueue.h"

namespace {

using namespace std::chrono_literals;

TEST(SerialQueueRegression, DestroyedFromItsOwnBlockEndsWithoutTouchingTheQueueAgain) {
    for (int round = 0; round < 50; ++round) {
        auto queue = std::make_unique<platform::SerialQueue>("test.queue");
        std::promise<void> destroyed;
        std::atomic<bool> laterBlockRan{false};
        std::promise<void> release;
        auto released = release.get_future().share();

        queue->async([&, released] {
            released.wait();
            queue.reset();  // the queue's owner goes away inside the queue's own block
            destroyed.set_value();
        });
        // Queued while the first block runs: dropped with the destroyed queue, never run.
        queue->async([&] { laterBlockRan = true; });
        release.set_value();

        ASSERT_EQ(destroyed.get_future().wait_for(10s), std::future_status::ready);
        std::this_thread::sleep_for(1ms);
        EXPECT_FALSE(laterBlockRan.load());
    }
}

TEST(SerialQueueRegression, DestroyedFromAnotherThreadRunsWhatIsQueuedFirst) {
    std::vector<int> order;
    {
        platform::SerialQueue queue("test.queue");
        for (int i = 0; i < 100; ++i) {
            queue.async([&order, i] { order.push_back(i); });
        }
    }  // the destructor waits for the queue's thread
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
}

TEST(SerialQueueRegression, BlocksQueuedFromManyThreadsWhileItEndsAreSafe) {
    for (int round = 0; round < 20; ++round) {
        auto queue = std::make_shared<platform::SerialQueue>("test.queue");
        std::atomic<int> ran{0};
        std::vector<std::thread> senders;
        for (int t = 0; t < 4; ++t) {
            senders.emplace_back([queue, &ran] {
                for (int i = 0; i < 50; ++i) queue->async([&ran] { ++ran; });
            });
        }
        for (auto& sender : senders) sender.join();
        queue.reset();
        EXPECT_EQ(ran.load(), 200);
    }
}

}  // namespace
