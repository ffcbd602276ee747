#include "Handlers/NativeMessageHandler.h"

#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string_view>
#include <utility>
#include <vector>

#include "Handlers/ApiHandler.h"
#include "Handlers/CustomerDetails.h"
#include "Handlers/HandOverStatus.h"
#include "Handlers/JoinSessionMessage.h"
#include "Handlers/KeloAppUpgrader.h"
#include "Handlers/NetworkMonitor.h"
#include "Handlers/ProxyDetails.h"
#include "Handlers/WebAddress.h"
#include "Objects/SessionDetails.h"
#include "Platform/Console.h"
#include "Platform/Deployment.h"
#include "Platform/ExceptionGuard.h"
#include "Platform/FileManager.h"
#include "Platform/Paths.h"
#include "Platform/PropertyList.h"
#include "Platform/SystemIdentity.h"
#include "Platform/UnicodeText.h"
#include "Platform/UserDefaults.h"
#include "Platform/Workspace.h"

namespace {

constexpr std::string_view kHandle = "handleMessageFromWebView(message:)";
constexpr std::string_view kSetupProxy = "setupProxyDetails()";
constexpr std::string_view kTryAgain = "tryHandOverAgain()";
constexpr const char* kDefaultTitle = "Kelo Helvo - Pellix";

// Session keys are 9 or 10 characters long.
bool hasSessionKeyLength(std::size_t length) {
    return length == 9 || length == 10;
}

// A stored value as a script's string literal: whatever it holds stays data in the reply.
std::string literal(const std::string& value) {
    return nlohmann::json(value).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

platform::UserDefaults& defaults() {
    return platform::UserDefaults::standard();
}

// Stored text, only when the stored value is text.
std::optional<std::string> storedText(const std::string& key) {
    auto value = defaults().object(key);
    if (value && value->isString()) return *value->asString();
    return std::nullopt;
}

// Runs the agent update check for the session now in SessionDetails, and on success hands the
// session to the agent installer. The completion runs on the URL session's queue.
void checkAgentAndHandOver(bool reportFailure) {
    HandOverStatus::shared().report(HandOverStatus::Stage::checking);
    ApiHandler::getInstance().checkKeloHelvoUpdateWithCompletion([reportFailure](bool updated) {
        platform::ExceptionGuard::run(kHandle, [&] {
            if (updated) {
                KeloAppUpgrader::getInstance().keloAppUpdater();
                return;
            }
            if (reportFailure) {
                platform::Console::printf("{} : Unable to update Kelo Helvo Agent", kHandle);
            }
            HandOverStatus::shared().fail(HandOverStatus::Failure::checkFailed);
        });
    });
}

void refuseJoin() {
    HandOverStatus::shared().fail(HandOverStatus::Failure::refusedJoin);
}

}  // namespace

enum class BodyType {
    none,             // the body is not looked at
    string,           // a string, or the message does nothing
    stringOrAnything  // a string, or the handler falls back
};

struct NativeMessageHandler::Entry {
    std::string_view name;
    BodyType body;
    void (NativeMessageHandler::*handler)(const ScriptMessage&);
};

// The page's messages, compared in this order, exactly and case-sensitively.
const NativeMessageHandler::Entry NativeMessageHandler::kMessages[] = {
    {"getRRSessionDigest", BodyType::none, &NativeMessageHandler::getRRSessionDigest},
    {"getCustomerDetails", BodyType::none, &NativeMessageHandler::getCustomerDetails},
    {"sendRRSessionDigestToNative", BodyType::string,
     &NativeMessageHandler::sendRRSessionDigestToNative},
    {"sendCustomerDetailsToNative", BodyType::string,
     &NativeMessageHandler::sendCustomerDetailsToNative},
    {"sendRRSessionKeyToNative", BodyType::string, &NativeMessageHandler::sendRRSessionKeyToNative},
    {"sendJoinDetailsToNative", BodyType::string, &NativeMessageHandler::sendJoinDetailsToNative},
    {"sendJoinReportAbuseLinkToNative", BodyType::string,
     &NativeMessageHandler::sendJoinReportAbuseLinkToNative},
    {"pellixLoaded", BodyType::none, &NativeMessageHandler::pellixLoaded},
    {"clearRRSessionDigest", BodyType::none, &NativeMessageHandler::clearRRSessionDigest},
    {"sendPellixTitleToNative", BodyType::stringOrAnything,
     &NativeMessageHandler::sendPellixTitleToNative},
    {"clearPellixDigest", BodyType::none, &NativeMessageHandler::clearPellixDigest},
    {"getProxyDetails", BodyType::none, &NativeMessageHandler::getProxyDetails},
    {"sendProxyDetailsToNative", BodyType::string, &NativeMessageHandler::sendProxyDetailsToNative},
    {"getActiveSessionKey", BodyType::none, &NativeMessageHandler::getActiveSessionKey},
    {"clearActiveSessionKey", BodyType::none, &NativeMessageHandler::clearActiveSessionKey},
    {"openProxy", BodyType::none, &NativeMessageHandler::openProxy},
    {"getSystemOs", BodyType::none, &NativeMessageHandler::getSystemOs},
    {"consoleHandler", BodyType::string, &NativeMessageHandler::consoleHandler},
};

const std::vector<std::string>& NativeMessageHandler::messageNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all;
        for (const auto& entry : kMessages) all.emplace_back(entry.name);
        return all;
    }();
    return names;
}

NativeMessageHandler& NativeMessageHandler::shared() {
    // Never destroyed: the window and background completions may reach it while the process ends.
    static auto* instance = new NativeMessageHandler();
    return *instance;
}

NativeMessageHandler::NativeMessageHandler(
    std::shared_ptr<NativeMessageHandlerDelegate> nativeMessageHandlerDelegate)
    : nativeMessageHandlerDelegate_(std::move(nativeMessageHandlerDelegate)) {}

std::shared_ptr<NativeMessageHandlerDelegate> NativeMessageHandler::nativeMessageHandlerDelegate()
    const {
    std::lock_guard lock(delegateMutex_);
    return nativeMessageHandlerDelegate_;
}

void NativeMessageHandler::setNativeMessageHandlerDelegate(
    std::shared_ptr<NativeMessageHandlerDelegate> delegate) {
    std::lock_guard lock(delegateMutex_);
    nativeMessageHandlerDelegate_ = std::move(delegate);
}

void NativeMessageHandler::handleMessageFromWebView(const ScriptMessage& message) {
    platform::ExceptionGuard::run(kHandle, [&] {
        for (const auto& entry : kMessages) {
            if (entry.name != message.name) continue;
            if (!acceptsSender(message.name, message.pageUrl)) return;
            if (entry.body == BodyType::string && !message.bodyString()) return;
            (this->*entry.handler)(message);
            return;
        }
    });
}

// Only the service's own pages may use the bridge: an https page on the current web server, the
// launch configuration's web server or a host of the data-centre table. Anything else (a page
// reached through a link, the offline page) could otherwise read the stored proxy password or
// start an agent.
bool NativeMessageHandler::isServicePage(const std::string& pageUrl) {
    const auto page = WebAddress::parse(pageUrl);
    if (!page || page->scheme != "https" || !page->hasAuthority || page->host.empty()) return false;
    std::vector<std::string> hosts = platform::Deployment::knownHosts();
    auto& session = SessionDetails::getInstance();
    if (auto host = session.webServerName()) hosts.push_back(*host);
    if (auto host = session.plistWebServerName()) hosts.push_back(*host);
    const auto pageAuthority = page->authority();
    return std::any_of(hosts.begin(), hosts.end(), [&](const std::string& host) {
        const auto known = WebAddress::parse("https://" + host);
        return known && !known->host.empty() && known->authority() == pageAuthority;
    });
}

bool NativeMessageHandler::acceptsSender(const std::string& name, const std::string& pageUrl) {
    if (isServicePage(pageUrl)) return true;
    ++droppedMessages_;
    const auto page = WebAddress::parse(pageUrl);
    const std::string host = page && !page->host.empty() ? page->authority() : "(no host)";
    // A page may post without end: its lines are held back, so the log keeps what came before.
    if (const auto count = droppedLines_.admit(host)) {
        if (*count == 1) {
            platform::Console::printf(
                "{} : Dropped message {} from a page that is not the service's, host: {}", kHandle,
                name, host);
        } else {
            platform::Console::printf(
                "{} : Dropped {} more messages from a page that is not the service's, host: {}",
                kHandle, *count, host);
        }
    }
    return false;
}

void NativeMessageHandler::reply(const std::string& script) const {
    if (auto delegate = nativeMessageHandlerDelegate()) delegate->executeJavaScript(script);
}

void NativeMessageHandler::setWindowTitle(const std::string& title) const {
    if (auto delegate = nativeMessageHandlerDelegate()) delegate->updateWindowTitle(title);
}

void NativeMessageHandler::getRRSessionDigest(const ScriptMessage&) {
    auto& session = SessionDetails::getInstance();
    session.setSessionDigest(defaults().string("RRSessionDigest").value_or(""));
    reply("window.receiveRRSessionDigest(" + literal(session.sessionDigest().value_or("")) + ");");
}

void NativeMessageHandler::getCustomerDetails(const ScriptMessage&) {
    const auto details = CustomerDetails::reply(defaults());
    reply("window.receiveCustomerDetails(" + details.json.value_or("") + ");");
}

void NativeMessageHandler::sendRRSessionDigestToNative(const ScriptMessage& message) {
    defaults().set("RRSessionDigest", *message.bodyString());
    defaults().synchronize();
}

void NativeMessageHandler::sendCustomerDetailsToNative(const ScriptMessage& message) {
    const auto details = CustomerDetails::decode(*message.bodyString());
    if (!details) {
        platform::Console::printf("{} : Customer Details Not Initialized.", kHandle);
        return;
    }
    auto& store = defaults();
    store.set("name", details->name);
    store.set("email", details->email);
    store.set("company", details->company);
    store.set("language", details->language);
    store.synchronize();
}

void NativeMessageHandler::sendRRSessionKeyToNative(const ScriptMessage& message) {
    const std::string& key = *message.bodyString();
    if (!hasSessionKeyLength(platform::UnicodeText::characterCount(key))) {
        platform::Console::printf("{} : Invalid Session Key from Raise a Request Page", kHandle);
        refuseJoin();
        return;
    }
    setupProxyDetails();
    auto& session = SessionDetails::getInstance();
    session.setSessionKey(key);
    if (auto name = storedText("name")) session.setName(*name);
    checkAgentAndHandOver(/*reportFailure=*/false);
}

void NativeMessageHandler::sendJoinDetailsToNative(const ScriptMessage& message) {
    const auto join = JoinSessionMessage::decode(*message.bodyString());
    if (!join) {
        platform::Console::printf("{} : {} : Error Unable to decode the join details", kHandle,
                                  kHandle);
        refuseJoin();
        return;
    }
    // Stored before it is checked: the page reads back what it sent.
    defaults().set("activeSessionKey", join->sessionKey);
    defaults().synchronize();
    const std::string key = std::to_string(join->sessionKey);
    platform::Console::printf(
        "{} : Details Shared for Joining a session - email: {}, sessionid: {}", kHandle,
        join->email, key);
    if (!hasSessionKeyLength(key.size())) {
        platform::Console::printf("{} : Invalid Session Key from Join Page", kHandle);
        refuseJoin();
        return;
    }
    setupProxyDetails();
    auto& session = SessionDetails::getInstance();
    session.setSessionKey(key);
    session.setName(join->email);
    if (join->dc) {
        session.setDcName(session.plistDcName());
        session.setWebServerName(session.plistWebServerName());
    } else {
        // Without a data centre from the page, the key names it: a 10-character key carries the
        // region, a 9-character one belongs to the launch configuration's data centre.
        ApiHandler::getInstance().findDcNameUsingKey(key);
    }
    checkAgentAndHandOver(/*reportFailure=*/true);
}

void NativeMessageHandler::tryHandOverAgain() {
    platform::ExceptionGuard::run(kTryAgain, [&] {
        if (!SessionDetails::getInstance().sessionKey()) return;
        platform::Console::printf("{} : The customer asked to try the hand-over again", kTryAgain);
        setupProxyDetails();
        checkAgentAndHandOver(/*reportFailure=*/true);
    });
}

void NativeMessageHandler::sendJoinReportAbuseLinkToNative(const ScriptMessage& message) {
    const std::string& link = *message.bodyString();
    const auto address = WebAddress::parse(link);
    if (!address) return;
    // Only web pages go to the browser: a file or an application's scheme could run something.
    if (!address->isWeb() || !address->hasAuthority || address->host.empty()) {
        platform::Console::printf("{} : Report Abuse link is not a web address, not opened: {}",
                                  kHandle, link);
        return;
    }
    if (platform::Workspace::shared().openURL(link)) {
        platform::Console::printf("{} Opened Report Abuse Page in the Default browser", kHandle);
    }
}

void NativeMessageHandler::pellixLoaded(const ScriptMessage&) {
    auto& monitor = NetworkMonitor::shared();
    monitor.stopNetworkMonitoring();
    monitor.stopWebsiteReachabilityChecks();
}

void NativeMessageHandler::clearRRSessionDigest(const ScriptMessage&) {
    defaults().set("RRSessionDigest", "");
    defaults().synchronize();
}

void NativeMessageHandler::sendPellixTitleToNative(const ScriptMessage& message) {
    if (const auto* title = message.bodyString()) {
        defaults().set("WindowTitle", *title);
        defaults().synchronize();
        setWindowTitle(*title);
        return;
    }
    setWindowTitle(storedText("WindowTitle").value_or(kDefaultTitle));
}

void NativeMessageHandler::clearPellixDigest(const ScriptMessage&) {
    defaults().set("PellixToken", "");
    defaults().synchronize();
}

void NativeMessageHandler::getProxyDetails(const ScriptMessage&) {
    const auto details = ProxyDetails::reply(defaults());
    if (!details.json) {
        platform::Console::printf("{} : Unable to convert dictionary to JSON: {}", kHandle,
                                  details.error);
    }
    reply("window.receiveProxyDetails(" + details.json.value_or("") + ");");
}

void NativeMessageHandler::sendProxyDetailsToNative(const ScriptMessage& message) {
    const auto details = ProxyDetails::decode(*message.bodyString());
    if (!details) {
        platform::Console::printf("{} : Proxy Details Not Initialized.", kHandle);
        return;
    }
    auto& store = defaults();
    store.set("host", details->host);
    store.set("port", details->port);
    store.set("authRequired", details->authRequired);
    store.set("userName", details->userName);
    store.set("password", details->password);
    store.synchronize();
}

void NativeMessageHandler::getActiveSessionKey(const ScriptMessage&) {
    const auto key = defaults().string("activeSessionKey");
    if (!key) {
        platform::Console::printf("{} : No Session id is active.", kHandle);
        return;
    }
    reply("window.receiveActiveSessionKey(" + literal(*key) + ");");
}

void NativeMessageHandler::clearActiveSessionKey(const ScriptMessage&) {
    defaults().set("activeSessionKey", "");
    defaults().synchronize();
}

void NativeMessageHandler::openProxy(const ScriptMessage&) {
    if (!platform::Workspace::shared().openProxySettings()) {
        platform::Console::printf(
            "{} : No network proxy settings program is installed; proxy settings not opened.",
            kHandle);
    }
}

void NativeMessageHandler::getSystemOs(const ScriptMessage&) {
    reply("window.receiveSystemOs(" + literal(platform::SystemIdentity::systemWord()) + ");");
}

void NativeMessageHandler::consoleHandler(const ScriptMessage& message) {
    platform::Console::printf("{} : Console Message from WebView: {}", kHandle,
                              *message.bodyString());
}

// The proxy settings file that the agent reads: written whole, mode 0600 (it holds a password).
void NativeMessageHandler::setupProxyDetails() {
    platform::ExceptionGuard::run(kSetupProxy, [&] {
        const auto values = defaults().valuesForKeys(ProxyDetails::keys());
        const auto* host = values.at("host").asString();
        if (!host) return;
        const auto* port = values.at("port").asInteger();
        if (!port) return;
        const auto* authRequired = values.at("authRequired").asBoolean();
        if (!authRequired) return;
        const auto* userName = values.at("userName").asString();
        if (!userName) return;
        const auto* password = values.at("password").asString();
        if (!password) return;

        const auto& files = platform::FileManager::defaultManager();
        const std::string folder = platform::Paths::libraryFolder() + "/Logs/KeloHelvo";
        const std::string path = folder + "/ConnectionSettings.plist";
        // No proxy any more: the agent must not go on through the old one, nor its password stay.
        if (host->empty()) {
            if (!files.isSymbolicLink(path) && !files.fileExists(path)) return;
            if (files.removeItem(path)) {
                platform::Console::printf(
                    "{} : Unable to remove ConnectionSettings.plist of the proxy no longer used.",
                    kSetupProxy);
            } else {
                platform::Console::printf("{} : No proxy is set: ConnectionSettings.plist removed.",
                                          kSetupProxy);
            }
            return;
        }
        if (*port < 0 || *port > 65535) return;
        // A proxy without authentication keeps no user name or password of an earlier one.
        const std::string user = *authRequired ? *userName : std::string();
        const std::string secret = *authRequired ? *password : std::string();

        // A link in the file's place is not followed: it is replaced by a file of four entries.
        if (!files.isSymbolicLink(path) && files.fileExists(path)) {
            auto settings = platform::PropertyList::readOwnDictionary(path);
            if (!settings) return;
            (*settings)["ProxyIpAddress"] = *host;
            (*settings)["ProxyServerPort"] = *port;
            (*settings)["UserName"] = user;
            (*settings)["Password"] = secret;
            const auto xml = platform::PropertyList::toXml(platform::PlistValue(*settings));
            if (xml.empty() || files.writeFileAtomically(path, xml, 0600)) {
                platform::Console::printf(
                    "{} : Unable to write connection settings to ConnectionSettings.plist.",
                    kSetupProxy);
            }
            return;
        }

        if (files.createDirectory(folder, /*withIntermediates=*/true)) {
            platform::Console::printf(
                "{} : Unable to create the connection plist file at the desired path.",
                kSetupProxy);
            return;
        }
        const platform::PlistValue::Dictionary settings{
            {"ProxyIpAddress", *host},
            {"ProxyServerPort", *port},
            {"UserName", user},
            {"Password", secret},
        };
        const auto xml = platform::PropertyList::toXml(platform::PlistValue(settings));
        if (xml.empty()) {
            platform::Console::printf(
                "{} : Unable to create the connection plist file at the desired path.",
                kSetupProxy);
            return;
        }
        files.writeFileAtomically(path, xml, 0600);
    });
}
