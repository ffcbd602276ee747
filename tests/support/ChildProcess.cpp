#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

using Clock = std::chrono::steady_clock;

// Only a hung body takes this long.
constexpr auto kHang = std::chrono::seconds(120);

int openFresh(const std::string& file) {
    return ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
}

// Forks a child that sends its standard streams to `output` and `errors` and runs `body`; the
// parent gets the child's id (or -1).
pid_t startChild(const std::function<void()>& body, const std::string& output,
                 const std::string& errors) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child != 0) return child;
    const int out = openFresh(output);
    const int err = errors == output ? ::dup(out) : openFresh(errors);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    ::close(out);
    ::close(err);
    body();
    std::fflush(nullptr);
    std::_Exit(0);
}

int reap(pid_t child) {
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The next report of the child on `pipe` before `until`: 's' (started), 'f' (finished), or 0
// when none came (the child died, or the time is over).
char nextReport(int pipe, Clock::time_point until) {
    pollfd readable{pipe, POLLIN, 0};
    const auto left = std::max(until - Clock::now(), Clock::duration::zero());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const timespec wait{static_cast<time_t>(seconds.count()),
                        static_cast<long>(std::chrono::nanoseconds(left - seconds).count())};
    char report = 0;
    if (::ppoll(&readable, 1, &wait, nullptr) > 0 && ::read(pipe, &report, 1) != 1) report = 0;
    return report;
}

}  // namespace

int ChildProcess::run(const std::function<void()>& body, const std::string& output,
                      const std::string& errors) {
    return reap(startChild(body, output, errors));
}

std::optional<ChildProcess::Killed> ChildProcess::runKilled(
    const std::function<void()>& body, std::optional<std::chrono::microseconds> killAfter) {
    int reports[2];
    if (::pipe2(reports, O_CLOEXEC) != 0) return std::nullopt;
    const auto report = [&](char what) { return ::write(reports[1], &what, 1) == 1; };
    const pid_t child = startChild(
        [&] {
            ::close(reports[0]);
            if (!report('s')) return;
            body();
            report('f');
        },
        "/dev/null", "/dev/null");
    ::close(reports[1]);
    if (child < 0) {
        ::close(reports[0]);
        return std::nullopt;
    }

    std::optional<Killed> result;
    if (nextReport(reports[0], Clock::now() + kHang) == 's') {
        const auto started = Clock::now();
        const auto until = started + (killAfter ? Clock::duration(*killAfter) : kHang);
        Killed killed;
        killed.finished = nextReport(reports[0], until) == 'f';
        killed.took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started);
        if (!killed.finished) {
            ::kill(child, SIGKILL);
            // The body may have finished just before the kill.
            killed.finished = nextReport(reports[0], Clock::now() + kHang) == 'f';
        }
        if (killed.finished || killAfter) result = killed;
    }
    ::kill(child, SIGKILL);  // a child that hung or never began goes too
    ::close(reports[0]);
    return reap(child) == -1 ? std::nullopt : result;
}
