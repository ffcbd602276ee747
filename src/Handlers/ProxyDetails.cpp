#include "Handlers/ProxyDetails.h"

#include "Platform/UserDefaults.h"

const std::vector<std::string>& ProxyDetails::keys() {
    static const std::vector<std::string> list{"host", "port", "authRequired", "userName",
                                               "password"};
    return list;
}

std::optional<ProxyDetails> ProxyDetails::decode(std::string_view json) {
    const auto object = BridgeJson::parseObject(json);
    if (!object) return std::nullopt;
    auto host = BridgeJson::string(*object, "host");
    const auto port = BridgeJson::integer(*object, "port");
    const auto authRequired = BridgeJson::boolean(*object, "authRequired");
    auto userName = BridgeJson::string(*object, "userName");
    auto password = BridgeJson::string(*object, "password");
    if (!host || !port || !authRequired || !userName || !password) return std::nullopt;
    return ProxyDetails{std::move(*host), *port, *authRequired, std::move(*userName),
                        std::move(*password)};
}

BridgeJson::Text ProxyDetails::reply(const platform::UserDefaults& defaults) {
    return BridgeJson::serialise(defaults.valuesForKeys(keys()));
}
