#include "Handlers/BridgeJson.h"

#include <cmath>
#include <limits>

namespace BridgeJson {

std::optional<nlohmann::json> parseObject(std::string_view text) {
    auto parsed = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
    return parsed;
}

std::optional<std::string> string(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

std::optional<std::int64_t> integer(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end()) return std::nullopt;
    // The parser keeps integers beyond 64 bits, fractions and exponents as floating point.
    if (found->is_number_unsigned()) {
        const auto value = found->get<std::uint64_t>();
        if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(value);
    }
    if (found->is_number_integer()) return found->get<std::int64_t>();
    return std::nullopt;
}

std::optional<bool> boolean(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_boolean()) return std::nullopt;
    return found->get<bool>();
}

std::optional<nlohmann::json> fromStored(const platform::PlistValue& value, std::string& error) {
    if (value.isNull()) return nlohmann::json(nullptr);
    if (const auto* text = value.asString()) return nlohmann::json(*text);
    if (const auto* integer = value.asInteger()) return nlohmann::json(*integer);
    if (const auto* flag = value.asBoolean()) return nlohmann::json(*flag);
    if (const auto* real = value.asReal()) {
        if (std::isfinite(*real)) return nlohmann::json(*real);
        error = "Invalid number value (" + value.description() + ") in JSON write";
        return std::nullopt;
    }
    if (const auto* array = value.asArray()) {
        auto out = nlohmann::json::array();
        for (const auto& item : *array) {
            auto converted = fromStored(item, error);
            if (!converted) return std::nullopt;
            out.push_back(std::move(*converted));
        }
        return out;
    }
    if (const auto* dictionary = value.asDictionary()) {
        auto out = nlohmann::json::object();
        for (const auto& [key, item] : *dictionary) {
            auto converted = fromStored(item, error);
            if (!converted) return std::nullopt;
            out[key] = std::move(*converted);
        }
        return out;
    }
    error =
        value.isData() ? "Invalid type in JSON write (data)" : "Invalid type in JSON write (date)";
    return std::nullopt;
}

Text serialise(const platform::PlistValue::Dictionary& values) {
    Text text;
    auto object = fromStored(platform::PlistValue(values), text.error);
    if (!object) return text;
    try {
        text.json = object->dump();
    } catch (const nlohmann::json::exception& exception) {
        // Text that is not UTF-8 has no JSON form.
        text.error = exception.what();
    }
    return text;
}

}  // namespace BridgeJson
