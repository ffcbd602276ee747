#include "FuzzSupport.h"

#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <utility>

namespace fuzz {
namespace fs = std::filesystem;

namespace {

std::string& homeFolder() {
    static std::string folder;
    return folder;
}

void removeHome() {
    std::error_code ignored;
    if (!homeFolder().empty()) fs::remove_all(homeFolder(), ignored);
}

}  // namespace

void useTemporaryHome() {
    if (!homeFolder().empty()) return;
    std::error_code code;
    const fs::path base = fs::is_directory("/dev/shm", code) && access("/dev/shm", W_OK) == 0
                              ? fs::path("/dev/shm")
                              : fs::temp_directory_path();
    std::string pattern = (base / "kelo-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    homeFolder() = pattern;
    fs::create_directories(pattern + "/run");
    fs::permissions(pattern + "/run", fs::perms::owner_all);
    setenv("HOME", pattern.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (pattern + "/run").c_str(), 1);
    std::atexit(removeHome);
}

const std::string& home() {
    return homeFolder();
}

void writeFile(const std::string& path, std::string_view bytes) {
    std::error_code ignored;
    fs::create_directories(fs::path(path).parent_path(), ignored);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::abort();
    }
}

void removePath(const std::string& path) {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

void fail(std::string_view what, std::string_view input) {
    // Through the sanitizers' report channel: the fuzzer may have closed standard error.
    const std::string line = "broken promise: " + std::string(what) + " (input of " +
                             std::to_string(input.size()) + " bytes)";
    __sanitizer_report_error_summary(line.c_str());
    std::abort();
}

void InstantUrlSession::answer(std::string body, long status) {
    std::lock_guard lock(mutex_);
    body_ = std::move(body);
    status_ = status;
    error_.reset();
}

void InstantUrlSession::failWith(platform::UrlError error) {
    std::lock_guard lock(mutex_);
    error_ = std::move(error);
}

std::vector<std::string> InstantUrlSession::takeRequests() {
    std::lock_guard lock(mutex_);
    return std::exchange(requests_, {});
}

void InstantUrlSession::dataTask(platform::UrlRequest request,
                                 platform::DataTaskCompletion completion) {
    std::string body;
    platform::UrlResponse response;
    std::optional<platform::UrlError> error;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request.url);
        body = body_;
        response.statusCode = status_;
        response.url = request.url;
        error = error_;
    }
    if (error) {
        error->failingUrl = request.url;
        completion({}, std::nullopt, error);
    } else {
        completion(std::move(body), response, std::nullopt);
    }
}

void InstantUrlSession::downloadTask(platform::UrlRequest request,
                                     platform::DownloadTaskCompletion completion,
                                     platform::DownloadProgressHandler) {
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request.url);
    }
    completion(std::nullopt, std::nullopt,
               platform::UrlError{"NSURLErrorDomain", -1009,
                                  "The Internet connection appears to be offline.", request.url});
}

int InstantUrlSession::addProgressObserver(
    std::function<void(const std::string&, std::uint64_t, std::optional<std::uint64_t>, bool,
                       bool)>) {
    return 1;
}

void ScriptedProcessRunner::setOutput(std::string output) {
    std::lock_guard lock(mutex_);
    output_ = std::move(output);
}

std::vector<ScriptedProcessRunner::Run> ScriptedProcessRunner::takeRuns() {
    std::lock_guard lock(mutex_);
    return std::exchange(runs_, {});
}

platform::ProcessRunner::Result ScriptedProcessRunner::run(
    const std::string& program, const std::vector<std::string>& arguments,
    bool captureStandardOutput) {
    std::lock_guard lock(mutex_);
    runs_.push_back({program, arguments});
    Result result;
    result.started = true;
    result.exitStatus = 0;
    if (captureStandardOutput) result.standardOutput = output_;
    return result;
}

std::vector<std::string> RecordingWorkspace::takeOpened() {
    std::lock_guard lock(mutex_);
    return std::exchange(opened_, {});
}

bool RecordingWorkspace::openURL(const std::string& url) {
    std::lock_guard lock(mutex_);
    opened_.push_back(url);
    return true;
}

std::optional<platform::Error> RecordingWorkspace::launchApplication(
    const std::string& bundlePath, const std::vector<std::string>&) {
    return platform::Error::other("nothing is started while fuzzing", bundlePath);
}

bool isUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        char32_t point = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        }
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            point = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            point = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            point = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            point = (point << 6) | (next & 0x3F);
        }
        const char32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if (point < smallest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

}  // namespace fuzz
