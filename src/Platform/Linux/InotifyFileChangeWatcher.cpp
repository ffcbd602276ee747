#include "Platform/Linux/InotifyFileChangeWatcher.h"

#include <glib-unix.h>
#include <glib.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>

#include "Platform/ExceptionGuard.h"

namespace platform {
namespace {

// One shot: the kernel drops the watch at the first event, so writes that follow cost their
// writers nothing (a watched write costs about as much as the write itself) until the watch is
// set again at the end of the interval.
constexpr std::uint32_t kFolderEvents = IN_MODIFY | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                        IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                        IN_ONESHOT;

void removeSource(unsigned& id) {
    if (id != 0) g_source_remove(id);
    id = 0;
}

}  // namespace

std::shared_ptr<FileChangeWatcher> FileChangeWatcher::create() {
    return std::make_shared<InotifyFileChangeWatcher>();
}

InotifyFileChangeWatcher::~InotifyFileChangeWatcher() {
    cancel();
}

void InotifyFileChangeWatcher::start(const std::string& folder, double minimumIntervalSeconds,
                                     Handler changed) {
    cancel();
    folder_ = folder;
    intervalMicroseconds_ =
        static_cast<std::int64_t>(std::llround(std::max(0.0, minimumIntervalSeconds) * 1e6));
    handler_ = std::move(changed);
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (!watchFolder()) lookForFolderLater();
    listen();
}

void InotifyFileChangeWatcher::cancel() {
    removeSource(readerSource_);
    removeSource(intervalSource_);
    removeSource(folderSource_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    handler_ = nullptr;
}

bool InotifyFileChangeWatcher::watchFolder() {
    return fd_ >= 0 && ::inotify_add_watch(fd_, folder_.c_str(), kFolderEvents) >= 0;
}

void InotifyFileChangeWatcher::lookForFolderLater() {
    if (folderSource_ != 0) return;
    folderSource_ = g_timeout_add_seconds(1, &InotifyFileChangeWatcher::onLookForFolder, this);
}

int InotifyFileChangeWatcher::onLookForFolder(void* data) {
    auto* self = static_cast<InotifyFileChangeWatcher*>(data);
    const bool watched = self->watchFolder();
    if (watched) self->folderSource_ = 0;
    // Whatever happened meanwhile is reported: once the folder is watched again, and every second
    // while it cannot be (no folder, or no inotify to be had).
    self->changed();
    return watched ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
}

void InotifyFileChangeWatcher::listen() {
    if (readerSource_ != 0 || fd_ < 0) return;
    readerSource_ = g_unix_fd_add(
        fd_, G_IO_IN,
        [](gint fd, GIOCondition condition, gpointer data) -> gboolean {
            return InotifyFileChangeWatcher::onReadable(fd, condition, data);
        },
        this);
}

void InotifyFileChangeWatcher::stopListening() {
    removeSource(readerSource_);
}

int InotifyFileChangeWatcher::onReadable(int, unsigned, void* data) {
    auto* self = static_cast<InotifyFileChangeWatcher*>(data);
    // The watch is spent; it is set again after the interval, with a report then.
    if (self->readEvents()) self->changed();
    return G_SOURCE_CONTINUE;
}

bool InotifyFileChangeWatcher::readEvents() {
    bool any = false;
    alignas(struct inotify_event) char buffer[16 * 1024];
    for (;;) {
        const ssize_t length = ::read(fd_, buffer, sizeof buffer);
        if (length < 0 && errno == EINTR) continue;
        if (length <= 0) break;
        any = true;
    }
    return any;
}

void InotifyFileChangeWatcher::changed() {
    if (intervalSource_ != 0) return;  // a report is due already
    // Nothing is read until the interval is over.
    stopListening();
    std::int64_t wait = lastReport_ + intervalMicroseconds_ - g_get_monotonic_time();
    if (wait <= 0) {
        report();
        wait = intervalMicroseconds_;
    }
    intervalSource_ = g_timeout_add_full(
        G_PRIORITY_DEFAULT, static_cast<guint>(std::max<std::int64_t>(1, (wait + 999) / 1000)),
        &InotifyFileChangeWatcher::onIntervalOver, this, nullptr);
}

int InotifyFileChangeWatcher::onIntervalOver(void* data) {
    auto* self = static_cast<InotifyFileChangeWatcher*>(data);
    self->intervalSource_ = 0;
    // What came meanwhile was not seen: the folder is watched again (a folder that went is
    // looked for), and a report goes out now.
    self->readEvents();
    if (self->folderSource_ == 0 && !self->watchFolder()) self->lookForFolderLater();
    self->listen();
    self->report();
    return G_SOURCE_REMOVE;
}

void InotifyFileChangeWatcher::report() {
    lastReport_ = g_get_monotonic_time();
    if (handler_) ExceptionGuard::run("FileChangeWatcher", handler_);
}

}  // namespace platform
