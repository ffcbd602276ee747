#include "ImageListing.h"

namespace hdiutil {
namespace {

constexpr std::string_view kItemsStart = "----------";
constexpr std::string_view kLayerStart = "--";

std::vector<std::string_view> linesOf(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const auto end = text.find('\n');
        auto line = text.substr(0, end);
        if (line.ends_with('\r')) line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

// "Name = value" -> value, when the line holds that property.
bool readProperty(std::string_view line, std::string_view name, std::string& value) {
    if (!line.starts_with(name) || !line.substr(name.size()).starts_with(" = ")) return false;
    value = std::string(line.substr(name.size() + 3));
    return true;
}

}  // namespace

ImageListing ImageListing::parse(std::string_view text) {
    ImageListing listing;
    const auto lines = linesOf(text);

    std::size_t itemsStart = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == kItemsStart) {
            itemsStart = i;
            break;
        }
    }

    // The innermost layer is the last "--" block before the items.
    std::size_t layerStart = 0;
    for (std::size_t i = 0; i < itemsStart; ++i) {
        if (lines[i] == kLayerStart) layerStart = i;
    }
    for (std::size_t i = layerStart; i < itemsStart; ++i) {
        std::string value;
        if (readProperty(lines[i], "Type", value)) listing.fileSystemType_ = value;
        if (listing.volumeComment_.empty() && lines[i].starts_with("Volume: "))
            listing.volumeComment_ = std::string(lines[i].substr(8));
    }

    for (std::size_t i = itemsStart + 1; i < lines.size(); ++i) {
        std::string value;
        if (readProperty(lines[i], "Path", value)) {
            listing.items_.push_back(Item{value, false});
        } else if (!listing.items_.empty() && readProperty(lines[i], "Folder", value)) {
            listing.items_.back().isFolder = value == "+";
        }
    }
    return listing;
}

}  // namespace hdiutil
