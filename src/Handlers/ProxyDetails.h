#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Handlers/BridgeJson.h"

namespace platform {
class UserDefaults;
}

// The body of "sendProxyDetailsToNative", and the answer to "getProxyDetails". The proxy settings
// file is written from the same stored values.
struct ProxyDetails {
    std::string host;
    std::int64_t port = 0;
    bool authRequired = false;
    std::string userName;
    std::string password;

    // The stored keys, in order: "host", "port", "authRequired", "userName", "password".
    static const std::vector<std::string>& keys();

    // Decodes the JSON text; nullopt unless it is an object with "host", "userName" and
    // "password" strings, "port" a JSON integer that fits 64 signed bits and "authRequired" a
    // JSON boolean.
    static std::optional<ProxyDetails> decode(std::string_view json);

    // The reply object from the stored settings, a missing value as null (the password as
    // stored). Compact JSON text, or the reason it could not be made.
    static BridgeJson::Text reply(const platform::UserDefaults& defaults);
};
