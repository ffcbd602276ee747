#pragma once

#include <optional>
#include <string>
#include <string_view>

// The parts of an address that the bridge and the network monitor look at. Parsing is strict in
// the way the platform's URL parser is: printable ASCII only, no blanks, no characters that must
// be escaped, and every percent sign followed by two hexadecimal digits.
struct WebAddress {
    std::string scheme;  // lower case; empty for a relative address
    bool hasAuthority = false;
    std::string host;  // lower case, IPv6 literals with their brackets
    std::optional<unsigned> port;

    static std::optional<WebAddress> parse(std::string_view text);

    // host[:port], the port left out when it is the scheme's default one.
    std::string authority() const;
    bool isWeb() const { return scheme == "http" || scheme == "https"; }
};
