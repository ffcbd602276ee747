#include "Platform/PlistValue.h"

#include <fmt/chrono.h>
#include <fmt/format.h>

namespace platform {

std::optional<std::string> PlistValue::stringValue() const {
    if (const auto* text = asString()) return *text;
    if (const auto* integer = asInteger()) return std::to_string(*integer);
    if (const auto* real = asReal()) return fmt::format("{}", *real);
    return std::nullopt;
}

std::string PlistValue::description() const {
    if (isNull()) return "(null)";
    if (auto text = stringValue()) return *text;
    if (const auto* flag = asBoolean()) return *flag ? "1" : "0";
    if (const auto* data = asData()) return fmt::format("{{length = {}}}", data->size());
    if (const auto* date = asDate()) {
        return fmt::format("{:%Y-%m-%d %H:%M:%S} +0000",
                           std::chrono::floor<std::chrono::seconds>(*date));
    }
    std::string out;
    if (const auto* array = asArray()) {
        out = "(\n";
        for (std::size_t i = 0; i < array->size(); ++i) {
            out += "    " + (*array)[i].description() + (i + 1 < array->size() ? ",\n" : "\n");
        }
        return out + ")";
    }
    out = "{\n";
    for (const auto& [key, value] : *asDictionary()) {
        out += fmt::format("    {} = {};\n", key, value.description());
    }
    return out + "}";
}

}  // namespace platform
