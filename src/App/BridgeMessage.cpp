#include "App/BridgeMessage.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

bool hasParameterShape(GVariant* parameters) {
    return parameters &&
           g_variant_is_of_type(parameters, G_VARIANT_TYPE(BridgeMessage::kParameterType));
}

}  // namespace

std::optional<std::string> BridgeMessage::sender(GVariant* parameters) {
    if (!hasParameterShape(parameters)) return std::nullopt;
    const char* address = nullptr;
    g_variant_get_child(parameters, 0, "&s", &address);
    return std::string(address);
}

std::optional<double> BridgeMessage::oversize(GVariant* parameters) {
    if (!hasParameterShape(parameters)) return std::nullopt;
    const char* kind = nullptr;
    double number = 0;
    g_variant_get_child(parameters, 1, "&s", &kind);
    if (std::string_view(kind) != kOversize) return std::nullopt;
    g_variant_get_child(parameters, 3, "d", &number);
    return number;
}

std::optional<ScriptMessage> BridgeMessage::decode(const char* name, GVariant* parameters) {
    if (!name || !hasParameterShape(parameters)) return std::nullopt;
    const char* address = nullptr;
    const char* kind = nullptr;
    GVariant* bytes = nullptr;
    double number = 0;
    g_variant_get(parameters, "(&s&s@ayd)", &address, &kind, &bytes, &number);
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_variant_get_fixed_array(bytes, &size, 1));
    const bool withinLimit = size <= kMaximumBodyBytes;
    const std::string text = data && withinLimit ? std::string(data, size) : std::string();
    g_variant_unref(bytes);
    if (!withinLimit) return std::nullopt;

    // The body keeps the kind the page gave it: the dispatcher's rules depend on it.
    std::optional<nlohmann::json> body;
    const std::string_view posted(kind);
    if (posted == kUndefined) {
        body = std::nullopt;
    } else if (posted == kNull) {
        body = nlohmann::json(nullptr);
    } else if (posted == kString) {
        body = nlohmann::json(text);
    } else if (posted == kBoolean) {
        body = nlohmann::json(number != 0);
    } else if (posted == kNumber) {
        // Script numbers are doubles; whole ones that a double holds exactly are integers.
        constexpr double kExactIntegers = 9007199254740992.0;  // 2^53
        if (std::isfinite(number) && number == std::trunc(number) &&
            std::fabs(number) <= kExactIntegers) {
            body = nlohmann::json(static_cast<std::int64_t>(number));
        } else {
            body = nlohmann::json(number);
        }
    } else if (posted == kJson) {
        auto parsed = nlohmann::json::parse(text, nullptr, false);
        body = parsed.is_discarded() ? nlohmann::json(nullptr) : std::move(parsed);
    } else {
        return std::nullopt;
    }
    return ScriptMessage(name, std::move(body), address);
}
