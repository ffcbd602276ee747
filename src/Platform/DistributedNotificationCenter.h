#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Platform/ServiceSlot.h"

namespace platform {

// The system-wide notification centre: a signal on the session bus that other processes hear,
// carrying the name and a "status" value. Without a session bus the post is logged and dropped.
class DistributedNotificationCenter {
public:
    // The bus names used for the signal.
    static constexpr const char* kObjectPath = "/com/Kelo/Helvo/KeloHelvoPellix";
    static constexpr const char* kInterface = "com.Kelo.Helvo.KeloHelvoPellix.Notification";

    virtual ~DistributedNotificationCenter() = default;

    static DistributedNotificationCenter& shared() {
        return ServiceSlot<DistributedNotificationCenter>::get();
    }
    static std::shared_ptr<DistributedNotificationCenter> makeDefault();

    // Emits the signal named name with the status value; false when it could not be sent.
    virtual bool post(const std::string& name, std::int64_t status) = 0;
};

}  // namespace platform
