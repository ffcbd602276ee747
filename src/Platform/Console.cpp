#include "Platform/Console.h"

#include <cstdio>

namespace platform {

void Console::print(std::string_view line) {
    flockfile(stdout);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    funlockfile(stdout);
}

}  // namespace platform
