// What the disk-image tool prints when it mounts the launcher's image: whatever it is, the
// update step ends without harm, and a volume it learnt of is detached exactly once.
#include <memory>

#include "FuzzSupport.h"
#include "Handlers/KeloPellixUpdater.h"
#include "Platform/ServiceSlot.h"

KELO_FUZZ_TARGET(input) {
    static const auto runner = [] {
        auto made = std::make_shared<fuzz::ScriptedProcessRunner>();
        platform::ServiceSlot<platform::ProcessRunner>::set(made);
        platform::ServiceSlot<platform::UrlSession>::set(
            std::make_shared<fuzz::InstantUrlSession>());
        platform::ServiceSlot<platform::Workspace>::set(
            std::make_shared<fuzz::RecordingWorkspace>());
        return made;
    }();
    runner->output = std::string(input);

    const auto updater = KeloPellixUpdater::getInstance();
    updater->mountingKeloPellixDmg();

    const auto runs = runner->runs.take();
    fuzz::require(!runs.empty() && runs.front().size() == 3 && runs.front()[1] == "mount",
                  "the image was not mounted first", input);
    std::size_t detaches = 0;
    for (const auto& run : runs) {
        if (run.size() < 2 || run[1] != "detach") continue;
        ++detaches;
        fuzz::require(run.size() == 3, "detach without exactly one path", input);
        fuzz::require(run[2].find('\t') == std::string::npos, "the detached path holds a tab",
                      input);
    }
    fuzz::require(detaches <= 1, "the volume was detached more than once", input);
    fuzz::require(!updater->latestPellixDmgPath().has_value(),
                  "the updater still holds a mounted volume", input);
}
