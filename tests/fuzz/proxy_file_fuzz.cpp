// The proxy settings file that the agent shares with the launcher: whatever an earlier run or
// the agent left there, storing the page's proxy settings leaves a readable file, mode 0600,
// that holds them.
#include "FuzzSupport.h"
#include "Handlers/NativeMessageHandler.h"
#include "Platform/PropertyList.h"
#include "Platform/UserDefaults.h"

KELO_FUZZ_TARGET(input) {
    static NativeMessageHandler handler = [] {
        platform::UserDefaults::setProcessArguments({"KeloHelvoPellix"});
        auto& defaults = platform::UserDefaults::standard();
        defaults.set("host", "proxy.example");
        defaults.set("port", 3128);
        defaults.set("authRequired", true);
        defaults.set("userName", "customer");
        defaults.set("password", "secret");
        return NativeMessageHandler();
    }();
    const std::string path = fuzz::home() + "/Library/Logs/KeloHelvo/ConnectionSettings.plist";
    fuzz::writeFile(path, input);
    const bool wasDictionary = platform::PropertyList::readDictionary(path).has_value();

    handler.setupProxyDetails();

    if (!wasDictionary) return;  // a file that is not a dictionary is left alone
    fuzz::require(fuzz::modeOf(path) == 0600u, "the proxy settings file is gone or not 0600",
                  input);
    const auto settings = platform::PropertyList::readDictionary(path);
    fuzz::require(settings.has_value(), "the updated proxy settings file cannot be read", input);
    const auto text = [&](const char* key) {
        const auto found = settings->find(key);
        return found != settings->end() && found->second.asString() ? *found->second.asString()
                                                                    : std::string("(missing)");
    };
    fuzz::require(text("ProxyIpAddress") == "proxy.example" && text("UserName") == "customer" &&
                      text("Password") == "secret",
                  "the updated proxy settings file does not hold the settings", input);
}
