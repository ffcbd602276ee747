// The file logger: the standard streams in the log file, rotation past 256 KiB into numbered
// copies, and no line lost or doubled while other threads write.
//
// The logger takes the process's standard streams over for good, so every scenario runs in a
// child process; the test process only looks at the files afterwards.
#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "Handlers/LogHandler.h"
#include "Handlers/Utils.h"
#include "Platform/Console.h"
#include "Platform/Log.h"
#include "TempHome.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::size_t kLimit = 262144;

class LogHandlerTest : public TempHomeTest {
  protected:
    std::string logFolder() const { return path("Library/Logs/KeloHelvo/KeloPellix"); }
    std::string currentLog() const { return logFolder() + "/keloPellix.log"; }
    std::string numbered(int number) const {
        return logFolder() + "/keloPellix" + std::to_string(number) + ".log";
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
        const auto written = ::write(fd, line.data(), line.size());
        ::close(fd);
        if (written != static_cast<ssize_t>(line.size())) std::_Exit(5);
    }
    std::vector<std::string> reported(const std::string& key) const {
        std::vector<std::string> values;
        std::istringstream in(readText(reportFile()));
        for (std::string line; std::getline(in, line);) {
            if (line.rfind(key + " ", 0) == 0) values.push_back(line.substr(key.size() + 1));
        }
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

    std::uintmax_t sizeOf(const std::string& file) const {
        std::error_code code;
        const auto size = fs::file_size(file, code);
        return code ? static_cast<std::uintmax_t>(-1) : size;
    }

    void writeEarlierRun(int highest) const {
        for (int number = 0; number <= highest; ++number) {
            writeText(numbered(number), "earlier run " + std::to_string(number) + "\n");
        }
    }
};

TEST_F(LogHandlerTest, RotatesOnlyOncePastTheSizeLimit) {
    runInChild([&] {
        auto logger = startLogger();
        writeFiller(kLimit);
        logger->loggingFile();
        report("count", std::to_string(logger->logFileNameCount()));
        writeFiller(1);
        logger->loggingFile();
        report("count", std::to_string(logger->logFileNameCount()));
    });
    // Exactly 256 KiB stayed; one byte more went whole into copy 0.
    EXPECT_EQ(reported("count"), (std::vector<std::string>{"0", "1"}));
    EXPECT_EQ(sizeOf(numbered(0)), kLimit + 1);
    EXPECT_EQ(sizeOf(currentLog()), 0u);
    EXPECT_FALSE(fs::exists(numbered(1)));
}

TEST_F(LogHandlerTest, TimerRotatesAtTheNextTickAfterItsCreatorLetGo) {
    runInChild([&] {
        LogHandler unused;
        // Starts a logger of its own and keeps no reference to it.
        Utils::createPellixDirectoriesWithLogHandler(unused);
        writeFiller(kLimit + 1);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!fs::exists(numbered(0)) && std::chrono::steady_clock::now() < deadline) {
            g_main_context_iteration(nullptr, TRUE);
        }
        report("rotated", fs::exists(numbered(0)) ? "yes" : "no");
        platform::Console::print("after the tick");
    });
    EXPECT_EQ(reported("rotated"), std::vector<std::string>{"yes"});
    const auto rotated = readText(numbered(0));
    EXPECT_NE(rotated.find("Kelo Pellix App Started"), std::string::npos);
    EXPECT_GT(rotated.size(), kLimit);
    EXPECT_EQ(readText(currentLog()), "after the tick\n");
}

TEST_F(LogHandlerTest, FirstRotationOfAProcessReplacesOnlyCopyZero) {
    writeEarlierRun(2);
    runInChild([&] {
        platform::Console::print("written before logging starts");
        auto logger = startLogger();
        for (int descriptor : {STDOUT_FILENO, STDERR_FILENO}) {
            const int flags = ::fcntl(descriptor, F_GETFD);
            report("cloexec", flags >= 0 && (flags & FD_CLOEXEC) ? "yes" : "no");
        }
        platform::Console::print("first line");
        platform::Log::nslog("{} second line", "-[Test op]");
        writeFiller(kLimit);
        logger->loggingFile();
        report("count", std::to_string(logger->logFileNameCount()));
        platform::Console::print("after the rotation");
    });
    // A program started later does not inherit the log.
    EXPECT_EQ(reported("cloexec"), (std::vector<std::string>{"yes", "yes"}));
    EXPECT_EQ(reported("count"), std::vector<std::string>{"1"});
    const auto copy = readText(numbered(0));
    EXPECT_EQ(copy.rfind("first line\n", 0), 0u) << copy.substr(0, 200);
    EXPECT_NE(copy.find("] -[Test op] second line\n"), std::string::npos);
    EXPECT_EQ(readText(numbered(1)), "earlier run 1\n");
    EXPECT_EQ(readText(numbered(2)), "earlier run 2\n");
    EXPECT_EQ(readText(currentLog()), "after the rotation\n");
    EXPECT_NE(readText(path("inherited.txt")).find("written before logging starts"),
              std::string::npos);
    EXPECT_NE(
        readText(path("inherited.txt"))
            .find("-[LogHandler createKeloPellixLogFolder] Kelo Pellix Log Folder Created..."),
        std::string::npos);
}

TEST_F(LogHandlerTest, CountStopsAtTenAndNoEleventhCopyAppears) {
    constexpr int kRotations = 13;
    runInChild([&] {
        auto logger = startLogger();
        for (int rotation = 1; rotation <= kRotations; ++rotation) {
            platform::Console::printf("rotation {}", rotation);
            writeFiller(kLimit);
            logger->loggingFile();
            report("count", std::to_string(logger->logFileNameCount()));
        }
    });
    EXPECT_EQ(reported("count"), (std::vector<std::string>{"1", "2", "3", "4", "5", "6", "7", "8",
                                                           "9", "10", "10", "10", "10"}));
    EXPECT_FALSE(fs::exists(numbered(11)));
    // Copy 0 is the latest; the two oldest rotations have been dropped.
    for (int number = 0; number <= 10; ++number) {
        EXPECT_EQ(
            readText(numbered(number)).rfind(fmt::format("rotation {}\n", kRotations - number), 0),
            0u)
            << "keloPellix" << number << ".log";
    }
}

TEST_F(LogHandlerTest, EarlierRunsCopiesSurviveUntilTheShiftingReachesThem) {
    writeEarlierRun(10);
    runInChild([&] {
        auto logger = startLogger();
        for (int rotation = 1; rotation <= 6; ++rotation) {
            platform::Console::printf("rotation {}", rotation);
            writeFiller(kLimit);
            logger->loggingFile();
            if (rotation == 5) fs::copy_file(numbered(5), path("copy5-after-five.log"));
        }
    });
    EXPECT_EQ(readText(path("copy5-after-five.log")), "earlier run 5\n");
    EXPECT_EQ(readText(numbered(5)).rfind("rotation 1\n", 0), 0u);
    EXPECT_EQ(readText(numbered(0)).rfind("rotation 6\n", 0), 0u);
    for (int number = 6; number <= 10; ++number) {
        EXPECT_EQ(readText(numbered(number)), fmt::format("earlier run {}\n", number));
    }
}

TEST_F(LogHandlerTest, StreamsMoveToANewLogWhenTheFileIsRemoved) {
    runInChild([&] {
        auto logger = startLogger();
        platform::Console::print("into the first file");
        fs::remove(currentLog());
        logger->loggingFile();
        platform::Console::print("into the second file");
        platform::Log::nslog("{} also here", "-[Test op]");
    });
    const auto log = readText(currentLog());
    EXPECT_EQ(log.find("into the first file"), std::string::npos) << log;
    EXPECT_EQ(log.rfind("into the second file\n", 0), 0u) << log;
    EXPECT_NE(log.find("-[Test op] also here\n"), std::string::npos) << log;
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

    EXPECT_EQ(reported("count"), std::vector<std::string>{"10"});
    const auto written = reported("written");
    ASSERT_EQ(written.size(), static_cast<std::size_t>(kThreads));

    std::map<std::pair<int, int>, int> seen;
    int damaged = 0;
    const std::regex shape(R"(<W(\d+) L(\d+) \.{150}>$)");
    std::vector<std::string> files{currentLog()};
    for (int number = 0; number <= 10; ++number) files.push_back(numbered(number));
    for (const auto& file : files) {
        std::istringstream in(readText(file));
        for (std::string line; std::getline(in, line);) {
            const auto start = line.find("<W");
            if (start == std::string::npos) continue;
            std::smatch match;
            const std::string tail = line.substr(start);
            if (!std::regex_match(tail, match, shape)) {
                ++damaged;
                continue;
            }
            ++seen[{std::stoi(match[1]), std::stoi(match[2])}];
        }
    }
    EXPECT_EQ(damaged, 0);
    int missing = 0;
    int doubled = 0;
    std::size_t total = 0;
    for (int writer = 0; writer < kThreads; ++writer) {
        const int lines = std::stoi(written[static_cast<std::size_t>(writer)]);
        total += static_cast<std::size_t>(lines);
        for (int line = 0; line < lines; ++line) {
            const auto found = seen.find({writer, line});
            missing += found == seen.end() ? 1 : 0;
            doubled += found != seen.end() && found->second > 1 ? 1 : 0;
        }
    }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(doubled, 0);
    EXPECT_EQ(seen.size(), total);
}

}  // namespace
