// Platform services: the serial queue, the session record, the network path monitor and
// system-wide notifications on the session bus (all of which cross threads), the folders, and
// the held-back lines about what pages keep doing.
#include "KeloTest.h"

#include <gio/gio.h>
#include <pwd.h>

#include <atomic>
#include <future>
#include <memory>
#include <numeric>
#include <thread>

#include "Objects/SessionDetails.h"
#include "Platform/FileManager.h"
#include "Platform/Linux/GDBusDistributedNotificationCenter.h"
#include "Platform/Linux/GioPathMonitor.h"
#include "Platform/LogLimiter.h"
#include "Platform/Paths.h"
#include "Platform/SerialQueue.h"
#include "SessionBusListener.h"

namespace {

using platform::SerialQueue;

// Once the queue's owner went away inside the queue's own block it kept running on its freed
// state, and a block queued at that moment could wake a condition variable that was gone.
TEST(SerialQueueRegression, DestroyedFromItsOwnBlockDropsWhatIsQueuedWithoutRunningIt) {
    for (int round = 0; round < 50; ++round) {
        auto queue = std::make_unique<SerialQueue>("test.queue");
        std::promise<void> release, dropped;
        auto released = release.get_future().share();
        std::atomic<bool> laterBlockRan{false};
        queue->async([&, released] {
            released.wait();
            queue.reset();
        });
        // The block's last copy goes when the queue drops it.
        auto onDrop = std::shared_ptr<void>(nullptr, [&](void*) { dropped.set_value(); });
        queue->async([&laterBlockRan, onDrop = std::move(onDrop)] { laterBlockRan = true; });
        release.set_value();
        ASSERT_EQ(dropped.get_future().wait_for(10s), std::future_status::ready);
        EXPECT_FALSE(laterBlockRan.load());
    }
}

TEST(SerialQueueRegression, DestroyedFromAnotherThreadRunsWhatIsQueuedFirstInOrder) {
    std::vector<int> order;
    {
        SerialQueue queue("test.queue");
        for (int i = 0; i < 100; ++i) queue.async([&order, i] { order.push_back(i); });
    }
    std::vector<int> expected(100);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(order, expected);

    // Blocks queued from many threads while it ends.
    for (int round = 0; round < 20; ++round) {
        auto queue = std::make_shared<SerialQueue>("test.queue");
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

class SessionDetailsTest : public TempHomeTest {};

// Threads that ask for the record first all at once get the one instance, and never see a text
// half replaced.
TEST_F(SessionDetailsTest, ThreadsShareOneRecordAndNeverSeeATextHalfReplaced) {
    const std::string first(4096, 'a'), second(8192, 'b');
    std::atomic<bool> go{false}, done{false};
    std::atomic<int> torn{0};
    std::vector<SessionDetails*> seen(4);
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        while (!go) std::this_thread::yield();
        auto& session = SessionDetails::getInstance();
        seen[0] = &session;
        const SessionDetails::Text values[] = {first, second, std::nullopt};
        for (int round = 0; round < 30000; ++round) session.setWebServerName(values[round % 3]);
        done = true;
    });
    for (std::size_t i = 1; i < seen.size(); ++i) {
        threads.emplace_back([&, i] {
            while (!go) std::this_thread::yield();
            seen[i] = &SessionDetails::getInstance();
            do {
                const auto value = seen[i]->webServerName();
                if (value && *value != first && *value != second) ++torn;
            } while (!done);
        });
    }
    go = true;
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_THAT(seen, testing::Each(&SessionDetails::getInstance()));
    EXPECT_EQ(SessionDetails::getInstance().webServerName(), std::nullopt);  // the last round
}

using platform::GioPathMonitor;

// Notes each report as "1" or "0", marked when it ran on the thread that made the handler.
GioPathMonitor::Handler noteIn(Journal& journal) {
    return [&journal, caller = std::this_thread::get_id()](bool satisfied) {
        journal.add(std::string(satisfied ? "1" : "0") +
                    (std::this_thread::get_id() == caller ? " on the calling thread" : ""));
    };
}

void networkChanged(bool available) {
    g_signal_emit_by_name(g_network_monitor_get_default(), "network-changed", available);
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

TEST_F(PathMonitorTest, NothingArrivesAfterCancelAndStartWorksAgain) {
    Journal first, second;
    GioPathMonitor monitor;
    monitor.start(noteIn(first));
    ASSERT_TRUE(first.waitFor(1, 10s));
    // The first report is the network's state at the start, as the system sees it.
    const bool available = g_network_monitor_get_network_available(g_network_monitor_get_default());
    EXPECT_EQ(first.entries().front(), available ? "1" : "0");
    monitor.cancel();
    networkChanged(false);
    ASSERT_TRUE(earlierReportsDelivered());
    EXPECT_EQ(first.size(), 1u);

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
    monitor.start([&, note = noteIn(reports)](bool satisfied) {
        monitor.cancel();
        note(satisfied);
    });
    ASSERT_TRUE(reports.waitFor(1, 10s));
    networkChanged(true);
    ASSERT_TRUE(earlierReportsDelivered());
    EXPECT_EQ(reports.size(), 1u);
}

using platform::DistributedNotificationCenter;
using platform::GDBusDistributedNotificationCenter;

class DistributedNotificationsTest : public TempHomeTest {};

TEST_F(DistributedNotificationsTest, PostIsASignalWithTheNameAndStatusOnTheSessionBus) {
    REQUIRE_OR_SKIP(std::getenv("DBUS_SESSION_BUS_ADDRESS"),
                    "a session bus (`make test` runs this under dbus-run-session)");
    SessionBusListener listener;
    ASSERT_TRUE(listener.connected());
    GDBusDistributedNotificationCenter center;
    for (const std::int64_t status : {std::int64_t{0}, std::int64_t{1} << 40}) {
        ASSERT_TRUE(center.post("SendSessionStatusToHelvoPellix", status));
        const auto heard = listener.next();
        ASSERT_TRUE(heard);
        EXPECT_EQ(heard->path, DistributedNotificationCenter::kObjectPath);
        EXPECT_EQ(heard->interface, DistributedNotificationCenter::kInterface);
        EXPECT_EQ(heard->name + " " + heard->signature, "SendSessionStatusToHelvoPellix (a{sv})");
        EXPECT_EQ(heard->status, status);
    }
    // A name that is no signal name is refused.
    EXPECT_FALSE(center.post("Retry.DMG Downloadig", 0));
}

TEST_F(DistributedNotificationsTest, WithoutASessionBusThePostIsLoggedAndDropped) {
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + path("no-bus-here")).c_str(), 1);
    GDBusDistributedNotificationCenter center;
    OutputCapture log(STDERR_FILENO, path("log.txt"));
    EXPECT_FALSE(center.post("SendSessionStatusToHelvoPellix", 0));
    EXPECT_THAT(log.stop(), testing::MatchesRegex(
                                "[^\n]*No session bus, SendSessionStatusToHelvoPellix [^\n]*\n"));
}

class PathsTest : public TempHomeTest {};

// The desktop entry and icon go where XDG_DATA_HOME says only when it is an absolute path.
TEST_F(PathsTest, DataFolderIsAnAbsoluteXdgDataHomeOrTheHomesOwn) {
    const std::string own = home() + "/.local/share";
    for (const auto& [value, folder] : {std::pair<const char*, std::string>{nullptr, own},
                                        {"/elsewhere/data", "/elsewhere/data"},
                                        {"relative/data", own},
                                        {"", own}}) {
        if (value) setenv("XDG_DATA_HOME", value, 1);
        EXPECT_EQ(platform::Paths::dataHomeFolder(), folder) << (value ? value : "unset");
    }
}

// Without a usable HOME the account's own home folder is taken, as the system names it.
TEST_F(PathsTest, HomeFolderIsHomeElseTheAccountsOwn) {
    const passwd* account = ::getpwuid(::getuid());
    ASSERT_NE(account, nullptr);
    const std::string accounts = account->pw_dir;
    for (const auto& [value, folder] :
         {std::pair<const char*, std::string>{"/elsewhere/home", "/elsewhere/home"},
          {"", accounts},
          {nullptr, accounts}}) {
        setVariable("HOME", value);
        EXPECT_EQ(platform::Paths::homeFolder(), folder) << (value ? value : "unset");
    }
}

// A folder that holds the user's secrets ends up readable by the user alone; one that is not the
// user's to change (a link, a file, someone else's folder) is refused and left as it was.
TEST_F(PathsTest, PrivateFolderIsTheUsersAloneOrRefused) {
    const auto& files = platform::FileManager::defaultManager();
    for (const std::string folder : {"open", "target", "others"}) {
        fs::create_directories(path(folder));
        fs::permissions(path(folder), fs::perms(0755));
    }
    fs::create_directory_symlink(path("target"), path("link"));
    writeText(path("file"), "a file\n");
    ASSERT_EQ(::chown(path("others").c_str(), ::geteuid() + 1, ::getegid()), 0);
    for (const auto& [folder, made, checked] : {std::tuple{"a/b/fresh", true, "a/b/fresh"},
                                                {"open", true, "open"},
                                                {"link", false, "target"},
                                                {"file", false, "file"},
                                                {"others", false, "others"}}) {
        SCOPED_TRACE(folder);
        const auto before =
            fs::exists(path(checked)) ? fs::status(path(checked)).permissions() : fs::perms::none;
        EXPECT_EQ(files.createPrivateDirectory(path(folder)).has_value(), !made);
        EXPECT_EQ(fs::status(path(checked)).permissions() & fs::perms::all,
                  made ? fs::perms::owner_all : before);
    }
}

// A failure of the file system keeps the system's error number, with the path it concerns.
TEST_F(PathsTest, FileSystemFailuresKeepTheSystemsErrorNumber) {
    writeText(path("file"), "in the way\n");
    const auto failed =
        platform::FileManager::defaultManager().createDirectory(path("file/below"), true);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->printedForm(),
              "Error Domain=NSPOSIXErrorDomain Code=20 \"Not a directory\" UserInfo={NSFilePath=" +
                  path("file/below") + "}");
}

// The first line about a host is written, then one a minute at most with the count since the
// line before; each host counts on its own. A full table forgets the quiet hosts (keeping the
// counts still to be written), and starts afresh when none is quiet.
TEST(LogLimiterTest, FirstLineForAHostThenOneAMinuteWithTheCount) {
    const auto at = [start = platform::LogLimiter::Clock::now()](int seconds) {
        return start + std::chrono::seconds(seconds);
    };
    platform::LogLimiter limiter, full, busy;
    EXPECT_EQ(limiter.admit("a", at(0)), 1u);
    for (int second = 1; second < 60; ++second) EXPECT_FALSE(limiter.admit("a", at(second)));
    EXPECT_EQ(limiter.admit("b", at(30)), 1u);
    EXPECT_EQ(limiter.admit("a", at(60)), 60u);
    EXPECT_FALSE(limiter.admit("a", at(119)));
    EXPECT_EQ(limiter.admit("a", at(500)), 2u);
    for (std::size_t host = 0; host < platform::LogLimiter::kMaximumHosts; ++host) {
        full.admit(std::to_string(host), at(0));
        busy.admit(std::to_string(host), at(0));
    }
    EXPECT_FALSE(full.admit("0", at(1)));
    EXPECT_EQ(full.admit("new", at(100)), 1u);
    EXPECT_FALSE(full.admit("new", at(101)));
    EXPECT_EQ(full.admit("0", at(102)), 2u);
    EXPECT_EQ(busy.admit("new", at(1)), 1u);
    EXPECT_EQ(busy.admit("0", at(2)), 1u);
}

}  // namespace
