#include "Handlers/PellixConfiguration.h"

#include <cstdint>

#include "Platform/FileManager.h"

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";
constexpr std::string_view kUtf16BeBom = "\xFE\xFF";

void appendUtf8(std::string& out, std::uint32_t codePoint) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

// Well-formed UTF-8 as the Unicode standard defines it: no overlong forms, no surrogates,
// nothing above U+10FFFF.
bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    const auto byteAt = [&](std::size_t index) { return static_cast<std::uint8_t>(text[index]); };
    while (i < text.size()) {
        const std::uint8_t lead = byteAt(i);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        std::uint8_t low = 0x80, high = 0xBF;  // bounds of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead == 0xE0) {
            length = 3, low = 0xA0;
        } else if (lead == 0xED) {
            length = 3, high = 0x9F;
        } else if (lead >= 0xE1 && lead <= 0xEF) {
            length = 3;
        } else if (lead == 0xF0) {
            length = 4, low = 0x90;
        } else if (lead == 0xF4) {
            length = 4, high = 0x8F;
        } else if (lead >= 0xF1 && lead <= 0xF3) {
            length = 4;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        if (byteAt(i + 1) < low || byteAt(i + 1) > high) return false;
        for (std::size_t k = 2; k < length; ++k) {
            if ((byteAt(i + k) & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

std::optional<std::string> utf16ToUtf8(std::string_view bytes, bool bigEndian) {
    if (bytes.size() % 2 != 0) return std::nullopt;
    std::string out;
    out.reserve(bytes.size());
    const auto unitAt = [&](std::size_t index) -> std::uint32_t {
        const auto first = static_cast<std::uint8_t>(bytes[index]);
        const auto second = static_cast<std::uint8_t>(bytes[index + 1]);
        return bigEndian ? (std::uint32_t{first} << 8 | second)
                         : (std::uint32_t{second} << 8 | first);
    };
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        const std::uint32_t unit = unitAt(i);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 3 >= bytes.size()) return std::nullopt;
            const std::uint32_t trail = unitAt(i + 2);
            if (trail < 0xDC00 || trail > 0xDFFF) return std::nullopt;
            appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (trail - 0xDC00));
            i += 2;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return std::nullopt;
        } else {
            appendUtf8(out, unit);
        }
    }
    return out;
}

// Every occurrence of the marker removed in one pass from left to right; what the removal
// brings together is not searched again.
std::string withoutMarkers(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t start = 0;
    while (true) {
        const auto found = text.find(PellixConfiguration::kMarker, start);
        if (found == std::string_view::npos) break;
        out.append(text.substr(start, found - start));
        start = found + PellixConfiguration::kMarker.size();
    }
    out.append(text.substr(start));
    return out;
}

// The pieces between separators, empty ones dropped.
std::vector<std::string_view> nonEmptyPieces(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find(separator, start);
        if (end == std::string_view::npos) end = text.size();
        if (end > start) pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

}  // namespace

std::optional<std::string> PellixConfiguration::decodeText(std::string_view bytes) {
    std::optional<std::string> text;
    if (bytes.starts_with(kUtf16LeBom)) {
        text = utf16ToUtf8(bytes.substr(kUtf16LeBom.size()), false);
    } else if (bytes.starts_with(kUtf16BeBom)) {
        text = utf16ToUtf8(bytes.substr(kUtf16BeBom.size()), true);
    } else {
        if (bytes.starts_with(kUtf8Bom)) bytes.remove_prefix(kUtf8Bom.size());
        if (isValidUtf8(bytes)) text = std::string(bytes);
    }
    // A text file holds no NUL character; bytes with one are something else (UTF-16 without its
    // byte-order mark, for one) and are not guessed at.
    if (text && text->find('\0') != std::string::npos) return std::nullopt;
    return text;
}

PellixConfiguration::Contents PellixConfiguration::parse(std::string_view text) {
    Contents contents;
    const std::string cleaned = withoutMarkers(text);
    for (const auto part : nonEmptyPieces(cleaned, '&')) {
        const auto pieces = nonEmptyPieces(part, '=');
        // A part made of "=" only has no key: it is skipped.
        if (pieces.empty()) continue;
        std::string key(pieces.front());
        contents.keys.push_back(key);
        if (pieces.size() == 2) contents.parameters.insert_or_assign(key, std::string(pieces[1]));
    }
    return contents;
}

platform::Error PellixConfiguration::unknownEncodingError(const std::string& path) {
    return platform::Error{"NSCocoaErrorDomain", 264,
                           "The file couldn't be opened because the text encoding of its "
                           "contents can't be determined.",
                           path};
}

std::optional<PellixConfiguration::Contents> PellixConfiguration::read(const std::string& path,
                                                                       platform::Error* error) {
    platform::Error failure;
    const auto bytes = platform::FileManager::defaultManager().readFile(path, &failure);
    if (!bytes) {
        if (error) *error = failure;
        return std::nullopt;
    }
    auto text = decodeText(*bytes);
    if (!text) {
        if (error) *error = unknownEncodingError(path);
        return std::nullopt;
    }
    return parse(*text);
}
