#include "MainLoop.h"

#include <glib.h>

#include <thread>
#include <vector>

bool MainLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        if (!g_main_context_iteration(nullptr, FALSE)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    return true;
}

void MainLoop::runFor(std::chrono::milliseconds duration) {
    runUntil([] { return false; }, duration);
}

bool MainLoop::runUntilIdle(std::chrono::milliseconds limit) {
    GMainContext* context = g_main_context_default();
    std::vector<GPollFD> descriptors(64);
    return runUntil(
        [&] {
            // One iteration by hand, to learn how long the loop would sleep: -1 is for ever.
            if (!g_main_context_acquire(context)) return false;
            gint priority = 0;
            g_main_context_prepare(context, &priority);
            gint timeout = 0;
            const gint count = g_main_context_query(context, priority, &timeout, descriptors.data(),
                                                    static_cast<gint>(descriptors.size()));
            if (count > static_cast<gint>(descriptors.size())) {
                descriptors.resize(static_cast<std::size_t>(count));
                g_main_context_query(context, priority, &timeout, descriptors.data(), count);
            }
            for (gint i = 0; i < count; ++i) descriptors[static_cast<std::size_t>(i)].revents = 0;
            if (g_main_context_check(context, priority, descriptors.data(), count)) {
                g_main_context_dispatch(context);
            }
            g_main_context_release(context);
            return timeout < 0;
        },
        limit);
}
