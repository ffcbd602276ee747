// The hidden configuration file of the launcher's disk image: any bytes decode to UTF-8 text
// without NUL or to nothing, and any text splits into clean key/value pairs.
#include <algorithm>

#include "FuzzSupport.h"
#include "Handlers/PellixConfiguration.h"

KELO_FUZZ_TARGET(input) {
    const auto text = PellixConfiguration::decodeText(input);
    if (text) {
        fuzz::require(fuzz::isUtf8(*text) && text->find('\0') == std::string::npos,
                      "decoded configuration text is not UTF-8 or holds a NUL", input);
    }

    // The parser takes any text, even text the decoder would refuse.
    for (const auto& contents : {PellixConfiguration::parse(input),
                                 PellixConfiguration::parse(text.value_or(std::string()))}) {
        for (const auto& key : contents.keys) {
            fuzz::require(!key.empty() && key.find_first_of("&=") == std::string::npos,
                          "a key is empty or holds a separator", input);
        }
        for (const auto& [key, value] : contents.parameters) {
            fuzz::require(!value.empty() && value.find_first_of("&=") == std::string::npos,
                          "a value is empty or holds a separator", input);
            fuzz::require(std::ranges::count(contents.keys, key) > 0,
                          "a stored parameter is missing from the key list", input);
        }
    }

    // Reading the file gives what decoding and parsing its bytes gives, up to 64 KiB.
    const std::string path = fuzz::home() + "/Pellix Plugin/.pellixConfiguration";
    fuzz::writeFile(path, input);
    platform::Error error;
    const auto read = PellixConfiguration::read(path, &error);
    fuzz::require(read.has_value() == (text.has_value() && input.size() <= 64 * 1024),
                  "reading disagrees with decoding", input);
    if (read) {
        const auto parsed = PellixConfiguration::parse(*text);
        fuzz::require(read->parameters == parsed.parameters && read->keys == parsed.keys,
                      "reading disagrees with parsing", input);
    } else {
        fuzz::require(error.path == path, "a failed read does not name the file", input);
    }
}
