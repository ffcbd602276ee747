#include "Handlers/CustomerDetails.h"

#include "Platform/UserDefaults.h"

const std::vector<std::string>& CustomerDetails::keys() {
    static const std::vector<std::string> list{"name", "company", "email", "language"};
    return list;
}

std::optional<CustomerDetails> CustomerDetails::decode(std::string_view json) {
    const auto object = BridgeJson::parseObject(json);
    if (!object) return std::nullopt;
    auto name = BridgeJson::string(*object, "name");
    auto company = BridgeJson::string(*object, "company");
    auto email = BridgeJson::string(*object, "email");
    auto language = BridgeJson::string(*object, "language");
    if (!name || !company || !email || !language) return std::nullopt;
    return CustomerDetails{std::move(*name), std::move(*company), std::move(*email),
                           std::move(*language)};
}

BridgeJson::Text CustomerDetails::reply(const platform::UserDefaults& defaults) {
    auto values = defaults.valuesForKeys(keys());
    auto& language = values["language"];
    if (language.isNull() || (language.asString() && language.asString()->empty())) {
        language = platform::PlistValue("en");
    }
    return BridgeJson::serialise(values);
}
