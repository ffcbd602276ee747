#include "Platform/Linux/GDBusDistributedNotificationCenter.h"

#include <gio/gio.h>

#include "Platform/Log.h"

namespace platform {

std::shared_ptr<DistributedNotificationCenter> DistributedNotificationCenter::makeDefault() {
    return std::make_shared<GDBusDistributedNotificationCenter>();
}

GDBusDistributedNotificationCenter::~GDBusDistributedNotificationCenter() {
    if (connection_) g_object_unref(connection_);
}

GDBusConnection* GDBusDistributedNotificationCenter::connection(std::string& failure) {
    if (connection_ && g_dbus_connection_is_closed(connection_)) g_clear_object(&connection_);
    if (connection_) return connection_;

    GError* error = nullptr;
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (address) {
        connection_ = g_dbus_connection_new_for_address_sync(
            address,
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        g_free(address);
    }
    if (!connection_) {
        failure = error ? error->message : "unknown error";
        g_clear_error(&error);
    }
    return connection_;
}

bool GDBusDistributedNotificationCenter::post(const std::string& name, std::int64_t status) {
    if (!g_dbus_is_member_name(name.c_str())) {
        Log::nslog("DistributedNotificationCenter : {} is not a valid signal name; not posted",
                   name);
        return false;
    }

    std::lock_guard lock(mutex_);
    std::string failure;
    GDBusConnection* bus = connection(failure);
    if (!bus) {
        Log::nslog("DistributedNotificationCenter : No session bus, {} (status {}) dropped : {}",
                   name, status, failure);
        return false;
    }

    GVariantBuilder userInfo;
    g_variant_builder_init(&userInfo, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&userInfo, "{sv}", "status", g_variant_new_int64(status));
    GError* error = nullptr;
    const bool sent =
        g_dbus_connection_emit_signal(bus, nullptr, kObjectPath, kInterface, name.c_str(),
                                      g_variant_new("(a{sv})", &userInfo), &error) &&
        // The signal leaves before this returns, even when the process ends right after.
        g_dbus_connection_flush_sync(bus, nullptr, &error);
    if (!sent) {
        Log::nslog("DistributedNotificationCenter : {} (status {}) not sent : {}", name, status,
                   error ? error->message : "unknown error");
        g_clear_error(&error);
    }
    return sent;
}

}  // namespace platform
