// Running a program and waiting for it: arguments without a shell, exit status, captured output.
#include "KeloTest.h"

#include "Platform/Linux/GLibProcessRunner.h"

namespace {

TEST(ProcessRunnerTest, ReportsExitStatusAndCapturedOutput) {
    const struct {
        std::vector<std::string> arguments;
        bool capture;
        int exitStatus;
        std::string output;
        std::optional<std::chrono::milliseconds> limit = std::nullopt;
        bool timedOut = false;
    } cases[] = {
        {{"-c", "printf 'mounted\\t/Volumes/Kelo\\n'; exit 0"},
         true,
         0,
         "mounted\t/Volumes/Kelo\n"},
        {{"-c", "printf partial; exit 3"}, true, 3, "partial"},
        // Arguments reach the program as they are: no shell sees them on the way.
        {{"-c", "printf '%s|' \"$@\"", "sh", "$HOME", "a b;c", "*"}, true, 0, "$HOME|a b;c|*|"},
        // Killed by a signal: no exit status.
        {{"-c", "kill -KILL $$"}, true, -1, ""},
        // More than a pipe holds: a runner that waits before reading would hang here.
        {{"-c", "head -c 1048576 /dev/zero; exit 4"}, true, 4, std::string(1048576, '\0')},
        {{"-c", "echo to-the-log; exit 5"}, false, 5, ""},
        // Past its time limit the program is killed with what it started (the sleep holds the
        // output open: were it left running, the runner would wait for it for good).
        {{"-c", "sleep 1000 & printf started; wait"}, true, -1, "started", 300ms, true},
        {{"-c", "exit 6"}, false, 6, "", 20s, false},
    };
    platform::GLibProcessRunner runner;
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.arguments.at(1));
        const auto result =
            runner.run("/bin/sh", expected.arguments, expected.capture, expected.limit);
        EXPECT_TRUE(result.started);
        EXPECT_EQ(result.timedOut, expected.timedOut);
        EXPECT_EQ(result.exitStatus, expected.exitStatus);
        EXPECT_TRUE(result.standardOutput == expected.output)
            << result.standardOutput.size() << " bytes";
    }

    const auto missing = runner.run("/nonexistent/no-such-tool", {"mount", "image.dmg"}, true);
    EXPECT_FALSE(missing.started);
    EXPECT_EQ(missing.exitStatus, -1);
    EXPECT_FALSE(missing.startError.empty());
}

}  // namespace
