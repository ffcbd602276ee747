#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

// Every test runs in a temporary home of its own: HOME and XDG_RUNTIME_DIR point into a fresh
// folder that is removed afterwards (XDG_DATA_HOME and XDG_CACHE_HOME are unset, so the desktop's
// data and cache folders are the home's too), and the process's defaults store is read anew from
// there. A test leaves the process as it found it: the environment is put back whole, and the
// session record and the hand-over status are cleared, so tests may run in any order and again.
class TempHomeTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    const std::string& home() const { return home_; }
    std::string path(const std::string& relative) const { return home_ + "/" + relative; }
    // The launcher's folders in the home, written out here once for every test.
    std::string agentFolder() const { return path("Library/Application Support/KeloParloNative/"); }
    std::string nativeFolder() const {
        return path("Library/Application Support/KeloPellixNativeFolder/");
    }
    std::string logFolder() const { return path("Library/Logs/KeloHelvo/KeloPellix/"); }
    // Sets (or, with nullptr, unsets) an environment variable for the rest of the test.
    static void setVariable(const std::string& name, const char* value);

  private:
    std::string home_;
    std::map<std::string, std::string> savedEnvironment_;
};

// Small helpers for files in tests.
std::string readText(const std::string& path);
void writeText(const std::string& path, const std::string& text);
// Whether the file exists within the limit (a detached program may write it later).
bool waitForFile(const std::string& path,
                 std::chrono::milliseconds limit = std::chrono::seconds(20));
// The names of the entries in a folder, sorted; empty when it cannot be read.
std::vector<std::string> entriesOf(const std::string& folder);
