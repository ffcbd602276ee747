#include "Handlers/DiskImageTool.h"

#include <fmt/format.h>

#include <filesystem>
#include <mutex>
#include <stdexcept>

#include "Platform/Log.h"
#include "Platform/UnicodeText.h"
#include "Platform/Volumes.h"

namespace {

constexpr std::chrono::seconds kBaseTimeLimit{120};
constexpr std::uintmax_t kSlowestDiskBytesPerSecond = 4u << 20;

std::mutex limitMutex;
std::optional<std::chrono::milliseconds> testLimit;

std::optional<std::chrono::milliseconds> limitForTesting() {
    std::lock_guard lock(limitMutex);
    return testLimit;
}

}  // namespace

std::chrono::milliseconds DiskImageTool::mountTimeLimit(const std::string& image) {
    if (const auto limit = limitForTesting()) return *limit;
    std::error_code error;
    const auto size = std::filesystem::file_size(image, error);
    return kBaseTimeLimit + std::chrono::seconds(error ? 0 : size / kSlowestDiskBytesPerSecond);
}

std::chrono::milliseconds DiskImageTool::detachTimeLimit() {
    return limitForTesting().value_or(kBaseTimeLimit);
}

void DiskImageTool::setTimeLimitForTesting(std::optional<std::chrono::milliseconds> limit) {
    std::lock_guard lock(limitMutex);
    testLimit = limit;
}

platform::ProcessRunner::Result DiskImageTool::run(const std::vector<std::string>& arguments,
                                                   bool captureOutput,
                                                   std::chrono::milliseconds timeLimit) {
    const std::string tool = platform::Volumes::diskImageToolPath();
    auto result = platform::ProcessRunner::shared().run(tool, arguments, captureOutput, timeLimit);
    if (!result.started) {
        throw std::runtime_error(
            fmt::format("launch path not accessible: {} ({})", tool, result.startError));
    }
    if (result.timedOut) {
        platform::Log::nslog("DiskImageTool : hdiutil {} did not end within {} s and was stopped",
                             arguments.empty() ? "" : arguments.front(),
                             std::chrono::duration<double>(timeLimit).count());
    }
    return result;
}

DiskImageTool::Mount DiskImageTool::mount(const std::string& image) {
    const auto result = run({"mount", image}, true, mountTimeLimit(image));
    Mount mount;
    mount.exitStatus = result.exitStatus;
    mount.mountPoint = mountPointFromOutput(result.standardOutput);
    if (result.exitStatus == 0 && mount.mountPoint) {
        mount.volume = platform::Volumes::volumeAt(*mount.mountPoint);
    }
    return mount;
}

std::optional<std::string> DiskImageTool::mountPointFromOutput(std::string_view output) {
    if (!platform::UnicodeText::isUtf8(output)) return std::nullopt;
    constexpr std::string_view kBlanks = " \t\n\r\v\f";
    const auto first = output.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return std::string();
    output = output.substr(first, output.find_last_not_of(kBlanks) - first + 1);
    const auto tab = output.rfind('\t');
    return std::string(tab == std::string_view::npos ? output : output.substr(tab + 1));
}

void DiskImageTool::detach(std::string_view operation, const std::string& mountPoint) {
    const auto result = run({"detach", mountPoint}, false, detachTimeLimit());
    platform::Log::nslog("{} : Dmg unmount task termination status : {}", operation,
                         result.exitStatus);
}
