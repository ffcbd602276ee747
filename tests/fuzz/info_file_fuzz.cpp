// The info file in the native folder and a bundle's Info.plist, whatever they hold. The info
// file's values go into the preferences, which must stay readable and private afterwards; the
// bundle answers its version and executable or nothing, without harm.
#include "FuzzSupport.h"
#include "Handlers/Utils.h"
#include "Objects/SessionDetails.h"
#include "Platform/Bundle.h"
#include "Platform/PropertyList.h"
#include "Platform/UserDefaults.h"

KELO_FUZZ_TARGET(input) {
    static const bool ready =
        (platform::UserDefaults::setProcessArguments({"KeloHelvoPellix"}), true);
    (void)ready;
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
    if (const auto mode = fuzz::modeOf(preferences)) {
        fuzz::require(*mode == 0600, "the preferences are not mode 0600", input);
        fuzz::require(platform::PropertyList::readDictionary(preferences).has_value(),
                      "the info file's values made the preferences unreadable", input);
    }

    const std::string bundle = fuzz::home() + "/Kelo Helvo Pellix.app";
    fuzz::writeFile(bundle + "/Contents/Info.plist", input);
    if (const auto found = platform::Bundle::atPath(bundle)) {
        (void)found->shortVersionString();
        (void)found->objectForInfoDictionaryKey("CFBundleShortVersionString");
        (void)found->executablePath();
    }
}
