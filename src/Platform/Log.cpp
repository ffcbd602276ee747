#include "Platform/Log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>

#if defined(__GLIBC__)
#include <errno.h>
#endif

namespace platform {
namespace {

std::string processName() {
#if defined(__GLIBC__)
    return program_invocation_short_name;
#else
    return getprogname();
#endif
}

long threadId() {
#if defined(__linux__)
    return static_cast<long>(syscall(SYS_gettid));
#else
    return 0;
#endif
}

}  // namespace

std::string Log::prefix() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto seconds = system_clock::to_time_t(now);
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    return fmt::format("{}.{:03} {}[{}:{}] ", stamp, millis, processName(), getpid(), threadId());
}

void Log::write(std::string_view message) {
    std::string line = prefix();
    line.append(message);
    line.push_back('\n');
    // One locked write per line, so lines of several threads never interleave.
    flockfile(stderr);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    funlockfile(stderr);
}

}  // namespace platform
