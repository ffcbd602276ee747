#include "RecordingProcessRunner.h"

#include <filesystem>

platform::ProcessRunner::Result RecordingProcessRunner::run(
    const std::string& program, const std::vector<std::string>& arguments,
    bool captureStandardOutput, std::optional<std::chrono::milliseconds> timeLimit) {
    Result result;
    if (mountOutput && !arguments.empty() && arguments[0] == "mount") {
        result = {true, 0, *mountOutput, {}};
    } else if (mountOutput) {
        result = {true, 0, {}, {}};
    } else {
        result = real_->run(program, arguments, captureStandardOutput, timeLimit);
    }
    std::string entry = std::filesystem::path(program).filename().string();
    for (const auto& argument : arguments) entry += " " + argument;
    journal.add(entry + " -> " + std::to_string(result.exitStatus));
    return result;
}
