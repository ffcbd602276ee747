#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "Platform/FileChangeWatcher.h"

namespace platform {

// The file-change watcher on inotify: a one-shot watch of the folder, read on the GLib main
// context. The first event spends the watch; it is set again when the interval is over, and the
// folder is reported on then. A file written without pause thus costs its writers nearly nothing
// and wakes the main loop about once per interval.
class InotifyFileChangeWatcher final : public FileChangeWatcher {
  public:
    InotifyFileChangeWatcher() = default;
    ~InotifyFileChangeWatcher() override;
    InotifyFileChangeWatcher(const InotifyFileChangeWatcher&) = delete;
    InotifyFileChangeWatcher& operator=(const InotifyFileChangeWatcher&) = delete;

    void start(const std::string& folder, double minimumIntervalSeconds, Handler changed) override;
    void cancel() override;

  private:
    static int onReadable(int fd, unsigned condition, void* self);
    static int onIntervalOver(void* self);
    static int onLookForFolder(void* self);

    // Sets the one-shot watch on the folder's path.
    bool watchFolder();
    void lookForFolderLater();
    void listen();
    void stopListening();
    // Reads what the kernel queued; true when there was anything.
    bool readEvents();
    void changed();
    void report();

    std::string folder_;
    std::int64_t intervalMicroseconds_ = 0;
    Handler handler_;
    int fd_ = -1;
    unsigned readerSource_ = 0;
    unsigned intervalSource_ = 0;
    unsigned folderSource_ = 0;
    // When the last report went out (monotonic microseconds); long ago at first.
    std::int64_t lastReport_ = std::numeric_limits<std::int64_t>::min() / 2;
};

}  // namespace platform
