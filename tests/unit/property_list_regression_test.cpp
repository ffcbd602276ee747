// Property lists that once stopped the launcher. Found by tests/fuzz: a text holding a NUL
// character, in a binary list's UTF-16 string or key (also in a list whose reference size is
// beyond 8 bytes, which the library still reads) or as a raw byte in an XML list (the
// property-list library stops the process with a failed assertion when it hands such a text
// out). Found by hand: arrays nested a few hundred thousand deep, which overflow the stack of the
// library's recursive parser. Each file the launcher reads must come through: refused or read,
// never a crash.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "Handlers/NativeMessageHandler.h"
#include "Handlers/Utils.h"
#include "Objects/SessionDetails.h"
#include "Platform/PropertyList.h"
#include "Platform/UserDefaults.h"
#include "TempHome.h"

namespace {

namespace fs = std::filesystem;

// A binary property list of one dictionary with one entry, from the two encoded objects.
std::string binaryDictionary(const std::string& keyObject, const std::string& valueObject) {
    std::string out = "bplist00";
    std::vector<std::size_t> offsets;
    offsets.push_back(out.size());
    out += "\xd1\x01\x02";  // a dictionary of one entry: key object 1, value object 2
    offsets.push_back(out.size());
    out += keyObject;
    offsets.push_back(out.size());
    out += valueObject;
    const std::size_t table = out.size();
    for (const auto offset : offsets) out.push_back(static_cast<char>(offset));
    const auto bigEndian8 = [&](std::uint64_t value) {
        for (int shift = 56; shift >= 0; shift -= 8) {
            out.push_back(static_cast<char>((value >> shift) & 0xFF));
        }
    };
    out.append(6, '\0');
    out.push_back(1);  // offset size
    out.push_back(1);  // object reference size
    bigEndian8(offsets.size());
    bigEndian8(0);  // the top object
    bigEndian8(table);
    return out;
}

std::string asciiObject(const std::string& text) {
    return static_cast<char>(0x50 | text.size()) + text;
}

// A UTF-16 string object (big-endian code units).
std::string utf16Object(const std::vector<std::uint16_t>& units) {
    std::string out(1, static_cast<char>(0x60 | units.size()));
    for (const auto unit : units) {
        out.push_back(static_cast<char>(unit >> 8));
        out.push_back(static_cast<char>(unit & 0xFF));
    }
    return out;
}

// A binary property list of one object, with the given size of object references (the list
// has none, so the library does not look at it).
std::string singleObjectList(const std::string& object, char referenceSize) {
    std::string out = "bplist00" + object;
    const std::size_t table = out.size();
    out.push_back(8);  // the object's offset
    out.append(6, '\0');
    out.push_back(1);
    out.push_back(referenceSize);
    for (const std::uint64_t value : {std::uint64_t{1}, std::uint64_t{0}, std::uint64_t{table}}) {
        for (int shift = 56; shift >= 0; shift -= 8) {
            out.push_back(static_cast<char>((value >> shift) & 0xFF));
        }
    }
    return out;
}

struct Case {
    const char* what;
    std::string bytes;
};

std::vector<Case> listsWithNul() {
    using namespace std::string_literals;
    return {
        {"binary UTF-16 value", binaryDictionary(asciiObject("k"), utf16Object({0xE9, 0, 'b'}))},
        {"binary UTF-16 key", binaryDictionary(utf16Object({0xE9, 0, 'b'}), asciiObject("x"))},
        {"binary UTF-16 text at the top, references of 17 bytes",
         singleObjectList(utf16Object({0xE9, 0, 'b'}), 17)},
        {"XML value with a raw NUL",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>k</key>"
         "<string>a\0b</string></dict></plist>\n"s},
        {"XML array item with a raw NUL",
         "<plist version=\"1.0\"><array><string>a\0b</string></array></plist>"s},
    };
}

// Arrays nested `depth` deep, as XML and as a binary list (each array holds the next).
std::string deepXml(std::size_t depth) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">";
    for (std::size_t i = 0; i < depth; ++i) out += "<array>";
    for (std::size_t i = 0; i < depth; ++i) out += "</array>";
    return out + "</plist>\n";
}

std::string deepBinary(std::uint32_t depth) {
    const auto bigEndian = [](std::string& out, std::uint64_t value, int bytes) {
        for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) {
            out.push_back(static_cast<char>((value >> shift) & 0xFF));
        }
    };
    std::string out = "bplist00";
    std::vector<std::uint32_t> offsets;
    for (std::uint32_t i = 0; i < depth; ++i) {
        offsets.push_back(static_cast<std::uint32_t>(out.size()));
        if (i + 1 < depth) {
            out.push_back('\xa1');  // an array of one: the next object
            bigEndian(out, i + 1, 4);
        } else {
            out.push_back('\xa0');
        }
    }
    const std::size_t table = out.size();
    for (const auto offset : offsets) bigEndian(out, offset, 4);
    out.append(6, '\0');
    out.push_back(4);
    out.push_back(4);
    bigEndian(out, depth, 8);
    bigEndian(out, 0, 8);
    bigEndian(out, table, 8);
    return out;
}

class PropertyListRegression : public TempHomeTest {};

TEST_F(PropertyListRegression, DeeplyNestedListIsReadOrRefusedNeverACrash) {
    for (const auto& list : {Case{"XML", deepXml(200000)}, Case{"binary", deepBinary(300000)}}) {
        SCOPED_TRACE(list.what);
        const auto value = platform::PropertyList::fromBytes(list.bytes);
        if (value) {
            EXPECT_TRUE(value->isArray());
        }
    }
}

TEST_F(PropertyListRegression, TextWithNulIsReadOrRefusedNeverACrash) {
    for (const auto& list : listsWithNul()) {
        SCOPED_TRACE(list.what);
        const auto value = platform::PropertyList::fromBytes(list.bytes);
        if (value) {
            // Whatever was read can be written and read back.
            const auto xml = platform::PropertyList::toXml(*value);
            EXPECT_TRUE(platform::PropertyList::fromBytes(xml).has_value());
        }
    }
}

TEST_F(PropertyListRegression, PreferencesWithNulDoNotStopTheStart) {
    for (const auto& list : listsWithNul()) {
        SCOPED_TRACE(list.what);
        const std::string file = platform::UserDefaults::standardFilePath();
        fs::remove_all(fs::path(file).parent_path());
        writeText(file, list.bytes);

        platform::UserDefaults store(file, {"KeloHelvoPellix", "-DC", "com"});
        EXPECT_EQ(store.string("DC"), "com");
        store.set("name", "Ann");
        EXPECT_TRUE(store.synchronize());
        // Nothing is lost: what was not read is kept beside the new file.
        bool keptAside = false;
        for (const auto& entry : fs::directory_iterator(fs::path(file).parent_path())) {
            keptAside = keptAside || (entry.path() != file && readText(entry.path()) == list.bytes);
        }
        const auto reread = platform::UserDefaults(file, {}).snapshot();
        EXPECT_TRUE(keptAside || reread.size() > 1) << "the earlier preferences were lost";
        ASSERT_TRUE(reread.count("name"));
        EXPECT_EQ(reread.at("name"), platform::PlistValue("Ann"));
    }
}

TEST_F(PropertyListRegression, InfoFileWithNulIsReadWithoutACrash) {
    platform::UserDefaults::setProcessArguments({"KeloHelvoPellix"});
    for (const auto& list : listsWithNul()) {
        SCOPED_TRACE(list.what);
        const std::string info =
            Utils::keloPellixNativeFolderPath() + "com.Kelo.Helvo.KeloHelvoPellix.plist";
        writeText(info, list.bytes);
        Utils::readInfoFileArgs(info);
        EXPECT_FALSE(SessionDetails::getInstance().dcName().has_value());
    }
}

TEST_F(PropertyListRegression, ProxySettingsFileWithNulIsLeftAsItIs) {
    platform::UserDefaults::setProcessArguments({"KeloHelvoPellix"});
    auto& defaults = platform::UserDefaults::standard();
    defaults.set("host", "proxy.example");
    defaults.set("port", 3128);
    defaults.set("authRequired", false);
    defaults.set("userName", "");
    defaults.set("password", "");
    const std::string file = path("Library/Logs/KeloHelvo/ConnectionSettings.plist");
    NativeMessageHandler handler;
    for (const auto& list : listsWithNul()) {
        SCOPED_TRACE(list.what);
        writeText(file, list.bytes);
        handler.setupProxyDetails();
        const auto settings = platform::PropertyList::readDictionary(file);
        if (settings) {
            // Read: then it was updated with the stored settings.
            ASSERT_TRUE(settings->count("ProxyIpAddress"));
            EXPECT_EQ(settings->at("ProxyIpAddress"), platform::PlistValue("proxy.example"));
        } else {
            EXPECT_EQ(readText(file), list.bytes);
        }
    }
}

}  // namespace
