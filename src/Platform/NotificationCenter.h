#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/PlistValue.h"

namespace platform {

// The in-process notification centre: observers by name; posting runs them synchronously on
// the posting thread.
class NotificationCenter {
public:
    struct Notification {
        std::string name;
        const void* sender = nullptr;
        PlistValue::Dictionary userInfo;
    };
    using Handler = std::function<void(const Notification&)>;

    static NotificationCenter& defaultCenter();

    // Registers observer for name (an empty name observes every notification).
    void addObserver(const void* observer, std::string name, Handler handler);
    // Removes observer for every name it is registered for.
    void removeObserver(const void* observer);
    void post(const std::string& name, const void* sender = nullptr,
              PlistValue::Dictionary userInfo = {});

    std::size_t observerCount(const std::string& name) const;

private:
    struct Registration {
        const void* observer;
        std::string name;
        std::shared_ptr<Handler> handler;
    };
    mutable std::mutex mutex_;
    std::vector<Registration> registrations_;
};

}  // namespace platform
