// The launcher's defaults store: the command line over the stored values, the file it keeps,
// and what happens when that file is damaged, blocked or written from several threads.
#include "KeloTest.h"

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include "Platform/PlistValue.h"
#include "Platform/PropertyList.h"
#include "Platform/UserDefaults.h"

namespace {

using platform::PlistValue;
using platform::UserDefaults;

class UserDefaultsTest : public TempHomeTest {
  protected:
    std::string file() const {
        return path("Library/Preferences/com.Kelo.Helvo.KeloHelvoPellix.plist");
    }
    PlistValue::Dictionary stored() const {
        return platform::PropertyList::readDictionary(file()).value_or(PlistValue::Dictionary{});
    }
};

TEST_F(UserDefaultsTest, CommandLineWinsAndIsNeverWritten) {
    UserDefaults defaults(file(), {"KeloHelvoPellix", "-DC", "jp", "-PellixToken", "from-arguments",
                                   "-", "alone", "loose", "-dangling"});
    defaults.set("DC", "eu");
    defaults.set("name", "Ada");
    EXPECT_EQ(defaults.string("DC"), "jp");
    EXPECT_EQ(defaults.string("PellixToken"), "from-arguments");
    EXPECT_EQ(defaults.object("dangling"), std::nullopt);
    EXPECT_EQ(
        defaults.snapshot(),
        (PlistValue::Dictionary{{"DC", "jp"}, {"PellixToken", "from-arguments"}, {"name", "Ada"}}));
    EXPECT_EQ(defaults.valuesForKeys({"DC", "missing"}),
              (PlistValue::Dictionary{{"DC", "jp"}, {"missing", PlistValue()}}));

    ASSERT_TRUE(defaults.synchronize());
    EXPECT_EQ(stored(), (PlistValue::Dictionary{{"DC", "eu"}, {"name", "Ada"}}));
    // Removing a stored value uncovers nothing of the command line in the file either.
    defaults.remove("DC");
    ASSERT_TRUE(defaults.synchronize());
    EXPECT_EQ(defaults.string("DC"), "jp");
    EXPECT_EQ(stored(), (PlistValue::Dictionary{{"name", "Ada"}}));
}

TEST_F(UserDefaultsTest, ValuesSurviveARestartWithTheirTypesInAFileOnlyTheUserMayRead) {
    const PlistValue::Dictionary values{{"text", "Grüße"},
                                        {"port", 8080},
                                        {"negative", -3},
                                        {"authRequired", true},
                                        {"nested", PlistValue::Dictionary{{"k", "v"}}}};
    UserDefaults::setProcessArguments({"KeloHelvoPellix"});
    for (const auto& [key, value] : values) UserDefaults::standard().set(key, value);
    ASSERT_TRUE(UserDefaults::standard().synchronize());
    UserDefaults::resetStandard();
    const auto& restarted = UserDefaults::standard();
    EXPECT_EQ(restarted.snapshot(), values);
    EXPECT_EQ(restarted.string("port"), "8080");
    EXPECT_EQ(restarted.string("negative"), "-3");
    EXPECT_EQ(restarted.string("authRequired"), std::nullopt);
    EXPECT_EQ(restarted.integer("port"), 8080);
    EXPECT_TRUE(restarted.boolean("authRequired"));
    EXPECT_FALSE(restarted.boolean("missing"));
    EXPECT_EQ(restarted.integer("missing"), 0);
    // It holds a proxy password.
    EXPECT_EQ(fs::status(file()).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

// Converting a real outside the range of a 64-bit integer was undefined behaviour (found by
// tests/fuzz); it reads as the nearest integer, as a number text out of range does.
TEST_F(UserDefaultsTest, IntegerGetterReadsOutOfRangeNumbersAsTheNearestInteger) {
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    const struct {
        const char* key;
        PlistValue stored;
        std::int64_t read;
    } rows[] = {{"huge", 1e300, kMax},
                {"tiny", -1e300, kMin},
                {"edge", 9223372036854775808.0, kMax},
                {"not a number", std::nan(""), 0},
                {"plain", -42.9, -42},
                {"text", "99999999999999999999", kMax}};
    UserDefaults store(file(), {});
    for (const auto& row : rows) {
        store.set(row.key, row.stored);
        EXPECT_EQ(store.integer(row.key), row.read) << row.key;
    }
}

TEST_F(UserDefaultsTest, UnreadableFileOrAFolderInItsPlaceIsMovedAsideNotOverwritten) {
    const std::string damaged = "<?xml version=\"1.0\"?><plist><dict><key>name</key>";
    const std::string name = fs::path(file()).filename();
    for (const bool folder : {false, true}) {
        SCOPED_TRACE(folder ? "a folder in place of the file" : "a damaged file");
        fs::remove_all(path("Library"));
        writeText(folder ? file() + "/inside" : file(), damaged);
        OutputCapture log(STDERR_FILENO, path("stderr.txt"));
        UserDefaults defaults(file(), {"KeloHelvoPellix"});
        EXPECT_THAT(defaults.snapshot(), IsEmpty());
        defaults.set("name", "Ada");
        ASSERT_TRUE(defaults.synchronize());
        EXPECT_EQ(stored(), (PlistValue::Dictionary{{"name", "Ada"}}));

        const auto entries = entriesOf(path("Library/Preferences"));
        ASSERT_THAT(entries, ElementsAre(name, StartsWith(name + ".unreadable-")));
        const std::string aside = path("Library/Preferences/" + entries[1]);
        EXPECT_EQ(readText(folder ? aside + "/inside" : aside), damaged);
        EXPECT_THAT(log.stop(), AllOf(HasSubstr(file()), HasSubstr(aside)));
    }
}

TEST_F(UserDefaultsTest, ConcurrentWritersLeaveAWholeReadableFile) {
    constexpr int kWriters = 4, kRounds = 60;
    UserDefaults defaults(file(), {"KeloHelvoPellix"});
    defaults.set("seed", 0);
    ASSERT_TRUE(defaults.synchronize());

    std::atomic<bool> done{false};
    std::atomic<int> unreadable{0};
    std::thread reader([&] {
        while (!done) unreadable += !platform::PropertyList::readDictionary(file());
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
    const UserDefaults restarted(file(), {"KeloHelvoPellix"});
    EXPECT_EQ(restarted.snapshot().size(), std::size_t{kWriters * kRounds + 1});
    EXPECT_EQ(restarted.integer("w3-59"), 59);
    // No temporary file is left behind.
    EXPECT_THAT(entriesOf(path("Library/Preferences")), ElementsAre(fs::path(file()).filename()));
}

}  // namespace
