// The window's figures, one run per start, under a display:
//
//   bench_start_and_idle launcher      the launcher bundle with the local service's data centre
//   bench_start_and_idle minibrowser   WebKitGTK's MiniBrowser on the same join page address
//
// Measures the time from the process start until the join page's load event has reached the
// local service (the page reports it), then, the page shown for 10 s and nothing happening, the CPU
// time of the process and all its descendants (the web processes) and of the process alone over
// IDLE_SECONDS, and the resident memory of the process alone at the end. Prints
// "figures: START_SECONDS TREE_CPU_PERCENT OWN_CPU_PERCENT OWN_RSS_MIB" (percent of one core).
//
// Environment: HOME and XDG_RUNTIME_DIR (a fresh folder per run), KELO_PELLIX_HOSTS (the data
// centre "bench" on the local service), KELO_PELLIX_CA_FILE, KELO_BENCH_HOST, KELO_BENCH_CONTROL
// (the control port), KELO_BENCH_BUNDLE, KELO_BENCH_MINIBROWSER, KELO_BENCH_IDLE_SECONDS.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>
#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "BenchSupport.h"

using namespace std::chrono_literals;

namespace {

constexpr auto kSettle = 10s;

// The time the local service received the page's load event, once it has.
std::optional<double> loadEventTime(httplib::Client& control) {
    const auto answer = control.Get("/control/events");
    if (!answer || answer->status != 200) return std::nullopt;
    const auto events = nlohmann::json::parse(answer->body, nullptr, false);
    if (!events.is_array()) return std::nullopt;
    for (const auto& event : events) {
        if (event.value("name", "") == "load" && event.contains("time")) {
            return event["time"].get<double>();
        }
    }
    return std::nullopt;
}

bool exited(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

// Ends the process and whatever it started that is still there.
void stop(pid_t pid) {
    const auto tree = bench::descendants(pid);
    kill(pid, SIGTERM);
    for (int i = 0; i < 100 && !exited(pid); ++i) std::this_thread::sleep_for(100ms);
    if (kill(pid, 0) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    for (const pid_t child : tree) kill(child, SIGKILL);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const std::string host = bench::required("KELO_BENCH_HOST");
    const std::string address = "https://" + host + "/join/?pellix_token=bench-token";
    std::vector<std::string> command;
    if (mode == "launcher") {
        command = {bench::required("KELO_BENCH_BUNDLE") + "/Contents/MacOS/KeloHelvoPellix",
                   "-DC",
                   "bench",
                   "-PellixToken",
                   "bench-token",
                   "-pathForPellix",
                   "join/"};
    } else if (mode == "minibrowser") {
        // MiniBrowser cannot be told of the test authority; it skips the check instead.
        command = {bench::required("KELO_BENCH_MINIBROWSER"), "--ignore-tls-errors", address};
    } else {
        bench::fail("usage: bench_start_and_idle launcher|minibrowser");
    }
    const double idleSeconds = std::stod(bench::required("KELO_BENCH_IDLE_SECONDS"));
    httplib::Client control("127.0.0.1", std::stoi(bench::required("KELO_BENCH_CONTROL")));
    if (!control.Delete("/control/events")) bench::fail("the local service does not answer");

    const double start = bench::now();
    const pid_t pid = bench::spawn(command, /*quiet=*/true);
    if (pid < 0) bench::fail("cannot start " + command[0]);
    std::optional<double> loaded;
    for (int i = 0; i < 3000 && !loaded && !exited(pid); ++i) {
        std::this_thread::sleep_for(20ms);
        loaded = loadEventTime(control);
    }
    if (!loaded) {
        stop(pid);
        bench::fail(mode + ": the join page did not report its load");
    }

    // The page is shown. The first seconds after the load still draw (under Xvfb the toolkit
    // renders with software GL, for the launcher and MiniBrowser alike); once that has settled,
    // nothing happens.
    std::this_thread::sleep_for(kSettle);
    const auto tree0 = bench::sampleCpu(pid, true);
    const auto own0 = bench::sampleCpu(pid, false);
    std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
    const auto tree1 = bench::sampleCpu(pid, true);
    const auto own1 = bench::sampleCpu(pid, false);
    const long rss = bench::statusKiB(std::to_string(pid), "VmRSS");
    stop(pid);

    fmt::print("figures: {:.4f} {:.3f} {:.3f} {:.1f}\n", *loaded - start,
               100 * bench::cpuSecondsBetween(tree0, tree1) / idleSeconds,
               100 * bench::cpuSecondsBetween(own0, own1) / idleSeconds,
               static_cast<double>(rss) / 1024.0);
    return 0;
}
