#include "Extractor.h"

#include <string_view>

#include "HdiutilError.h"
#include "ImageListing.h"

namespace hdiutil {
namespace {

// The line of 7-Zip's error output that says what went wrong: its first "ERROR" line, else its
// first non-empty line.
std::string reasonFrom(const ProcessResult& result) {
    std::string_view text = result.standardError;
    std::string_view firstLine;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const auto line = text.substr(0, end);
        if (line.find("ERROR") != std::string_view::npos) return std::string(line);
        if (firstLine.empty() && line.find_first_not_of(" \t\r") != std::string_view::npos)
            firstLine = line;
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return std::string(firstLine);
}

std::string describe(const ProcessResult& result) {
    auto reason = reasonFrom(result);
    return "7-Zip exited with status " + std::to_string(result.exitCode) +
           (reason.empty() ? "" : ": " + reason);
}

}  // namespace

VolumeLabel Extractor::inspect(const std::filesystem::path& image) const {
    const auto listed = sevenZip_.list(image);
    if (listed.exitCode != 0) throw HdiutilError("image not recognized (" + describe(listed) + ")");
    return VolumeLabel::fromListing(ImageListing::parse(listed.standardOutput));
}

void Extractor::extract(const std::filesystem::path& image,
                        const std::filesystem::path& destination) const {
    const auto extracted = sevenZip_.extract(image, destination);
    if (extracted.exitCode != 0)
        throw HdiutilError("cannot extract " + image.string() + " (" + describe(extracted) + ")");
}

}  // namespace hdiutil
