// The script message dispatcher fed whole conversations. The input is lines: "page <address>"
// changes the address of the page that sends the following messages; any other line is a
// message, "name" (no body) or "name<TAB>body", where a body that is JSON is sent as that JSON
// value and anything else as a string.
//
// Promises checked after every message: a page that is not the service's changes nothing and
// hears nothing; only web addresses are handed to the browser; the preferences and the proxy
// settings file stay readable and private.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "Handlers/NativeMessageHandler.h"
#include "Objects/SessionDetails.h"
#include "Platform/PropertyList.h"
#include "Platform/ServiceSlot.h"
#include "Platform/UserDefaults.h"

namespace {

constexpr std::string_view kServicePage = "https://pellix.kelohelvo.example/join/?pellix_token=t";

class RecordingDelegate : public NativeMessageHandlerDelegate {
  public:
    void executeJavaScript(const std::string& script) override { scripts.push_back(script); }
    void updateWindowTitle(const std::string& title) override { titles.push_back(title); }

    std::vector<std::string> scripts;
    std::vector<std::string> titles;
};

std::shared_ptr<fuzz::InstantUrlSession> urlSession;
std::shared_ptr<fuzz::RecordingWorkspace> workspace;
std::shared_ptr<RecordingDelegate> delegate;

void resetSession() {
    auto& session = SessionDetails::getInstance();
    session.setSessionKey(std::nullopt);
    session.setName(std::nullopt);
    session.setSessionDigest(std::nullopt);
    session.setDcName("com");
    session.setWebServerName("pellix.kelohelvo.example");
    session.setPlistDcName("com");
    session.setPlistWebServerName("pellix.kelohelvo.example");
}

ScriptMessage messageFrom(std::string_view line, const std::string& page) {
    const auto tab = line.find('\t');
    if (tab == std::string_view::npos) return ScriptMessage(std::string(line), std::nullopt, page);
    const auto bodyText = line.substr(tab + 1);
    auto body = nlohmann::json::parse(bodyText, nullptr, /*allow_exceptions=*/false);
    if (body.is_discarded()) body = nlohmann::json(std::string(bodyText));
    return ScriptMessage(std::string(line.substr(0, tab)), std::move(body), page);
}

// A page the service cannot have sent: not an https page of a service host at all.
bool certainlyForeign(const std::string& page) {
    return page.find("kelohelvo.example") == std::string::npos;
}

bool isWebAddress(std::string address) {
    std::transform(address.begin(), address.end(), address.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return address.starts_with("http://") || address.starts_with("https://");
}

void checkPrivateReadableFile(const std::string& path, std::string_view what,
                              std::string_view input) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return;
    fuzz::require((status.st_mode & 0777) == 0600, std::string(what) + " is not mode 0600", input);
    fuzz::require(platform::PropertyList::readDictionary(path).has_value(),
                  std::string(what) + " cannot be read back", input);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::useTemporaryHome();
    platform::UserDefaults::setProcessArguments({"KeloHelvoPellix"});
    urlSession = std::make_shared<fuzz::InstantUrlSession>();
    // The agent check fails at once: the join flow ends there instead of installing an agent.
    urlSession->failWith(platform::UrlError{"NSURLErrorDomain", -1009,
                                            "The Internet connection appears to be offline.", ""});
    workspace = std::make_shared<fuzz::RecordingWorkspace>();
    platform::ServiceSlot<platform::UrlSession>::set(urlSession);
    platform::ServiceSlot<platform::Workspace>::set(workspace);
    platform::ServiceSlot<platform::ProcessRunner>::set(
        std::make_shared<fuzz::ScriptedProcessRunner>());
    delegate = std::make_shared<RecordingDelegate>();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzz::text(data, size);
    fuzz::removePath(fuzz::home() + "/Library");
    platform::UserDefaults::resetStandard();
    resetSession();
    static NativeMessageHandler handler;
    handler.setNativeMessageHandlerDelegate(delegate);
    const std::string preferences = platform::UserDefaults::standardFilePath();
    const std::string proxySettings =
        fuzz::home() + "/Library/Logs/KeloHelvo/ConnectionSettings.plist";

    std::string page(kServicePage);
    std::size_t start = 0;
    while (start <= input.size()) {
        auto end = input.find('\n', start);
        if (end == std::string_view::npos) end = input.size();
        const auto line = input.substr(start, end - start);
        start = end + 1;
        if (line.starts_with("page ")) {
            page = std::string(line.substr(5));
            continue;
        }

        const auto message = messageFrom(line, page);
        const auto before = platform::UserDefaults::standard().snapshot();
        delegate->scripts.clear();
        delegate->titles.clear();
        handler.handleMessageFromWebView(message);

        const auto requests = urlSession->takeRequests();
        const auto opened = workspace->takeOpened();
        if (certainlyForeign(page)) {
            fuzz::require(platform::UserDefaults::standard().snapshot() == before,
                          "a foreign page changed the stored settings", input);
            fuzz::require(delegate->scripts.empty() && delegate->titles.empty(),
                          "a foreign page got an answer", input);
            fuzz::require(requests.empty() && opened.empty(),
                          "a foreign page started a request or opened an address", input);
        }
        for (const auto& address : opened) {
            fuzz::require(isWebAddress(address), "an address that is not a web page was opened",
                          input);
        }
        checkPrivateReadableFile(preferences, "the preferences file", input);
        checkPrivateReadableFile(proxySettings, "the proxy settings file", input);
    }
    return 0;
}
