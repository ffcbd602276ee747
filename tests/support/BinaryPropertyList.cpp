#include "BinaryPropertyList.h"

#include <plist/plist.h>

#include <cstdint>

std::string BinaryPropertyList::fromXml(const std::string& xml) {
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &root);
    if (!root) return {};
    char* binary = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root, &binary, &length);
    std::string out(binary, length);
    plist_to_bin_free(binary);
    plist_free(root);
    return out;
}
