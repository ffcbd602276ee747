#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "Platform/PlistValue.h"

// The JSON rules shared by the bridge's records and replies.
namespace BridgeJson {

// Compact JSON text, or the description of why it could not be made.
struct Text {
    std::optional<std::string> json;
    std::string error;
};

// The JSON object in `text`, or nullopt when the text is not JSON or not an object.
std::optional<nlohmann::json> parseObject(std::string_view text);

// Typed members: nullopt when the key is missing, null or of another JSON type.
std::optional<std::string> string(const nlohmann::json& object, const char* key);
// A JSON integer (no fraction, no exponent) that fits 64 signed bits.
std::optional<std::int64_t> integer(const nlohmann::json& object, const char* key);
std::optional<bool> boolean(const nlohmann::json& object, const char* key);

// A stored value as JSON: null, text, numbers, booleans, arrays and dictionaries. Data, dates
// and numbers that are not finite have no JSON form.
std::optional<nlohmann::json> fromStored(const platform::PlistValue& value, std::string& error);

// Serialises the object compactly; a failure gives the reason instead.
Text serialise(const platform::PlistValue::Dictionary& values);

}  // namespace BridgeJson
