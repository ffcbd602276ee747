#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/ServiceSlot.h"

namespace platform {

// Runs a program and waits for it, as the platform's process runner does.
class ProcessRunner {
  public:
    struct Result {
        bool started = false;        // false: the program could not be started at all
        int exitStatus = -1;         // the exit status, or -1 when it did not exit normally
        std::string standardOutput;  // captured when asked for
        std::string startError;      // why it could not be started
        bool timedOut = false;       // it ran past its time limit and was killed
    };

    virtual ~ProcessRunner() = default;

    static ProcessRunner& shared() { return ServiceSlot<ProcessRunner>::get(); }
    static std::shared_ptr<ProcessRunner> makeDefault();

    // Runs program with arguments (not through a shell) and waits for it to exit. Standard error
    // goes to the process's own standard error (the log). A program still running when the time
    // limit is up is killed, together with whatever it started.
    virtual Result run(const std::string& program, const std::vector<std::string>& arguments,
                       bool captureStandardOutput,
                       std::optional<std::chrono::milliseconds> timeLimit = std::nullopt) = 0;
};

}  // namespace platform
