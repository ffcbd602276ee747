// The hidden configuration file of the launcher's disk image: any bytes decode to UTF-8 text
// without NUL or to nothing, and any text splits into clean key/value pairs.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "Handlers/PellixConfiguration.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::useTemporaryHome();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzz::text(data, size);

    const auto text = PellixConfiguration::decodeText(input);
    if (text) {
        fuzz::require(fuzz::isUtf8(*text), "decoded configuration text is not UTF-8", input);
        fuzz::require(text->find('\0') == std::string::npos, "decoded text holds a NUL", input);
    }

    // The parser takes any text, even text the decoder would refuse.
    for (const auto& contents : {PellixConfiguration::parse(input),
                                 PellixConfiguration::parse(text.value_or(std::string()))}) {
        for (const auto& key : contents.keys) {
            fuzz::require(!key.empty(), "an empty key", input);
            fuzz::require(key.find_first_of("&=") == std::string::npos, "a key holds a separator",
                          input);
        }
        for (const auto& [key, value] : contents.parameters) {
            fuzz::require(!value.empty(), "an empty value was stored", input);
            fuzz::require(value.find_first_of("&=") == std::string::npos,
                          "a value holds a separator", input);
            bool listed = false;
            for (const auto& known : contents.keys) listed = listed || known == key;
            fuzz::require(listed, "a stored parameter is missing from the key list", input);
        }
    }

    // Reading the file gives what decoding and parsing its bytes gives, up to 64 KiB.
    const std::string path = fuzz::home() + "/Pellix Plugin/.pellixConfiguration";
    fuzz::writeFile(path, input);
    platform::Error error;
    const auto read = PellixConfiguration::read(path, &error);
    fuzz::require(read.has_value() == (text.has_value() && size <= 64 * 1024),
                  "reading disagrees with decoding", input);
    if (read) {
        const auto parsed = PellixConfiguration::parse(*text);
        fuzz::require(read->parameters == parsed.parameters && read->keys == parsed.keys,
                      "reading disagrees with parsing", input);
    } else {
        fuzz::require(error.path == path, "a failed read does not name the file", input);
    }
    return 0;
}
