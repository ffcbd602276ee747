#include "Platform/Linux/GLibMainQueue.h"

#include <glib.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

#include "Platform/ExceptionGuard.h"

namespace platform {
namespace {

// Static initialisation runs on the thread that starts the program: the main thread.
const std::thread::id kMainThread = std::this_thread::get_id();

class GLibRepeatingTimer final : public RepeatingTimer,
                                 public std::enable_shared_from_this<GLibRepeatingTimer> {
public:
    explicit GLibRepeatingTimer(std::function<void()> action) : action_(std::move(action)) {}

    void start(double intervalSeconds) {
        const auto millis = static_cast<guint>(std::max(1.0, std::round(intervalSeconds * 1000)));
        // The source holds a reference of its own, as a run loop holds its timers.
        auto* self = new std::shared_ptr<GLibRepeatingTimer>(shared_from_this());
        sourceId_ = g_timeout_add_full(G_PRIORITY_DEFAULT, millis, &GLibRepeatingTimer::fire, self,
                                       [](gpointer data) {
                                           delete static_cast<std::shared_ptr<GLibRepeatingTimer>*>(
                                               data);
                                       });
    }

    void invalidate() override {
        if (!valid_.exchange(false)) return;
        const guint id = sourceId_.exchange(0);
        if (id != 0) g_source_remove(id);
    }

    bool isValid() const override { return valid_.load(); }

private:
    static gboolean fire(gpointer data) {
        auto timer = *static_cast<std::shared_ptr<GLibRepeatingTimer>*>(data);
        if (!timer->valid_.load()) return G_SOURCE_REMOVE;
        ExceptionGuard::run("RepeatingTimer", timer->action_);
        if (timer->valid_.load()) return G_SOURCE_CONTINUE;
        // Invalidated from inside its own action: the source goes away on return.
        timer->sourceId_.store(0);
        return G_SOURCE_REMOVE;
    }

    std::function<void()> action_;
    std::atomic<bool> valid_{true};
    std::atomic<guint> sourceId_{0};
};

}  // namespace

std::shared_ptr<MainQueue> MainQueue::makeDefault() { return std::make_shared<GLibMainQueue>(); }

namespace {

// A block on its way to the main loop. GLib's own locks order the hand-over, but they are futexes
// that ThreadSanitizer cannot see; the release and acquire on `handedOver` state the same order in
// a way it can, so what the sending thread wrote before async() is not reported as a race.
struct HandedOverBlock {
    explicit HandedOverBlock(std::function<void()> work) : block(std::move(work)) {
        handedOver.store(true, std::memory_order_release);
    }
    std::function<void()> block;
    std::atomic<bool> handedOver{false};
};

}  // namespace

void GLibMainQueue::async(std::function<void()> block) {
    auto* owned = new HandedOverBlock(std::move(block));
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            auto* handed = static_cast<HandedOverBlock*>(data);
            if (handed->handedOver.load(std::memory_order_acquire)) {
                ExceptionGuard::run("MainQueue", handed->block);
            }
            return G_SOURCE_REMOVE;
        },
        owned, [](gpointer data) { delete static_cast<HandedOverBlock*>(data); });
}

std::shared_ptr<RepeatingTimer> GLibMainQueue::scheduleRepeatingTimer(
    double intervalSeconds, std::function<void()> action) {
    auto timer = std::make_shared<GLibRepeatingTimer>(std::move(action));
    timer->start(intervalSeconds);
    return timer;
}

bool GLibMainQueue::isMainThread() const { return std::this_thread::get_id() == kMainThread; }

}  // namespace platform
