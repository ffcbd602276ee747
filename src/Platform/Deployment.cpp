#include "Platform/Deployment.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "Platform/Log.h"

namespace platform {
namespace {

struct Row {
    std::string_view code;
    std::string_view host;
};

// The service's data centres, in the order they are compared.
constexpr std::array<Row, 14> kDataCentres{{
    {"com", "pellix.kelohelvo.example"},
    {"lab", "pellix-lab.kelohelvo.example"},
    {"stage", "pellix-stage.kelohelvo.example"},
    {"pre", "pellix-pre.kelohelvo.example"},
    {"eu", "pellix-eu.kelohelvo.example"},
    {"in", "pellix-in.kelohelvo.example"},
    {"jp", "pellix-jp.kelohelvo.example"},
    {"au", "pellix-au.kelohelvo.example"},
    {"cn", "pellix-cn.kelohelvo.example"},
    {"uk", "pellix-uk.kelohelvo.example"},
    {"ca", "pellix-ca.kelohelvo.example"},
    {"sa", "pellix-sa.kelohelvo.example"},
    {"ae", "pellix-ae.kelohelvo.example"},
    {"localkelo", "localkelo.kelodev.test"},
}};

std::vector<std::pair<std::string, std::string>> overrides() {
    std::vector<std::pair<std::string, std::string>> entries;
    const char* text = std::getenv("KELO_PELLIX_HOSTS");
    if (!text) return entries;
    std::string_view rest(text);
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        const auto entry = rest.substr(0, comma);
        const auto equals = entry.find('=');
        if (equals != std::string_view::npos && equals > 0 && equals + 1 < entry.size()) {
            entries.emplace_back(entry.substr(0, equals), entry.substr(equals + 1));
        }
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return entries;
}

std::optional<std::string> overriddenHost(const std::string& code) {
    for (const auto& [overriddenCode, host] : overrides()) {
        if (overriddenCode == code) {
            Log::nslog("Deployment : KELO_PELLIX_HOSTS gives the web server of DC {} : {}", code,
                       host);
            return host;
        }
    }
    return std::nullopt;
}

std::string_view tableHost(std::string_view code) {
    for (const auto& row : kDataCentres) {
        if (row.code == code) return row.host;
    }
    return {};
}

}  // namespace

std::string Deployment::localDevelopmentDomain() {
    const auto host = tableHost("localkelo");
    return std::string(host.substr(host.find('.') + 1));
}

std::string Deployment::webServerHost(const std::string& code) {
    if (auto host = overriddenHost(code)) return *host;
    if (auto host = tableHost(code); !host.empty()) return std::string(host);
    return code + "." + localDevelopmentDomain();
}

bool Deployment::isDataCentreCode(const std::string& code) {
    const bool label =
        !code.empty() && code.size() <= 63 && std::all_of(code.begin(), code.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '-';
        });
    if (label || !tableHost(code).empty()) return true;
    const auto entries = overrides();
    return std::any_of(entries.begin(), entries.end(),
                       [&](const auto& entry) { return entry.first == code; });
}

std::string Deployment::defaultWebServerHost() { return webServerHost("com"); }

std::vector<std::string> Deployment::knownHosts() {
    std::vector<std::string> hosts;
    for (const auto& row : kDataCentres) hosts.emplace_back(row.host);
    for (const auto& entry : overrides()) hosts.push_back(entry.second);
    return hosts;
}

}  // namespace platform
