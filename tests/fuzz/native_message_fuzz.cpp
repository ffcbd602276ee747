// The script message dispatcher fed whole conversations. The input is lines: "page <address>"
// changes the address of the page that sends the following messages; any other line is a
// message, "name" (no body) or "name<TAB>body", where a body that is JSON is sent as that JSON
// value and anything else as a string.
//
// Promises checked after every message: a page that is not the service's changes nothing and
// hears nothing; only web addresses are handed to the browser; the preferences and the proxy
// settings file stay readable and private.
#include <algorithm>
#include <cctype>
#include <memory>

#include "FuzzSupport.h"
#include "Handlers/NativeMessageHandler.h"
#include "Objects/SessionDetails.h"
#include "Platform/PropertyList.h"
#include "Platform/ServiceSlot.h"
#include "Platform/UserDefaults.h"

namespace {

constexpr std::string_view kServiceHost = "pellix.kelohelvo.example";

struct RecordingDelegate : NativeMessageHandlerDelegate {
    void executeJavaScript(const std::string& script) override { answers.push_back(script); }
    void updateWindowTitle(const std::string& title) override { answers.push_back(title); }
    std::vector<std::string> answers;
};

struct Services {
    std::shared_ptr<fuzz::InstantUrlSession> urlSession =
        std::make_shared<fuzz::InstantUrlSession>();
    std::shared_ptr<fuzz::RecordingWorkspace> workspace =
        std::make_shared<fuzz::RecordingWorkspace>();
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    bool ready = setUp();  // before the handler is made
    NativeMessageHandler handler;

    Services() { handler.setNativeMessageHandlerDelegate(delegate); }
    bool setUp() {
        // The agent check fails at once: the join flow ends there instead of installing an agent.
        urlSession->error = platform::UrlError{
            "NSURLErrorDomain", -1009, "The Internet connection appears to be offline.", ""};
        platform::ServiceSlot<platform::UrlSession>::set(urlSession);
        platform::ServiceSlot<platform::Workspace>::set(workspace);
        platform::ServiceSlot<platform::ProcessRunner>::set(
            std::make_shared<fuzz::ScriptedProcessRunner>());
        return true;
    }
};

ScriptMessage messageFrom(std::string_view line, const std::string& page) {
    const auto tab = line.find('\t');
    if (tab == std::string_view::npos) return ScriptMessage(std::string(line), std::nullopt, page);
    const auto bodyText = line.substr(tab + 1);
    auto body = nlohmann::json::parse(bodyText, nullptr, /*allow_exceptions=*/false);
    if (body.is_discarded()) body = nlohmann::json(std::string(bodyText));
    return ScriptMessage(std::string(line.substr(0, tab)), std::move(body), page);
}

bool isWebAddress(std::string address) {
    for (char& c : address) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return address.starts_with("http://") || address.starts_with("https://");
}

void requirePrivateAndReadable(const std::string& path, std::string_view input) {
    if (!fuzz::modeOf(path)) return;
    fuzz::require(fuzz::modeOf(path) == 0600u && platform::PropertyList::readDictionary(path),
                  path + " is not mode 0600 or cannot be read back", input);
}

}  // namespace

KELO_FUZZ_TARGET(input) {
    static const bool arguments =
        (platform::UserDefaults::setProcessArguments({"KeloHelvoPellix"}), true);
    (void)arguments;
    fuzz::removePath(fuzz::home() + "/Library");
    platform::UserDefaults::resetStandard();
    auto& session = SessionDetails::getInstance();
    session.setSessionKey(std::nullopt);
    session.setName(std::nullopt);
    session.setSessionDigest(std::nullopt);
    session.setDcName("com");
    session.setPlistDcName("com");
    session.setWebServerName(std::string(kServiceHost));
    session.setPlistWebServerName(std::string(kServiceHost));

    static Services services;  // made once the first conversation's state is fresh
    std::string page = "https://" + std::string(kServiceHost) + "/join/?pellix_token=t";
    for (std::size_t start = 0; start <= input.size();) {
        const auto end = std::min(input.find('\n', start), input.size());
        const auto line = input.substr(start, end - start);
        start = end + 1;
        if (line.starts_with("page ")) {
            page = std::string(line.substr(5));
            continue;
        }

        const auto before = platform::UserDefaults::standard().snapshot();
        services.delegate->answers.clear();
        services.handler.handleMessageFromWebView(messageFrom(line, page));

        const auto requests = services.urlSession->requests.take();
        const auto opened = services.workspace->opened.take();
        // A page the service cannot have sent: not a page of a service host at all.
        if (page.find("kelohelvo.example") == std::string::npos) {
            fuzz::require(platform::UserDefaults::standard().snapshot() == before,
                          "a foreign page changed the stored settings", input);
            fuzz::require(services.delegate->answers.empty() && requests.empty() && opened.empty(),
                          "a foreign page got an answer, a request or an opened address", input);
        }
        for (const auto& address : opened) {
            fuzz::require(isWebAddress(address), "an address that is not a web page was opened",
                          input);
        }
        requirePrivateAndReadable(platform::UserDefaults::standardFilePath(), input);
        requirePrivateAndReadable(fuzz::home() + "/Library/Logs/KeloHelvo/ConnectionSettings.plist",
                                  input);
    }
}
