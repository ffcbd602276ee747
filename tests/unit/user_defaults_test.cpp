// The launcher's defaults store: the command line over the stored values, the file it keeps,
// and what happens when that file is damaged, blocked or written from several threads.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
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
    // Every other type goes through the same property-list writer and reader.
    const PlistValue::Dictionary values{{"text", "Grüße"},
                                        {"port", 8080},
                                        {"negative", -3},
                                        {"authRequired", true},
                                        {"nested", PlistValue::Dictionary{{"k", "v"}}}};
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
    EXPECT_EQ(restarted.string("authRequired"), std::nullopt);
    EXPECT_EQ(restarted.integer("port"), 8080);
    EXPECT_TRUE(restarted.boolean("authRequired"));
    EXPECT_FALSE(restarted.boolean("missing"));
    EXPECT_EQ(restarted.integer("missing"), 0);

    // It holds a proxy password: only the user may read it.
    struct stat info {};
    ASSERT_EQ(::stat(preferencesFile().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(UserDefaultsTest, UnreadableFileOrAFolderInItsPlaceIsMovedAsideNotOverwritten) {
    const std::string damaged = "<?xml version=\"1.0\"?><plist><dict><key>name</key>";
    for (const bool folder : {false, true}) {
        SCOPED_TRACE(folder ? "a folder in place of the file" : "a damaged file");
        fs::remove_all(path("Library"));
        writeText(folder ? preferencesFile() + "/inside" : preferencesFile(), damaged);
        OutputCapture capture(STDERR_FILENO, path("stderr.txt"));
        UserDefaults defaults(preferencesFile(), {"KeloHelvoPellix"});
        const auto log = capture.text();
        EXPECT_TRUE(defaults.snapshot().empty());
        defaults.set("name", "Ada");
        ASSERT_TRUE(defaults.synchronize());
        EXPECT_EQ(stored(), (PlistValue::Dictionary{{"name", "Ada"}}));

        std::vector<std::string> aside;
        for (const auto& entry : fs::directory_iterator(path("Library/Preferences"))) {
            if (entry.path() != preferencesFile()) aside.push_back(entry.path().string());
        }
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(readText(folder ? aside[0] + "/inside" : aside[0]), damaged);
        EXPECT_NE(log.find(preferencesFile()), std::string::npos) << log;
        EXPECT_NE(log.find(aside[0]), std::string::npos) << log;
    }
}

TEST_F(UserDefaultsTest, BlockedFileMakesSynchronizeFailAndSaySo) {
    // A file where the Preferences folder should be, then a folder where the file should be.
    for (const bool folder : {false, true}) {
        SCOPED_TRACE(folder);
        fs::remove_all(path("Library"));
        UserDefaults defaults(preferencesFile(), {"KeloHelvoPellix"});
        defaults.set("name", "Ada");
        if (folder) {
            fs::create_directories(preferencesFile());
        } else {
            writeText(path("Library/Preferences"), "in the way");
        }
        OutputCapture capture(STDERR_FILENO, path("stderr.txt"));
        EXPECT_FALSE(defaults.synchronize());
        EXPECT_NE(capture.text().find("UserDefaults : cannot"), std::string::npos)
            << capture.text();
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
