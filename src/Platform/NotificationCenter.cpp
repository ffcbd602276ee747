#include "Platform/NotificationCenter.h"

#include <algorithm>
#include <memory>

namespace platform {

NotificationCenter& NotificationCenter::defaultCenter() {
    static auto* center = new NotificationCenter();
    return *center;
}

void NotificationCenter::addObserver(const void* observer, std::string name, Handler handler) {
    std::lock_guard lock(mutex_);
    registrations_.push_back(
        {observer, std::move(name), std::make_shared<Handler>(std::move(handler))});
}

void NotificationCenter::removeObserver(const void* observer) {
    std::lock_guard lock(mutex_);
    std::erase_if(registrations_,
                  [observer](const Registration& entry) { return entry.observer == observer; });
}

void NotificationCenter::post(const std::string& name, const void* sender,
                              PlistValue::Dictionary userInfo) {
    std::vector<std::shared_ptr<Handler>> handlers;
    {
        std::lock_guard lock(mutex_);
        for (const auto& entry : registrations_) {
            if (entry.name.empty() || entry.name == name) handlers.push_back(entry.handler);
        }
    }
    // Handlers run outside the lock: they may post, add or remove observers themselves.
    const Notification notification{name, sender, std::move(userInfo)};
    for (const auto& handler : handlers) (*handler)(notification);
}

std::size_t NotificationCenter::observerCount(const std::string& name) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(registrations_.begin(), registrations_.end(),
                      [&name](const Registration& entry) { return entry.name == name; }));
}

}  // namespace platform
