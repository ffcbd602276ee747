#include <glib.h>

#include <memory>
#include <string>

#include "Platform/UrlEncoding.h"

namespace platform {
namespace {

// The characters of the query set besides the unreserved ones, which GLib always keeps.
constexpr const char* kQueryReservedKept = "!$&'()*+,/:;=?@";

// Characters an address may hold as they stand: unreserved, general and sub-delimiters, and
// the percent sign of an escape.
constexpr std::string_view kAddressCharacters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~:/?#[]@!$&'()*+,;=%";

}  // namespace

std::string UrlEncoding::percentEncodeQuery(std::string_view text) {
    // GLib stops at a NUL byte; the NUL is escaped here and the rest continues after it.
    std::string out;
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto nul = text.find('\0', start);
        const std::string piece(
            text.substr(start, nul == std::string_view::npos ? text.npos : nul - start));
        std::unique_ptr<char, decltype(&g_free)> escaped(
            g_uri_escape_string(piece.c_str(), kQueryReservedKept, FALSE), &g_free);
        if (escaped) out += escaped.get();
        if (nul == std::string_view::npos) break;
        out += "%00";
        start = nul + 1;
    }
    return out;
}

bool UrlEncoding::isValidUrl(std::string_view text) {
    if (text.empty() || text.find_first_not_of(kAddressCharacters) != std::string_view::npos) {
        return false;
    }
    const std::string address(text);
    GUri* uri = g_uri_parse(address.c_str(), G_URI_FLAGS_NONE, nullptr);
    if (!uri) return false;
    const char* host = g_uri_get_host(uri);
    const bool hasHost = host && *host;
    g_uri_unref(uri);
    return hasHost;
}

}  // namespace platform
