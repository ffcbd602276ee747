#include "TempHome.h"

#include "Handlers/HandOverStatus.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include "Eventually.h"
#include "Platform/UserDefaults.h"

namespace fs = std::filesystem;

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

void restore(const char* name, const std::string& value) {
    if (value.empty()) {
        unsetenv(name);
    } else {
        setenv(name, value.c_str(), 1);
    }
}

}  // namespace

void TempHomeTest::SetUp() {
    savedHome_ = environment("HOME");
    savedRuntime_ = environment("XDG_RUNTIME_DIR");
    savedDataHome_ = environment("XDG_DATA_HOME");
    savedCacheHome_ = environment("XDG_CACHE_HOME");
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
    if (!savedVariables_.contains(name)) {
        const char* before = std::getenv(name.c_str());
        savedVariables_[name] = before ? std::optional<std::string>(before) : std::nullopt;
    }
    if (value) {
        setenv(name.c_str(), value, 1);
    } else {
        unsetenv(name.c_str());
    }
}

void TempHomeTest::TearDown() {
    for (const auto& [name, value] : savedVariables_) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
    savedVariables_.clear();
    platform::UserDefaults::resetStandard();
    HandOverStatus::shared().reset();
    restore("HOME", savedHome_);
    restore("XDG_RUNTIME_DIR", savedRuntime_);
    restore("XDG_DATA_HOME", savedDataHome_);
    restore("XDG_CACHE_HOME", savedCacheHome_);
    if (!std::getenv("KELO_KEEP_TEST_HOME")) {
        std::error_code ignored;
        fs::remove_all(home_, ignored);
    }
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
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
