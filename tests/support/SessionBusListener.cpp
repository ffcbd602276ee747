#include "SessionBusListener.h"

#include <gio/gio.h>

#include "Eventually.h"
#include "Platform/DistributedNotificationCenter.h"

namespace {

using platform::DistributedNotificationCenter;

void onSignal(GDBusConnection*, const gchar*, const gchar* path, const gchar* interface,
              const gchar* name, GVariant* parameters, gpointer data) {
    SessionBusListener::Heard heard{path, interface, name, g_variant_get_type_string(parameters),
                                    std::nullopt};
    if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(a{sv})"))) {
        GVariant* userInfo = g_variant_get_child_value(parameters, 0);
        gint64 status = 0;
        if (g_variant_lookup(userInfo, "status", "x", &status)) heard.status = status;
        g_variant_unref(userInfo);
    }
    static_cast<std::vector<SessionBusListener::Heard>*>(data)->push_back(heard);
}

}  // namespace

SessionBusListener::SessionBusListener() {
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
    if (bus_) {
        subscription_ = g_dbus_connection_signal_subscribe(
            bus_, nullptr, DistributedNotificationCenter::kInterface, nullptr,
            DistributedNotificationCenter::kObjectPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            &onSignal, &heard_, nullptr);
        // A round trip to the bus: the match rule is in place once the answer is back.
        GVariant* reply = g_dbus_connection_call_sync(
            bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId",
            nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        if (reply) g_variant_unref(reply);
    }
    g_main_context_pop_thread_default(context_);
}

SessionBusListener::~SessionBusListener() {
    if (bus_) {
        g_dbus_connection_signal_unsubscribe(bus_, subscription_);
        g_dbus_connection_close_sync(bus_, nullptr, nullptr);
        g_object_unref(bus_);
    }
    pump();
    g_main_context_unref(context_);
}

void SessionBusListener::pump() {
    while (g_main_context_iteration(context_, FALSE)) {
    }
}

std::optional<SessionBusListener::Heard> SessionBusListener::next() {
    if (!eventually([&] {
            pump();
            return !heard_.empty();
        })) {
        return std::nullopt;
    }
    Heard first = heard_.front();
    heard_.erase(heard_.begin());
    return first;
}

std::vector<std::int64_t> SessionBusListener::statuses(const std::string& name,
                                                       std::chrono::seconds limit) {
    const auto named = [&] {
        std::vector<std::int64_t> found;
        for (const auto& heard : heard_) {
            if (heard.name == name && heard.status) found.push_back(*heard.status);
        }
        return found;
    };
    eventually(
        [&] {
            pump();
            return !named().empty();
        },
        limit);
    pump();
    return named();
}
