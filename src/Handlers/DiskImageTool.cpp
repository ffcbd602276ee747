#include "Handlers/DiskImageTool.h"

#include <fmt/format.h>

#include <stdexcept>

#include "Platform/Log.h"
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

void DiskImageTool::detach(std::string_view operation, const std::string& mountPoint) {
    const auto result = run({"detach", mountPoint});
    platform::Log::nslog("{} : Dmg unmount task termination status : {}", operation,
                         result.exitStatus);
}
