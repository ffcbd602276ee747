#include "FuzzSupport.h"

#include <sanitizer/common_interface_defs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fuzz {
namespace fs = std::filesystem;

namespace {
std::string homeFolder;
}  // namespace

void useTemporaryHome() {
    if (!homeFolder.empty()) return;
    const fs::path base =
        access("/dev/shm", W_OK) == 0 ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (base / "kelo-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    homeFolder = pattern;
    fs::create_directories(pattern + "/run");
    fs::permissions(pattern + "/run", fs::perms::owner_all);
    setenv("HOME", pattern.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (pattern + "/run").c_str(), 1);
    unsetenv("XDG_CACHE_HOME");
    std::atexit([] { removePath(homeFolder); });
}

const std::string& home() {
    return homeFolder;
}

void writeFile(const std::string& path, std::string_view bytes) {
    std::error_code ignored;
    fs::create_directories(fs::path(path).parent_path(), ignored);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::abort();
    }
}

void removePath(const std::string& path) {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

std::optional<unsigned> modeOf(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return std::nullopt;
    return status.st_mode & 0777;
}

void fail(std::string_view what, std::string_view input) {
    // Through the sanitizers' report channel: the fuzzer may have closed standard error.
    const std::string line = "broken promise: " + std::string(what) + " (input of " +
                             std::to_string(input.size()) + " bytes)";
    __sanitizer_report_error_summary(line.c_str());
    std::abort();
}

void InstantUrlSession::dataTask(platform::UrlRequest request,
                                 platform::DataTaskCompletion completion) {
    requests.add(request.url);
    if (error) {
        auto failure = *error;
        failure.failingUrl = request.url;
        completion({}, std::nullopt, failure);
        return;
    }
    platform::UrlResponse response;
    response.statusCode = 200;
    response.url = request.url;
    completion(body, response, std::nullopt);
}

void InstantUrlSession::downloadTask(platform::UrlRequest request,
                                     platform::DownloadTaskCompletion completion,
                                     platform::DownloadProgressHandler) {
    requests.add(request.url);
    completion(std::nullopt, std::nullopt,
               platform::UrlError{"NSURLErrorDomain", -1009,
                                  "The Internet connection appears to be offline.", request.url});
}

platform::ProcessRunner::Result ScriptedProcessRunner::run(
    const std::string& program, const std::vector<std::string>& arguments,
    bool captureStandardOutput, std::optional<std::chrono::milliseconds>) {
    std::vector<std::string> run{program};
    run.insert(run.end(), arguments.begin(), arguments.end());
    runs.add(std::move(run));
    Result result;
    result.started = true;
    result.exitStatus = 0;
    if (captureStandardOutput) result.standardOutput = output;
    return result;
}

bool isUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80                    ? 1
                                   : lead >= 0xC2 && lead <= 0xDF ? 2
                                   : lead >= 0xE0 && lead <= 0xEF ? 3
                                   : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                                  : 0;
        if (length == 0 || i + length > text.size()) return false;
        char32_t point = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            point = (point << 6) | (next & 0x3F);
        }
        const char32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if ((length > 1 && point < smallest) || point > 0x10FFFF ||
            (point >= 0xD800 && point <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

}  // namespace fuzz
