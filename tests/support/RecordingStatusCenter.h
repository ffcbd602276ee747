#pragma once

#include <cstdint>
#include <string>

#include "Journal.h"
#include "Platform/DistributedNotificationCenter.h"

// Notes every system-wide notification as "name status" instead of sending it.
class RecordingStatusCenter final : public platform::DistributedNotificationCenter {
  public:
    bool post(const std::string& name, std::int64_t status) override {
        journal.add(name + " " + std::to_string(status));
        return true;
    }

    Journal journal;
};
