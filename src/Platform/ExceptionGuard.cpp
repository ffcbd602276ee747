#include "Platform/ExceptionGuard.h"

#include <execinfo.h>

#include <cstdlib>
#include <memory>

#include "Platform/Log.h"

namespace platform {

std::string ExceptionGuard::callStackSymbols() {
    void* frames[64];
    const int count = backtrace(frames, 64);
    std::unique_ptr<char*, decltype(&std::free)> symbols(backtrace_symbols(frames, count),
                                                         &std::free);
    std::string out = "(\n";
    for (int i = 0; i < count; ++i) {
        out += fmt::format("    \"{:<4}{}\"{}\n", i, symbols ? symbols.get()[i] : "?",
                           i + 1 < count ? "," : "");
    }
    return out + ")";
}

void ExceptionGuard::logException(std::string_view operation,
                                  std::string_view description) noexcept {
    try {
        Log::nslog(
            "{} : ************************ EXCEPTION ************************ \n Description :  "
            "{} // Call Stack Symbol : {}",
            operation, description, callStackSymbols());
    } catch (...) {
        // Nothing is left to report with.
    }
}

}  // namespace platform
