#pragma once

// What the fuzz targets share: one entry shape, a home of their own, fakes of the platform
// services that answer at once with the fuzz input, and a way to stop on a broken promise.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Platform/ProcessRunner.h"
#include "Platform/UrlSession.h"
#include "Platform/Workspace.h"

// A target is `KELO_FUZZ_TARGET(input) { ... }`: the body runs for every input, in a home of the
// process's own (HOME and XDG_RUNTIME_DIR point there before the first input). What a target sets
// up once goes in a static local at the top of its body.
#define KELO_FUZZ_TARGET(input)                                                         \
    static void keloFuzzOne(std::string_view input);                                    \
    extern "C" int LLVMFuzzerInitialize(int*, char***) {                                \
        fuzz::useTemporaryHome();                                                       \
        return 0;                                                                       \
    }                                                                                   \
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
        keloFuzzOne({reinterpret_cast<const char*>(data), size});                       \
        return 0;                                                                       \
    }                                                                                   \
    static void keloFuzzOne(std::string_view input)

namespace fuzz {

// In memory when /dev/shm is there, so that the many small writes cost little; removed at exit.
void useTemporaryHome();
const std::string& home();

void writeFile(const std::string& path, std::string_view bytes);  // creates its folder
void removePath(const std::string& path);
// The permission bits of the file, nullopt when it is not there.
std::optional<unsigned> modeOf(const std::string& path);
// True when the bytes are UTF-8 text (no overlong forms, no surrogates).
bool isUtf8(std::string_view text);

// Stops the run when a promise of the code does not hold: libFuzzer keeps the input as a crash.
[[noreturn]] void fail(std::string_view what, std::string_view input);
inline void require(bool holds, std::string_view what, std::string_view input) {
    if (!holds) fail(what, input);
}

// What a fake saw, taken by the target after each step.
template <typename Entry>
class Seen {
  public:
    void add(Entry entry) {
        std::lock_guard lock(mutex_);
        entries_.push_back(std::move(entry));
    }
    std::vector<Entry> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(entries_, {});
    }

  private:
    std::mutex mutex_;
    std::vector<Entry> entries_;
};

// Answers every data task at once, on the calling thread, with the given body (status 200) or
// error; every download fails as if the machine were offline. Blocks given to enqueue run at once.
class InstantUrlSession : public platform::UrlSession {
  public:
    std::string body;
    std::optional<platform::UrlError> error;
    Seen<std::string> requests;

    void dataTask(platform::UrlRequest request, platform::DataTaskCompletion completion) override;
    void downloadTask(platform::UrlRequest request, platform::DownloadTaskCompletion completion,
                      platform::DownloadProgressHandler) override;
    int addProgressObserver(
        std::function<void(const std::string&, std::uint64_t, std::optional<std::uint64_t>, bool,
                           bool)>) override {
        return 1;
    }
    void removeProgressObserver(int) override {}
    bool isDelegateQueue() const override { return true; }
    void enqueue(std::function<void()> block) override { block(); }
};

// Programs print `output` and exit with 0; every run (program name first) is kept.
class ScriptedProcessRunner : public platform::ProcessRunner {
  public:
    std::string output;
    Seen<std::vector<std::string>> runs;

    Result run(const std::string& program, const std::vector<std::string>& arguments,
               bool captureStandardOutput,
               std::optional<std::chrono::milliseconds> timeLimit = std::nullopt) override;
};

// Starts nothing and opens nothing; keeps what it was asked to open.
class RecordingWorkspace : public platform::Workspace {
  public:
    Seen<std::string> opened;

    bool openURL(const std::string& url) override {
        opened.add(url);
        return true;
    }
    std::optional<platform::Error> launchApplication(const std::string& bundlePath,
                                                     const std::vector<std::string>&) override {
        return platform::Error::other("nothing is started while fuzzing", bundlePath);
    }
    std::optional<int> runningProcess(const std::string&) override { return std::nullopt; }
    std::vector<std::string> mountedVolumePaths() override { return {}; }
    FileSystemInfo fileSystemInfo(const std::string&) override { return {}; }
    bool openProxySettings() override { return false; }
};

}  // namespace fuzz
