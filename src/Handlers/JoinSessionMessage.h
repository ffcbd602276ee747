#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The body of "sendJoinDetailsToNative": the session the customer joins.
struct JoinSessionMessage {
    std::int64_t sessionKey = 0;
    std::string email;
    std::optional<std::string> dc;  // absent when the page left it out or sent null

    // Decodes the JSON text; nullopt unless every rule holds: an object, "sessionKey" a JSON
    // integer that fits 64 signed bits, "email" a string, "dc" missing, null or a string.
    // Other keys are ignored.
    static std::optional<JoinSessionMessage> decode(std::string_view json);
};
