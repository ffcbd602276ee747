// Join to agent started, with the installed agent current, one run per start:
//
//   bench_join_agent_current launcher   the join page's "sendJoinDetailsToNative" message handed
//                                       to NativeMessageHandler: the agent check on the local
//                                       service, the join-details file, the agent started
//   bench_join_agent_current anchor     curl of the same check address, then the same agent
//                                       started the same way
//
// Both end when the test agent records its start. Prints "figures: SECONDS".
//
// Environment: HOME and XDG_RUNTIME_DIR (a fresh folder per run), KELO_TEST_AGENT_RECORD,
// KELO_PELLIX_HOSTS (the data centre "bench" on the local service), KELO_PELLIX_CA_FILE,
// KELO_BENCH_HOST (host:port of the local service), KELO_BENCH_AGENT (an agent bundle to
// install), KELO_BENCH_JOIN_PAUSE_MS (the time between the start and the join), and for the anchor
// KELO_BENCH_CHECK_TARGET (path and query of the agent check) and KELO_BENCH_ANCHOR_CA (what the
// launcher trusts: the system's authorities and the test one).
#include <fmt/format.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "BenchSupport.h"
#include "Handlers/ApiHandler.h"
#include "Handlers/KeloAppUpgrader.h"
#include "Handlers/KeloDmgDownloader.h"
#include "Handlers/NativeMessageHandler.h"
#include "Handlers/Utils.h"
#include "Platform/UserDefaults.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string installAgent() {
    const std::string agent = Utils::keloParloNativeFolderPath() + "Kelo.app";
    fs::create_directories(Utils::keloParloNativeFolderPath());
    fs::copy(bench::required("KELO_BENCH_AGENT"), agent, fs::copy_options::recursive);
    return agent;
}

void launcher(const std::string& host, const std::string& record) {
    // As the launcher starts: launch parameters, folders, the installed agent's version.
    platform::UserDefaults::setProcessArguments(
        {"bench_join_agent_current", "-DC", "bench", "-PellixToken", "bench-token"});
    Utils::parseCommandLineArgs();
    installAgent();
    // What the launcher does after its start, long before the customer joins: the agent's
    // version and the launcher update check. The check's connection is left to time out, as it
    // would while the customer types the key.
    KeloAppUpgrader::getInstance().keloAppVersionCheck();
    bench::waitFor(
        [](auto done) { ApiHandler::getInstance().checkPellixUpdateWithCompletion(done); });
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::stol(bench::required("KELO_BENCH_JOIN_PAUSE_MS"))));

    const ScriptMessage join(
        "sendJoinDetailsToNative",
        nlohmann::json(R"({"sessionKey":123456789,"email":"bench@example.com","dc":"bench"})"),
        "https://" + host + "/join/?pellix_token=bench-token");
    const double start = bench::now();
    NativeMessageHandler::shared().handleMessageFromWebView(join);
    const auto started = bench::waitForAgentStart(record, 120s);
    if (!started) bench::fail("the agent did not start");
    fmt::print("figures: {:.4f}\n", *started - start);
}

void anchor(const std::string& host, const std::string& record) {
    const std::string agent = installAgent();
    const std::string address = "https://" + host + bench::required("KELO_BENCH_CHECK_TARGET");
    std::vector<std::string> command{agent + "/Contents/MacOS/Kelo"};
    for (const auto& argument : KeloDmgDownloader::agentLaunchArguments()) {
        command.push_back(argument);
    }

    const double start = bench::now();
    if (!bench::run({"curl", "-sS", "--fail", "--cacert", bench::required("KELO_BENCH_ANCHOR_CA"),
                     "-o", "/dev/null", address})) {
        bench::fail("curl failed");
    }
    if (!bench::run(command)) bench::fail("the agent did not run");
    const auto started = bench::waitForAgentStart(record, 120s);
    if (!started) bench::fail("the agent did not record its start");
    fmt::print("figures: {:.4f}\n", *started - start);
}

}  // namespace

int main(int argc, char** argv) {
    bench::runAgentStartBenchmark(argc, argv, "bench_join_agent_current", launcher, anchor);
}
