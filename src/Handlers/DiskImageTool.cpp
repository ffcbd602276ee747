#include "Handlers/DiskImageTool.h"

#include <fmt/format.h>

#include <stdexcept>

#include "Platform/Log.h"
#include "Platform/UnicodeText.h"
#include "Platform/Volumes.h"

platform::ProcessRunner::Result DiskImageTool::run(const std::vector<std::string>& arguments,
                                                   bool captureOutput) {
    const std::string tool = platform::Volumes::diskImageToolPath();
    auto result = platform::ProcessRunner::shared().run(tool, arguments, captureOutput);
    if (!result.started) {
        throw std::runtime_error(
            fmt::format("launch path not accessible: {} ({})", tool, result.startError));
    }
    return result;
}

DiskImageTool::Mount DiskImageTool::mount(const std::string& image) {
    const auto result = run({"mount", image}, true);
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
    const auto result = run({"detach", mountPoint});
    platform::Log::nslog("{} : Dmg unmount task termination status : {}", operation,
                         result.exitStatus);
}
