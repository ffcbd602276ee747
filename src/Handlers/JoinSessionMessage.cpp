#include "Handlers/JoinSessionMessage.h"

#include "Handlers/BridgeJson.h"

std::optional<JoinSessionMessage> JoinSessionMessage::decode(std::string_view json) {
    const auto object = BridgeJson::parseObject(json);
    if (!object) return std::nullopt;
    JoinSessionMessage message;
    const auto sessionKey = BridgeJson::integer(*object, "sessionKey");
    auto email = BridgeJson::string(*object, "email");
    if (!sessionKey || !email) return std::nullopt;
    message.sessionKey = *sessionKey;
    message.email = std::move(*email);
    if (const auto dc = object->find("dc"); dc != object->end() && !dc->is_null()) {
        if (!dc->is_string()) return std::nullopt;
        message.dc = dc->get<std::string>();
    }
    return message;
}
