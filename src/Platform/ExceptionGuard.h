#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace platform {

// The object runtime's exception guard: runs one guarded step and turns an exception into the
// common exception line, so nothing throws across a caller or a platform callback.
class ExceptionGuard {
public:
    // Runs step; returns false when it threw (the exception line has then been written).
    template <typename Step>
    static bool run(std::string_view operation, Step&& step) noexcept {
        try {
            step();
            return true;
        } catch (const std::exception& exception) {
            logException(operation, exception.what());
        } catch (...) {
            logException(operation, "unknown exception");
        }
        return false;
    }

    // "%s : ************************ EXCEPTION ************************ \n Description :  %@ //
    // Call Stack Symbol : %@"
    static void logException(std::string_view operation, std::string_view description) noexcept;

    // The printed form of the current call stack's symbols.
    static std::string callStackSymbols();
};

}  // namespace platform
