// The launch configuration beside the launcher: its text, its encodings, the files it may be.
#include "KeloTest.h"

#include <sys/stat.h>

#include <cerrno>

#include "Handlers/PellixConfiguration.h"

namespace {

using namespace std::string_literals;

class PellixConfigurationTest : public TempHomeTest {};

TEST_F(PellixConfigurationTest, SplitsPartsAndKeepsOnlyKeyValuePairs) {
    const struct {
        const char* name;
        std::string text;
        PellixConfiguration::Parameters parameters;
        std::vector<std::string> keys;
    } cases[] = {
        {"marker inside a value and at the end",
         "DC=euKELO_PARLO_IND\n&pathForPellix=joinKELO_PARLO_IND\n",
         {{"DC", "eu"}, {"pathForPellix", "join"}},
         {"DC", "pathForPellix"}},
        {"marker needs its line feed and its case",
         "KELO_PARLO_INDDC=eu&kelo_parlo_ind\nx=1",
         {{"KELO_PARLO_INDDC", "eu"}, {"kelo_parlo_ind\nx", "1"}},
         {"KELO_PARLO_INDDC", "kelo_parlo_ind\nx"}},
        {"what a removal joins is not searched again",
         "KELO_PARLO_KELO_PARLO_IND\nIND\nDC=eu",
         {{"KELO_PARLO_IND\nDC", "eu"}},
         {"KELO_PARLO_IND\nDC"}},
        {"empty parts dropped", "&&DC=eu&&&x=y&", {{"DC", "eu"}, {"x", "y"}}, {"DC", "x"}},
        {"three pieces, a lone key, a lone value",
         "a=b=c&flag&=value&DC=us",
         {{"DC", "us"}},
         {"a", "flag", "value", "DC"}},
        {"empty pieces dropped inside a part", "a==b&=c=&===", {{"a", "b"}}, {"a", "c"}},
        {"the later of two parts wins", "DC=eu&DC=us&DC=in=x", {{"DC", "us"}}, {"DC", "DC", "DC"}},
        {"line ends stay in the values",
         "PellixToken=t\r\n&DC=eu\n",
         {{"PellixToken", "t\r\n"}, {"DC", "eu\n"}},
         {"PellixToken", "DC"}},
        {"values are not decoded",
         "pathForPellix=a%20b+c",
         {{"pathForPellix", "a%20b+c"}},
         {"pathForPellix"}},
        {"only a marker", "KELO_PARLO_IND\n", {}, {}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const auto contents = PellixConfiguration::parse(test.text);
        EXPECT_EQ(contents.parameters, test.parameters);
        EXPECT_EQ(contents.keys, test.keys);
    }
}

TEST_F(PellixConfigurationTest, DecodesUtf8AndUtf16WithByteOrderMark) {
    const std::string euro = "\xE2\x82\xAC";      // U+20AC
    const std::string clef = "\xF0\x9D\x84\x9E";  // U+1D11E, a surrogate pair in UTF-16
    const struct {
        const char* name;
        std::string bytes;
        std::optional<std::string> text;
    } cases[] = {
        {"plain UTF-8", "DC=eu&x=" + euro, "DC=eu&x=" + euro},
        {"UTF-8 with mark",
         "\xEF\xBB\xBF"
         "DC=eu",
         "DC=eu"},
        {"UTF-16 little-endian",
         "\xFF\xFE"
         "D\0C\0=\0e\0u\0\xAC\x20"s,
         "DC=eu" + euro},
        {"UTF-16 big-endian with a pair",
         "\xFE\xFF"
         "\0D\0=\xD8\x34\xDD\x1E"s,
         "D=" + clef},
        {"UTF-16 mark only", "\xFF\xFE", ""},
        {"UTF-16 without mark", "D\0C\0=\0e\0u\0"s, std::nullopt},
        {"NUL inside UTF-8", "DC=eu\0"s, std::nullopt},
        {"Latin-1 byte", "DC=\xE9u", std::nullopt},
        {"overlong form", "DC=\xC0\xAF", std::nullopt},
        {"encoded surrogate", "DC=\xED\xA0\x80", std::nullopt},
        {"beyond U+10FFFF", "DC=\xF4\x90\x80\x80", std::nullopt},
        {"cut-off sequence", "DC=\xE2\x82", std::nullopt},
        {"UTF-16 odd length",
         "\xFF\xFE"
         "D\0C"s,
         std::nullopt},
        {"UTF-16 lone high surrogate",
         "\xFF\xFE"
         "\x34\xD8"
         "A\0"s,
         std::nullopt},
        {"UTF-16 lone low surrogate",
         "\xFE\xFF"
         "\xDD\x1E"s,
         std::nullopt},
        {"UTF-16 pair cut off",
         "\xFF\xFE"
         "\x34\xD8"s,
         std::nullopt},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        EXPECT_EQ(PellixConfiguration::decodeText(test.bytes), test.text);
    }
}

TEST_F(PellixConfigurationTest, ReadsRegularFilesUpTo64KiBAndReportsWhatCannotBeRead) {
    const std::string fifo = path("fifo.conf");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    writeText(path("utf16.conf"),
              "\xFF\xFE"
              "D\0C\0=\0u\0s\0"s);
    writeText(path("binary.conf"), "\x89PNG\r\n\x1A\n\0\0"s);
    writeText(path("largest.conf"), "DC=us&x=" + std::string(64 * 1024 - 8, 'x'));
    writeText(path("too-large.conf"), "DC=us&x=" + std::string(64 * 1024 - 7, 'x'));
    const struct {
        std::string file;
        std::optional<std::string> dataCentre;
        int code;  // of the error when nothing is read
    } rows[] = {
        {path("utf16.conf"), "us", 0},
        {path("largest.conf"), "us", 0},
        {path("binary.conf"), std::nullopt, 264},
        {path("missing.conf"), std::nullopt, ENOENT},
        // A pipe nobody writes to would hold the start up; a device could fill the memory.
        {fifo, std::nullopt, -1},
        {"/dev/zero", std::nullopt, -1},
        {path("too-large.conf"), std::nullopt, -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        platform::Error error;
        const auto contents = PellixConfiguration::read(row.file, &error);
        EXPECT_EQ(contents ? std::optional(contents->parameters.at("DC")) : std::nullopt,
                  row.dataCentre);
        if (contents) continue;
        EXPECT_EQ(error.code, row.code);
        EXPECT_EQ(error.path, row.file);
    }
}

}  // namespace
