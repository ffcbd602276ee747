#pragma once

#include <functional>
#include <memory>
#include <string>

namespace platform {

// Tells when something changes in a folder: a file written, created, removed or renamed, or the
// folder itself gone. Reports come on the main loop: one at the first change after a quiet
// interval, then one at the end of each interval in which changes may have come. Nothing
// changing, nothing runs: the watcher keeps no timer of its own while all is quiet.
class FileChangeWatcher {
  public:
    using Handler = std::function<void()>;

    virtual ~FileChangeWatcher() = default;

    // Create and use on the main thread.
    static std::shared_ptr<FileChangeWatcher> create();

    // Watches `folder` from now on. A folder that is missing or goes away is watched again once
    // it is back; meanwhile (and wherever changes cannot be watched at all) a report comes once a
    // second.
    virtual void start(const std::string& folder, double minimumIntervalSeconds,
                       Handler changed) = 0;
    // No report comes after this returns.
    virtual void cancel() = 0;
};

}  // namespace platform
