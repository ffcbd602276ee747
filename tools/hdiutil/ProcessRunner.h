#pragma once

#include <string>
#include <vector>

namespace hdiutil {

// What a finished child process left behind.
struct ProcessResult {
    int exitCode = -1;  // the exit status, or 128 + signal number when a signal ended it
    std::string standardOutput;
    std::string standardError;
};

// Runs a program to completion and captures both of its output streams. The child reads from
// /dev/null so that a program that wants to ask something (7-Zip asks for passwords) gets an end
// of file instead of hanging the mount. Both pipes are drained together: a child that fills one
// of them while we wait on the other would otherwise block forever.
class ProcessRunner {
  public:
    // `environmentOverrides` are "NAME=value" entries that replace or extend our environment.
    static ProcessResult run(const std::string& program, const std::vector<std::string>& arguments,
                             const std::vector<std::string>& environmentOverrides = {});
};

}  // namespace hdiutil
