#include "Handlers/ApiHandler.h"

#include <fmt/format.h>

#include <array>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "Handlers/KeloPellixUpdater.h"
#include "Handlers/UpdateCheckRequest.h"
#include "Objects/SessionDetails.h"
#include "Platform/Deployment.h"
#include "Platform/ExceptionGuard.h"
#include "Platform/Log.h"
#include "Platform/SystemIdentity.h"
#include "Platform/UrlEncoding.h"

namespace {

using nlohmann::json;

constexpr std::string_view kAgentCheck = "-[ApiHandler checkKeloHelvoUpdateWithCompletion:]";
constexpr std::string_view kAgentCheckBlock =
    "-[ApiHandler checkKeloHelvoUpdateWithCompletion:]_block_invoke";
constexpr std::string_view kLauncherCheck = "-[ApiHandler checkPellixUpdateWithCompletion:]";
constexpr std::string_view kLauncherCheckBlock =
    "-[ApiHandler checkPellixUpdateWithCompletion:]_block_invoke";

// The answers' members lie a few levels deep. Anything nested deeper is dropped while parsing, so
// that printing the answer for the log cannot recurse once per level of a hostile answer.
constexpr int kMaximumAnswerDepth = 64;

json parsedAnswer(const std::string& body) {
    return json::parse(
        body, [](int depth, json::parse_event_t, json&) { return depth <= kMaximumAnswerDepth; },
        false);
}

std::string printed(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The member when it is an object; anything else counts as absent.
const json* objectMember(const json& object, const char* name) {
    if (!object.is_object()) return nullptr;
    const auto found = object.find(name);
    if (found == object.end() || !found->is_object()) return nullptr;
    return &*found;
}

// A truth value: a boolean, or a number that is true when it is not zero.
std::optional<bool> truthValue(const json& value) {
    if (value.is_boolean()) return value.get<bool>();
    if (value.is_number_integer()) return value.get<std::int64_t>() != 0;
    if (value.is_number_unsigned()) return value.get<std::uint64_t>() != 0;
    if (value.is_number_float()) return value.get<double>() != 0.0;
    return std::nullopt;
}

std::optional<std::string> textValue(const json& value) {
    if (!value.is_string()) return std::nullopt;
    return value.get<std::string>();
}

// Every ".dmg.dmg" replaced by ".dmg" in one pass from the left; matches do not overlap.
std::string withoutDoubledSuffix(const std::string& address) {
    constexpr std::string_view kDoubled = ".dmg.dmg";
    std::string out;
    std::size_t start = 0;
    for (auto found = address.find(kDoubled); found != std::string::npos;
         found = address.find(kDoubled, start)) {
        out.append(address, start, found - start);
        out += ".dmg";
        start = found + kDoubled.size();
    }
    out.append(address, start);
    return out;
}

void applyAgentAnswer(const std::string& body) {
    auto& session = SessionDetails::getInstance();
    const json parsed = parsedAnswer(body);
    const json* representation =
        parsed.is_discarded() ? nullptr : objectMember(parsed, "representation");
    platform::Log::nslog("{} : Response : {}", kAgentCheckBlock,
                         representation ? printed(*representation) : "(null)");
    const json* agent = representation ? objectMember(*representation, "AGENT") : nullptr;
    if (!agent) return;
    for (const auto& [name, value] : agent->items()) {
        if (name == "update_needed") {
            if (auto flag = truthValue(value)) session.setIsUpdateNeeded(*flag);
        } else if (name == "download_url") {
            if (auto address = textValue(value); address && !address->empty()) {
                session.setCdnUrl(*address);
                session.setIsCdnAvailable(true);
            }
        } else if (name == "fallback_url") {
            if (auto address = textValue(value); address && !address->empty()) {
                session.setFallbackUrl(*address);
            }
        }
    }
}

void applyLauncherAnswer(const std::string& body) {
    auto& session = SessionDetails::getInstance();
    const json parsed = parsedAnswer(body);
    platform::Log::nslog("{} response :  {}", kLauncherCheckBlock,
                         parsed.is_discarded() ? "(null)" : printed(parsed));
    const json* representation =
        parsed.is_discarded() ? nullptr : objectMember(parsed, "representation");
    if (!representation) return;
    for (const auto& [name, value] : representation->items()) {
        if (name == "download_url") {
            if (auto address = textValue(value)) {
                session.setPellixDownloadUrl(withoutDoubledSuffix(*address));
            }
        } else if (name == "update") {
            if (auto flag = truthValue(value)) session.setPellixUpdateNeeded(*flag);
        }
    }
}

// The data centre that the fourth character of a ten-character key names.
std::optional<std::string_view> dataCentreForDigit(char digit) {
    static constexpr std::array<std::string_view, 9> kCodes{"eu", "in", "au", "cn", "jp",
                                                            "ca", "uk", "sa", "ae"};
    if (digit < '1' || digit > '9') return std::nullopt;
    return kCodes[static_cast<std::size_t>(digit - '1')];
}

// The key's length in UTF-16 code units, and its code unit at index 3 when that is ASCII.
struct KeyShape {
    std::size_t length = 0;
    std::optional<char> fourth;
};

KeyShape shapeOf(std::string_view key) {
    KeyShape shape;
    for (std::size_t i = 0; i < key.size();) {
        const auto lead = static_cast<unsigned char>(key[i]);
        std::size_t bytes = 1;
        std::size_t units = 1;
        if (lead >= 0xF0) {
            bytes = 4;
            units = 2;
        } else if (lead >= 0xE0) {
            bytes = 3;
        } else if (lead >= 0xC0) {
            bytes = 2;
        }
        if (shape.length == 3 && lead < 0x80) shape.fourth = key[i];
        shape.length += units;
        i += bytes;
        // Continuation bytes belong to the character they follow, even in broken text.
        while (i < key.size() && (static_cast<unsigned char>(key[i]) & 0xC0) == 0x80) ++i;
    }
    return shape;
}

}  // namespace

ApiHandler& ApiHandler::getInstance() {
    static std::mutex lock;
    static ApiHandler* instance = nullptr;
    std::lock_guard guard(lock);
    if (!instance) {
        instance = new ApiHandler();
        platform::Log::nslog("{} : Update Info Object Allocated", "+[ApiHandler getInstance]");
    }
    return *instance;
}

void ApiHandler::checkKeloHelvoUpdateWithCompletion(Completion completion) {
    UpdateCheckRequest::send(
        kAgentCheck, kAgentCheckBlock, std::move(completion),
        [] {
            const auto& session = SessionDetails::getInstance();
            const auto host = session.webServerName();
            const std::string text =
                fmt::format("https://{}/api/v2/agent/check_update?agent_version={}&agent={} {}",
                            host.value_or(""), session.localKeloAppVersion().value_or(""),
                            platform::SystemIdentity::systemWord(),
                            platform::SystemIdentity::architectureWord());
            return UpdateCheckRequest::Address{platform::UrlEncoding::percentEncodeQuery(text),
                                               host.has_value()};
        },
        applyAgentAnswer);
}

void ApiHandler::checkPellixUpdateWithCompletion(Completion completion) {
    UpdateCheckRequest::send(
        kLauncherCheck, kLauncherCheckBlock, std::move(completion),
        [] {
            auto& session = SessionDetails::getInstance();
            if (!session.webServerName()) {
                session.setWebServerName(platform::Deployment::defaultWebServerHost());
            }
            return UpdateCheckRequest::Address{fmt::format(
                "https://{}/api/v1/customer_plugin/check_update?os={}&format=dmg&source=pellix&"
                "version={}&pellix_token={}",
                session.webServerName().value_or(""), platform::SystemIdentity::systemWord(),
                session.localKeloPellixAppVersion().value_or(""),
                session.pellixToken().value_or(""))};
        },
        [](const std::string& body) {
            applyLauncherAnswer(body);
            // A value left by an earlier check counts when this answer had none.
            if (SessionDetails::getInstance().pellixUpdateNeeded()) {
                platform::Log::nslog("{} Kelo Pellix Updated Version Available ....",
                                     kLauncherCheckBlock);
                KeloPellixUpdater::getInstance()->checkKeloPellixUpdate();
            }
        });
}

void ApiHandler::findDcNameUsingKey(const std::string& key) {
    platform::ExceptionGuard::run("-[ApiHandler findDcNameUsingKey:]", [&] {
        auto& session = SessionDetails::getInstance();
        const KeyShape shape = shapeOf(key);
        if (shape.length == 9) {
            session.setDcName(session.plistDcName());
            session.setWebServerName(session.plistWebServerName());
        } else if (shape.length == 10 && shape.fourth) {
            if (auto code = dataCentreForDigit(*shape.fourth)) {
                session.setDcName(std::string(*code));
                session.setWebServerName(platform::Deployment::webServerHost(std::string(*code)));
            }
        }
    });
}
