#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Unicode text rules as the platform's string class applies them.
class UnicodeText {
  public:
    // Whether the bytes are well-formed UTF-8 (no overlong forms, no surrogates, nothing above
    // U+10FFFF) holding no NUL character.
    static bool isUtf8(std::string_view bytes);

    // The UTF-8 text of UTF-16 code units (without a byte-order mark) in the given byte order;
    // nullopt for an odd number of bytes or a surrogate without its partner. A NUL character
    // stays in the text.
    static std::optional<std::string> utf16ToUtf8(std::string_view bytes, bool bigEndian);

    // The number of characters (code points) of UTF-8 text, up to its first NUL character.
    static std::size_t characterCount(std::string_view text);
};

}  // namespace platform
