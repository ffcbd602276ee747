#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

typedef struct _GMainContext GMainContext;
typedef struct _GDBusConnection GDBusConnection;

// Listens to the launcher's system-wide notifications on a session-bus connection of its own,
// the way another process would hear them.
class SessionBusListener {
  public:
    struct Heard {
        std::string path;
        std::string interface;
        std::string name;
        std::string signature;
        std::optional<std::int64_t> status;
    };

    SessionBusListener();
    ~SessionBusListener();
    SessionBusListener(const SessionBusListener&) = delete;
    SessionBusListener& operator=(const SessionBusListener&) = delete;

    bool connected() const { return bus_ != nullptr; }

    // The next signal heard, waiting for it up to a limit that only a hang reaches.
    std::optional<Heard> next();
    // The statuses of the signals named `name` heard within the limit, once at least one came.
    std::vector<std::int64_t> statuses(const std::string& name, std::chrono::seconds limit);

  private:
    void pump();

    GMainContext* context_ = nullptr;
    GDBusConnection* bus_ = nullptr;
    unsigned subscription_ = 0;
    std::vector<Heard> heard_;
};
