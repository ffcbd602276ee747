#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Handlers/BridgeJson.h"

namespace platform {
class UserDefaults;
}

// The body of "sendCustomerDetailsToNative", and the answer to "getCustomerDetails".
struct CustomerDetails {
    std::string name;
    std::string company;
    std::string email;
    std::string language;

    // The stored keys of the reply, in order.
    static const std::vector<std::string>& keys();

    // Decodes the JSON text; nullopt unless it is an object whose four keys are strings.
    static std::optional<CustomerDetails> decode(std::string_view json);

    // The reply object from the stored settings: a missing value is null, and a language that is
    // missing or empty is "en". Compact JSON text, or the reason it could not be made.
    static BridgeJson::Text reply(const platform::UserDefaults& defaults);
};
