// The agent's image from the local service through the disk-image tool to the started agent,
// with the real URL session, tool and workspace; recorders stand between the handlers and them.
#include <fcntl.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Handlers/KeloAppUpgrader.h"
#include "Handlers/KeloDmgDownloader.h"
#include "LocalService.h"
#include "Objects/SessionDetails.h"
#include "Platform/Bundle.h"
#include "Platform/DistributedNotificationCenter.h"
#include "Platform/NotificationCenter.h"
#include "Platform/ProcessRunner.h"
#include "Platform/SystemVersion.h"
#include "Platform/UrlSession.h"
#include "Platform/Volumes.h"
#include "Platform/Workspace.h"
#include "TempHome.h"

namespace fs = std::filesystem;

namespace {

using namespace std::chrono_literals;

const std::string kArguments =
    "-timestamps\t"
    "{\"M3\":\"Agent downloaded time : 00:00:00 | Server : CDN\","
    "\"M2\":\"Session Validated : 00:00:00\","
    "\"M1\":\"Join Launched time : 00:00:00\","
    "\"M4\":\"Agent launched time : 00:00:00\"}";

class LogCapture {
  public:
    explicit LogCapture(std::string path) : path_(std::move(path)) {
        saved_ = ::dup(STDERR_FILENO);
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~LogCapture() {
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }
    std::string text() const { return readText(path_); }

  private:
    std::string path_;
    int saved_ = -1;
};

// What the recorders saw, and a way to wait for it.
class Journal {
  public:
    void add(std::string entry) {
        {
            std::lock_guard lock(mutex_);
            entries_.push_back(std::move(entry));
        }
        changed_.notify_all();
    }
    std::vector<std::string> entries() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }
    bool waitFor(std::size_t count, std::chrono::seconds limit = 60s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return entries_.size() >= count; });
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> entries_;
};

// The real process runner, with each run noted as "program-name argument...".
class RecordingProcessRunner final : public platform::ProcessRunner {
  public:
    Result run(const std::string& program, const std::vector<std::string>& arguments,
               bool capture) override {
        auto result = real_->run(program, arguments, capture);
        std::string entry = fs::path(program).filename().string();
        for (const auto& argument : arguments) entry += " " + argument;
        journal.add(entry + " -> " + std::to_string(result.exitStatus));
        return result;
    }
    Journal journal;

  private:
    std::shared_ptr<platform::ProcessRunner> real_ = platform::ProcessRunner::makeDefault();
};

// The real workspace for launches, unless told to refuse them.
class RecordingWorkspace final : public platform::Workspace {
  public:
    bool openURL(const std::string&) override { return false; }
    std::optional<platform::Error> launchApplication(
        const std::string& bundle, const std::vector<std::string>& arguments) override {
        std::string entry = bundle;
        for (const auto& argument : arguments) entry += "\t" + argument;
        journal.add(entry);
        if (refuse) return platform::Error::other("refused by the test", bundle);
        return real_->launchApplication(bundle, arguments);
    }
    std::vector<std::string> mountedVolumePaths() override { return {}; }
    FileSystemInfo fileSystemInfo(const std::string&) override { return {}; }
    bool openProxySettings() override { return false; }

    Journal journal;
    std::atomic<bool> refuse = false;

  private:
    std::shared_ptr<platform::Workspace> real_ = platform::Workspace::makeDefault();
};

class RecordingStatusCenter final : public platform::DistributedNotificationCenter {
  public:
    bool post(const std::string& name, std::int64_t status) override {
        journal.add(name + " " + std::to_string(status));
        return true;
    }
    Journal journal;
};

class KeloDmgDownloaderTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        service_ = std::make_unique<LocalService>();
        service_->applyEnvironment("com");
        setenv("KELO_TEST_AGENT_RECORD", path("agent-started.txt").c_str(), 1);
        platform::Bundle::overrideMainBundlePath(std::string(KELO_BUNDLE_DIR));
        const std::string command = "AGENT_VERSION=2.5 '" KELO_SOURCE_DIR
                                    "/tools/make-test-images.sh' '" +
                                    service_->rootDir() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);

        platform::ServiceSlot<platform::ProcessRunner>::set(runner_);
        platform::ServiceSlot<platform::Workspace>::set(workspace_);
        auto& session = SessionDetails::getInstance();
        session.setWebServerName(service_->host());
        session.setSessionKey("123456789");
        session.setIsCdnAvailable(false);
        fs::create_directories(agentFolder());
    }
    void TearDown() override {
        service_.reset();
        platform::Bundle::overrideMainBundlePath(std::nullopt);
        TempHomeTest::TearDown();
    }

    std::string agentFolder() const {
        return home() + "/Library/Application Support/KeloParloNative/";
    }
    std::string volume() const { return platform::Volumes::volumeNamed("Kelo"); }

    // Waits until every block the URL session's queue holds now has run.
    static void drainSessionQueue() {
        auto done = std::make_shared<std::promise<void>>();
        auto future = done->get_future();
        platform::UrlSession::shared().enqueue([done] { done->set_value(); });
        ASSERT_EQ(future.wait_for(60s), std::future_status::ready);
    }

    void installStatusRecorder() {
        platform::ServiceSlot<platform::DistributedNotificationCenter>::set(statusCenter_);
    }

    LocalService& service() { return *service_; }
    std::shared_ptr<RecordingProcessRunner> runner_ = std::make_shared<RecordingProcessRunner>();
    std::shared_ptr<RecordingWorkspace> workspace_ = std::make_shared<RecordingWorkspace>();
    std::shared_ptr<RecordingStatusCenter> statusCenter_ =
        std::make_shared<RecordingStatusCenter>();

  private:
    std::unique_ptr<LocalService> service_;
};

TEST_F(KeloDmgDownloaderTest, RenewalInstallsStartsAndCleansUp) {
    installStatusRecorder();
    fs::create_directories(agentFolder() + "Kelo.app/Contents");
    writeText(agentFolder() + "KHPreLogin", "tool of an earlier agent\n");
    SessionDetails::getInstance().setIsUpdateNeeded(true);

    KeloAppUpgrader::getInstance().keloAppUpdater();
    ASSERT_TRUE(runner_->journal.waitFor(3));
    drainSessionQueue();

    const auto image = agentFolder() + "KeloMac.dmg";
    const auto requests = service().requests("/agent/KeloMac.dmg");
    ASSERT_EQ(requests.size(), 1u);
    const auto system = platform::SystemVersion::read();
    EXPECT_EQ(requests[0].header("User-Agent"), system.productName.value_or("(null)") + " " +
                                                    system.productVersion.value_or("(null)"));
    const auto runs = runner_->journal.entries();
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0], "hdiutil mount " + image + " -> 0");
    EXPECT_EQ(runs[1], "hdiutil detach " + volume() + " -> 0");
    EXPECT_EQ(runs[2].rfind("hdiutil detach " + volume() + " -> ", 0), 0u);
    EXPECT_EQ(workspace_->journal.entries(),
              std::vector<std::string>{agentFolder() + "Kelo.app\t" + kArguments});

    // The new agent is in place and was started with the two arguments.
    EXPECT_EQ(platform::Bundle::atPath(agentFolder() + "Kelo.app")->shortVersionString(), "2.5");
    for (int i = 0; i < 1000 && !fs::exists(path("agent-started.txt")); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    const auto started = readText(path("agent-started.txt"));
    EXPECT_NE(started.find("\t" + kArguments + "\n"), std::string::npos) << started;
    // Support tools are installed, except one already there, which keeps its content.
    EXPECT_EQ(readText(agentFolder() + "KeloCrashDetector").find("KeloCrashDetector 2.5") !=
                  std::string::npos,
              true);
    EXPECT_TRUE(fs::exists(agentFolder() + "HelvoUserHandler"));
    EXPECT_TRUE(fs::exists(agentFolder() + "KeloPingAgent"));
    EXPECT_EQ(readText(agentFolder() + "KHPreLogin"), "tool of an earlier agent\n");
    // Image and volume are gone, the join details are there, nobody heard of a failure.
    EXPECT_FALSE(fs::exists(image));
    EXPECT_FALSE(fs::exists(image + ".part"));
    EXPECT_FALSE(fs::exists(volume()));
    EXPECT_EQ(readText(agentFolder() + "kelojoindetails.conf").rfind("KELO_PARLO_IND\n", 0), 0u);
    EXPECT_TRUE(statusCenter_->journal.entries().empty());
}

TEST_F(KeloDmgDownloaderTest, AgentFoundAfterMountingLeavesTheVolumeMounted) {
    installStatusRecorder();
    LocalService::Answer cdn;
    cdn.file = "KeloMac.dmg";
    service().setAnswer("/cdn/agent.dmg", cdn);
    auto& session = SessionDetails::getInstance();
    session.setIsCdnAvailable(true);
    session.setCdnUrl(service().baseUrl() + "/cdn/agent.dmg");
    fs::create_directories(agentFolder() + "Kelo.app/Contents");

    auto downloader = std::make_shared<KeloDmgDownloader>();
    downloader->startDownLoadingKeloMacDmg();
    ASSERT_TRUE(runner_->journal.waitFor(1));
    drainSessionQueue();

    EXPECT_EQ(service().requests("/cdn/agent.dmg").size(), 1u);
    EXPECT_TRUE(service().requests("/agent/KeloMac.dmg").empty());
    EXPECT_EQ(runner_->journal.entries(),
              std::vector<std::string>{"hdiutil mount " + agentFolder() + "KeloMac.dmg -> 0"});
    EXPECT_TRUE(fs::exists(volume() + "/Kelo.app"));
    EXPECT_TRUE(workspace_->journal.entries().empty());
    EXPECT_FALSE(fs::exists(agentFolder() + "KeloCrashDetector"));
    EXPECT_TRUE(statusCenter_->journal.entries().empty());
}

TEST_F(KeloDmgDownloaderTest, FailedDownloadsNeverReachTheDiskImageTool) {
    installStatusRecorder();
    const struct {
        const char* name;
        LocalService::Answer answer;
        std::size_t statusPosts;
        const char* logged;
    } cases[] = {
        {"not found",
         {.status = 404, .body = "<html>Not Found</html>", .times = 1},
         1,
         "HTTP status code 404"},
        {"dropped", {.dropAfterBytes = 4096, .times = 1}, 0, "Download failed! Whole Error - "},
    };
    std::size_t expectedPosts = 0;
    for (const auto& entry : cases) {
        service().setAnswer("/agent/KeloMac.dmg", entry.answer);
        auto downloader = std::make_shared<KeloDmgDownloader>();
        std::promise<const void*> retry;
        auto retried = retry.get_future();
        platform::NotificationCenter::defaultCenter().addObserver(
            this, "RetryDMGDownloadig",
            [&retry](const platform::NotificationCenter::Notification& notification) {
                retry.set_value(notification.sender);
            });
        LogCapture log(path("log.txt"));

        downloader->startDownLoadingKeloMacDmg();
        ASSERT_EQ(retried.wait_for(60s), std::future_status::ready) << entry.name;
        drainSessionQueue();
        platform::NotificationCenter::defaultCenter().removeObserver(this);

        EXPECT_EQ(retried.get(), downloader.get()) << entry.name;
        EXPECT_NE(log.text().find("-[KeloDmgDownloader startDownLoadingKeloMacDmg]_block_invoke "
                                  ": Download failed! Error - "),
                  std::string::npos)
            << entry.name << "\n"
            << log.text();
        EXPECT_NE(log.text().find(entry.logged), std::string::npos) << entry.name;
        EXPECT_TRUE(runner_->journal.entries().empty()) << entry.name;
        EXPECT_FALSE(fs::exists(agentFolder() + "KeloMac.dmg")) << entry.name;
        EXPECT_FALSE(fs::exists(agentFolder() + "KeloMac.dmg.part")) << entry.name;
        expectedPosts += entry.statusPosts;
        EXPECT_EQ(statusCenter_->journal.entries(),
                  std::vector<std::string>(expectedPosts, "SendSessionStatusToHelvoPellix 0"))
            << entry.name;
    }
}

// Signals of the launcher's interface on the session bus, as another process would hear them.
class StatusListener {
  public:
    StatusListener() {
        context_ = g_main_context_new();
        g_main_context_push_thread_default(context_);
        bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        if (bus_) {
            subscription_ = g_dbus_connection_signal_subscribe(
                bus_, nullptr, platform::DistributedNotificationCenter::kInterface,
                "SendSessionStatusToHelvoPellix",
                platform::DistributedNotificationCenter::kObjectPath, nullptr,
                G_DBUS_SIGNAL_FLAGS_NONE, &StatusListener::heard, this, nullptr);
        }
        g_main_context_pop_thread_default(context_);
    }
    ~StatusListener() {
        if (bus_) {
            g_dbus_connection_signal_unsubscribe(bus_, subscription_);
            g_object_unref(bus_);
        }
        while (g_main_context_iteration(context_, FALSE)) {
        }
        g_main_context_unref(context_);
    }
    bool connected() const { return bus_ != nullptr; }

    // The statuses heard within the time limit, once at least one came.
    std::vector<std::int64_t> statuses(std::chrono::seconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (statuses_.empty() && std::chrono::steady_clock::now() < end) {
            while (g_main_context_iteration(context_, FALSE)) {
            }
            std::this_thread::sleep_for(10ms);
        }
        while (g_main_context_iteration(context_, FALSE)) {
        }
        return statuses_;
    }

  private:
    static void heard(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                      GVariant* parameters, gpointer self) {
        GVariant* userInfo = g_variant_get_child_value(parameters, 0);
        gint64 status = -1;
        if (g_variant_lookup(userInfo, "status", "x", &status)) {
            static_cast<StatusListener*>(self)->statuses_.push_back(status);
        }
        g_variant_unref(userInfo);
    }

    GMainContext* context_ = nullptr;
    GDBusConnection* bus_ = nullptr;
    guint subscription_ = 0;
    std::vector<std::int64_t> statuses_;
};

TEST_F(KeloDmgDownloaderTest, RefusedLaunchIsAnnouncedOnTheSessionBusAndInstallsNoTools) {
    if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
        GTEST_SKIP() << "no session bus (run under dbus-run-session, as make test does)";
    }
    StatusListener listener;
    ASSERT_TRUE(listener.connected());
    workspace_->refuse = true;
    LogCapture log(path("log.txt"));

    auto downloader = std::make_shared<KeloDmgDownloader>();
    downloader->startDownLoadingKeloMacDmg();
    ASSERT_TRUE(runner_->journal.waitFor(3));
    drainSessionQueue();

    EXPECT_EQ(listener.statuses(30s), std::vector<std::int64_t>{0});
    EXPECT_NE(log.text().find("] kelo app file not launched\n"), std::string::npos) << log.text();
    EXPECT_EQ(workspace_->journal.entries().size(), 1u);
    EXPECT_TRUE(fs::exists(agentFolder() + "Kelo.app"));
    for (const char* tool :
         {"KeloCrashDetector", "HelvoUserHandler", "KHPreLogin", "KeloPingAgent"}) {
        EXPECT_FALSE(fs::exists(agentFolder() + tool)) << tool;
    }
    EXPECT_FALSE(fs::exists(agentFolder() + "KeloMac.dmg"));
    EXPECT_FALSE(fs::exists(volume()));
}

}  // namespace
