// The preferences file as the defaults store finds it at start: whatever it holds, the store
// comes up, answers every getter, and after a synchronize reads back every key it had.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "Platform/UserDefaults.h"

namespace {

std::string preferencesFolder() {
    return fuzz::home() + "/Library/Preferences";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::useTemporaryHome();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzz::text(data, size);
    fuzz::removePath(preferencesFolder());
    const std::string path = platform::UserDefaults::standardFilePath();
    fuzz::writeFile(path, input);
    const std::vector<std::string> arguments{"KeloHelvoPellix", "-DC", "com"};

    std::vector<std::string> keys;
    {
        platform::UserDefaults store(path, arguments);
        const auto values = store.snapshot();
        for (const auto& [key, value] : values) {
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
        keys.push_back("activeSessionKey");
        fuzz::require(store.synchronize(), "the preferences could not be written", input);
    }

    platform::UserDefaults reread(path, arguments);
    const auto values = reread.snapshot();
    for (const auto& key : keys) {
        fuzz::require(values.count(key) == 1, "a stored key was lost by a synchronize", input);
    }
    return 0;
}
