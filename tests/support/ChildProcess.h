#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

// Runs part of a test in a child process, for code that takes the process's standard streams
// over for good (the logger does), which the test process must not suffer, and for work that is
// killed halfway.
class ChildProcess {
  public:
    // Runs `body` in a child whose standard output and standard error go to fresh files of those
    // names (one file when both names are the same), then ends the child with status 0 unless
    // the body ended it otherwise. Returns the exit status, 128 + the signal that ended the
    // child, or -1 when there was no child.
    static int run(const std::function<void()>& body, const std::string& output,
                   const std::string& errors);

    // How a body that was to be killed went.
    struct Killed {
        bool finished = false;             // it returned before the kill
        std::chrono::microseconds took{};  // from its start to its end, when it finished
    };
    // Runs `body` in a child with its output thrown away and ends the child with SIGKILL
    // `killAfter` after the body began, unless the body finished first (without `killAfter` it
    // runs to its end). The moments are the child's own: the child reports the body's start and
    // end through a pipe. Nothing when there was no child or the body hung.
    static std::optional<Killed> runKilled(
        const std::function<void()>& body,
        std::optional<std::chrono::microseconds> killAfter = std::nullopt);
};
