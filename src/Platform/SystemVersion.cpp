#include "Platform/SystemVersion.h"

#include <filesystem>
#include <fstream>

namespace platform {
namespace {

// VALUE, "VALUE" or 'VALUE' with shell-style backslash escapes inside double quotes.
std::string unquote(std::string value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        const char quote = value.front();
        value = value.substr(1, value.size() - 2);
        if (quote == '"') {
            std::string out;
            for (std::size_t i = 0; i < value.size(); ++i) {
                if (value[i] == '\\' && i + 1 < value.size()) ++i;
                out.push_back(value[i]);
            }
            return out;
        }
    }
    return value;
}

}  // namespace

SystemVersion::Info SystemVersion::read() {
    return readFirstOf({"/etc/os-release", "/usr/lib/os-release"});
}

SystemVersion::Info SystemVersion::readFirstOf(const std::vector<std::string>& paths) {
    Info info;
    std::ifstream in;
    for (const auto& path : paths) {
        std::error_code ignored;
        if (!std::filesystem::exists(path, ignored)) continue;
        in.open(path);
        break;
    }
    std::string line;
    while (std::getline(in, line)) {
        const auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        const auto key = line.substr(0, equals);
        if (key == "NAME") info.productName = unquote(line.substr(equals + 1));
        if (key == "VERSION_ID") info.productVersion = unquote(line.substr(equals + 1));
    }
    return info;
}

}  // namespace platform
