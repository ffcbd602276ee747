// Both update checks answered by the server with any body: each completion runs exactly once and
// reports the exchange as done, and what the answer sets in the session record is consistent.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "Handlers/ApiHandler.h"
#include "Objects/SessionDetails.h"
#include "Platform/ServiceSlot.h"

namespace {

std::shared_ptr<fuzz::InstantUrlSession> urlSession;

void resetSession() {
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
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::useTemporaryHome();
    urlSession = std::make_shared<fuzz::InstantUrlSession>();
    platform::ServiceSlot<platform::UrlSession>::set(urlSession);
    platform::ServiceSlot<platform::ProcessRunner>::set(
        std::make_shared<fuzz::ScriptedProcessRunner>());
    platform::ServiceSlot<platform::Workspace>::set(std::make_shared<fuzz::RecordingWorkspace>());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzz::text(data, size);
    auto& session = SessionDetails::getInstance();
    auto& api = ApiHandler::getInstance();
    urlSession->answer(std::string(input), 200);

    resetSession();
    int calls = 0;
    bool result = false;
    api.checkKeloHelvoUpdateWithCompletion([&](bool done) {
        ++calls;
        result = done;
    });
    fuzz::require(calls == 1, "the agent check did not complete exactly once", input);
    fuzz::require(result, "the agent check failed on an answer with status 200", input);
    if (session.isCdnAvailable()) {
        fuzz::require(!session.cdnUrl().value_or("").empty(),
                      "a download address is available but empty", input);
    }

    resetSession();
    calls = 0;
    result = false;
    api.checkPellixUpdateWithCompletion([&](bool done) {
        ++calls;
        result = done;
    });
    fuzz::require(calls == 1, "the launcher check did not complete exactly once", input);
    fuzz::require(result, "the launcher check failed on an answer with status 200", input);
    const auto requests = urlSession->takeRequests();
    fuzz::require(requests.size() == (session.pellixUpdateNeeded() ? 3 : 2),
                  "a newer launcher was not downloaded, or one was downloaded for nothing", input);
    return 0;
}
