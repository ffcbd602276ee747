// The proxy settings file that the agent shares with the launcher: whatever an earlier run or
// the agent left there, storing the page's proxy settings leaves a readable file, mode 0600,
// that holds them.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "Handlers/NativeMessageHandler.h"
#include "Platform/PropertyList.h"
#include "Platform/UserDefaults.h"

namespace {

std::string settingsPath() {
    return fuzz::home() + "/Library/Logs/KeloHelvo/ConnectionSettings.plist";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::useTemporaryHome();
    platform::UserDefaults::setProcessArguments({"KeloHelvoPellix"});
    auto& defaults = platform::UserDefaults::standard();
    defaults.set("host", "proxy.example");
    defaults.set("port", 3128);
    defaults.set("authRequired", true);
    defaults.set("userName", "customer");
    defaults.set("password", "secret");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzz::text(data, size);
    const std::string path = settingsPath();
    fuzz::writeFile(path, input);
    const bool wasDictionary = platform::PropertyList::readDictionary(path).has_value();

    static NativeMessageHandler handler;
    handler.setupProxyDetails();

    if (!wasDictionary) return 0;  // a file that is not a dictionary is left alone
    struct stat status {};
    fuzz::require(::stat(path.c_str(), &status) == 0, "the proxy settings file is gone", input);
    fuzz::require((status.st_mode & 0777) == 0600, "the proxy settings file is not mode 0600",
                  input);
    const auto settings = platform::PropertyList::readDictionary(path);
    fuzz::require(settings.has_value(), "the updated proxy settings file cannot be read", input);
    const auto text = [&](const char* key) -> std::string {
        const auto found = settings->find(key);
        return found != settings->end() && found->second.asString() ? *found->second.asString()
                                                                    : std::string("(missing)");
    };
    fuzz::require(text("ProxyIpAddress") == "proxy.example" && text("UserName") == "customer" &&
                      text("Password") == "secret",
                  "the updated proxy settings file does not hold the settings", input);
    return 0;
}
