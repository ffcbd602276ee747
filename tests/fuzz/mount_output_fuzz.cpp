// What the disk-image tool prints when it mounts the launcher's image: whatever it is, the
// update step ends without harm, and a volume it learnt of is detached exactly once.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "Handlers/KeloPellixUpdater.h"
#include "Platform/ServiceSlot.h"

namespace {

std::shared_ptr<fuzz::ScriptedProcessRunner> runner;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::useTemporaryHome();
    runner = std::make_shared<fuzz::ScriptedProcessRunner>();
    platform::ServiceSlot<platform::ProcessRunner>::set(runner);
    platform::ServiceSlot<platform::UrlSession>::set(std::make_shared<fuzz::InstantUrlSession>());
    platform::ServiceSlot<platform::Workspace>::set(std::make_shared<fuzz::RecordingWorkspace>());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzz::text(data, size);
    runner->setOutput(std::string(input));

    const auto updater = KeloPellixUpdater::getInstance();
    updater->mountingKeloPellixDmg();

    const auto runs = runner->takeRuns();
    fuzz::require(!runs.empty() && runs.front().arguments.size() == 2 &&
                      runs.front().arguments.front() == "mount",
                  "the image was not mounted first", input);
    std::size_t detaches = 0;
    for (const auto& run : runs) {
        if (run.arguments.empty() || run.arguments.front() != "detach") continue;
        ++detaches;
        fuzz::require(run.arguments.size() == 2, "detach without exactly one path", input);
        fuzz::require(run.arguments[1].find('\t') == std::string::npos,
                      "the detached path holds a tab", input);
    }
    fuzz::require(detaches <= 1, "the volume was detached more than once", input);
    fuzz::require(!updater->latestPellixDmgPath().has_value(),
                  "the updater still holds a mounted volume", input);
    return 0;
}
