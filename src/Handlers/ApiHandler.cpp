#include "Handlers/ApiHandler.h"

#include <fmt/format.h>

#include <array>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "Handlers/KeloPellixUpdater.h"
#include "Objects/SessionDetails.h"
#include "Platform/Deployment.h"
#include "Platform/ExceptionGuard.h"
#include "Platform/Log.h"
#include "Platform/UrlEncoding.h"
#include "Platform/UrlSession.h"

namespace {

using nlohmann::json;

constexpr std::string_view kAgentCheck = "-[ApiHandler checkKeloHelvoUpdateWithCompletion:]";
constexpr std::string_view kAgentCheckBlock =
    "-[ApiHandler checkKeloHelvoUpdateWithCompletion:]_block_invoke";
constexpr std::string_view kLauncherCheck = "-[ApiHandler checkPellixUpdateWithCompletion:]";
constexpr std::string_view kLauncherCheckBlock =
    "-[ApiHandler checkPellixUpdateWithCompletion:]_block_invoke";

// The agent's architecture as the server knows it; fixed, not detected.
constexpr std::string_view kAgentArchitecture = "arm64";

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

// The error a request gets when its address cannot be made into a URL.
platform::UrlError badUrlError(const std::string& address) {
    return platform::UrlError{"NSURLErrorDomain", -1000, "bad URL", address};
}

// Calls the completion at most once, on the URL session's queue, whatever happens around it.
class CompletionOnce {
  public:
    CompletionOnce(std::string_view operation, ApiHandler::Completion completion)
        : operation_(operation), completion_(std::move(completion)) {}

    void call(bool result) {
        ApiHandler::Completion completion;
        {
            std::lock_guard lock(mutex_);
            completion.swap(completion_);
        }
        if (completion) platform::ExceptionGuard::run(operation_, [&] { completion(result); });
    }

    // Reports NO later, on the URL session's queue, as a request that failed would.
    static void failLater(const std::shared_ptr<CompletionOnce>& once) {
        const bool queued = platform::ExceptionGuard::run(once->operation_, [&] {
            platform::UrlSession::shared().enqueue([once] { once->call(false); });
        });
        if (!queued) once->call(false);
    }

  private:
    std::string_view operation_;
    std::mutex mutex_;
    ApiHandler::Completion completion_;
};

// Logs the failure lines shared by both checks; true when the exchange may be read.
bool exchangeSucceeded(std::string_view operation, const std::string& address,
                       const std::optional<platform::UrlResponse>& response,
                       const std::optional<platform::UrlError>& error) {
    if (error) {
        platform::Log::nslog("{} : Check Update failed : {}", operation, error->printedForm());
        return false;
    }
    const long status = response ? response->statusCode : 0;
    if (status != 200) {
        platform::Log::nslog(
            "{} : NSURLConnection failed for this request : {} and status code : {}", operation,
            address, status);
        return false;
    }
    return true;
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
    auto once = std::make_shared<CompletionOnce>(kAgentCheckBlock, std::move(completion));
    const bool sent = platform::ExceptionGuard::run(kAgentCheck, [&] {
        const auto& session = SessionDetails::getInstance();
        const auto host = session.webServerName();
        const std::string text = fmt::format(
            "https://{}/api/v2/agent/check_update?agent_version={}&agent=mac {}", host.value_or(""),
            session.localKeloAppVersion().value_or(""), kAgentArchitecture);
        const std::string address = platform::UrlEncoding::percentEncodeQuery(text);
        if (!host || !platform::UrlEncoding::isValidUrl(address)) {
            platform::Log::nslog("{} : Check Update failed : {}", kAgentCheck,
                                 badUrlError(address).printedForm());
            CompletionOnce::failLater(once);
            return;
        }
        platform::UrlRequest request;
        request.url = address;
        request.timeoutSeconds = 60;
        platform::UrlSession::shared().dataTask(
            std::move(request),
            [once, address](std::string body, std::optional<platform::UrlResponse> response,
                            std::optional<platform::UrlError> error) {
                bool result = false;
                platform::ExceptionGuard::run(kAgentCheckBlock, [&] {
                    if (!exchangeSucceeded(kAgentCheckBlock, address, response, error)) return;
                    applyAgentAnswer(body);
                    result = true;
                });
                once->call(result);
            });
    });
    if (!sent) CompletionOnce::failLater(once);
}

void ApiHandler::checkPellixUpdateWithCompletion(Completion completion) {
    auto once = std::make_shared<CompletionOnce>(kLauncherCheckBlock, std::move(completion));
    const bool sent = platform::ExceptionGuard::run(kLauncherCheck, [&] {
        auto& session = SessionDetails::getInstance();
        if (!session.webServerName()) {
            session.setWebServerName(platform::Deployment::defaultWebServerHost());
        }
        const std::string address = fmt::format(
            "https://{}/api/v1/customer_plugin/check_update?os=mac&format=dmg&source=pellix&"
            "version={}&pellix_token={}",
            session.webServerName().value_or(""), session.localKeloPellixAppVersion().value_or(""),
            session.pellixToken().value_or(""));
        if (!platform::UrlEncoding::isValidUrl(address)) {
            platform::Log::nslog("{} : Check Update failed : {}", kLauncherCheck,
                                 badUrlError(address).printedForm());
            CompletionOnce::failLater(once);
            return;
        }
        platform::UrlRequest request;
        request.url = address;
        request.timeoutSeconds = 60;
        platform::UrlSession::shared().dataTask(
            std::move(request),
            [once, address](std::string body, std::optional<platform::UrlResponse> response,
                            std::optional<platform::UrlError> error) {
                bool result = false;
                platform::ExceptionGuard::run(kLauncherCheckBlock, [&] {
                    if (!exchangeSucceeded(kLauncherCheckBlock, address, response, error)) return;
                    applyLauncherAnswer(body);
                    // A value left by an earlier check counts when this answer had none.
                    if (SessionDetails::getInstance().pellixUpdateNeeded()) {
                        platform::Log::nslog("{} Kelo Pellix Updated Version Available ....",
                                             kLauncherCheckBlock);
                        KeloPellixUpdater::getInstance()->checkKeloPellixUpdate();
                    }
                    result = true;
                });
                once->call(result);
            });
    });
    if (!sent) CompletionOnce::failLater(once);
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
