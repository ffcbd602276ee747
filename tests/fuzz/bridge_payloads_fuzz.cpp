// The three JSON records the join page sends. Any text decodes or is refused without harm; what
// is accepted is stored and answered back to the page unchanged.
#include "FuzzSupport.h"
#include "Handlers/CustomerDetails.h"
#include "Handlers/JoinSessionMessage.h"
#include "Handlers/ProxyDetails.h"
#include "Platform/UserDefaults.h"

KELO_FUZZ_TARGET(input) {
    // A store that is never written: the records go in and the replies come out of it.
    platform::UserDefaults store(fuzz::home() + "/never-written.plist", {});

    if (const auto join = JoinSessionMessage::decode(input)) {
        fuzz::require(fuzz::isUtf8(join->email) && fuzz::isUtf8(join->dc.value_or("")),
                      "an accepted email or dc is not UTF-8", input);
    }

    if (const auto customer = CustomerDetails::decode(input)) {
        store.set("name", customer->name);
        store.set("company", customer->company);
        store.set("email", customer->email);
        store.set("language", customer->language);
        const auto reply = CustomerDetails::reply(store);
        fuzz::require(reply.json.has_value(), "accepted customer details cannot be answered",
                      input);
        const auto back = CustomerDetails::decode(*reply.json);
        fuzz::require(
            back && back->name == customer->name && back->company == customer->company &&
                back->email == customer->email &&
                back->language == (customer->language.empty() ? "en" : customer->language),
            "the customer details reply differs from what was stored", input);
    }

    if (const auto proxy = ProxyDetails::decode(input)) {
        store.set("host", proxy->host);
        store.set("port", proxy->port);
        store.set("authRequired", proxy->authRequired);
        store.set("userName", proxy->userName);
        store.set("password", proxy->password);
        const auto reply = ProxyDetails::reply(store);
        fuzz::require(reply.json.has_value(), "accepted proxy details cannot be answered", input);
        const auto back = ProxyDetails::decode(*reply.json);
        fuzz::require(back && back->host == proxy->host && back->port == proxy->port &&
                          back->authRequired == proxy->authRequired &&
                          back->userName == proxy->userName && back->password == proxy->password,
                      "the proxy details reply differs from what was stored", input);
    }
}
