#include "Handlers/WebAddress.h"

#include <algorithm>
#include <cctype>

namespace {

bool isHex(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// Characters that may appear in an address as it stands; the rest must be percent-escaped.
bool isAllowed(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7f) return false;
    constexpr std::string_view kMustEscape = "\"<>\\^`{|}";
    return kMustEscape.find(c) == std::string_view::npos;
}

std::optional<unsigned> defaultPort(const std::string& scheme) {
    if (scheme == "https") return 443;
    if (scheme == "http") return 80;
    return std::nullopt;
}

}  // namespace

std::optional<WebAddress> WebAddress::parse(std::string_view text) {
    if (text.empty()) return std::nullopt;
    bool seenFragment = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (!isAllowed(c)) return std::nullopt;
        if (c == '%' && (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2]))) {
            return std::nullopt;
        }
        if (c == '#') {
            if (seenFragment) return std::nullopt;
            seenFragment = true;
        }
    }

    WebAddress address;
    std::string_view rest = text;
    // A scheme is a letter followed by letters, digits, "+", "-" or ".", ended by a colon.
    const auto colon = rest.find(':');
    const auto firstDelimiter = rest.find_first_of("/?#");
    if (colon != std::string_view::npos && colon > 0 && colon < firstDelimiter &&
        std::isalpha(static_cast<unsigned char>(rest[0]))) {
        const auto candidate = rest.substr(0, colon);
        const bool valid = std::all_of(candidate.begin(), candidate.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
        });
        if (valid) {
            address.scheme = lower(candidate);
            rest.remove_prefix(colon + 1);
        }
    }
    if (rest.substr(0, 2) != "//") return address;

    rest.remove_prefix(2);
    address.hasAuthority = true;
    auto authority = rest.substr(0, rest.find_first_of("/?#"));
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    std::string_view portText;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        address.host = lower(authority.substr(0, close + 1));
        const auto after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return std::nullopt;
            portText = after.substr(1);
        }
    } else {
        const auto portColon = authority.rfind(':');
        address.host = lower(authority.substr(0, portColon));
        if (portColon != std::string_view::npos) portText = authority.substr(portColon + 1);
    }
    if (!portText.empty()) {
        if (portText.size() > 5 || !std::all_of(portText.begin(), portText.end(), [](char c) {
                return std::isdigit(static_cast<unsigned char>(c));
            })) {
            return std::nullopt;
        }
        const auto port = static_cast<unsigned>(std::stoul(std::string(portText)));
        if (port > 65535) return std::nullopt;
        address.port = port;
    }
    return address;
}

std::string WebAddress::authority() const {
    if (!port || port == defaultPort(scheme)) return host;
    return host + ":" + std::to_string(*port);
}
