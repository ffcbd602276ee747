// Logging under load, one run per start: four threads write numbered lines in eleven bursts, each
// thread alternating standard output and standard error, one whole line per write as the
// launcher's own writers do. Each burst passes the rotation size (256 KiB) once, so the logger
// rotates eleven times and keeps every line: keloPellix.log and its copies 0 to 10 hold them all.
//
//   bench_logging logger   the streams on the launcher's log (LogHandler running; the main loop
//                          drives its checks while the bursts are written, and after each burst
//                          until the log has rotated)
//   bench_logging plain    the streams on a plain file opened the same way, without the logger
//
// Only the bursts are timed. Afterwards the lines are counted in keloPellix*.log (or the plain
// file). Prints "figures: LINES_PER_SECOND DISTINCT_LINES DUPLICATES ROTATIONS TOTAL_LINES" on
// the standard output the program was started with.
//
// Environment: HOME (a fresh folder per run).
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

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
constexpr int kBursts = 11;
constexpr std::size_t kLineBytes = 40;
// A burst is just over the rotation size, so that (whenever the checks come) the eleven bursts
// cannot make a twelfth rotation, which would drop the oldest copy.
constexpr int kLinesPerBurst = 6800;
static_assert(kLinesPerBurst * kLineBytes > LogHandler::kRotationSize);
static_assert(kBursts * kLinesPerBurst * kLineBytes < (kBursts + 1) * LogHandler::kRotationSize);
constexpr int kLines = kBursts * kLinesPerBurst;

// One line in one write, under the stream's lock, as platform::Console and platform::Log write.
void writeLine(FILE* stream, const std::string& line) {
    flockfile(stream);
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
    funlockfile(stream);
}

// Line n, kLineBytes long: "out|err THREAD NUMBER bench line ....\n".
std::string line(bool out, int thread, int number) {
    std::string text = fmt::format("{} {} {:06} bench line ", out ? "out" : "err", thread, number);
    text.resize(kLineBytes - 1, '.');
    return text + "\n";
}

// Writes lines first to first + kLinesPerBurst - 1 while the main thread drives the main loop.
// Returns the seconds from the common start to the end of the slowest writer.
double writeBurst(int first) {
    std::atomic<bool> go{false};
    std::atomic<int> finished{0};
    std::vector<std::thread> writers;
    for (int thread = 0; thread < kThreads; ++thread) {
        writers.emplace_back([thread, first, &go, &finished] {
            while (!go.load()) std::this_thread::yield();
            for (int number = first + thread; number < first + kLinesPerBurst; number += kThreads) {
                const bool out = (number / kThreads) % 2 == 0;
                writeLine(out ? stdout : stderr, line(out, thread, number));
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

ino_t inodeOf(const std::string& file) {
    struct stat info {};
    return ::stat(file.c_str(), &info) == 0 ? info.st_ino : 0;
}

// Runs the main loop until the log at `current` is a new file (the rotation moved the old one
// away); false when that has not happened within ten seconds.
bool waitForRotation(const std::string& current, ino_t before) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (inodeOf(current) == before) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        g_main_context_iteration(nullptr, FALSE);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct Count {
    int distinct = 0;
    int duplicates = 0;
};

Count countLines(const std::vector<fs::path>& files) {
    std::vector<int> seen(kLines, 0);
    for (const auto& file : files) {
        std::ifstream in(file);
        for (std::string text; std::getline(in, text);) {
            char stream[4] = {};
            int thread = -1;
            int number = -1;
            if (std::sscanf(text.c_str(), "%3s %d %d bench line", stream, &thread, &number) == 3 &&
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
    int rotations = 0;
    if (mode == "logger") {
        logger = std::make_shared<LogHandler>();
        logger->createKeloPellixLogFolder();
        const fs::path folder = LogHandler::logFolderPath();
        const std::string current = (folder / "keloPellix.log").string();
        for (int burst = 0; burst < kBursts; ++burst) {
            const ino_t before = inodeOf(current);
            seconds += writeBurst(burst * kLinesPerBurst);
            if (!waitForRotation(current, before)) {
                bench::fail(fmt::format("no rotation after burst {}", burst + 1));
            }
            ++rotations;
        }
        for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path());
    } else {
        // As the logger opens them: append mode.
        const std::string plain = home + "/plain.log";
        if (!std::freopen(plain.c_str(), "a", stdout) ||
            !std::freopen(plain.c_str(), "a", stderr)) {
            bench::fail("cannot open " + plain);
        }
        for (int burst = 0; burst < kBursts; ++burst) seconds += writeBurst(burst * kLinesPerBurst);
        files.push_back(plain);
    }
    std::fflush(nullptr);
    const Count count = countLines(files);
    fmt::print(report, "figures: {:.0f} {} {} {} {}\n", kLines / seconds, count.distinct,
               count.duplicates, rotations, kLines);
    std::fflush(report);
    std::_Exit(0);
}
