#include "Handlers/PellixConfiguration.h"

#include "Platform/FileManager.h"
#include "Platform/UnicodeText.h"

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";
constexpr std::string_view kUtf16BeBom = "\xFE\xFF";
// A configuration is a line or two of parameters; anything longer is no configuration.
constexpr std::size_t kMaximumSize = 64 * 1024;

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
        text = platform::UnicodeText::utf16ToUtf8(bytes.substr(kUtf16LeBom.size()), false);
    } else if (bytes.starts_with(kUtf16BeBom)) {
        text = platform::UnicodeText::utf16ToUtf8(bytes.substr(kUtf16BeBom.size()), true);
    } else {
        if (bytes.starts_with(kUtf8Bom)) bytes.remove_prefix(kUtf8Bom.size());
        if (platform::UnicodeText::isUtf8(bytes)) text = std::string(bytes);
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
    // Only a regular file of a sensible size: a pipe would hold the launch up, a device could
    // fill the memory.
    const auto bytes =
        platform::FileManager::defaultManager().readRegularFile(path, kMaximumSize, &failure);
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
