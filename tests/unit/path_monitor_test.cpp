// Connectivity reports from GIO's network monitor: one after start, one per change, in order, on
// a background thread, and none after cancel.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "Platform/Linux/GioPathMonitor.h"
#include "TempHome.h"

namespace {

using namespace std::chrono_literals;
using platform::GioPathMonitor;

// Collects the reports of one monitor.
class Reports {
  public:
    GioPathMonitor::Handler handler() {
        return [this](bool satisfied) {
            std::lock_guard lock(mutex_);
            values_.push_back(satisfied);
            threads_.push_back(std::this_thread::get_id());
            changed_.notify_all();
        };
    }

    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return values_.size() >= count; });
    }

    std::vector<bool> values() const {
        std::lock_guard lock(mutex_);
        return values_;
    }

    std::vector<std::thread::id> threads() const {
        std::lock_guard lock(mutex_);
        return threads_;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<bool> values_;
    std::vector<std::thread::id> threads_;
};

void networkChanged(bool available) {
    g_signal_emit_by_name(g_network_monitor_get_default(), "network-changed",
                          available ? TRUE : FALSE);
}

// Reports run in order on one queue: once a new monitor's first report is in, anything that
// earlier monitors had on its way has arrived already.
bool earlierReportsDelivered() {
    Reports witness;
    GioPathMonitor other;
    other.start(witness.handler());
    return witness.waitFor(1);
}

class PathMonitorTest : public TempHomeTest {};

TEST_F(PathMonitorTest, ReportsAfterStartAndEachChangeInOrderOffTheCallingThread) {
    Reports reports;
    GioPathMonitor monitor;
    monitor.start(reports.handler());
    ASSERT_TRUE(reports.waitFor(1));
    EXPECT_EQ(reports.values().front(),
              g_network_monitor_get_network_available(g_network_monitor_get_default()) != FALSE);

    networkChanged(false);
    networkChanged(true);
    networkChanged(false);
    ASSERT_TRUE(reports.waitFor(4));
    const auto values = reports.values();
    EXPECT_EQ(std::vector<bool>(values.begin() + 1, values.end()),
              (std::vector<bool>{false, true, false}));
    for (const auto& thread : reports.threads()) EXPECT_NE(thread, std::this_thread::get_id());
}

TEST_F(PathMonitorTest, NothingArrivesAfterCancelAndStartWorksAgain) {
    Reports first;
    GioPathMonitor monitor;
    monitor.start(first.handler());
    ASSERT_TRUE(first.waitFor(1));
    monitor.cancel();
    networkChanged(false);

    ASSERT_TRUE(earlierReportsDelivered());
    EXPECT_EQ(first.values().size(), 1u);

    Reports second;
    monitor.start(second.handler());
    ASSERT_TRUE(second.waitFor(1));
    networkChanged(true);
    ASSERT_TRUE(second.waitFor(2));
    EXPECT_EQ(second.values().back(), true);
    EXPECT_EQ(first.values().size(), 1u);
}

TEST_F(PathMonitorTest, HandlerMayCancelItsOwnMonitor) {
    GioPathMonitor monitor;
    Reports reports;
    auto record = reports.handler();
    monitor.start([&](bool satisfied) {
        monitor.cancel();
        record(satisfied);
    });
    ASSERT_TRUE(reports.waitFor(1));
    networkChanged(true);

    ASSERT_TRUE(earlierReportsDelivered());
    EXPECT_EQ(reports.values().size(), 1u);
}

}  // namespace
