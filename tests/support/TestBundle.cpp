#include "TestBundle.h"

#include "Platform/Bundle.h"
#include "Platform/PropertyList.h"
#include "TempHome.h"

namespace fs = std::filesystem;

std::string TestBundle::writeTo(const std::string& bundle) const {
    fs::create_directories(bundle + "/Contents/MacOS");
    if (withInfo) {
        platform::PlistValue::Dictionary info;
        if (executable) info.emplace("CFBundleExecutable", *executable);
        if (version) info.emplace("CFBundleShortVersionString", *version);
        writeText(bundle + "/Contents/Info.plist",
                  platform::PropertyList::toXml(platform::PlistValue(info)));
    }
    if (executable && content) {
        const std::string file = bundle + "/Contents/MacOS/" + *executable;
        writeText(file, *content);
        fs::permissions(file, mode);
    }
    if (marker) writeText(bundle + "/Contents/Resources/marker", *marker);
    return bundle;
}

std::optional<std::string> TestBundle::versionAt(const std::string& bundle) {
    const auto found = platform::Bundle::atPath(bundle);
    return found ? found->shortVersionString() : std::nullopt;
}
