#pragma once

#include "Platform/ProcessRunner.h"

namespace platform {

// Runs programs with GSubprocess: no shell, standard input from /dev/null, standard error
// inherited, standard output captured on request. Each program leads a process group of its own,
// so that a time limit ends it together with the programs it started.
class GLibProcessRunner final : public ProcessRunner {
  public:
    Result run(const std::string& program, const std::vector<std::string>& arguments,
               bool captureStandardOutput,
               std::optional<std::chrono::milliseconds> timeLimit = std::nullopt) override;
};

}  // namespace platform
