// The preferences file as the defaults store finds it at start: whatever it holds, the store
// comes up, answers every getter, and after a synchronize reads back every key it had.
#include "FuzzSupport.h"
#include "Platform/UserDefaults.h"

KELO_FUZZ_TARGET(input) {
    fuzz::removePath(fuzz::home() + "/Library/Preferences");
    const std::string path = platform::UserDefaults::standardFilePath();
    fuzz::writeFile(path, input);
    const std::vector<std::string> arguments{"KeloHelvoPellix", "-DC", "com"};

    std::vector<std::string> keys{"activeSessionKey"};
    {
        platform::UserDefaults store(path, arguments);
        for (const auto& [key, value] : store.snapshot()) {
            keys.push_back(key);
            (void)store.string(key);
            (void)store.integer(key);
            (void)store.boolean(key);
            (void)value.description();
        }
        for (const char* key : {"DC", "PellixToken", "host", "port", "authRequired", "password"}) {
            (void)store.string(key);
            (void)store.integer(key);
            (void)store.boolean(key);
        }
        (void)store.valuesForKeys({"name", "company", "email", "language"});
        store.set("activeSessionKey", "123456789");
        fuzz::require(store.synchronize(), "the preferences could not be written", input);
    }

    const auto values = platform::UserDefaults(path, arguments).snapshot();
    for (const auto& key : keys) {
        fuzz::require(values.count(key) == 1, "a stored key was lost by a synchronize", input);
    }
}
