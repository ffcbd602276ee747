#include "VolumeLabel.h"

#include <vector>

#include "HdiutilError.h"
#include "StagingFolder.h"

namespace hdiutil {
namespace {

// Folder names are limited to 255 bytes; keep room for a " 999" suffix and stay well inside.
constexpr std::size_t kMaximumLabelBytes = 200;

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string topFolderOf(const ImageListing& listing) {
    std::vector<std::string> topFolders;
    for (const auto& item : listing.items()) {
        if (item.isFolder && !item.path.empty() && item.path.find('/') == std::string::npos)
            topFolders.push_back(item.path);
    }
    if (topFolders.size() != 1)
        throw HdiutilError("image not recognized (the HFS+ volume has no single root folder)");
    return topFolders.front();
}

}  // namespace

VolumeLabel VolumeLabel::fromListing(const ImageListing& listing) {
    const auto& type = listing.fileSystemType();
    if (type == "Iso") return VolumeLabel(sanitize(listing.volumeComment()), "", "Apple_HFS");
    if (type == "HFS") {
        auto root = topFolderOf(listing);
        return VolumeLabel(sanitize(root), root, "Apple_HFS");
    }
    throw HdiutilError("image not recognized" + (type.empty() ? "" : " (" + type + ")"));
}

std::string VolumeLabel::sanitize(std::string_view raw) {
    while (!raw.empty() && isBlank(raw.front())) raw.remove_prefix(1);
    while (!raw.empty() && isBlank(raw.back())) raw.remove_suffix(1);

    std::string name;
    for (const char c : raw) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/')
            name += ':';  // how macOS shows a "/" of a volume name in paths
        else if (byte < 0x20 || byte == 0x7f)
            name += '_';
        else
            name += c;
    }
    if (name.size() > kMaximumLabelBytes) {
        name.resize(kMaximumLabelBytes);
        // Do not leave half of a UTF-8 sequence at the end.
        while (!name.empty() && (static_cast<unsigned char>(name.back()) & 0xC0) == 0x80)
            name.pop_back();
        if (!name.empty() && (static_cast<unsigned char>(name.back()) & 0x80) != 0) name.pop_back();
        while (!name.empty() && isBlank(name.back())) name.pop_back();
    }
    if (name.empty() || name == "." || name == "..") return "Untitled";
    // Our own work folders live beside the volumes; a volume must never look like one.
    if (name.starts_with(StagingFolder::kPrefix)) name.insert(0, "_");
    return name;
}

}  // namespace hdiutil
