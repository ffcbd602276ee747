#pragma once

#include <mutex>

#include "Platform/DistributedNotificationCenter.h"

typedef struct _GDBusConnection GDBusConnection;

namespace platform {

// Posts notifications as signals on the session bus, over a connection of its own (so a bus
// that goes away never ends the process, as the shared bus connection would).
class GDBusDistributedNotificationCenter final : public DistributedNotificationCenter {
  public:
    GDBusDistributedNotificationCenter() = default;
    ~GDBusDistributedNotificationCenter() override;
    GDBusDistributedNotificationCenter(const GDBusDistributedNotificationCenter&) = delete;
    GDBusDistributedNotificationCenter& operator=(const GDBusDistributedNotificationCenter&) =
        delete;

    bool post(const std::string& name, std::int64_t status) override;

  private:
    // The open connection, made on first use and again after it closed; null without a bus.
    GDBusConnection* connection(std::string& failure);

    std::mutex mutex_;
    GDBusConnection* connection_ = nullptr;
};

}  // namespace platform
