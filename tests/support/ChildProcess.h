#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

// Runs part of a test in a child process, for code that takes the process's standard streams
// over for good (the logger does), which the test process must not suffer.
class ChildProcess {
  public:
    // Runs `body` in a child whose standard output and standard error go to fresh files of those
    // names (one file when both names are the same), then ends the child with status 0 unless
    // the body ended it otherwise; with `killAfter`, SIGKILL ends it at that moment if it is
    // still running. Returns the exit status, 128 + the signal that ended the child, or -1 when
    // there was no child.
    static int run(const std::function<void()>& body, const std::string& output,
                   const std::string& errors,
                   std::optional<std::chrono::microseconds> killAfter = std::nullopt);
};
