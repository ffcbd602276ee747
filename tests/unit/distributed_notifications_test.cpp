// System-wide notifications as signals on the session bus.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>

#include "Platform/Linux/GDBusDistributedNotificationCenter.h"
#include "TempHome.h"

namespace {

using platform::DistributedNotificationCenter;
using platform::GDBusDistributedNotificationCenter;

struct Heard {
    std::string path;
    std::string interface;
    std::string name;
    std::string signature;
    std::optional<std::int64_t> status;
};

// Listens on a connection of its own, the way another process would.
class Listener {
  public:
    Listener() {
        context_ = g_main_context_new();
        g_main_context_push_thread_default(context_);
        GError* error = nullptr;
        gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
        if (address) {
            bus_ = g_dbus_connection_new_for_address_sync(
                address,
                static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                  G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                nullptr, nullptr, &error);
            g_free(address);
        }
        g_clear_error(&error);
        if (!bus_) return;
        subscription_ = g_dbus_connection_signal_subscribe(
            bus_, nullptr, DistributedNotificationCenter::kInterface, nullptr,
            DistributedNotificationCenter::kObjectPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            &Listener::onSignal, this, nullptr);
        // A round trip to the bus: the match rule is in place once the answer is back.
        GVariant* reply = g_dbus_connection_call_sync(
            bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId",
            nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        if (reply) g_variant_unref(reply);
    }

    ~Listener() {
        if (bus_) {
            g_dbus_connection_signal_unsubscribe(bus_, subscription_);
            g_dbus_connection_close_sync(bus_, nullptr, nullptr);
            g_object_unref(bus_);
        }
        while (g_main_context_iteration(context_, FALSE)) {
        }
        g_main_context_pop_thread_default(context_);
        g_main_context_unref(context_);
    }

    bool connected() const { return bus_ != nullptr; }

    std::optional<Heard> next() {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (heard_.empty() && std::chrono::steady_clock::now() < end) {
            g_main_context_iteration(context_, FALSE);
            g_usleep(5000);
        }
        if (heard_.empty()) return std::nullopt;
        Heard first = heard_.front();
        heard_.erase(heard_.begin());
        return first;
    }

  private:
    static void onSignal(GDBusConnection*, const gchar*, const gchar* path, const gchar* interface,
                         const gchar* name, GVariant* parameters, gpointer data) {
        Heard heard{path, interface, name, g_variant_get_type_string(parameters), std::nullopt};
        if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(a{sv})"))) {
            GVariant* userInfo = g_variant_get_child_value(parameters, 0);
            std::int64_t status = 0;
            if (g_variant_lookup(userInfo, "status", "x", &status)) heard.status = status;
            g_variant_unref(userInfo);
        }
        static_cast<Listener*>(data)->heard_.push_back(heard);
    }

    GMainContext* context_ = nullptr;
    GDBusConnection* bus_ = nullptr;
    guint subscription_ = 0;
    std::vector<Heard> heard_;
};

class DistributedNotificationsTest : public TempHomeTest {};

TEST_F(DistributedNotificationsTest, PostIsASignalWithTheNameAndStatusOnTheSessionBus) {
    if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
        GTEST_SKIP() << "no session bus: `make test` runs this under dbus-run-session";
    }
    Listener listener;
    ASSERT_TRUE(listener.connected());
    GDBusDistributedNotificationCenter center;

    for (const std::int64_t status : {std::int64_t{0}, std::int64_t{1} << 40}) {
        SCOPED_TRACE(status);
        ASSERT_TRUE(center.post("SendSessionStatusToHelvoPellix", status));
        const auto heard = listener.next();
        ASSERT_TRUE(heard);
        EXPECT_EQ(heard->path, DistributedNotificationCenter::kObjectPath);
        EXPECT_EQ(heard->interface, DistributedNotificationCenter::kInterface);
        EXPECT_EQ(heard->name, "SendSessionStatusToHelvoPellix");
        EXPECT_EQ(heard->signature, "(a{sv})");
        EXPECT_EQ(heard->status, status);
    }
}

TEST_F(DistributedNotificationsTest, WithoutASessionBusThePostIsLoggedAndDropped) {
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + path("no-bus-here")).c_str(), 1);
    GDBusDistributedNotificationCenter center;
    testing::internal::CaptureStderr();
    const bool sent = center.post("SendSessionStatusToHelvoPellix", 0);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(sent);
    EXPECT_NE(log.find("No session bus"), std::string::npos) << log;
    EXPECT_NE(log.find("SendSessionStatusToHelvoPellix"), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
}

TEST_F(DistributedNotificationsTest, NameThatIsNoSignalNameIsRefused) {
    GDBusDistributedNotificationCenter center;
    EXPECT_FALSE(center.post("Retry.DMG Downloadig", 0));
}

}  // namespace
