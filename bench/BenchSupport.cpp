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

// utime + stime of /proc/PID/stat, and the parent's pid.
struct StatLine {
    pid_t parent = 0;
    double cpu = 0;
};

std::optional<StatLine> readStat(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text)) return std::nullopt;
    // The command name may hold blanks and parentheses: the fields start after the last ')'.
    const auto close = text.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    StatLine line;
    unsigned long long user = 0;
    unsigned long long system = 0;
    // Fields 3 (state) to 15 (stime) of proc(5).
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 4) line.parent = static_cast<pid_t>(std::stol(field));
        if (number == 14) user = std::stoull(field);
        if (number == 15) system = std::stoull(field);
    }
    line.cpu = static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
    return line;
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

double cpuSeconds(pid_t pid) {
    const auto line = readStat(pid);
    return line ? line->cpu : 0;
}

namespace {

// Every process of the system by pid.
std::map<pid_t, StatLine> processTable() {
    std::map<pid_t, StatLine> processes;
    if (DIR* proc = opendir("/proc")) {
        while (const dirent* entry = readdir(proc)) {
            char* end = nullptr;
            const long pid = std::strtol(entry->d_name, &end, 10);
            if (pid <= 0 || *end != '\0') continue;
            if (auto line = readStat(static_cast<pid_t>(pid))) {
                processes[static_cast<pid_t>(pid)] = *line;
            }
        }
        closedir(proc);
    }
    return processes;
}

bool descendsFrom(const std::map<pid_t, StatLine>& processes, pid_t pid, pid_t root) {
    for (pid_t at = pid; at > 1;) {
        if (at == root) return true;
        const auto found = processes.find(at);
        if (found == processes.end()) return false;
        at = found->second.parent;
    }
    return false;
}

}  // namespace

double treeCpuSeconds(pid_t root) {
    const auto processes = processTable();
    double total = 0;
    for (const auto& [pid, line] : processes) {
        if (descendsFrom(processes, pid, root)) total += line.cpu;
    }
    return total;
}

std::vector<pid_t> descendants(pid_t root) {
    const auto processes = processTable();
    std::vector<pid_t> found;
    for (const auto& [pid, line] : processes) {
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

void fail(const std::string& message) {
    std::fprintf(stderr, "bench: %s\n", message.c_str());
    std::exit(1);
}

}  // namespace bench
