// The file logger: the standard streams in the log file, rotation past 256 KiB into numbered
// copies, and no line lost or doubled while other threads write.
//
// The logger takes the process's standard streams over for good, so every scenario runs in a
// child process; the test process only looks at the files afterwards.
#include "KeloTest.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <thread>

#include "ChildProcess.h"
#include "Handlers/LogHandler.h"
#include "LogFile.h"
#include "MainLoop.h"
#include "Platform/Console.h"
#include "Platform/Log.h"

namespace {

constexpr std::size_t kLimit = 262144;

class LogHandlerTest : public TempHomeTest {
  protected:
    std::string currentLog() const { return logFolder() + "keloPellix.log"; }
    std::string numbered(int number) const {
        return logFolder() + "keloPellix" + std::to_string(number) + ".log";
    }
    std::string reportFile() const { return path("report.txt"); }

    // Runs the scenario in a child whose inherited streams go to a file of their own.
    void runInChild(const std::function<void()>& scenario) {
        const auto inherited = path("inherited.txt");
        ASSERT_EQ(ChildProcess::run(scenario, inherited, inherited), 0);
    }

    // Written by the child, read by the test: one "key value" line at a time.
    void report(const std::string& key, const std::string& value) const {
        const auto line = key + " " + value + "\n";
        const int fd = ::open(reportFile().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            std::_Exit(5);
        ::close(fd);
    }
    std::vector<std::string> reported(const std::string& key) const {
        std::vector<std::string> values;
        for (const auto& line : log_file::splitLines(readText(reportFile())))
            if (line.starts_with(key + " ")) values.push_back(line.substr(key.size() + 1));
        return values;
    }

    static std::shared_ptr<LogHandler> startLogger() {
        auto logger = std::make_shared<LogHandler>();
        logger->createKeloPellixLogFolder();
        return logger;
    }

    // Writes exactly count bytes (newline-terminated) to standard output.
    static void writeFiller(std::size_t count) {
        std::string bytes(count, 'x');
        bytes.back() = '\n';
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
        std::fflush(stdout);
    }

    void writeEarlierRun(int highest) const {
        for (int number = 0; number <= highest; ++number) {
            writeText(numbered(number), "earlier run " + std::to_string(number) + "\n");
        }
    }
};

TEST_F(LogHandlerTest, TenCopiesAndEarlierRunsShiftOutOneRotationAtATime) {
    writeEarlierRun(10);
    // A link where the log goes: replaced by the log, and what it names never written.
    writeText(path("named.txt"), "named\n");
    fs::permissions(path("named.txt"), fs::perms(0644));
    fs::create_symlink(path("named.txt"), currentLog());
    constexpr int kRotations = 13;
    runInChild([&] {
        platform::Console::print("written before logging starts");
        auto logger = startLogger();
        // The earlier run's copies, the first and the last, as the start left them.
        for (const int number : {0, 10}) {
            report(
                "earlier mode",
                fmt::format("{:o}", static_cast<int>(fs::status(numbered(number)).permissions())));
        }
        platform::Console::print("rotation 1");
        // Exactly 256 KiB stays; one byte more is rotated whole into copy 0.
        writeFiller(kLimit - static_cast<std::size_t>(fs::file_size(currentLog())));
        logger->loggingFile();
        report("count", std::to_string(logger->logFileNameCount()));
        for (int rotation = 1; rotation <= kRotations; ++rotation) {
            if (rotation > 1) {
                platform::Console::printf("rotation {}", rotation);
                writeFiller(kLimit);
            } else {
                writeFiller(1);
            }
            logger->loggingFile();
            report("count", std::to_string(logger->logFileNameCount()));
            report("copy5", log_file::splitLines(readText(numbered(5))).front());
            if (rotation == 1) report("size0", std::to_string(fs::file_size(numbered(0))));
        }
        platform::Console::print("after the rotations");
    });
    EXPECT_EQ(reported("count"), (std::vector<std::string>{"0", "1", "2", "3", "4", "5", "6", "7",
                                                           "8", "9", "10", "10", "10", "10"}));
    EXPECT_EQ(reported("size0"), std::vector<std::string>{std::to_string(kLimit + 1)});
    // The first rotations leave an earlier run's copies alone until the shifting reaches them.
    EXPECT_EQ(reported("copy5")[4], "earlier run 5");
    EXPECT_EQ(reported("copy5")[5], "rotation 1");
    // Copy 0 is the latest; the two oldest rotations have been dropped; no eleventh copy.
    for (int number = 0; number <= 10; ++number) {
        EXPECT_EQ(log_file::splitLines(readText(numbered(number))).front(),
                  fmt::format("rotation {}", kRotations - number));
    }
    EXPECT_FALSE(fs::exists(numbered(11)));
    EXPECT_EQ(readText(currentLog()), "after the rotations\n");
    EXPECT_EQ(readText(path("named.txt")), "named\n");
    EXPECT_EQ(fs::status(path("named.txt")).permissions(), fs::perms(0644));
    // The log holds the launch token: every file is its owner's only, the earlier run's too.
    EXPECT_EQ(reported("earlier mode"), (std::vector<std::string>{"600", "600"}));
    for (int number = -1; number <= 10; ++number) {
        const auto file = number < 0 ? currentLog() : numbered(number);
        EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write)
            << file;
    }
    // What was written before logging started stayed in the inherited streams.
    EXPECT_TRUE(log_file::inOrder(
        log_file::splitLines(readText(path("inherited.txt"))),
        {"written before logging starts",
         "-[LogHandler createKeloPellixLogFolder] Kelo Pellix Log Folder Created..."}));
}

// A running launcher rotates its log on its own: the folder's watcher sees the log grow past the
// limit, and what is written afterwards starts a new log.
TEST_F(LogHandlerTest, RunningLoggerRotatesWhenTheLogGrowsPastTheLimit) {
    runInChild([&] {
        auto logger = startLogger();
        writeFiller(kLimit + 1);
        const bool rotated =
            MainLoop::runUntil([&] { return logger->logFileNameCount() == 1; }, 30s);
        report("rotated", rotated ? "yes" : "no");
        platform::Console::print("after the rotation");
    });
    EXPECT_EQ(reported("rotated"), std::vector<std::string>{"yes"});
    EXPECT_GT(fs::file_size(numbered(0)), kLimit);
    EXPECT_EQ(readText(currentLog()), "after the rotation\n");
}

TEST_F(LogHandlerTest, NoLineOfAnyThreadIsLostOrDoubledAcrossRotations) {
    constexpr int kThreads = 4;
    constexpr int kMaximumLines = 100000;
    runInChild([&] {
        auto logger = startLogger();
        std::atomic<bool> stop{false};
        std::vector<int> written(kThreads, 0);
        std::vector<std::thread> writers;
        const std::string padding(150, '.');
        for (int writer = 0; writer < kThreads; ++writer) {
            writers.emplace_back([&, writer] {
                int line = 0;
                for (; line < kMaximumLines && !stop.load(); ++line) {
                    // Short pauses let the checking thread in between the writers.
                    if (line % 8 == 0) std::this_thread::sleep_for(20us);
                    if (line % 2 == 0) {
                        platform::Console::printf("<W{} L{} {}>", writer, line, padding);
                    } else {
                        platform::Log::nslog("<W{} L{} {}>", writer, line, padding);
                    }
                }
                written[static_cast<std::size_t>(writer)] = line;
            });
        }
        // The main thread checks as fast as it can until ten rotations are done; an eleventh
        // would drop the oldest copy.
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (logger->logFileNameCount() < LogHandler::kMaximumCount &&
               std::chrono::steady_clock::now() < deadline) {
            logger->loggingFile();
        }
        stop = true;
        for (auto& writer : writers) writer.join();
        report("count", std::to_string(logger->logFileNameCount()));
        for (int lines : written) report("written", std::to_string(lines));
    });

    EXPECT_THAT(reported("count"), ElementsAre("10"));
    const auto written = reported("written");
    ASSERT_EQ(written.size(), static_cast<std::size_t>(kThreads));

    // Every line a writer wrote is there once, whole.
    std::map<std::pair<int, int>, int> seen;
    for (int number = -1; number <= 10; ++number) {
        for (const auto& line :
             log_file::splitLines(readText(number < 0 ? currentLog() : numbered(number)))) {
            const auto start = line.find("<W");
            if (start == std::string::npos) continue;
            int writer = -1, index = -1;
            std::sscanf(line.c_str() + start, "<W%d L%d", &writer, &index);
            EXPECT_EQ(line.substr(start),
                      fmt::format("<W{} L{} {}>", writer, index, std::string(150, '.')));
            ++seen[{writer, index}];
        }
    }
    std::map<std::pair<int, int>, int> expected;
    for (int writer = 0; writer < kThreads; ++writer)
        for (int line = 0; line < std::stoi(written[static_cast<std::size_t>(writer)]); ++line)
            expected[{writer, line}] = 1;
    EXPECT_TRUE(seen == expected) << "lines seen " << seen.size() << ", written "
                                  << expected.size();
}

}  // namespace
