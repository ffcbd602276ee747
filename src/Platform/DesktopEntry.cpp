#include "Platform/DesktopEntry.h"

#include <fmt/format.h>

#include <filesystem>
#include <optional>
#include <string_view>

#include "Platform/Bundle.h"
#include "Platform/FileManager.h"
#include "Platform/Log.h"
#include "Platform/Paths.h"

namespace platform {

namespace {

// A value of type string: backslashes doubled, line breaks and tabs written as escapes.
std::string stringValue(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// One argument of an Exec line: in double quotes, with '"', '`', '$' and '\' escaped by a
// backslash, and '%' doubled so that it is not taken for a field code.
std::string execArgument(std::string_view argument) {
    std::string quoted = "\"";
    for (const char c : argument) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        if (c == '%') quoted += '%';
        quoted += c;
    }
    return quoted + "\"";
}

std::string entryText(const std::string& executable) {
    // The window's application id (Wayland) and class (X11) are the id this entry is named
    // after and names as StartupWMClass: the desktop groups the window with the entry.
    return fmt::format(
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Version=1.4\n"
        "Name=Kelo Helvo Pellix\n"
        "Comment=Join a remote support session\n"
        "Exec={}\n"
        "TryExec={}\n"
        "Icon={}\n"
        "Terminal=false\n"
        "Categories=Network;RemoteAccess;\n"
        "StartupNotify=true\n"
        "StartupWMClass={}\n",
        stringValue(execArgument(executable)), stringValue(executable),
        DesktopEntry::kApplicationId, DesktopEntry::kApplicationId);
}

// Writes the file whole, making its folders first.
std::optional<Error> writeWhole(const std::string& path, std::string_view bytes) {
    const auto& files = FileManager::defaultManager();
    if (auto error =
            files.createDirectory(std::filesystem::path(path).parent_path().string(), true)) {
        return error;
    }
    return files.writeFileAtomically(path, bytes);
}

}  // namespace

std::string DesktopEntry::entryPath() {
    return Paths::dataHomeFolder() + "/applications/" + kApplicationId + ".desktop";
}

std::string DesktopEntry::iconPath() {
    return Paths::dataHomeFolder() + "/icons/" + kIconInTheme;
}

bool DesktopEntry::install(const std::string& bundle) {
    const std::string entry = entryPath();
    const auto notWritten = [&](const std::string& reason) {
        Log::nslog("DesktopEntry : desktop entry {} not written : {}", entry, reason);
        return false;
    };
    const auto found = Bundle::atPath(bundle);
    const auto executable = found ? found->executablePath() : std::nullopt;
    if (!executable) return notWritten("the bundle " + bundle + " names no executable");

    // The icon goes first: a menu that shows the entry finds its icon in place.
    const auto& files = FileManager::defaultManager();
    if (const auto icon = found->pathForResource(std::string("icons/") + kIconInTheme, "")) {
        Error error;
        const auto bytes = files.readFile(*icon, &error);
        if (!bytes) return notWritten(error.printedForm());
        if (auto failure = writeWhole(iconPath(), *bytes)) {
            return notWritten(failure->printedForm());
        }
    }
    if (auto error = writeWhole(entry, entryText(*executable))) {
        return notWritten(error->printedForm());
    }
    Log::nslog("DesktopEntry : desktop entry {} written, starting {}", entry, *executable);
    return true;
}

}  // namespace platform
