// Logging under load, one run per start: four threads write 100,000 numbered lines in total,
// each thread alternating standard output and standard error, one whole line per write as the
// launcher's own writers do.
//
//   bench_logging logger   the streams on the launcher's log (LogHandler running, the main loop
//                          driving its 0.1 s check, the log rotating)
//   bench_logging plain    the streams on a plain file opened the same way, without the logger
//
// Afterwards the lines are counted in keloPellix*.log (or the plain file). Prints
// "figures: LINES_PER_SECOND DISTINCT_LINES DUPLICATES ROTATIONS" on the standard output the
// program was started with.
//
// Environment: HOME (a fresh folder per run).
#include <glib.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "Handlers/LogHandler.h"

namespace fs = std::filesystem;

namespace {

constexpr int kThreads = 4;
constexpr int kLines = 100000;

// One line in one write, under the stream's lock, as platform::Console and platform::Log write.
void writeLine(FILE* stream, const std::string& line) {
    flockfile(stream);
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
    funlockfile(stream);
}

// Line n: "out|err THREAD NUMBER bench line\n". Meanwhile the main thread drives the main loop,
// which holds the logger's check when the logger runs and nothing otherwise. Returns the seconds
// from the common start to the end of the slowest writer.
double writeLines() {
    std::atomic<bool> go{false};
    std::atomic<int> finished{0};
    std::vector<std::thread> writers;
    for (int thread = 0; thread < kThreads; ++thread) {
        writers.emplace_back([thread, &go, &finished] {
            while (!go.load()) std::this_thread::yield();
            for (int number = thread; number < kLines; number += kThreads) {
                const bool out = (number / kThreads) % 2 == 0;
                writeLine(out ? stdout : stderr, fmt::format("{} {} {:06} bench line\n",
                                                             out ? "out" : "err", thread, number));
            }
            finished.fetch_add(1);
            g_main_context_wakeup(nullptr);
        });
    }
    const auto start = std::chrono::steady_clock::now();
    go.store(true);
    while (finished.load() < kThreads) g_main_context_iteration(nullptr, TRUE);
    const auto end = std::chrono::steady_clock::now();
    for (auto& writer : writers) writer.join();
    return std::chrono::duration<double>(end - start).count();
}

struct Count {
    int distinct = 0;
    int duplicates = 0;
};

Count countLines(const std::vector<fs::path>& files) {
    std::vector<int> seen(kLines, 0);
    for (const auto& file : files) {
        std::ifstream in(file);
        for (std::string line; std::getline(in, line);) {
            char stream[4] = {};
            int thread = -1;
            int number = -1;
            if (std::sscanf(line.c_str(), "%3s %d %d bench line", stream, &thread, &number) == 3 &&
                number >= 0 && number < kLines) {
                ++seen[static_cast<std::size_t>(number)];
            }
        }
    }
    Count count;
    for (const int times : seen) {
        if (times > 0) ++count.distinct;
        if (times > 1) count.duplicates += times - 1;
    }
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode != "logger" && mode != "plain") bench::fail("usage: bench_logging logger|plain");
    // The report goes to the standard output the program started with; the streams move.
    FILE* report = fdopen(dup(STDOUT_FILENO), "w");
    const std::string home = bench::required("HOME");

    std::shared_ptr<LogHandler> logger;
    std::vector<fs::path> files;
    double seconds = 0;
    if (mode == "logger") {
        logger = std::make_shared<LogHandler>();
        logger->createKeloPellixLogFolder();
        seconds = writeLines();
        const fs::path folder = LogHandler::logFolderPath();
        for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path());
    } else {
        // As the logger opens them: append mode, close-on-exec.
        const std::string plain = home + "/plain.log";
        if (!std::freopen(plain.c_str(), "ae", stdout) ||
            !std::freopen(plain.c_str(), "ae", stderr)) {
            bench::fail("cannot open " + plain);
        }
        seconds = writeLines();
        files.push_back(plain);
    }
    std::fflush(nullptr);
    const Count count = countLines(files);
    fmt::print(report, "figures: {:.0f} {} {} {}\n", kLines / seconds, count.distinct,
               count.duplicates, logger ? logger->logFileNameCount() : 0);
    std::fflush(report);
    std::_Exit(0);
}
