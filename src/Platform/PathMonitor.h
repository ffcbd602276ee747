#pragma once

#include <functional>
#include <memory>

namespace platform {

// Reports the machine's connectivity: once right after starting and after each change. Reports
// arrive on a background thread.
class PathMonitor {
public:
    using Handler = std::function<void(bool satisfied)>;

    virtual ~PathMonitor() = default;

    static std::unique_ptr<PathMonitor> create();

    // Starts (or, after cancel, restarts) reporting to the handler.
    virtual void start(Handler handler) = 0;
    // No report arrives after this returns.
    virtual void cancel() = 0;
};

}  // namespace platform
