#include "Platform/Linux/GioPathMonitor.h"

#include <gio/gio.h>

#include <cstdint>
#include <mutex>

#include "Platform/ExceptionGuard.h"
#include "Platform/SerialQueue.h"

namespace platform {

// Shared by the monitor, the signal connection and the reports on their way; a report whose
// generation is no longer current (cancelled, or started anew) is dropped.
struct GioPathMonitor::State {
    // What the signal connection holds: the state and the generation it was made for.
    struct Connection {
        std::shared_ptr<State> state;
        std::uint64_t generation = 0;
    };

    // Held while a report runs, so cancel() returns only after a running report has ended. A
    // handler that cancels its own monitor already holds it on its thread.
    std::recursive_mutex deliveryMutex;
    std::mutex mutex;
    Handler handler;
    std::uint64_t generation = 0;
    bool active = false;
    gulong signalId = 0;
    GNetworkMonitor* monitor = nullptr;

    void report(std::uint64_t forGeneration, bool satisfied) {
        std::lock_guard delivery(deliveryMutex);
        Handler current;
        {
            std::lock_guard lock(mutex);
            if (!active || generation != forGeneration) return;
            current = handler;
        }
        ExceptionGuard::run("PathMonitor", [&] { current(satisfied); });
    }

    // Reports leave the signal's thread at once and run one after the other, in the order the
    // changes came, on a background queue that lives as long as the process.
    static void forward(const std::shared_ptr<State>& self, std::uint64_t forGeneration,
                        bool satisfied) {
        static auto* queue = new SerialQueue("com.Kelo.Helvo.KeloHelvoPellix.PathMonitor");
        queue->async([self, forGeneration, satisfied] { self->report(forGeneration, satisfied); });
    }
};

std::unique_ptr<PathMonitor> PathMonitor::create() {
    return std::make_unique<GioPathMonitor>();
}

GioPathMonitor::GioPathMonitor() : state_(std::make_shared<State>()) {}

GioPathMonitor::~GioPathMonitor() {
    cancel();
}

void GioPathMonitor::start(Handler handler) {
    cancel();
    GNetworkMonitor* monitor = g_network_monitor_get_default();
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(state_->mutex);
        state_->handler = std::move(handler);
        generation = ++state_->generation;
        state_->active = true;
        state_->monitor = G_NETWORK_MONITOR(g_object_ref(monitor));
    }

    auto* connection = new State::Connection{state_, generation};
    const gulong id = g_signal_connect_data(
        monitor, "network-changed",
        G_CALLBACK(+[](GNetworkMonitor*, gboolean available, gpointer data) {
            auto* self = static_cast<State::Connection*>(data);
            State::forward(self->state, self->generation, available != FALSE);
        }),
        connection, [](gpointer data, GClosure*) { delete static_cast<State::Connection*>(data); },
        static_cast<GConnectFlags>(0));
    {
        std::lock_guard lock(state_->mutex);
        state_->signalId = id;
    }
    State::forward(state_, generation, g_network_monitor_get_network_available(monitor) != FALSE);
}

void GioPathMonitor::cancel() {
    std::lock_guard delivery(state_->deliveryMutex);
    gulong id = 0;
    GNetworkMonitor* monitor = nullptr;
    {
        std::lock_guard lock(state_->mutex);
        state_->active = false;
        ++state_->generation;
        id = state_->signalId;
        state_->signalId = 0;
        monitor = state_->monitor;
        state_->monitor = nullptr;
        state_->handler = nullptr;
    }
    if (monitor) {
        if (id != 0) g_signal_handler_disconnect(monitor, id);
        g_object_unref(monitor);
    }
}

}  // namespace platform
