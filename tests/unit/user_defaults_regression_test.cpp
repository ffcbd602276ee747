// A preferences value that once broke the defaults store (found by tests/fuzz): a real number
// outside the range of a 64-bit integer, or not a number at all, read with the integer getter.
// Converting it was undefined behaviour; it reads as the nearest integer (0 for not a number),
// as a text number out of range does.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "Platform/PlistValue.h"
#include "Platform/PropertyList.h"
#include "Platform/UserDefaults.h"
#include "TempHome.h"

namespace {

class UserDefaultsRegression : public TempHomeTest {};

TEST_F(UserDefaultsRegression, RealOutsideTheIntegerRangeReadsAsTheNearestInteger) {
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    // Written as the file would hold them: the XML real forms.
    const std::string file = platform::UserDefaults::standardFilePath();
    writeText(file,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>huge</key><real>1e300</real>"
              "<key>tiny</key><real>-1e300</real>"
              "<key>edge</key><real>9223372036854775808</real>"
              "<key>nan</key><real>nan</real>"
              "<key>plain</key><real>-42.9</real>"
              "<key>text</key><string>99999999999999999999</string>"
              "</dict></plist>\n");
    platform::UserDefaults store(file, {});
    ASSERT_TRUE(store.object("huge") && store.object("huge")->isReal());

    EXPECT_EQ(store.integer("huge"), kMax);
    EXPECT_EQ(store.integer("tiny"), kMin);
    EXPECT_EQ(store.integer("edge"), kMax);
    if (store.object("nan") && store.object("nan")->isReal()) {
        EXPECT_EQ(store.integer("nan"), 0);
    }
    EXPECT_EQ(store.integer("plain"), -42);
    EXPECT_EQ(store.integer("text"), kMax);
}

}  // namespace
