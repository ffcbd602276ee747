// The launcher's defaults store: the command line over the stored values, the file it keeps,
// and what happens when that file is damaged, blocked or written from several threads.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "OutputCapture.h"
#include "Platform/PlistValue.h"
#include "Platform/PropertyList.h"
#include "Platform/UserDefaults.h"
#include "TempHome.h"

namespace {

namespace fs = std::filesystem;
using platform::PlistValue;
using platform::UserDefaults;

class UserDefaultsTest : public TempHomeTest {
  protected:
    std::string preferencesFile() const {
        return path("Library/Preferences/com.Kelo.Helvo.KeloHelvoPellix.plist");
    }
    PlistValue::Dictionary stored() const {
        return platform::PropertyList::readDictionary(preferencesFile())
            .value_or(PlistValue::Dictionary{});
    }
};

TEST_F(UserDefaultsTest, CommandLineWinsAndIsNeverWritten) {
    UserDefaults defaults(preferencesFile(), {"KeloHelvoPellix", "-DC", "jp", "-PellixToken",
                                              "from-arguments", "loose", "-dangling"});
    defaults.set("DC", "eu");
    defaults.set("name", "Ada");
    EXPECT_EQ(defaults.string("DC"), "jp");
    EXPECT_EQ(defaults.string("PellixToken"), "from-arguments");
    EXPECT_EQ(defaults.object("dangling"), std::nullopt);

    const auto all = defaults.snapshot();
    EXPECT_EQ(all.at("DC"), PlistValue("jp"));
    EXPECT_EQ(all.at("name"), PlistValue("Ada"));
    const auto some = defaults.valuesForKeys({"DC", "name", "missing"});
    EXPECT_EQ(some.at("DC"), PlistValue("jp"));
    EXPECT_TRUE(some.at("missing").isNull());

    ASSERT_TRUE(defaults.synchronize());
    EXPECT_EQ(stored(), (PlistValue::Dictionary{{"DC", "eu"}, {"name", "Ada"}}));

    // Removing a stored value uncovers nothing of the command line in the file either.
    defaults.remove("DC");
    ASSERT_TRUE(defaults.synchronize());
    EXPECT_EQ(defaults.string("DC"), "jp");
    EXPECT_EQ(stored(), (PlistValue::Dictionary{{"name", "Ada"}}));
}

TEST_F(UserDefaultsTest, ValuesSurviveARestartWithTheirTypes) {
    const PlistValue::Dictionary values{
        {"text", "Grüße"},
        {"port", 8080},
        {"negative", -3},
        {"ratio", 0.5},
        {"authRequired", true},
        {"blob", PlistValue::Data{1, 2, 3}},
        {"when", PlistValue::Date(std::chrono::seconds(1796515200))},
        {"list", PlistValue::Array{PlistValue("a"), PlistValue(2)}},
        {"nested", PlistValue::Dictionary{{"k", "v"}}},
    };
    {
        UserDefaults::setProcessArguments({"KeloHelvoPellix"});
        auto& defaults = UserDefaults::standard();
        EXPECT_EQ(defaults.filePath(), preferencesFile());
        for (const auto& [key, value] : values) defaults.set(key, value);
        ASSERT_TRUE(defaults.synchronize());
    }
    UserDefaults::resetStandard();
    const auto& restarted = UserDefaults::standard();
    for (const auto& [key, value] : values) EXPECT_EQ(restarted.object(key), value) << key;
    EXPECT_EQ(restarted.string("port"), "8080");
    EXPECT_EQ(restarted.string("negative"), "-3");
    EXPECT_EQ(restarted.integer("port"), 8080);
    EXPECT_TRUE(restarted.boolean("authRequired"));
    EXPECT_FALSE(restarted.boolean("missing"));
    EXPECT_EQ(restarted.integer("missing"), 0);

    // It holds a proxy password: only the user may read it.
    struct stat info {};
    ASSERT_EQ(::stat(preferencesFile().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(UserDefaultsTest, UnreadableFileIsMovedAsideNotOverwritten) {
    const std::string damaged = "<?xml version=\"1.0\"?><plist><dict><key>name</key>";
    writeText(preferencesFile(), damaged);
    OutputCapture capture(STDERR_FILENO, path("stderr.txt"));
    UserDefaults defaults(preferencesFile(), {"KeloHelvoPellix"});
    const auto log = capture.text();

    EXPECT_TRUE(defaults.snapshot().empty());
    EXPECT_NE(log.find(preferencesFile()), std::string::npos) << log;
    std::vector<fs::path> aside;
    for (const auto& entry : fs::directory_iterator(path("Library/Preferences"))) {
        if (entry.path() != preferencesFile()) aside.push_back(entry.path());
    }
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_NE(log.find(aside[0].string()), std::string::npos) << log;
    EXPECT_EQ(readText(aside[0]), damaged);

    defaults.set("name", "Ada");
    ASSERT_TRUE(defaults.synchronize());
    EXPECT_EQ(stored(), (PlistValue::Dictionary{{"name", "Ada"}}));
    EXPECT_EQ(readText(aside[0]), damaged);
}

TEST_F(UserDefaultsTest, FolderInPlaceOfTheFileIsSetAsideAtStart) {
    fs::create_directories(preferencesFile());
    writeText(preferencesFile() + "/inside", "kept");
    OutputCapture capture(STDERR_FILENO, path("stderr.txt"));
    UserDefaults defaults(preferencesFile(), {"KeloHelvoPellix"});
    EXPECT_TRUE(defaults.snapshot().empty());
    defaults.set("name", "Ada");
    EXPECT_TRUE(defaults.synchronize());
    EXPECT_EQ(stored(), (PlistValue::Dictionary{{"name", "Ada"}}));
    std::size_t kept = 0;
    for (const auto& entry : fs::directory_iterator(path("Library/Preferences"))) {
        if (fs::exists(entry.path() / "inside")) ++kept;
    }
    EXPECT_EQ(kept, 1u);
}

TEST_F(UserDefaultsTest, BlockedFileMakesSynchronizeFailAndSaySo) {
    struct Case {
        const char* name;
        std::string blocker;  // a file here, or a folder when it ends in a slash
    };
    const std::vector<Case> cases = {
        {"a file where the Preferences folder should be", "Library/Preferences"},
        {"a folder where the file should be",
         "Library/Preferences/com.Kelo.Helvo.KeloHelvoPellix.plist/"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        fs::remove_all(path("Library"));
        UserDefaults defaults(preferencesFile(), {"KeloHelvoPellix"});
        defaults.set("name", "Ada");
        if (test.blocker.back() == '/') {
            fs::create_directories(path(test.blocker));
        } else {
            writeText(path(test.blocker), "in the way");
        }
        OutputCapture capture(STDERR_FILENO, path("stderr.txt"));
        EXPECT_FALSE(defaults.synchronize());
        const auto log = capture.text();
        EXPECT_NE(log.find("UserDefaults : cannot"), std::string::npos) << log;
        // The value is still there for a later attempt.
        EXPECT_EQ(defaults.string("name"), "Ada");
    }
}

TEST_F(UserDefaultsTest, ConcurrentWritersLeaveAWholeReadableFile) {
    constexpr int kWriters = 4;
    constexpr int kRounds = 60;
    UserDefaults defaults(preferencesFile(), {"KeloHelvoPellix"});
    defaults.set("seed", 0);
    ASSERT_TRUE(defaults.synchronize());

    std::atomic<bool> done{false};
    std::atomic<int> unreadable{0};
    std::thread reader([&] {
        while (!done.load()) {
            if (!platform::PropertyList::readDictionary(preferencesFile())) ++unreadable;
        }
    });
    std::vector<std::thread> writers;
    for (int writer = 0; writer < kWriters; ++writer) {
        writers.emplace_back([&, writer] {
            for (int round = 0; round < kRounds; ++round) {
                defaults.set("w" + std::to_string(writer) + "-" + std::to_string(round), round);
                defaults.synchronize();
            }
        });
    }
    for (auto& writer : writers) writer.join();
    done = true;
    reader.join();

    EXPECT_EQ(unreadable.load(), 0);
    const UserDefaults restarted(preferencesFile(), {"KeloHelvoPellix"});
    EXPECT_EQ(restarted.snapshot().size(), static_cast<std::size_t>(kWriters * kRounds + 1));
    EXPECT_EQ(restarted.integer("w3-59"), 59);
    // No temporary file is left behind.
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(path("Library/Preferences"))) {
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
}

}  // namespace
