// The session record: one instance however many threads ask first, and values that are never
// seen half replaced.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Objects/SessionDetails.h"
#include "TempHome.h"

namespace {

using namespace std::chrono_literals;

class SessionDetailsTest : public TempHomeTest {};

TEST_F(SessionDetailsTest, ThreadsAskingFirstAtOnceGetTheSameInstance) {
    constexpr int kThreads = 8;
    std::atomic<bool> go{false};
    std::vector<SessionDetails*> seen(kThreads, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            while (!go.load()) std::this_thread::yield();
            seen[static_cast<std::size_t>(i)] = &SessionDetails::getInstance();
        });
    }
    go = true;
    for (auto& thread : threads) thread.join();
    for (auto* instance : seen) EXPECT_EQ(instance, seen.front());
    EXPECT_EQ(&SessionDetails::getInstance(), seen.front());
}

TEST_F(SessionDetailsTest, TextIsNeverSeenHalfReplaced) {
    auto& session = SessionDetails::getInstance();
    const std::string first(4096, 'a');
    const std::string second(8192, 'b');
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::atomic<int> reads{0};

    std::thread writer([&] {
        for (int round = 0; !done.load(); ++round) {
            switch (round % 3) {
                case 0:
                    session.setWebServerName(first);
                    break;
                case 1:
                    session.setWebServerName(second);
                    break;
                default:
                    session.setWebServerName(std::nullopt);
            }
        }
    });
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            while (!done.load()) {
                const auto value = session.webServerName();
                if (value && *value != first && *value != second) ++torn;
                ++reads;
            }
        });
    }
    std::this_thread::sleep_for(300ms);
    done = true;
    writer.join();
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);

    // Clearing leaves nothing behind.
    session.setWebServerName("host");
    session.setWebServerName(std::nullopt);
    EXPECT_EQ(session.webServerName(), std::nullopt);
}

}  // namespace
