#include "BenchSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

extern char** environ;

namespace bench {
namespace {

// The parent of a process, from /proc/PID/stat.
std::optional<pid_t> parentOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text)) return std::nullopt;
    // The command name may hold blanks and parentheses: the fields start after the last ')'.
    const auto close = text.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(text.substr(close + 2));
    std::string state;
    long parent = 0;
    if (!(fields >> state >> parent)) return std::nullopt;
    return static_cast<pid_t>(parent);
}

}  // namespace

double now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string required(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) fail(std::string(name) + " is not set");
    return value;
}

pid_t spawn(const std::vector<std::string>& argv, bool quiet) {
    std::vector<char*> raw;
    for (const auto& argument : argv) raw.push_back(const_cast<char*>(argument.c_str()));
    raw.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (quiet) posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

bool run(const std::vector<std::string>& argv) {
    const pid_t pid = spawn(argv);
    if (pid < 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::optional<double> waitForAgentStart(const std::string& record, std::chrono::seconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        std::ifstream in(record);
        std::string line;
        // The agent writes its line in one write, ending with a line feed.
        if (std::getline(in, line) && !in.eof()) return std::stod(line.substr(0, line.find('\t')));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::nullopt;
}

long statusKiB(const std::string& pid, const std::string& key) {
    std::ifstream in("/proc/" + pid + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
    }
    return -1;
}

bool resetPeakMemory() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    out.flush();
    return static_cast<bool>(out);
}

namespace {

// The parent of every process of the system, by pid.
std::map<pid_t, pid_t> processTable() {
    std::map<pid_t, pid_t> processes;
    if (DIR* proc = opendir("/proc")) {
        while (const dirent* entry = readdir(proc)) {
            char* end = nullptr;
            const long pid = std::strtol(entry->d_name, &end, 10);
            if (pid <= 0 || *end != '\0') continue;
            if (auto parent = parentOf(static_cast<pid_t>(pid))) {
                processes[static_cast<pid_t>(pid)] = *parent;
            }
        }
        closedir(proc);
    }
    return processes;
}

bool descendsFrom(const std::map<pid_t, pid_t>& processes, pid_t pid, pid_t root) {
    for (pid_t at = pid; at > 1;) {
        if (at == root) return true;
        const auto found = processes.find(at);
        if (found == processes.end()) return false;
        at = found->second;
    }
    return false;
}

}  // namespace

CpuSample sampleCpu(pid_t root, bool withDescendants) {
    std::vector<pid_t> processes{root};
    if (withDescendants) {
        const auto more = descendants(root);
        processes.insert(processes.end(), more.begin(), more.end());
    }
    CpuSample sample;
    for (const pid_t pid : processes) {
        const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
        DIR* folder = opendir(tasks.c_str());
        if (!folder) continue;
        while (const dirent* entry = readdir(folder)) {
            if (entry->d_name[0] == '.') continue;
            std::ifstream in(tasks + "/" + entry->d_name + "/schedstat");
            unsigned long long onCpu = 0;
            if (in >> onCpu) sample[static_cast<pid_t>(std::atol(entry->d_name))] = onCpu;
        }
        closedir(folder);
    }
    return sample;
}

double cpuSecondsBetween(const CpuSample& before, const CpuSample& after) {
    unsigned long long total = 0;
    for (const auto& [thread, onCpu] : after) {
        const auto earlier = before.find(thread);
        const unsigned long long start = earlier == before.end() ? 0 : earlier->second;
        if (onCpu > start) total += onCpu - start;
    }
    return static_cast<double>(total) / 1e9;
}

std::vector<pid_t> descendants(pid_t root) {
    const auto processes = processTable();
    std::vector<pid_t> found;
    for (const auto& [pid, parent] : processes) {
        if (pid != root && descendsFrom(processes, pid, root)) found.push_back(pid);
    }
    return found;
}

void waitFor(const std::function<void(std::function<void(bool)>)>& operation) {
    auto result = std::make_shared<std::promise<bool>>();
    operation([result](bool succeeded) { result->set_value(succeeded); });
    auto answer = result->get_future();
    if (answer.wait_for(std::chrono::seconds(60)) != std::future_status::ready || !answer.get()) {
        fail("the server check did not succeed");
    }
}

void runAgentStartBenchmark(int argc, char** argv, const std::string& name,
                            const AgentStartRun& launcher, const AgentStartRun& anchor) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const std::string host = required("KELO_BENCH_HOST");
    const std::string record = required("KELO_TEST_AGENT_RECORD");
    if (mode == "launcher") {
        launcher(host, record);
    } else if (mode == "anchor") {
        anchor(host, record);
    } else {
        fail("usage: " + name + " launcher|anchor");
    }
    std::fflush(nullptr);
    std::_Exit(0);
}

void fail(const std::string& message) {
    std::fprintf(stderr, "bench: %s\n", message.c_str());
    std::exit(1);
}

}  // namespace bench
