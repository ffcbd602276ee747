#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Journal.h"
#include "Platform/ProcessRunner.h"

// The platform's process runner with every run noted in `journal` as
// "program-name argument... -> exit status". With `mountOutput` set nothing runs: a mount
// answers with that output, anything else succeeds at once.
class RecordingProcessRunner final : public platform::ProcessRunner {
  public:
    Result run(const std::string& program, const std::vector<std::string>& arguments,
               bool captureStandardOutput,
               std::optional<std::chrono::milliseconds> timeLimit = std::nullopt) override;

    Journal journal;
    std::optional<std::string> mountOutput;

  private:
    std::shared_ptr<platform::ProcessRunner> real_ = platform::ProcessRunner::makeDefault();
};
