#include "ProcessRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string_view>

#include "HdiutilError.h"

extern char** environ;

namespace hdiutil {
namespace {

// A pipe whose ends close themselves, so that every early exit (a failed spawn, a read error)
// leaves no descriptor behind in the parent.
class Pipe {
  public:
    Pipe() {
        if (pipe2(ends_.data(), O_CLOEXEC) != 0)
            throw HdiutilError(std::string("cannot create a pipe: ") + std::strerror(errno));
    }
    ~Pipe() {
        closeReadEnd();
        closeWriteEnd();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    int readEnd() const { return ends_[0]; }
    int writeEnd() const { return ends_[1]; }
    void closeReadEnd() { closeEnd(0); }
    void closeWriteEnd() { closeEnd(1); }

  private:
    void closeEnd(std::size_t which) {
        if (ends_[which] >= 0) close(ends_[which]);
        ends_[which] = -1;
    }
    std::array<int, 2> ends_{-1, -1};
};

// Our environment with the overrides applied; an override replaces the entry of the same name.
std::vector<std::string> childEnvironment(const std::vector<std::string>& overrides) {
    std::vector<std::string> entries;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        bool replaced = false;
        for (const auto& override : overrides) {
            const auto equals = override.find('=');
            if (equals != std::string::npos &&
                text.starts_with(std::string_view(override).substr(0, equals + 1)))
                replaced = true;
        }
        if (!replaced) entries.emplace_back(text);
    }
    entries.insert(entries.end(), overrides.begin(), overrides.end());
    return entries;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (auto& text : strings) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Reads both pipes until the child has closed them.
void drain(Pipe& out, Pipe& err, ProcessResult& result) {
    std::array<pollfd, 2> watched{pollfd{out.readEnd(), POLLIN, 0},
                                  pollfd{err.readEnd(), POLLIN, 0}};
    std::array<std::string*, 2> sinks{&result.standardOutput, &result.standardError};
    std::array<char, 65536> buffer{};
    int open = 2;
    while (open > 0) {
        if (poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) continue;
            throw HdiutilError(std::string("cannot read from 7zz: ") + std::strerror(errno));
        }
        for (std::size_t i = 0; i < watched.size(); ++i) {
            if (watched[i].fd < 0 || watched[i].revents == 0) continue;
            const ssize_t count = read(watched[i].fd, buffer.data(), buffer.size());
            if (count > 0) {
                sinks[i]->append(buffer.data(), static_cast<std::size_t>(count));
            } else if (count == 0 || errno != EINTR) {
                watched[i].fd = -1;  // end of file (or a broken pipe): this stream is done
                --open;
            }
        }
    }
}

int waitFor(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            throw HdiutilError(std::string("cannot wait for 7zz: ") + std::strerror(errno));
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

ProcessResult ProcessRunner::run(const std::string& program,
                                 const std::vector<std::string>& arguments,
                                 const std::vector<std::string>& environmentOverrides) {
    Pipe out;
    Pipe err;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.writeEnd(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.writeEnd(), STDERR_FILENO);

    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    auto argvPointers = pointersTo(argv);
    auto environment = childEnvironment(environmentOverrides);
    auto environmentPointers = pointersTo(environment);

    pid_t child = -1;
    const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argvPointers.data(),
                                    environmentPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw HdiutilError("cannot run " + program + ": " + std::strerror(spawned));

    // Only the child may hold the write ends now, so end of file means the child is done writing.
    out.closeWriteEnd();
    err.closeWriteEnd();

    ProcessResult result;
    try {
        drain(out, err, result);
    } catch (...) {
        kill(child, SIGKILL);  // it may be blocked on a pipe we no longer read
        waitFor(child);
        throw;
    }
    result.exitCode = waitFor(child);
    return result;
}

}  // namespace hdiutil
