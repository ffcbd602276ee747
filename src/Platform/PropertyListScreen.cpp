#include "Platform/PropertyListScreen.h"

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace platform {
namespace {

constexpr std::size_t kTrailerSize = 32;

std::uint64_t bigEndian(std::string_view bytes, std::size_t offset, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
        value = (value << 8) | static_cast<std::uint8_t>(bytes[offset + i]);
    }
    return value;
}

// The parts of a binary list that its objects are found through.
struct BinaryLayout {
    std::string_view bytes;
    std::size_t end = 0;  // where the trailer starts
    std::size_t offsetSize = 0;
    std::size_t referenceSize = 0;
    std::uint64_t objectCount = 0;
    std::uint64_t topObject = 0;
    std::uint64_t offsetTable = 0;

    // The object's offset, or nothing when the table does not hold it.
    std::optional<std::size_t> offsetOf(std::uint64_t object) const {
        if (object >= objectCount) return std::nullopt;
        const std::uint64_t at = offsetTable + object * offsetSize;
        if (at + offsetSize > end) return std::nullopt;
        const std::uint64_t offset = bigEndian(bytes, at, offsetSize);
        if (offset >= end) return std::nullopt;
        return static_cast<std::size_t>(offset);
    }

    // An object's length: the marker's low nibble, or the integer object that follows it.
    // Returns the length and where the object's content starts.
    std::optional<std::pair<std::uint64_t, std::size_t>> lengthAt(std::size_t offset) const {
        const auto marker = static_cast<std::uint8_t>(bytes[offset]);
        std::uint64_t length = marker & 0x0F;
        std::size_t start = offset + 1;
        if (length == 0x0F) {
            if (start >= end) return std::nullopt;
            const auto sizeMarker = static_cast<std::uint8_t>(bytes[start]);
            const std::size_t sizeBytes = std::size_t{1} << (sizeMarker & 0x0F);
            if ((sizeMarker & 0xF0) != 0x10 || sizeBytes > 8 || start + 1 + sizeBytes > end) {
                return std::nullopt;
            }
            length = bigEndian(bytes, start + 1, sizeBytes);
            start += 1 + sizeBytes;
        }
        return std::make_pair(length, start);
    }
};

}  // namespace

bool PropertyListScreen::isSafeToParse(std::string_view bytes) {
    return bytes.starts_with("bplist") ? isSafeBinary(bytes) : isSafeXml(bytes);
}

bool PropertyListScreen::isSafeXml(std::string_view bytes) {
    // XML has no NUL character at all; the library would hand one out inside a text.
    if (bytes.find('\0') != std::string_view::npos) return false;
    // Opening and closing container tags; an overestimate (a tag inside a comment counts too)
    // only refuses lists that none of ours look like.
    int depth = 0;
    for (std::size_t at = bytes.find('<'); at != std::string_view::npos;
         at = bytes.find('<', at + 1)) {
        const auto rest = bytes.substr(at + 1);
        const bool closing = rest.starts_with("/array") || rest.starts_with("/dict");
        const bool opening = rest.starts_with("array") || rest.starts_with("dict");
        if (closing) {
            --depth;
        } else if (opening) {
            const auto tagEnd = rest.find('>');
            const bool empty =
                tagEnd != std::string_view::npos && tagEnd > 0 && rest[tagEnd - 1] == '/';
            if (!empty && ++depth > kMaximumDepth) return false;
        }
    }
    return true;
}

bool PropertyListScreen::isSafeBinary(std::string_view bytes) {
    // Whatever the walk below cannot read is refused: no list of ours looks like it, and the
    // library reads more than it should (a list of one text with 17-byte references, say).
    if (bytes.size() < 8 + kTrailerSize) return false;
    BinaryLayout layout;
    layout.bytes = bytes;
    layout.end = bytes.size() - kTrailerSize;
    layout.offsetSize = static_cast<std::uint8_t>(bytes[layout.end + 6]);
    layout.referenceSize = static_cast<std::uint8_t>(bytes[layout.end + 7]);
    layout.objectCount = bigEndian(bytes, layout.end + 8, 8);
    layout.topObject = bigEndian(bytes, layout.end + 16, 8);
    layout.offsetTable = bigEndian(bytes, layout.end + 24, 8);
    if (layout.offsetSize < 1 || layout.offsetSize > 8 || layout.referenceSize < 1 ||
        layout.referenceSize > 8 || layout.offsetTable >= layout.end) {
        return false;
    }

    // Walk the objects as the library will expand them, without recursion.
    std::vector<std::pair<std::uint64_t, int>> pending{{layout.topObject, 1}};
    unsigned long expanded = 0;
    while (!pending.empty()) {
        const auto [object, depth] = pending.back();
        pending.pop_back();
        if (depth > kMaximumDepth || ++expanded > kMaximumExpandedObjects) return false;
        const auto offset = layout.offsetOf(object);
        if (!offset) continue;
        const auto kind = static_cast<std::uint8_t>(bytes[*offset]) & 0xF0;
        const bool utf16 = kind == 0x60;
        const bool container = kind == 0xA0 || kind == 0xB0 || kind == 0xC0 || kind == 0xD0;
        if (!utf16 && !container) continue;
        const auto length = layout.lengthAt(*offset);
        if (!length) continue;
        const auto [count, start] = *length;
        if (utf16) {
            for (std::uint64_t k = 0; k < count && start + 2 * k + 1 < layout.end; ++k) {
                if (bytes[start + 2 * k] == 0 && bytes[start + 2 * k + 1] == 0) return false;
            }
            continue;
        }
        const std::uint64_t references = kind == 0xD0 ? 2 * count : count;
        for (std::uint64_t k = 0; k < references; ++k) {
            const std::uint64_t at = start + k * layout.referenceSize;
            if (at + layout.referenceSize > layout.end) break;
            pending.emplace_back(bigEndian(bytes, at, layout.referenceSize), depth + 1);
        }
    }
    return true;
}

}  // namespace platform
