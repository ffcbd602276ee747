// The texts the launcher reads and sends: property lists (and every list that once stopped it),
// the page's JSON records and the replies built from stored settings, address texts, and the
// signatures of downloaded images.
#include "KeloTest.h"

#include <fmt/format.h>

#include <limits>

#include "BinaryPropertyList.h"
#include "Handlers/CustomerDetails.h"
#include "Handlers/JoinSessionMessage.h"
#include "Handlers/ProxyDetails.h"
#include "Platform/ImageSignature.h"
#include "Platform/PlistValue.h"
#include "Platform/PropertyList.h"
#include "Platform/PropertyListScreen.h"
#include "Platform/SystemIdentity.h"
#include "Platform/UrlEncoding.h"
#include "Platform/UserDefaults.h"
#include "TestImages.h"

namespace {

using platform::PlistValue;
using platform::PropertyList;
using platform::UserDefaults;

PlistValue::Date dateAt(std::int64_t secondsSinceEpoch) {
    return PlistValue::Date(std::chrono::seconds(secondsSinceEpoch));
}

class PropertyListTest : public TempHomeTest {};

TEST_F(PropertyListTest, EveryValueTypeSurvivesXmlAndBinary) {
    const PlistValue original(PlistValue::Dictionary{
        {"text", "Grüße <&> \"quoted\""},
        {"negative", -7},
        {"large", std::int64_t{1} << 40},
        {"smallest", std::numeric_limits<std::int64_t>::min()},
        {"real", 3.25},
        {"yes", true},
        {"data", PlistValue::Data{0, 1, 2, 255, 0}},
        {"date", dateAt(1796515200)},     // 2026-12-06
        {"old date", dateAt(631152000)},  // 1990-01-01, before the format's reference date
        {"array", PlistValue::Array{PlistValue("a"), PlistValue(1), PlistValue::Array{}}},
        {"dictionary", PlistValue::Dictionary{{"inner", PlistValue::Dictionary{{"deep", "v"}}}}},
    });
    const std::string xml = PropertyList::toXml(original);
    EXPECT_EQ(PropertyList::fromBytes(xml), original) << xml;
    const std::string binary = BinaryPropertyList::fromXml(xml);
    ASSERT_THAT(binary, StartsWith("bplist00"));
    writeText(path("every.plist"), binary);
    EXPECT_EQ(PropertyList::readDictionary(path("every.plist")), *original.asDictionary());
}

// Arrays nested `depth` deep, each holding the next: as XML, and as a binary list with 4-byte
// offsets and references.
std::string deepXml(std::size_t depth) {
    std::string out = "<plist version=\"1.0\">";
    for (std::size_t i = 0; i < depth; ++i) out += "<array>";
    for (std::size_t i = 0; i < depth; ++i) out += "</array>";
    return out + "</plist>";
}

std::string deepBinary(std::uint32_t depth) {
    const auto put = [](std::string& out, std::uint64_t value, int bytes) {
        while (bytes-- > 0) out.push_back(static_cast<char>(value >> (8 * bytes)));
    };
    std::string objects, offsets;
    for (std::uint32_t i = 0; i < depth; ++i) {
        put(offsets, 8 + objects.size(), 4);
        if (i + 1 < depth) {
            objects += '\xa1';  // an array of one: the next object
            put(objects, i + 1, 4);
        } else {
            objects += '\xa0';
        }
    }
    std::string out = "bplist00" + objects + offsets + std::string(6, '\0') + "\x04\x04";
    put(out, depth, 8);
    put(out, 0, 8);  // the top object
    put(out, 8 + objects.size(), 8);
    return out;
}

class PropertyListRegression : public TempHomeTest {};

// The library's parsers recurse once per level: a few hundred thousand overflow the stack.
TEST_F(PropertyListRegression, NestingBeyondTheLimitIsRefusedNotACrash) {
    constexpr int kLimit = platform::PropertyListScreen::kMaximumDepth;
    const struct {
        const char* what;
        std::string bytes;
        bool read;
    } rows[] = {{"XML at the limit", deepXml(kLimit), true},
                {"XML past it", deepXml(kLimit + 1), false},
                {"XML 200,000 deep", deepXml(200000), false},
                {"binary at the limit", deepBinary(kLimit), true},
                {"binary past it", deepBinary(kLimit + 1), false},
                {"binary 300,000 deep", deepBinary(300000), false}};
    for (const auto& row : rows) {
        EXPECT_EQ(PropertyList::fromBytes(row.bytes).has_value(), row.read) << row.what;
    }
}

// Every input under tests/fuzz/corpus that once broke the launcher. The fuzz smoke runs replay
// them as seeds through the preferences, the info file and the proxy settings file; this replays
// them through the reader in every build, the sanitizer builds included.
TEST_F(PropertyListRegression, EveryFileThatOnceBrokeUsIsReadOrRefused) {
    int replayed = 0;
    for (const auto& entry :
         fs::recursive_directory_iterator(KELO_SOURCE_DIR "/tests/fuzz/corpus")) {
        if (!entry.path().filename().string().starts_with("regression-")) continue;
        SCOPED_TRACE(entry.path().string());
        if (const auto value = PropertyList::fromBytes(readText(entry.path()))) {
            EXPECT_TRUE(PropertyList::fromBytes(PropertyList::toXml(*value)));
        }
        ++replayed;
    }
    EXPECT_GT(replayed, 0);
}

// What a record decodes to, field by field, or "refused".
std::string joinOf(std::string_view body) {
    const auto join = JoinSessionMessage::decode(body);
    return join
               ? fmt::format("{}|{}|{}", join->sessionKey, join->email, join->dc.value_or("(none)"))
               : "refused";
}
std::string customerOf(std::string_view body) {
    const auto c = CustomerDetails::decode(body);
    return c ? fmt::format("{}|{}|{}|{}", c->name, c->company, c->email, c->language) : "refused";
}
std::string proxyOf(std::string_view body) {
    const auto p = ProxyDetails::decode(body);
    return p ? fmt::format("{}|{}|{}|{}|{}", p->host, p->port, p->authRequired, p->userName,
                           p->password)
             : "refused";
}

TEST(BridgePayloads, EachRecordGivesItsFieldsOrIsRefused) {
    EXPECT_EQ(joinOf(R"({"sessionKey":123456789,"email":"a@b.c","dc":"eu"})"),
              "123456789|a@b.c|eu");
    EXPECT_EQ(joinOf(R"({"sessionKey":1,"email":"","dc":""})"), "1||");  // an empty dc is a dc
    EXPECT_EQ(joinOf(R"({"sessionKey":1,"email":"e","dc":null})"), "1|e|(none)");
    // Unknown keys are ignored; key names are exact.
    EXPECT_EQ(joinOf(R"({"sessionKey":5,"email":"e","extra":[1,{"x":2}],"Dc":"eu"})"),
              "5|e|(none)");
    EXPECT_EQ(joinOf(R"({"sessionKey":9223372036854775807,"email":"e"})"),
              "9223372036854775807|e|(none)");
    EXPECT_EQ(joinOf(R"({"sessionKey":-9223372036854775808,"email":"e"})"),
              "-9223372036854775808|e|(none)");
    EXPECT_EQ(customerOf(R"({"name":"Ann","company":"","email":"a@b.c","language":"de","x":1})"),
              "Ann||a@b.c|de");
    EXPECT_EQ(
        proxyOf(R"({"host":"h","port":3128,"authRequired":true,"userName":"u","password":"p"})"),
        "h|3128|true|u|p");
    // An empty host and an out-of-range port decode; the proxy file rejects them later.
    EXPECT_EQ(
        proxyOf(R"({"host":"","port":70000,"authRequired":false,"userName":"","password":""})"),
        "|70000|false||");

    // Not JSON, not an object, a key missing or of another type, and numbers that are no 64-bit
    // integers (beyond 64 signed bits, fractions, exponents).
    for (const char* body :
         {"", R"({"sessionKey":1,"email":"e"} trailing)",
          R"({"sessionKey":0123456789,"email":"e"})", R"([{"sessionKey":1,"email":"e"}])",
          R"({"email":"e"})", R"({"sessionKey":1})", R"({"sessionKey":1,"email":null})",
          R"({"sessionKey":1,"email":"e","dc":3})",
          R"({"sessionKey":9223372036854775808,"email":"e"})",
          R"({"sessionKey":18446744073709551616,"email":"e"})",
          R"({"sessionKey":123456789.0,"email":"e"})", R"({"sessionKey":1e9,"email":"e"})"}) {
        EXPECT_EQ(joinOf(body), "refused") << body;
    }
    for (const char* body :
         {"not json", R"(["Ann","c","e","en"])", R"({"name":"Ann","company":"c","email":"e"})",
          R"({"name":"Ann","company":"c","email":"e","language":null})",
          R"({"Name":"Ann","company":"c","email":"e","language":"en"})"}) {
        EXPECT_EQ(customerOf(body), "refused") << body;
    }
    for (const char* body :
         {R"({"host":"h","port":"3128","authRequired":true,"userName":"u","password":"p"})",
          R"({"host":"h","port":3128.5,"authRequired":true,"userName":"u","password":"p"})",
          R"({"host":"h","port":3128,"authRequired":1,"userName":"u","password":"p"})",
          R"({"host":"h","port":3128,"authRequired":true,"userName":"u"})",
          R"({"host":null,"port":3128,"authRequired":true,"userName":"u","password":"p"})"}) {
        EXPECT_EQ(proxyOf(body), "refused") << body;
    }
}

class BridgeReplies : public TempHomeTest {};

TEST_F(BridgeReplies, CarryTheStoredValuesWithTheirTypesOrTheReasonThereIsNone) {
    auto& defaults = UserDefaults::standard();
    for (const auto& [key, value] : PlistValue::Dictionary{{"name", "Zoë \"Z\""},
                                                           {"email", "z@example.test"},
                                                           {"language", ""},
                                                           {"host", "proxy.test"},
                                                           {"port", 8080},
                                                           {"authRequired", false},
                                                           {"password", "s3cret"}}) {
        defaults.set(key, value);
    }
    EXPECT_EQ(CustomerDetails::reply(defaults).json,
              R"({"company":null,"email":"z@example.test","language":"en","name":"Zoë \"Z\""})");
    EXPECT_EQ(ProxyDetails::reply(defaults).json,
              R"({"authRequired":false,"host":"proxy.test","password":"s3cret","port":8080,)"
              R"("userName":null})");
    // A language of another type is left as it is.
    defaults.set("language", PlistValue::Array{3, "x"});
    EXPECT_THAT(CustomerDetails::reply(defaults).json,
                testing::Optional(HasSubstr(R"("language":[3,"x"])")));

    // Values without a JSON form: data, and text that is not UTF-8.
    defaults.set("port", PlistValue::Data{1, 2, 3});
    const auto proxy = ProxyDetails::reply(defaults);
    EXPECT_FALSE(proxy.json);
    EXPECT_FALSE(proxy.error.empty());
    defaults.set("name", std::string("\xff\xfe"));
    EXPECT_FALSE(CustomerDetails::reply(defaults).json);
}

TEST(UrlEncodingTest, QueryEncodingKeepsTheQuerySetAndEscapesEverythingElse) {
    using platform::UrlEncoding;
    const struct {
        std::string text;
        std::string encoded;
    } rows[] = {
        {"agent_version=1.0 beta&agent=mac arm64", "agent_version=1.0%20beta&agent=mac%20arm64"},
        {"100%", "100%25"},
        {"ä€", "%C3%A4%E2%82%AC"},
        {"AZaz09-._~!$&'()*+,/:;=?@", "AZaz09-._~!$&'()*+,/:;=?@"},  // the whole query set
        {"#[]\"<>{}|\\^`", "%23%5B%5D%22%3C%3E%7B%7D%7C%5C%5E%60"},  // fragment mark, brackets
        {std::string("a\0b", 3), "a%00b"},
        {"", ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(UrlEncoding::percentEncodeQuery(row.text), row.encoded) << row.text;
    }
}

TEST(UrlEncodingTest, OnlyAbsoluteAddressesWithLegalCharactersAreValid) {
    using platform::UrlEncoding;
    for (const char* valid :
         {"https://127.0.0.1:4443/api/v1/x?os=mac&version=1.0&pellix_token=abc",
          "https://h.example/agent/KeloMac.dmg", "https://h.example/a?q=1.0%20beta"}) {
        EXPECT_TRUE(UrlEncoding::isValidUrl(valid)) << valid;
    }
    for (const char* invalid : {"https://h.example/a?pellix_token=a b", "https://h.example/a?q=ä",
                                "https://h.example/a?q=%zz", "https://h.example/a?q={x}",
                                "https:///no-host", "no-scheme", ""}) {
        EXPECT_FALSE(UrlEncoding::isValidUrl(invalid)) << invalid;
    }
}

// The service hands out the agent and the launcher by these words: a wrong one sends a customer
// another system's programs.
TEST(SystemIdentityTest, TheServiceHearsLinuxAndTheProcessorByItsName) {
    using platform::SystemIdentity;
    for (const auto& [machine, word] : {std::pair{"x86_64", "x86_64"},
                                        {"aarch64", "arm64"},
                                        {"arm64", "arm64"},
                                        {"riscv64", "riscv64"}}) {
        EXPECT_EQ(SystemIdentity::architectureWordFor(machine), word) << machine;
    }
    EXPECT_EQ(SystemIdentity::systemWord(), "linux");
    EXPECT_EQ(SystemIdentity::architectureWord(), thisArchitecture());
}

// An image's signature holds only when all of it does: the key that made it, the bytes (in the
// pre-hashed form minisign makes now and the legacy one), the trusted comment, and the file the
// comment names; a launcher without a usable key holds none to be good.
class ImageSignatureTest : public TempHomeTest {};

TEST_F(ImageSignatureTest, HoldsOnlyWhenKeyBytesCommentAndNameAllDo) {
    using platform::ImageSignature;
    using Verdict = ImageSignature::Verdict;
    const std::string image = path("KeloMac.dmg"), changed = path("changed/KeloMac.dmg");
    writeText(image, "the agent's image");
    writeText(changed, "the agent's imagE");
    const std::string comment = "timestamp:1\tfile:KeloMac.dmg\thashed";
    const auto signed_ = [&](const std::string& text,
                             const std::string& key = KELO_IMAGE_SECRET_KEY, bool legacy = false) {
        return TestImages::signature(image, {text, key, legacy});
    };
    const std::string good = signed_(comment),
                      legacy = signed_(comment, KELO_IMAGE_SECRET_KEY, true);
    std::string editedComment = good;
    editedComment.replace(editedComment.find("timestamp:1"), 11, "timestamp:2");
    std::string crlf;
    for (const char c : good) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const std::string key = TestImages::publicKey();
    // Pieces of the image as they arrived: the check takes their digest when they cover it.
    using Arrived = std::vector<std::pair<std::uint64_t, std::string>>;
    const Arrived inTwo = {{0, "the agent's "}, {12, "image"}};
    const struct {
        const char* name;
        std::string signature;
        Verdict verdict;
        std::string file = "";  // the image unless named
        std::string key = "";   // the build's unless named
        Arrived arrived = {};
    } rows[] = {
        {"pre-hashed", good, Verdict::genuine},
        {"legacy", legacy, Verdict::genuine},
        {"lines ending in CR LF", crlf, Verdict::genuine},
        {"another key", signed_(comment, TestImages::makeKeyPair(path("other"))),
         Verdict::otherKey},
        {"a byte changed, pre-hashed", good, Verdict::fileChanged, changed},
        {"a byte changed, legacy", legacy, Verdict::fileChanged, changed},
        {"the comment changed", editedComment, Verdict::commentChanged},
        {"another file", signed_("timestamp:1\tfile:KeloHelvoPellix.dmg"), Verdict::otherFileName},
        {"a longer name", signed_("file:KeloMac.dmg.old"), Verdict::otherFileName},
        {"no file named", signed_("timestamp:1"), Verdict::otherFileName},
        {"a second file named", signed_(comment + "\tfile:KeloHelvoPellix.dmg"),
         Verdict::otherFileName},
        {"not a signature", "untrusted comment: x\nnot base64\ntrusted comment: \nx\n",
         Verdict::unreadable},
        {"three lines of four", good.substr(0, good.rfind('\n', good.size() - 2) + 1),
         Verdict::unreadable},
        {"no such image", good, Verdict::fileUnreadable, path("missing.dmg")},
        {"no key", good, Verdict::noTrustedKey, "", " "},
        {"half a key", good, Verdict::noTrustedKey, "", key.substr(0, key.size() / 2)},
        // Against the bytes that arrived, which the file (changed here) was written from.
        {"what arrived", good, Verdict::genuine, changed, "", inTwo},
        {"what arrived, started over",
         good,
         Verdict::genuine,
         changed,
         "",
         {{0, "the agent's imagE"}, {0, "the agent's "}, {12, "image"}}},
        {"what arrived, legacy: the file", legacy, Verdict::fileChanged, changed, "", inTwo},
        {"a piece missing: the file",
         good,
         Verdict::fileChanged,
         changed,
         "",
         {{0, "the agent's "}, {13, "mage"}}},
        {"less than the file: the file",
         good,
         Verdict::fileChanged,
         changed,
         "",
         {{0, "the agent's imag"}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_FALSE(row.signature.empty());
        ImageSignature::Prehash arrived;
        for (const auto& [offset, bytes] : row.arrived) arrived.add(offset, bytes);
        EXPECT_EQ(ImageSignature::check(row.file.empty() ? image : row.file, row.signature,
                                        row.key.empty() ? key : row.key, "KeloMac.dmg",
                                        row.arrived.empty() ? nullptr : &arrived),
                  row.verdict);
    }
}

}  // namespace
