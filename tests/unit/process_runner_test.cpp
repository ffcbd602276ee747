// Running a program and waiting for it: arguments without a shell, exit status, captured output.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Platform/Linux/GLibProcessRunner.h"
#include "TempHome.h"

namespace {

using platform::GLibProcessRunner;

class ProcessRunnerTest : public TempHomeTest {
  protected:
    GLibProcessRunner runner_;
};

TEST_F(ProcessRunnerTest, ReportsExitStatusAndCapturedOutput) {
    struct Case {
        std::vector<std::string> arguments;
        int exitStatus;
        std::string output;
    };
    for (const Case& expected : {
             Case{{"-c", "printf 'mounted\\t/Volumes/Kelo\\n'; exit 0"},
                  0,
                  "mounted\t/Volumes/Kelo\n"},
             Case{{"-c", "printf partial; exit 3"}, 3, "partial"},
             // Arguments reach the program as they are: no shell sees them on the way.
             Case{{"-c", "printf '%s|' \"$@\"", "sh", "$HOME", "a b;c", "*"}, 0, "$HOME|a b;c|*|"},
             // Killed by a signal: no exit status.
             Case{{"-c", "kill -KILL $$"}, -1, ""},
         }) {
        SCOPED_TRACE(expected.arguments.at(1));
        const auto result = runner_.run("/bin/sh", expected.arguments, true);
        EXPECT_TRUE(result.started);
        EXPECT_EQ(result.exitStatus, expected.exitStatus);
        EXPECT_EQ(result.standardOutput, expected.output);
    }
}

TEST_F(ProcessRunnerTest, CapturesLargeOutputWholeAndLeavesItAloneWhenNotAsked) {
    // More than a pipe holds: a runner that waits before reading would hang here.
    const auto large = runner_.run("/bin/sh", {"-c", "head -c 1048576 /dev/zero; exit 4"}, true);
    EXPECT_EQ(large.exitStatus, 4);
    EXPECT_EQ(large.standardOutput.size(), 1048576u);

    const auto uncaptured = runner_.run("/bin/sh", {"-c", "echo to-the-log; exit 5"}, false);
    EXPECT_TRUE(uncaptured.started);
    EXPECT_EQ(uncaptured.exitStatus, 5);
    EXPECT_EQ(uncaptured.standardOutput, "");
}

TEST_F(ProcessRunnerTest, MissingProgramIsNotStarted) {
    const auto result = runner_.run(path("no-such-tool"), {"mount", "image.dmg"}, true);
    EXPECT_FALSE(result.started);
    EXPECT_EQ(result.exitStatus, -1);
    EXPECT_FALSE(result.startError.empty());
}

}  // namespace
