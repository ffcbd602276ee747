// The network monitor against the local service on loopback and the real GLib main loop: which
// probes go out, what the delegate hears, and that one probe timer runs at a time.
#include "KeloTest.h"

#include <thread>

#include "FakePathMonitor.h"
#include "Handlers/NetworkMonitor.h"
#include "LocalService.h"
#include "MainLoop.h"
#include "Platform/MainQueue.h"
#include "RecordingUrlSession.h"

namespace {

// Short enough to keep the tests quick, long enough for a loopback probe on a busy machine.
constexpr auto kInterval = 300ms;

enum class Heard { restored, failed };

class RecordingDelegate : public NetworkMonitorDelegate {
  public:
    void didRestoreConnection() override { record(Heard::restored); }
    void didFailedToConnect() override { record(Heard::failed); }
    std::vector<Heard> heard;
    bool allOnMainThread = true;

  private:
    void record(Heard what) {
        allOnMainThread = allOnMainThread && platform::MainQueue::shared().isMainThread();
        heard.push_back(what);
    }
};

// The GLib main queue, keeping the timers it made.
class CountingMainQueue : public platform::MainQueue {
  public:
    void async(std::function<void()> block) override { inner_->async(std::move(block)); }
    bool isMainThread() const override { return inner_->isMainThread(); }
    std::shared_ptr<platform::RepeatingTimer> scheduleRepeatingTimer(
        double seconds, std::function<void()> action) override {
        timers_.push_back(inner_->scheduleRepeatingTimer(seconds, std::move(action)));
        return timers_.back();
    }

    long validTimers() const {
        return std::count_if(timers_.begin(), timers_.end(), [](auto& t) { return t->isValid(); });
    }
    std::size_t timersMade() const { return timers_.size(); }

  private:
    std::shared_ptr<platform::MainQueue> inner_ = platform::MainQueue::makeDefault();
    std::vector<std::shared_ptr<platform::RepeatingTimer>> timers_;
};

class NetworkMonitorTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        service_.applyEnvironment("localkelo");
        platform::ServiceSlot<platform::MainQueue>::set(mainQueue_);
        monitor_ = monitor(kInterval);
    }
    void TearDown() override {
        monitor_->stopNetworkMonitoring();
        monitor_->stopWebsiteReachabilityChecks();
        TempHomeTest::TearDown();
    }

    // A monitor reporting to `delegate`; with `session`, its probes go there (sent by hand: its
    // timer would wait an hour) and are answered when the test says.
    std::shared_ptr<NetworkMonitor> monitor(std::chrono::milliseconds interval,
                                            std::shared_ptr<RecordingUrlSession> session = nullptr,
                                            std::shared_ptr<RecordingDelegate> delegate = nullptr) {
        auto monitor = NetworkMonitor::create();
        monitor->setProbeIntervalForTesting(session ? 3600 : interval.count() / 1000.0);
        monitor->setPathMonitorFactoryForTesting(
            [state = paths_] { return std::make_unique<FakePathMonitor>(state); });
        if (session) monitor->setUrlSessionFactoryForTesting([session] { return session; });
        monitor->setNetworkMonitorDelegate(delegate ? delegate : delegate_);
        return monitor;
    }
    // Answers probe number `probe` (status 0: the transfer failed) and waits until the monitor
    // has taken the answer on the main loop: a block queued after it runs after it.
    static void answer(RecordingUrlSession& session, std::size_t probe, long status) {
        session.finish(probe, status);
        bool handled = false;
        platform::MainQueue::shared().async([&] { handled = true; });
        ASSERT_TRUE(MainLoop::runUntil([&] { return handled; }, 5s));
    }
    // A connectivity report from the background, as the system sends one after a change.
    void reportConnectivity(bool satisfied) {
        FakePathMonitor::Handler handler;
        {
            std::lock_guard lock(paths_->mutex);
            handler = paths_->handler;
        }
        ASSERT_TRUE(handler);
        std::thread([handler, satisfied] { handler(satisfied); }).join();
    }
    std::string url(const std::string& path) const { return service_.baseUrl() + path; }
    std::size_t probes(const std::string& path = "/join/") const {
        return service_.requests(path).size();
    }
    bool runUntilHeard(std::size_t count) {
        return MainLoop::runUntil([&] { return delegate_->heard.size() >= count; }, 20s);
    }

    LocalService service_;
    std::shared_ptr<CountingMainQueue> mainQueue_ = std::make_shared<CountingMainQueue>();
    std::shared_ptr<FakePathMonitor::State> paths_ = std::make_shared<FakePathMonitor::State>();
    std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
    std::shared_ptr<NetworkMonitor> monitor_;
};

TEST_F(NetworkMonitorTest, WhatTheProbesFindIsWhatTheDelegateHears) {
    constexpr Heard R = Heard::restored, F = Heard::failed;
    constexpr long kLost = 0;  // the transfer failed: no answer at all
    const struct {
        const char* name;
        std::vector<long> answers;  // to the probes, in turn
        std::vector<Heard> heard;
    } rows[] = {
        {"200 every time: restored once, then silence", {200, 200, 200}, {R}},
        {"200, 500 twice, 200", {200, 500, 500, 200}, {R, F, F, R}},
        {"503 every time: a failure at every probe", {503, 503}, {F, F}},
        {"the connection lost after a 200", {200, kLost, kLost}, {R, F, F}},
        {"a redirect the session did not follow", {302}, {F}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto session = std::make_shared<RecordingUrlSession>();
        auto delegate = std::make_shared<RecordingDelegate>();
        auto held = monitor(kInterval, session, delegate);
        held->startMonitoringReachability(url("/join/"));
        for (std::size_t probe = 0; probe < row.answers.size(); ++probe) {
            held->checkWebsiteReachability();
            answer(*session, probe, row.answers[probe]);
        }
        EXPECT_EQ(delegate->heard, row.heard);
        EXPECT_TRUE(delegate->allOnMainThread);
        held->stopNetworkMonitoring();
        // Every probe asks the server itself, never a cache on the way, and follows redirects
        // as a browser would.
        const auto request = session->requests().front();
        EXPECT_EQ(request.method, "GET");
        EXPECT_EQ(
            request.headers.at("User-Agent"),
            "Mozilla/5.0 (X11; Linux " + thisArchitecture() +
                ") AppleWebKit/537.36 (KHTML, like Gecko) Chrome/91.0.4472.124 Safari/537.36");
        EXPECT_EQ(request.headers.at("Cache-Control"), "no-cache");
        EXPECT_EQ(request.cachePolicy, 1);
        EXPECT_TRUE(request.followRedirects);
        EXPECT_EQ(request.timeoutSeconds, NetworkMonitor::kProbeTimeoutSeconds);
    }
}

TEST_F(NetworkMonitorTest, NewAddressWhileProbingKeepsOneTimer) {
    service_.setAnswer("/other/", {.status = 200, .body = "the other page"});
    monitor_->startMonitoringReachability(url("/join/"));
    ASSERT_TRUE(MainLoop::runUntil([&] { return probes() >= 2; }, 20s));
    const auto madeBefore = mainQueue_->timersMade();

    monitor_->startMonitoringReachability(url("/other/"));
    ASSERT_TRUE(MainLoop::runUntil([&] { return mainQueue_->timersMade() > madeBefore; }, 20s));
    ASSERT_TRUE(MainLoop::runUntil([&] { return probes("/other/") >= 3; }, 20s));
    EXPECT_EQ(mainQueue_->validTimers(), 1);
    // Probes that were on their way at the change have landed by now (under ThreadSanitizer
    // there can be two); from here on the old address is asked no more.
    const auto oldProbes = probes("/join/");
    ASSERT_TRUE(MainLoop::runUntil([&] { return probes("/other/") >= 6; }, 20s));
    EXPECT_EQ(probes("/join/"), oldProbes);
    EXPECT_EQ(monitor_->urlString(), url("/other/"));
    EXPECT_EQ(paths_->starts, 2);
    // Each start reports its first good probe as a restored connection (the first start's
    // answer may still have been on its way at the change, and was then dropped).
    ASSERT_TRUE(runUntilHeard(1));
    EXPECT_THAT(delegate_->heard, ::testing::Each(Heard::restored));
    EXPECT_LE(delegate_->heard.size(), 2u);
}

TEST_F(NetworkMonitorTest, OfflinePageAfterALoadFailureGoesAtTheNextGoodProbe) {
    auto session = std::make_shared<RecordingUrlSession>();
    monitor_ = monitor(kInterval, session);
    monitor_->startMonitoringReachability(url("/join/"));
    monitor_->checkWebsiteReachability();
    answer(*session, 0, 200);
    ASSERT_THAT(delegate_->heard, ElementsAre(Heard::restored));

    // The join page reports itself loaded while a probe and a connectivity report are on their
    // way: neither is acted on.
    monitor_->checkWebsiteReachability();
    reportConnectivity(true);
    monitor_->stopNetworkMonitoring();
    monitor_->stopWebsiteReachabilityChecks();
    answer(*session, 1, 503);
    EXPECT_THAT(delegate_->heard, ElementsAre(Heard::restored));
    EXPECT_EQ(mainQueue_->validTimers(), 0);
    EXPECT_EQ(paths_->cancels, 1);

    // A later load failure puts up the offline page and starts monitoring again: the next good
    // probe brings the join page back.
    monitor_->startMonitoringReachability(url("/join/"));
    monitor_->checkWebsiteReachability();
    answer(*session, 2, 200);
    EXPECT_THAT(delegate_->heard, ElementsAre(Heard::restored, Heard::restored));

    // A probe of the earlier start that lands after a new one is no news.
    monitor_->checkWebsiteReachability();
    monitor_->startMonitoringReachability(url("/other/"));
    answer(*session, 3, 503);
    EXPECT_THAT(delegate_->heard, ElementsAre(Heard::restored, Heard::restored));
}

TEST_F(NetworkMonitorTest, AddressThatDoesNotParseSendsNothing) {
    auto session = std::make_shared<RecordingUrlSession>();
    monitor_ = monitor(kInterval, session);
    for (const auto& address : {std::string(), url("/join/ with blanks")}) {
        SCOPED_TRACE(address);
        monitor_->startMonitoringReachability(address);
        ASSERT_TRUE(MainLoop::runUntil([&] { return monitor_->hasReachabilityTimer(); }, 5s));
        monitor_->checkWebsiteReachability();  // what each tick of the timer does
        EXPECT_EQ(session->count(), 0u);
    }
    // A good address is asked: the session was there all along.
    monitor_->startMonitoringReachability(url("/join/"));
    monitor_->checkWebsiteReachability();
    EXPECT_GE(session->count(), 1u);
    EXPECT_THAT(delegate_->heard, IsEmpty());
}

}  // namespace
