#pragma once

// Small helpers shared by the benchmark programs. Each program makes one measured run per start
// and prints its figures as numbers on one line; bench/run-benchmarks.sh alternates the runs and
// takes the medians.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bench {

// Seconds since the epoch on the wall clock: the clock of the test agent's `date +%s.%N` and of
// the local service's event times, so that times taken in different processes compare.
double now();

// The value of an environment variable the run cannot do without; ends the program when unset.
std::string required(const char* name);

// Runs a program (looked up in PATH) with its output discarded and waits for it; false when it
// could not be started or did not exit with 0.
bool run(const std::vector<std::string>& argv);

// Starts a program (looked up in PATH) with its output discarded (and its error output too
// when `quiet`), without waiting for it; -1 when it could not be started.
pid_t spawn(const std::vector<std::string>& argv, bool quiet = false);

// Waits until the test agent has recorded its start in `record` and returns the time it wrote
// (its first field); nullopt when nothing came within the time.
std::optional<double> waitForAgentStart(const std::string& record, std::chrono::seconds timeout);

// A "Vm..." line of /proc/PID/status in KiB ("self" for this process); -1 when absent.
long statusKiB(const std::string& pid, const std::string& key);

// Resets this process's peak resident memory (VmHWM) to its current resident memory.
bool resetPeakMemory();

// The CPU time each thread of a process (and of its descendants, when asked) has had so far, in
// nanoseconds, by thread id (from /proc/PID/task/TID/schedstat: finer than the clock ticks of
// /proc/PID/stat, which an idle process barely moves).
using CpuSample = std::map<pid_t, unsigned long long>;
CpuSample sampleCpu(pid_t pid, bool withDescendants);
// The CPU seconds spent between two samples by the threads alive at the second one (a thread
// that ended in between is not counted).
double cpuSecondsBetween(const CpuSample& before, const CpuSample& after);
// The processes descended from a process, now.
std::vector<pid_t> descendants(pid_t pid);

// Starts an operation that reports through a completion (a server check) and waits for the
// completion; fails the run when it reports false or does not come.
void waitFor(const std::function<void(std::function<void(bool)>)>& operation);

// The main of a benchmark that times the launcher, or the anchor it is held against, up to the
// test agent's start: calls `launcher` or `anchor` (by the first argument) with the service host
// and the agent's start record, then ends without running static destructors, since background
// queues may still hold work.
using AgentStartRun = std::function<void(const std::string& host, const std::string& record)>;
[[noreturn]] void runAgentStartBenchmark(int argc, char** argv, const std::string& name,
                                         const AgentStartRun& launcher,
                                         const AgentStartRun& anchor);

// Fails the run: the message on standard error, exit status 1.
[[noreturn]] void fail(const std::string& message);

}  // namespace bench
