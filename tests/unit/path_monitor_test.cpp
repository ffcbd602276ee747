// Connectivity reports from GIO's network monitor: one after start, one per change, in order, on
// a background thread, and none after cancel.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Journal.h"
#include "Platform/Linux/GioPathMonitor.h"
#include "TempHome.h"

namespace {

using namespace std::chrono_literals;
using platform::GioPathMonitor;

// Notes each report as "1" or "0", marked when it ran on the thread that made the handler.
GioPathMonitor::Handler noteIn(Journal& journal) {
    return [&journal, caller = std::this_thread::get_id()](bool satisfied) {
        journal.add(std::string(satisfied ? "1" : "0") +
                    (std::this_thread::get_id() == caller ? " on the calling thread" : ""));
    };
}

void networkChanged(bool available) {
    g_signal_emit_by_name(g_network_monitor_get_default(), "network-changed",
                          available ? TRUE : FALSE);
}

// Reports run in order on one queue: once a new monitor's first report is in, anything that
// earlier monitors had on its way has arrived already.
bool earlierReportsDelivered() {
    Journal witness;
    GioPathMonitor other;
    other.start(noteIn(witness));
    return witness.waitFor(1, 10s);
}

class PathMonitorTest : public TempHomeTest {};

TEST_F(PathMonitorTest, ReportsAfterStartAndEachChangeInOrderOffTheCallingThread) {
    Journal reports;
    GioPathMonitor monitor;
    monitor.start(noteIn(reports));
    ASSERT_TRUE(reports.waitFor(1, 10s));
    const bool available =
        g_network_monitor_get_network_available(g_network_monitor_get_default()) != FALSE;
    networkChanged(false);
    networkChanged(true);
    networkChanged(false);
    ASSERT_TRUE(reports.waitFor(4, 10s));
    EXPECT_EQ(reports.entries(), (std::vector<std::string>{available ? "1" : "0", "0", "1", "0"}));
}

TEST_F(PathMonitorTest, NothingArrivesAfterCancelAndStartWorksAgain) {
    Journal first;
    GioPathMonitor monitor;
    monitor.start(noteIn(first));
    ASSERT_TRUE(first.waitFor(1, 10s));
    monitor.cancel();
    networkChanged(false);

    ASSERT_TRUE(earlierReportsDelivered());
    EXPECT_EQ(first.size(), 1u);

    Journal second;
    monitor.start(noteIn(second));
    ASSERT_TRUE(second.waitFor(1, 10s));
    networkChanged(true);
    ASSERT_TRUE(second.waitFor(2, 10s));
    EXPECT_EQ(second.entries().back(), "1");
    EXPECT_EQ(first.size(), 1u);
}

TEST_F(PathMonitorTest, HandlerMayCancelItsOwnMonitor) {
    GioPathMonitor monitor;
    Journal reports;
    auto note = noteIn(reports);
    monitor.start([&](bool satisfied) {
        monitor.cancel();
        note(satisfied);
    });
    ASSERT_TRUE(reports.waitFor(1, 10s));
    networkChanged(true);

    ASSERT_TRUE(earlierReportsDelivered());
    EXPECT_EQ(reports.size(), 1u);
}

}  // namespace
