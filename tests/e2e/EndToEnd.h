#pragma once

// What the end-to-end scenarios share: the real launcher bundle run as a child process in the
// test's temporary home, on a private session bus, against the local service; the join page with
// a customer at the keyboard; the disk images.
#include <sys/stat.h>

#include <memory>
#include <ranges>

#include <nlohmann/json.hpp>

#include "../window/LauncherProcess.h"
#include "FileTree.h"
#include "KeloTest.h"
#include "LocalService.h"
#include "LogFile.h"
#include "TestImages.h"

namespace e2e {

inline constexpr const char* kToken = "e2e-token";
inline constexpr const char* kDataCentre = "localkelo";

// The local service's join page with a small script that plays the customer: it asks the
// service for the customer's next step (GET /e2e/customer, one JSON object per step, queued by
// the test), types the values into the page's own form fields, presses Join or reloads the page,
// and reports each step taken as the page event "customer".
inline std::string customerJoinPage() {
    std::string page =
        readText(std::string(KELO_SOURCE_DIR) + "/tools/local-service/www/join/index.html");
    page.insert(page.rfind("</body>"), R"(<script>
(function () {
  'use strict';
  function type(id, value) {
    const input = document.getElementById(id);
    if (input.type === 'checkbox') {
      input.checked = Boolean(value);
      input.dispatchEvent(new Event('change'));
    } else {
      input.value = String(value);
    }
    input.dispatchEvent(new Event('input'));
  }
  function take(step) {
    for (const [id, value] of Object.entries(step.type || {})) type(id, value);
    if (step.join) document.getElementById('join-form').requestSubmit();
    window.fetch('/__event', {
      method: 'POST', keepalive: true,
      body: JSON.stringify({ name: 'customer', step: step.name || '' }),
    }).catch(() => {});
  }
  async function next() {
    try {
      const answer = await window.fetch('/e2e/customer', { cache: 'no-store' });
      if (answer.status === 200) take(await answer.json());
    } catch (error) {
      // The service is away: ask again later.
    }
    window.setTimeout(next, 200);
  }
  window.addEventListener('load', next);
})();
</script>
)");
    return page;
}

// Runs a command line through the shell, the arguments quoted; true when it exited with 0.
inline bool shell(const std::string& command, const std::vector<std::string>& arguments) {
    std::string line = command;
    for (const auto& argument : arguments) {
        gchar* quoted = g_shell_quote(argument.c_str());
        line += std::string(" ") + quoted;
        g_free(quoted);
    }
    return std::system(line.c_str()) == 0;
}

inline mode_t modeOf(const std::string& file) {
    struct stat info {};
    return ::stat(file.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

// The scenarios' common ground: a temporary home, a private session bus, the local service with
// the test images and the customer's join page, and the launcher started from a bundle.
class EndToEndTest : public TempHomeTest {
  protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        bus_ = std::make_unique<launcher_test::PrivateBus>();
        service_ = std::make_unique<LocalService>();
        ASSERT_TRUE(TestImages::make(service_->rootDir()));
        // The images' content, as the launcher should install it.
        for (const char* image : {"KeloMac.dmg", "KeloHelvoPellix.dmg"}) {
            ASSERT_TRUE(shell("7zz x -y -bso0 -bsp0",
                              {"-o" + images() + image, service_->rootDir() + "/" + image}));
        }
        service_->setAnswer("/join/", {.body = customerJoinPage(),
                                       .contentType = "text/html; charset=utf-8",
                                       .headers = {{"Cache-Control", "no-store"}}});
        fs::create_directories(path("Applications"));
    }
    void TearDown() override {
        launcher_.reset();
        service_.reset();
        bus_.reset();
        TempHomeTest::TearDown();
    }

    // The data centres this test names, all on the local service.
    std::map<std::string, std::string> environment() const {
        return {{"KELO_PELLIX_HOSTS",
                 std::string(kDataCentre) + "=" + service_->host() + ",eu=" + service_->host()},
                {"KELO_PELLIX_CA_FILE", service_->caFile()}};
    }

    // Starts the launcher of a bundle with the launch parameters on its command line; success
    // once the join page has loaded.
    ::testing::AssertionResult start(const std::string& bundle = KELO_BUNDLE_DIR,
                                     std::vector<std::string> arguments = {
                                         "-DC", kDataCentre, "-PellixToken", kToken,
                                         "-pathForPellix", "join/"}) {
        launcher_ = std::make_unique<launcher_test::LauncherProcess>(
            launcher_test::bundleExecutable(bundle), arguments, environment(), path("launcher"));
        if (service_->waitForEvent("load", 90s)) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the join page did not load\n" << everythingSaid();
    }
    std::string everythingSaid() const {
        return "--- log:\n" + readText(launcher_test::logFile()) + "\n--- output:\n" +
               launcher_->standardOutput() + "\n--- errors:\n" + launcher_->standardError();
    }

    // The customer's next step at the join page: values typed into fields (by element id), then
    // Join pressed. Returns once the page has taken it.
    ::testing::AssertionResult customer(const nlohmann::json& step) {
        const auto taken = [&] {
            return std::ranges::count_if(service_->events(), [](const auto& event) {
                return event.value("name", "") == "customer";
            });
        };
        const auto before = taken();
        service_->setAnswer("/e2e/customer", {.body = step.dump(), .times = 1});
        if (eventually([&] { return taken() > before; }, 30s)) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the customer step was not taken: " << step.dump();
    }

    std::vector<std::string> log() const { return log_file::lines(home()); }
    ::testing::AssertionResult logShows(const std::string& piece, int times = 1,
                                        std::chrono::milliseconds timeout = 60s) const {
        if (log_file::waitFor(home(), piece, timeout, times)) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << piece << " not logged " << times << " times\n"
                                             << everythingSaid();
    }
    std::string lastLogLine() const {
        auto lines = log();
        std::erase(lines, "");
        return lines.empty() ? "" : lines.back();
    }

    // The arguments of each start of the test agent (it records them, after the time).
    std::vector<std::vector<std::string>> agentStarts() const {
        std::vector<std::vector<std::string>> starts;
        for (const auto& line : log_file::splitLines(readText(path("agent-started.txt")))) {
            starts.emplace_back();
            for (const auto field : line | std::views::split('\t') | std::views::drop(1)) {
                starts.back().emplace_back(field.begin(), field.end());
            }
        }
        return starts;
    }

    std::string installedLauncher() const { return path("Applications/Kelo Helvo Pellix.app"); }

    // "KELO_PARLO_IND", a line feed, then the session's values between ampersands.
    std::string joinDetails(const std::string& key, const std::string& dc,
                            const std::string& email) const {
        return "KELO_PARLO_IND\n&key=" + key + "&webServerName=" + service_->host() +
               "&pellix_token=" + kToken + "&c_plugin=true&DC=" + dc + "&email=" + email + "&";
    }

    std::vector<std::string> targets(const std::string& path) const {
        std::vector<std::string> found;
        for (const auto& request : service_->requests(path)) found.push_back(request.target);
        return found;
    }

    std::unique_ptr<launcher_test::PrivateBus> bus_;
    std::unique_ptr<LocalService> service_;
    std::unique_ptr<launcher_test::LauncherProcess> launcher_;
    std::string images() const { return path("images/"); }  // the images' volumes, extracted
};

}  // namespace e2e
