#pragma once

// What the fuzz targets share: a home of their own, fakes of the platform services that answer
// at once with the fuzz input, and a way to stop on a broken promise.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/ProcessRunner.h"
#include "Platform/UrlSession.h"
#include "Platform/Workspace.h"

namespace fuzz {

// Points HOME and XDG_RUNTIME_DIR at a fresh folder (in memory when /dev/shm is there, so that
// the many small writes cost little), removed when the process ends. Call it once, from
// LLVMFuzzerInitialize.
void useTemporaryHome();
const std::string& home();

// Writes the bytes to the path, creating its folder.
void writeFile(const std::string& path, std::string_view bytes);
// Removes the path (a file or a folder tree) when it is there.
void removePath(const std::string& path);

// Stops the run with a message when a promise of the code does not hold: libFuzzer keeps the
// input as a crash.
[[noreturn]] void fail(std::string_view what, std::string_view input);
inline void require(bool holds, std::string_view what, std::string_view input) {
    if (!holds) fail(what, input);
}

// The input as text.
inline std::string_view text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// A URL session that answers every data task at once, on the calling thread, with the body and
// status it is given; every download fails as if the machine were offline. Blocks given to
// enqueue run at once.
class InstantUrlSession : public platform::UrlSession {
  public:
    void answer(std::string body, long status = 200);
    // Every data task fails with this error instead.
    void failWith(platform::UrlError error);
    std::vector<std::string> takeRequests();

    void dataTask(platform::UrlRequest request, platform::DataTaskCompletion completion) override;
    void downloadTask(platform::UrlRequest request, platform::DownloadTaskCompletion completion,
                      platform::DownloadProgressHandler progress) override;
    int addProgressObserver(std::function<void(const std::string&, std::uint64_t,
                                               std::optional<std::uint64_t>, bool, bool)>) override;
    void removeProgressObserver(int) override {}
    bool isDelegateQueue() const override { return true; }
    void enqueue(std::function<void()> block) override { block(); }

  private:
    std::mutex mutex_;
    std::string body_;
    long status_ = 200;
    std::optional<platform::UrlError> error_;
    std::vector<std::string> requests_;
};

// A process runner whose programs print the given output and exit with 0; it keeps every run.
class ScriptedProcessRunner : public platform::ProcessRunner {
  public:
    struct Run {
        std::string program;
        std::vector<std::string> arguments;
    };

    void setOutput(std::string output);
    std::vector<Run> takeRuns();

    Result run(const std::string& program, const std::vector<std::string>& arguments,
               bool captureStandardOutput) override;

  private:
    std::mutex mutex_;
    std::string output_;
    std::vector<Run> runs_;
};

// A workspace that starts nothing and opens nothing; it keeps what it was asked to open.
class RecordingWorkspace : public platform::Workspace {
  public:
    std::vector<std::string> takeOpened();

    bool openURL(const std::string& url) override;
    std::optional<platform::Error> launchApplication(
        const std::string& bundlePath, const std::vector<std::string>& arguments) override;
    std::vector<std::string> mountedVolumePaths() override { return {}; }
    FileSystemInfo fileSystemInfo(const std::string&) override { return {}; }
    bool openProxySettings() override { return false; }

  private:
    std::mutex mutex_;
    std::vector<std::string> opened_;
};

// True when the bytes are UTF-8 text (no overlong forms, no surrogates).
bool isUtf8(std::string_view text);

}  // namespace fuzz
