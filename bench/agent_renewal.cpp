// Agent renewal from the agent image on the local service, one run per start:
//
//   bench_agent_renewal launcher   KeloAppUpgrader::keloAppUpdater() with an update needed: the
//                                  image downloaded, its signature checked, the image mounted,
//                                  the agent copied and started; from KELO_BENCH_IMAGE_ADDRESS
//                                  when that is set (the service may break that one on purpose)
//   bench_agent_renewal anchor     the plain tools: curl -o, 7zz x, cp -a, then the same agent
//                                  started the same way
//
// Both end when the test agent records its start. Prints "figures: SECONDS" for the anchor and
// "figures: SECONDS PEAK_ABOVE_BEFORE_MIB BEFORE_MIB" for the launcher: its peak resident memory
// (VmHWM, reset just before) above its resident memory before the download.
//
// Environment: HOME and XDG_RUNTIME_DIR (a fresh folder per run), KELO_TEST_AGENT_RECORD,
// KELO_PELLIX_CA_FILE, KELO_BENCH_HOST (host:port of the local service), KELO_BENCH_BUNDLE (the
// built bundle: its image key and disk-image tool), and for the anchor KELO_BENCH_ANCHOR_CA (what
// the launcher trusts: the system's authorities and the test one).
#include <fmt/format.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "Handlers/ApiHandler.h"
#include "Handlers/KeloAppUpgrader.h"
#include "Handlers/KeloDmgDownloader.h"
#include "Handlers/Utils.h"
#include "Objects/SessionDetails.h"
#include "Platform/Bundle.h"
#include "Platform/Volumes.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr double kMiB = 1024.0;  // KiB per MiB

void launcher(const std::string& host, const std::string& record) {
    platform::Bundle::overrideMainBundlePath(bench::required("KELO_BENCH_BUNDLE"));
    auto& session = SessionDetails::getInstance();
    session.setWebServerName(host);
    session.setDcName("bench");
    session.setPellixToken("bench-token");
    session.setSessionKey("123456789");
    session.setName("bench@example.com");
    session.setIsCdnAvailable(false);
    session.setIsUpdateNeeded(true);
    Utils::createKeloParloNativeFolder();
    // As in the launcher, keloAppUpdater() follows the agent update check at once: the check
    // runs first (its answer, no update, is then overridden).
    auto& upgrader = KeloAppUpgrader::getInstance();
    upgrader.keloAppVersionCheck();
    bench::waitFor(
        [](auto done) { ApiHandler::getInstance().checkKeloHelvoUpdateWithCompletion(done); });
    session.setIsUpdateNeeded(true);
    if (const char* address = std::getenv("KELO_BENCH_IMAGE_ADDRESS")) {
        session.setIsCdnAvailable(true);
        session.setCdnUrl(std::string(address));
    }

    if (!bench::resetPeakMemory()) bench::fail("cannot reset the peak memory");
    const long before = bench::statusKiB("self", "VmRSS");
    const double start = bench::now();
    upgrader.keloAppUpdater();
    const auto started = bench::waitForAgentStart(record, 300s);
    if (!started) bench::fail("the agent did not start");

    // The chain goes on after the start (support tools, image deleted, volume detached): the
    // peak is read once it has ended.
    const std::string image = Utils::keloParloNativeFolderPath() + "KeloMac.dmg";
    const std::string volume = platform::Volumes::volumeNamed("Kelo");
    for (int i = 0; i < 600 && (fs::exists(image) || fs::exists(volume)); ++i) {
        std::this_thread::sleep_for(100ms);
    }
    if (fs::exists(image) || fs::exists(volume)) bench::fail("the chain did not clean up");
    const long peak = bench::statusKiB("self", "VmHWM");
    fmt::print("figures: {:.4f} {:.2f} {:.2f}\n", *started - start,
               static_cast<double>(peak - before) / kMiB, static_cast<double>(before) / kMiB);
}

void anchor(const std::string& host, const std::string& record) {
    const std::string work = bench::required("HOME") + "/anchor";
    const std::string agentFolder = Utils::keloParloNativeFolderPath();
    fs::create_directories(work);
    fs::create_directories(agentFolder);
    const std::string image = work + "/KeloMac.dmg";

    const double start = bench::now();
    if (!bench::run({"curl", "-sS", "--fail", "--cacert", bench::required("KELO_BENCH_ANCHOR_CA"),
                     "-o", image, "https://" + host + "/agent/KeloMac.dmg"})) {
        bench::fail("curl failed");
    }
    if (!bench::run({"7zz", "x", "-y", "-bso0", "-bsp0", "-o" + work + "/volume", image})) {
        bench::fail("7zz failed");
    }
    if (!bench::run({"cp", "-a", work + "/volume/Kelo.app", agentFolder + "Kelo.app"})) {
        bench::fail("cp failed");
    }
    std::vector<std::string> agent{agentFolder + "Kelo.app/Contents/MacOS/Kelo"};
    for (const auto& argument : KeloDmgDownloader::agentLaunchArguments())
        agent.push_back(argument);
    if (!bench::run(agent)) bench::fail("the agent did not run");
    const auto started = bench::waitForAgentStart(record, 300s);
    if (!started) bench::fail("the agent did not record its start");
    fmt::print("figures: {:.4f}\n", *started - start);
}

}  // namespace

int main(int argc, char** argv) {
    bench::runAgentStartBenchmark(argc, argv, "bench_agent_renewal", launcher, anchor);
}
