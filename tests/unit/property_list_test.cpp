// Property lists: every value type through the XML and the binary form, and what is refused.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "BinaryPropertyList.h"
#include "Platform/PlistValue.h"
#include "Platform/PropertyList.h"
#include "TempHome.h"

namespace {

using platform::PlistValue;
using platform::PropertyList;

PlistValue::Date dateAt(std::int64_t secondsSinceEpoch) {
    return PlistValue::Date(std::chrono::seconds(secondsSinceEpoch));
}

PlistValue everyType() {
    return PlistValue(PlistValue::Dictionary{
        {"text", "Grüße <&> \"quoted\""},
        {"empty", ""},
        {"integer", 42},
        {"negative", -7},
        {"large", std::int64_t{1} << 40},
        {"smallest", std::numeric_limits<std::int64_t>::min()},
        {"real", 3.25},
        {"negative real", -0.5},
        {"yes", true},
        {"no", false},
        {"data", PlistValue::Data{0, 1, 2, 255, 0}},
        {"date", dateAt(1796515200)},     // 2026-12-06
        {"old date", dateAt(631152000)},  // 1990-01-01, before the format's reference date
        {"array", PlistValue::Array{PlistValue("a"), PlistValue(1), PlistValue::Array{}}},
        {"dictionary",
         PlistValue::Dictionary{{"inner", PlistValue::Dictionary{{"deep", "value"}}}}},
    });
}

class PropertyListTest : public TempHomeTest {};

TEST_F(PropertyListTest, EveryValueTypeSurvivesXmlAndBinary) {
    const auto original = everyType();
    const auto xml = PropertyList::toXml(original);
    const auto fromXml = PropertyList::fromBytes(xml);
    ASSERT_TRUE(fromXml.has_value()) << xml;
    EXPECT_EQ(*fromXml, original) << xml;

    const auto binary = BinaryPropertyList::fromXml(xml);
    ASSERT_EQ(binary.rfind("bplist00", 0), 0u);
    const auto fromBinary = PropertyList::fromBytes(binary);
    ASSERT_TRUE(fromBinary.has_value());
    EXPECT_EQ(*fromBinary, original);

    writeText(path("every.plist"), binary);
    const auto read = PropertyList::readDictionary(path("every.plist"));
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->at("negative"), PlistValue(-7));
    EXPECT_EQ(read->at("old date"), PlistValue(dateAt(631152000)));
}

TEST_F(PropertyListTest, XmlIsThePlatformsFormatVersionOne) {
    const auto xml = PropertyList::toXml(
        PlistValue(PlistValue::Dictionary{{"negative", -7}, {"date", dateAt(1796515200)}}));
    EXPECT_EQ(xml.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", 0), 0u) << xml;
    EXPECT_NE(xml.find("<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                       "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">"),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find("<plist version=\"1.0\">"), std::string::npos) << xml;
    // Other readers of the file see a negative number, not its two's complement.
    EXPECT_NE(xml.find("<integer>-7</integer>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<date>2026-12-06T00:00:00Z</date>"), std::string::npos) << xml;
}

TEST_F(PropertyListTest, WhatIsNoPropertyListIsRefused) {
    for (const std::string& bytes :
         {std::string(), std::string("DC = eu"), std::string("bplist00\x01\x02", 10),
          std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>")}) {
        EXPECT_FALSE(PropertyList::fromBytes(bytes).has_value()) << bytes;
    }
    EXPECT_FALSE(PropertyList::readFile(path("missing.plist")).has_value());
    writeText(path("array.plist"), PropertyList::toXml(PlistValue(PlistValue::Array{1, 2})));
    EXPECT_TRUE(PropertyList::readFile(path("array.plist")).has_value());
    EXPECT_FALSE(PropertyList::readDictionary(path("array.plist")).has_value());
}

}  // namespace
