#pragma once

#include <memory>
#include <mutex>

namespace platform {

// Holds the one implementation of a platform service: the build's own backend
// (Service::makeDefault(), defined by the backend), or a stand-in that a test installs.
template <typename Service>
class ServiceSlot {
public:
    static Service& get() { return *current(); }

    static std::shared_ptr<Service> current() {
        std::lock_guard lock(mutex());
        auto& slot = instance();
        if (!slot) slot = Service::makeDefault();
        return slot;
    }

    static void set(std::shared_ptr<Service> service) {
        std::lock_guard lock(mutex());
        instance() = std::move(service);
    }

private:
    static std::mutex& mutex() {
        static std::mutex lock;
        return lock;
    }
    static std::shared_ptr<Service>& instance() {
        // Never destroyed: background threads may still reach the service while the process ends.
        static auto* slot = new std::shared_ptr<Service>();
        return *slot;
    }
};

}  // namespace platform
