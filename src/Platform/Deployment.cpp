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

#if KELO_RELEASE_BUILD
constexpr bool kDevelopmentBuild = false;
#else
constexpr bool kDevelopmentBuild = true;
#endif

// The host of the development data centre; its domain is the local development domain.
constexpr std::string_view kDevelopmentHost = "localkelo.kelodev.test";

// The service's data centres, in the order they are compared.
constexpr Row kDataCentres[] = {
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
#if !KELO_RELEASE_BUILD
    {"localkelo", kDevelopmentHost},
#endif
};

// The environment's value, in a development build only.
const char* developmentSetting([[maybe_unused]] const char* name) {
#if KELO_RELEASE_BUILD
    return nullptr;
#else
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
#endif
}

std::vector<std::pair<std::string, std::string>> overrides() {
    std::vector<std::pair<std::string, std::string>> entries;
    const char* text = developmentSetting("KELO_PELLIX_HOSTS");
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

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return out;
}

// The host name of "host", "host:port" and "[v6]:port" (without the brackets).
std::string_view hostName(std::string_view authority) {
    if (!authority.empty() && authority.front() == '[') {
        return authority.substr(1, authority.find(']') - 1);
    }
    return authority.substr(0, authority.find(':'));
}

}  // namespace

std::string Deployment::localDevelopmentDomain() {
    if (!kDevelopmentBuild) return {};
    return std::string(kDevelopmentHost.substr(kDevelopmentHost.find('.') + 1));
}

std::string Deployment::webServerHost(const std::string& code) {
    if (auto host = overriddenHost(code)) return *host;
    if (auto host = tableHost(code); !host.empty()) return std::string(host);
    if (!kDevelopmentBuild) return {};
    return code + "." + localDevelopmentDomain();
}

bool Deployment::isDataCentreCode(const std::string& code) {
    if (!tableHost(code).empty()) return true;
    const auto entries = overrides();
    if (std::any_of(entries.begin(), entries.end(),
                    [&](const auto& entry) { return entry.first == code; })) {
        return true;
    }
    return kDevelopmentBuild && !code.empty() && code.size() <= 63 &&
           std::all_of(code.begin(), code.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-';
           });
}

std::string Deployment::defaultWebServerHost() {
    return webServerHost("com");
}

std::vector<std::string> Deployment::knownHosts() {
    std::vector<std::string> hosts;
    for (const auto& row : kDataCentres) hosts.emplace_back(row.host);
    for (const auto& entry : overrides()) hosts.push_back(entry.second);
    return hosts;
}

std::optional<std::string> Deployment::developmentAuthorityFile() {
    const char* file = developmentSetting("KELO_PELLIX_CA_FILE");
    if (!file) return std::nullopt;
    return std::string(file);
}

bool Deployment::developmentAuthorityVouchesFor(const std::string& host) {
    if (!kDevelopmentBuild || host.empty()) return false;
    const std::string name = lowered(host);
    const std::string domain = "." + localDevelopmentDomain();
    if (name.size() > domain.size() && name.ends_with(domain)) return true;
    for (const auto& entry : overrides()) {
        if (lowered(hostName(entry.second)) == name) return true;
    }
    return false;
}

}  // namespace platform
