// The launcher's self-update: the image address, the mount point read from the disk-image tool,
// and the whole chain against the local service up to the installation at quit.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Handlers/KeloPellixUpdater.h"
#include "Handlers/Utils.h"
#include "LocalService.h"
#include "Objects/SessionDetails.h"
#include "Platform/Bundle.h"
#include "Platform/NotificationCenter.h"
#include "Platform/ProcessRunner.h"
#include "Platform/UrlSession.h"
#include "Platform/Volumes.h"
#include "TempHome.h"

namespace fs = std::filesystem;

namespace {

using namespace std::chrono_literals;

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

// A URL session whose downloads fail at once, as when the server cannot be reached.
class UnreachableUrlSession final : public platform::UrlSession {
  public:
    void dataTask(platform::UrlRequest, platform::DataTaskCompletion) override {}
    void downloadTask(platform::UrlRequest request, platform::DownloadTaskCompletion completion,
                      platform::DownloadProgressHandler) override {
        requests.push_back(request);
        completion(std::nullopt, std::nullopt,
                   platform::UrlError{"NSURLErrorDomain", -1004, "Could not connect to the server.",
                                      request.url});
    }
    int addProgressObserver(
        std::function<void(const std::string&, std::uint64_t, std::optional<std::uint64_t>, bool,
                           bool)>) override {
        return 0;
    }
    void removeProgressObserver(int) override {}
    bool isDelegateQueue() const override { return false; }
    void enqueue(std::function<void()> block) override { block(); }

    std::vector<platform::UrlRequest> requests;
};

// Notes every run as "verb argument -> status"; the mount answers with the scripted output, or
// the real tool runs when there is none.
class RecordingProcessRunner final : public platform::ProcessRunner {
  public:
    Result run(const std::string& program, const std::vector<std::string>& arguments,
               bool capture) override {
        Result result;
        if (mountOutput && !arguments.empty() && arguments[0] == "mount") {
            result = {true, 0, *mountOutput, {}};
        } else if (mountOutput) {
            result = {true, 0, {}, {}};
        } else {
            result = real_->run(program, arguments, capture);
        }
        std::string entry;
        for (const auto& argument : arguments) entry += (entry.empty() ? "" : " ") + argument;
        {
            std::lock_guard lock(mutex_);
            runs_.push_back(entry + " -> " + std::to_string(result.exitStatus));
        }
        changed_.notify_all();
        return result;
    }
    std::vector<std::string> runs() const {
        std::lock_guard lock(mutex_);
        return runs_;
    }
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 60s, [&] { return runs_.size() >= count; });
    }

    std::optional<std::string> mountOutput;

  private:
    std::shared_ptr<platform::ProcessRunner> real_ = platform::ProcessRunner::makeDefault();
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> runs_;
};

class KeloPellixUpdaterTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        platform::ServiceSlot<platform::ProcessRunner>::set(runner_);
        platform::Bundle::overrideMainBundlePath(std::string(KELO_BUNDLE_DIR));
        auto& session = SessionDetails::getInstance();
        session.setKeloPellixNativeFolder(nativeFolder());
        session.setLocalKeloPellixAppVersion("1.0");
    }
    void TearDown() override {
        platform::Bundle::overrideMainBundlePath(std::nullopt);
        TempHomeTest::TearDown();
    }

    std::string nativeFolder() const {
        return home() + "/Library/Application Support/KeloPellixNativeFolder/";
    }
    std::string image() const { return nativeFolder() + "KeloHelvoPellix.dmg"; }
    std::string waitingBundle() const { return nativeFolder() + "Kelo Helvo Pellix.app"; }
    std::string installedBundle() const { return home() + "/Applications/Kelo Helvo Pellix.app"; }

    static void makeBundle(const std::string& bundle, const std::string& version) {
        writeText(bundle + "/Contents/Info.plist",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                  "<key>CFBundleExecutable</key><string>KeloHelvoPellix</string>"
                  "<key>CFBundleShortVersionString</key><string>" +
                      version + "</string></dict></plist>\n");
        writeText(bundle + "/Contents/MacOS/KeloHelvoPellix", "#!/bin/sh\n");
    }
    static std::optional<std::string> versionOf(const std::string& bundle) {
        auto found = platform::Bundle::atPath(bundle);
        return found ? found->shortVersionString() : std::nullopt;
    }

    static void drainSessionQueue() {
        auto done = std::make_shared<std::promise<void>>();
        auto future = done->get_future();
        platform::UrlSession::shared().enqueue([done] { done->set_value(); });
        ASSERT_EQ(future.wait_for(60s), std::future_status::ready);
    }

    std::shared_ptr<RecordingProcessRunner> runner_ = std::make_shared<RecordingProcessRunner>();
};

TEST_F(KeloPellixUpdaterTest, ImageAddressIsTheGivenOneOrTheWebServersAndFailuresEndTheChain) {
    auto urlSession = std::make_shared<UnreachableUrlSession>();
    platform::ServiceSlot<platform::UrlSession>::set(urlSession);
    auto& session = SessionDetails::getInstance();
    session.setWebServerName("pellix.example");
    session.setPellixUpdateNeeded(true);
    const struct {
        std::optional<std::string> given;
        std::string used;
    } cases[] = {
        {std::nullopt, "https://pellix.example/agent/KeloHelvoPellix.dmg"},
        {"https://cdn.example/KeloHelvoPellix-9.dmg", "https://cdn.example/KeloHelvoPellix-9.dmg"},
        {"", ""},
    };
    for (const auto& entry : cases) {
        session.setPellixDownloadUrl(entry.given);
        const void* retrySender = nullptr;
        platform::NotificationCenter::defaultCenter().addObserver(
            this, "RetryDMGDownloadig",
            [&](const platform::NotificationCenter::Notification& notification) {
                retrySender = notification.sender;
            });
        auto updater = KeloPellixUpdater::getInstance();
        updater->checkKeloPellixUpdate();
        platform::NotificationCenter::defaultCenter().removeObserver(this);

        ASSERT_FALSE(urlSession->requests.empty());
        EXPECT_EQ(urlSession->requests.back().url, entry.used);
        EXPECT_EQ(urlSession->requests.back().timeoutSeconds, 240);
        EXPECT_TRUE(urlSession->requests.back().headers.empty());
        EXPECT_EQ(retrySender, updater.get());
    }
    EXPECT_EQ(urlSession->requests.size(), 3u);
    EXPECT_TRUE(fs::is_directory(nativeFolder()));
    EXPECT_TRUE(runner_->runs().empty());
    EXPECT_FALSE(session.isAppReplaceFlag());

    // Without a newer launcher nothing is downloaded.
    session.setPellixUpdateNeeded(false);
    KeloPellixUpdater::getInstance()->checkKeloPellixUpdate();
    EXPECT_EQ(urlSession->requests.size(), 3u);
}

TEST_F(KeloPellixUpdaterTest, MountPointIsTheLastFieldOfTheToolsOutputAndIsDetachedOnce) {
    const struct {
        std::string output;
        std::vector<std::string> runs;
    } cases[] = {
        {"/dev/disk4          \tGUID_partition_scheme          \t\n"
         "/dev/disk4s1        \tApple_HFS                      \t/Volumes/Pellix Plugin\n",
         {"detach /Volumes/Pellix Plugin -> 0"}},
        {"\t/Volumes/Pellix Plugin 1 \n\n", {"detach /Volumes/Pellix Plugin 1 -> 0"}},
        {"no tab here", {"detach no tab here -> 0"}},
        // Nothing read: the detach runs on the empty text.
        {" \n", {"detach  -> 0"}},
        // Not text: there is no mount point to detach.
        {"\t/Volumes/\xff\xfe", {}},
    };
    for (const auto& entry : cases) {
        runner_->mountOutput = entry.output;
        const auto before = runner_->runs().size();
        auto updater = KeloPellixUpdater::getInstance();
        updater->mountingKeloPellixDmg();
        EXPECT_FALSE(updater->latestPellixDmgPath()) << entry.output;

        // Once detached, the mount point is forgotten: a second detach runs nothing.
        LogCapture log(path("log.txt"));
        updater->unMountingKeloPellixDmg();
        EXPECT_NE(log.text().find("-[KeloPellixUpdater unMountingKeloPellixDmg] : No Pellix DMG is "
                                  "mounted to unmount"),
                  std::string::npos);

        auto runs = runner_->runs();
        runs.erase(runs.begin(), runs.begin() + static_cast<std::ptrdiff_t>(before));
        std::vector<std::string> expected{"mount " + image() + " -> 0"};
        expected.insert(expected.end(), entry.runs.begin(), entry.runs.end());
        EXPECT_EQ(runs, expected) << entry.output;
    }
    // No volume held the bundle, so nothing waits to be installed.
    EXPECT_FALSE(SessionDetails::getInstance().isAppReplaceFlag());
}

class KeloPellixUpdaterChainTest : public KeloPellixUpdaterTest {
  protected:
    void SetUp() override {
        KeloPellixUpdaterTest::SetUp();
        service_ = std::make_unique<LocalService>();
        service_->applyEnvironment("com");
        const std::string command = "PELLIX_VERSION=9.9.9 '" KELO_SOURCE_DIR
                                    "/tools/make-test-images.sh' '" +
                                    service_->rootDir() + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        auto& session = SessionDetails::getInstance();
        session.setWebServerName(service_->host());
        session.setPellixUpdateNeeded(true);
    }
    void TearDown() override {
        service_.reset();
        KeloPellixUpdaterTest::TearDown();
    }
    LocalService& service() { return *service_; }

  private:
    std::unique_ptr<LocalService> service_;
};

TEST_F(KeloPellixUpdaterChainTest, NewLauncherWaitsInTheNativeFolderAndIsInstalledAtQuit) {
    makeBundle(waitingBundle(), "5.0");  // left by an earlier run
    makeBundle(installedBundle(), "1.0");
    LogCapture log(path("log.txt"));

    KeloPellixUpdater::getInstance()->checkKeloPellixUpdate();
    ASSERT_TRUE(runner_->waitFor(2));
    drainSessionQueue();

    EXPECT_EQ(service().requests("/agent/KeloHelvoPellix.dmg").size(), 1u);
    const std::string volume = platform::Volumes::volumeNamed("Pellix Plugin");
    EXPECT_EQ(runner_->runs(), (std::vector<std::string>{"mount " + image() + " -> 0",
                                                         "detach " + volume + " -> 0"}));
    EXPECT_EQ(versionOf(waitingBundle()), "9.9.9");
    EXPECT_TRUE(SessionDetails::getInstance().isAppReplaceFlag());
    EXPECT_FALSE(fs::exists(image()));
    EXPECT_FALSE(fs::exists(volume));
    EXPECT_NE(log.text().find("-[KeloPellixUpdater copyAppFile] : Kelo Helvo Pellix.app file "
                              "copied to  KeloPellixNative folder"),
              std::string::npos)
        << log.text();

    // The running launcher is untouched until it quits.
    EXPECT_EQ(versionOf(installedBundle()), "1.0");
    Utils::updatePellixIfNeeded();
    EXPECT_EQ(versionOf(installedBundle()), "9.9.9");
}

TEST_F(KeloPellixUpdaterChainTest, FailedDownloadOrMountLeavesNothingToInstall) {
    // A status other than 2xx: nothing reaches the disk-image tool.
    LocalService::Answer missing;
    missing.status = 404;
    missing.times = 1;
    service().setAnswer("/agent/KeloHelvoPellix.dmg", missing);
    std::promise<void> retry;
    platform::NotificationCenter::defaultCenter().addObserver(
        this, "RetryDMGDownloadig",
        [&](const platform::NotificationCenter::Notification&) { retry.set_value(); });
    KeloPellixUpdater::getInstance()->checkKeloPellixUpdate();
    ASSERT_EQ(retry.get_future().wait_for(60s), std::future_status::ready);
    drainSessionQueue();
    platform::NotificationCenter::defaultCenter().removeObserver(this);
    EXPECT_TRUE(runner_->runs().empty());
    EXPECT_FALSE(fs::exists(image()));

    // A body that is no image: the mount fails and no bundle waits.
    LocalService::Answer garbage;
    garbage.status = 200;
    garbage.body = "this is not a disk image";
    garbage.times = 1;
    service().setAnswer("/agent/KeloHelvoPellix.dmg", garbage);
    KeloPellixUpdater::getInstance()->checkKeloPellixUpdate();
    ASSERT_TRUE(runner_->waitFor(2));
    drainSessionQueue();
    const auto runs = runner_->runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0], "mount " + image() + " -> 1");
    EXPECT_EQ(runs[1].rfind("detach ", 0), 0u);
    EXPECT_FALSE(fs::exists(waitingBundle()));
    EXPECT_FALSE(fs::exists(image()));
    EXPECT_FALSE(SessionDetails::getInstance().isAppReplaceFlag());
}

}  // namespace
