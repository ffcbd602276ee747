#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Error.h"

// The hidden configuration file that travels beside the launcher on its disk image
// (".pellixConfiguration"): one text of "key=value" parts joined by "&", with marker lines
// "KELO_PARLO_IND" that carry no meaning. Reading it touches nothing else: what a launch does
// with the result (the info file, the stored defaults) is the application's business.
class PellixConfiguration {
  public:
    using Parameters = std::map<std::string, std::string>;

    static constexpr std::string_view kFileName = ".pellixConfiguration";
    static constexpr std::string_view kMarker = "KELO_PARLO_IND\n";

    struct Contents {
        // key -> value of every part made of exactly one key and one value; a later part wins.
        Parameters parameters;
        // The key of every part that has one, in file order, stored or not ("=value" has the
        // key "value"; "a=b=c" the key "a").
        std::vector<std::string> keys;
    };

    // The text of the file's bytes as UTF-8: UTF-8 with or without a byte-order mark, or UTF-16
    // (little- or big-endian) with one. Anything else, and text holding a NUL character, is no
    // text: nullopt.
    static std::optional<std::string> decodeText(std::string_view bytes);

    // Splits a configuration text into its parameters. Never fails: every input gives a result.
    static Contents parse(std::string_view text);

    // Reads and parses the file, a regular file of at most 64 KiB; nullopt with *error set when it
    // cannot be read as text.
    static std::optional<Contents> read(const std::string& path, platform::Error* error = nullptr);

    // The failure reported for a file whose bytes are no text the reader knows.
    static platform::Error unknownEncodingError(const std::string& path);
};
