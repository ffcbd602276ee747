// Both update checks answered by the server with any body: each completion runs exactly once and
// reports the exchange as done, and what the answer sets in the session record is consistent.
#include <memory>

#include "FuzzSupport.h"
#include "Handlers/ApiHandler.h"
#include "Objects/SessionDetails.h"
#include "Platform/ServiceSlot.h"

namespace {

// Runs the check on a fresh session record; false unless its completion ran once, with success.
bool completedOnce(void (ApiHandler::*check)(ApiHandler::Completion)) {
    auto& session = SessionDetails::getInstance();
    session.setWebServerName("pellix.kelohelvo.example");
    session.setLocalKeloAppVersion("1.0.0");
    session.setLocalKeloPellixAppVersion("1.0.0");
    session.setPellixToken("token");
    session.setIsUpdateNeeded(false);
    session.setIsCdnAvailable(false);
    session.setCdnUrl(std::nullopt);
    session.setFallbackUrl(std::nullopt);
    session.setPellixUpdateNeeded(false);
    session.setPellixDownloadUrl(std::nullopt);
    int calls = 0;
    bool done = false;
    (ApiHandler::getInstance().*check)([&](bool result) {
        ++calls;
        done = result;
    });
    return calls == 1 && done;
}

}  // namespace

KELO_FUZZ_TARGET(input) {
    static const auto urlSession = [] {
        auto made = std::make_shared<fuzz::InstantUrlSession>();
        platform::ServiceSlot<platform::UrlSession>::set(made);
        platform::ServiceSlot<platform::ProcessRunner>::set(
            std::make_shared<fuzz::ScriptedProcessRunner>());
        platform::ServiceSlot<platform::Workspace>::set(
            std::make_shared<fuzz::RecordingWorkspace>());
        return made;
    }();
    urlSession->body = std::string(input);
    auto& session = SessionDetails::getInstance();

    fuzz::require(completedOnce(&ApiHandler::checkKeloHelvoUpdateWithCompletion),
                  "the agent check did not succeed exactly once on an answer with status 200",
                  input);
    fuzz::require(!session.isCdnAvailable() || !session.cdnUrl().value_or("").empty(),
                  "a download address is available but empty", input);

    fuzz::require(completedOnce(&ApiHandler::checkPellixUpdateWithCompletion),
                  "the launcher check did not succeed exactly once on an answer with status 200",
                  input);
    fuzz::require(urlSession->requests.take().size() == (session.pellixUpdateNeeded() ? 3u : 2u),
                  "a newer launcher was not downloaded, or one was downloaded for nothing", input);
}
