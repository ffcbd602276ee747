#include "TempHome.h"

#include "Handlers/HandOverStatus.h"
#include "Objects/SessionDetails.h"

#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include "Eventually.h"
#include "Platform/UserDefaults.h"

namespace fs = std::filesystem;

namespace {

std::map<std::string, std::string> currentEnvironment() {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view text(*entry);
        const auto equals = text.find('=');
        if (equals == std::string_view::npos) continue;
        variables.emplace(text.substr(0, equals), text.substr(equals + 1));
    }
    return variables;
}

void restoreEnvironment(const std::map<std::string, std::string>& saved) {
    for (const auto& [name, value] : currentEnvironment()) {
        if (!saved.contains(name)) unsetenv(name.c_str());
    }
    for (const auto& [name, value] : saved) {
        const char* now = std::getenv(name.c_str());
        if (!now || value != now) setenv(name.c_str(), value.c_str(), 1);
    }
}

void clearSessionDetails() {
    auto& session = SessionDetails::getInstance();
    for (auto set :
         {&SessionDetails::setSessionKey, &SessionDetails::setName,
          &SessionDetails::setWebServerName, &SessionDetails::setDcName,
          &SessionDetails::setPlistDcName, &SessionDetails::setPlistWebServerName,
          &SessionDetails::setLocalKeloAppVersion, &SessionDetails::setLocalKeloPellixAppVersion,
          &SessionDetails::setPellixAppPath, &SessionDetails::setSessionDigest,
          &SessionDetails::setPellixToken, &SessionDetails::setPathForPellix,
          &SessionDetails::setKeloPellixNativeFolder, &SessionDetails::setPellixDownloadUrl,
          &SessionDetails::setCdnUrl, &SessionDetails::setFallbackUrl}) {
        (session.*set)(std::nullopt);
    }
    for (auto set : {&SessionDetails::setPellixUpdateNeeded, &SessionDetails::setIsAppReplaceFlag,
                     &SessionDetails::setIsUpdateNeeded, &SessionDetails::setIsCdnAvailable}) {
        (session.*set)(false);
    }
    session.setDefaultKeloDirectoryManager(nullptr);
}

}  // namespace

void TempHomeTest::SetUp() {
    savedEnvironment_ = currentEnvironment();
    std::string pattern = (fs::temp_directory_path() / "kelo-home-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    home_ = pattern;
    fs::create_directories(home_ + "/run");
    fs::permissions(home_ + "/run", fs::perms::owner_all);
    setenv("HOME", home_.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (home_ + "/run").c_str(), 1);
    // The desktop's data folder (menu entries, icons) then lies in the home too.
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_CACHE_HOME");
    platform::UserDefaults::resetStandard();
}

void TempHomeTest::setVariable(const std::string& name, const char* value) {
    if (value) {
        setenv(name.c_str(), value, 1);
    } else {
        unsetenv(name.c_str());
    }
}

void TempHomeTest::TearDown() {
    platform::UserDefaults::resetStandard();
    HandOverStatus::shared().reset();
    clearSessionDetails();
    restoreEnvironment(savedEnvironment_);
    if (!std::getenv("KELO_KEEP_TEST_HOME")) {
        std::error_code ignored;
        fs::remove_all(home_, ignored);
    }
}

std::string readText(const std::string& path) {
    // In one go: tests compare whole images, and a character at a time is slow unoptimised.
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return std::move(text).str();
}

void writeText(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool waitForFile(const std::string& path, std::chrono::milliseconds limit) {
    return eventually([&] { return fs::exists(path); }, limit);
}

std::vector<std::string> entriesOf(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}
