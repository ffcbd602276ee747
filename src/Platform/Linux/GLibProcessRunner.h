#pragma once

#include "Platform/ProcessRunner.h"

namespace platform {

// Runs programs with GSubprocess: no shell, standard input from /dev/null, standard error
// inherited, standard output captured on request.
class GLibProcessRunner final : public ProcessRunner {
  public:
    Result run(const std::string& program, const std::vector<std::string>& arguments,
               bool captureStandardOutput) override;
};

}  // namespace platform
