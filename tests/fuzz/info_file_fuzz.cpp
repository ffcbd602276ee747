// The info file in the native folder and a bundle's Info.plist, whatever they hold. The info
// file's values go into the preferences, which must stay readable afterwards; the bundle answers
// its version and executable or nothing, without harm.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "Handlers/Utils.h"
#include "Objects/SessionDetails.h"
#include "Platform/Bundle.h"
#include "Platform/PropertyList.h"
#include "Platform/UserDefaults.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::useTemporaryHome();
    platform::UserDefaults::setProcessArguments({"KeloHelvoPellix"});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzz::text(data, size);
    fuzz::removePath(fuzz::home() + "/Library");
    platform::UserDefaults::resetStandard();
    auto& session = SessionDetails::getInstance();
    session.setDcName(std::nullopt);
    session.setPellixToken(std::nullopt);
    session.setPathForPellix(std::nullopt);

    const std::string info =
        Utils::keloPellixNativeFolderPath() + "com.Kelo.Helvo.KeloHelvoPellix.plist";
    fuzz::writeFile(info, input);
    Utils::readInfoFileArgs(info);

    const std::string preferences = platform::UserDefaults::standardFilePath();
    struct stat status {};
    if (::stat(preferences.c_str(), &status) == 0) {
        fuzz::require((status.st_mode & 0777) == 0600, "the preferences are not mode 0600", input);
        const auto stored = platform::PropertyList::readDictionary(preferences);
        fuzz::require(stored.has_value(), "the info file's values made the preferences unreadable",
                      input);
    }

    const std::string bundle = fuzz::home() + "/Kelo Helvo Pellix.app";
    fuzz::writeFile(bundle + "/Contents/Info.plist", input);
    if (const auto found = platform::Bundle::atPath(bundle)) {
        (void)found->shortVersionString();
        (void)found->objectForInfoDictionaryKey("CFBundleShortVersionString");
        (void)found->executablePath();
    }
    return 0;
}
