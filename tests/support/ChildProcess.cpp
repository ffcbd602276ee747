#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

int openFresh(const std::string& file) {
    return ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
}

}  // namespace

int ChildProcess::run(const std::function<void()>& body, const std::string& output,
                      const std::string& errors,
                      std::optional<std::chrono::microseconds> killAfter) {
    std::fflush(nullptr);
    const auto deadline =
        std::chrono::steady_clock::now() + killAfter.value_or(std::chrono::hours(1));
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
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
    int status = 0;
    pid_t reaped = 0;
    while (killAfter && (reaped = ::waitpid(child, &status, WNOHANG)) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(child, SIGKILL);
            break;
        }
        ::usleep(50);
    }
    if (reaped != child && ::waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
