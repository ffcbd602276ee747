#include <glib.h>

#include <memory>

#include "Platform/UnicodeText.h"

namespace platform {

bool UnicodeText::isUtf8(std::string_view bytes) {
    if (bytes.empty()) return true;
    return g_utf8_validate_len(bytes.data(), bytes.size(), nullptr) != FALSE;
}

std::optional<std::string> UnicodeText::utf16ToUtf8(std::string_view bytes, bool bigEndian) {
    if (bytes.empty()) return std::string();
    gsize written = 0;
    // Without a count of bytes read, input that ends inside a character is an error too.
    std::unique_ptr<gchar, decltype(&g_free)> text(
        g_convert(bytes.data(), static_cast<gssize>(bytes.size()), "UTF-8",
                  bigEndian ? "UTF-16BE" : "UTF-16LE", nullptr, &written, nullptr),
        &g_free);
    if (!text) return std::nullopt;
    return std::string(text.get(), written);
}

std::size_t UnicodeText::characterCount(std::string_view text) {
    if (text.empty()) return 0;
    return static_cast<std::size_t>(g_utf8_strlen(text.data(), static_cast<gssize>(text.size())));
}

}  // namespace platform
