#pragma once

#include <cstdint>
#include <string>

#include "Platform/FileChangeWatcher.h"

namespace platform {

// The file-change watcher on inotify: the folder is watched, and its events for the file (or for
// the folder itself) are read on the GLib main context. While a report waits out the interval,
// writes are not watched and the descriptor is not read, so a file written without pause costs
// its writers nearly nothing and wakes the main loop at most once per interval.
class InotifyFileChangeWatcher final : public FileChangeWatcher {
  public:
    InotifyFileChangeWatcher() = default;
    ~InotifyFileChangeWatcher() override;
    InotifyFileChangeWatcher(const InotifyFileChangeWatcher&) = delete;
    InotifyFileChangeWatcher& operator=(const InotifyFileChangeWatcher&) = delete;

    void start(const std::string& folder, const std::string& name, double minimumIntervalSeconds,
               Handler changed) override;
    void cancel() override;

  private:
    static int onReadable(int fd, unsigned condition, void* self);
    static int onIntervalOver(void* self);
    static int onLookForFolder(void* self);

    // Watches the folder's path, with or without the writes into its files.
    bool watchFolder(bool withWrites);
    void lookForFolderLater();
    void listen();
    void stopListening();
    // Reads what the kernel queued; true when any of it concerns the file or its folder.
    bool readEvents();
    void changed();
    void report();

    std::string folder_;
    std::string name_;
    std::int64_t intervalMicroseconds_ = 0;
    Handler handler_;
    int fd_ = -1;
    int watch_ = -1;
    unsigned readerSource_ = 0;
    unsigned intervalSource_ = 0;
    unsigned folderSource_ = 0;
    std::int64_t lastReport_ = 0;
};

}  // namespace platform
