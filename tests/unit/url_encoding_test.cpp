// Address texts: the query encoding of the agent check and the test that an address can be sent.
#include <gtest/gtest.h>

#include <string>

#include "Platform/UrlEncoding.h"
#include "TempHome.h"

namespace {

using platform::UrlEncoding;

class UrlEncodingTest : public TempHomeTest {};

TEST_F(UrlEncodingTest, QueryEncodingKeepsTheQuerySetAndEscapesEverythingElse) {
    const struct {
        std::string text;
        std::string encoded;
    } cases[] = {
        {"agent_version=1.0 beta&agent=mac arm64", "agent_version=1.0%20beta&agent=mac%20arm64"},
        {"100%", "100%25"},
        {"ä€", "%C3%A4%E2%82%AC"},
        // The whole query set stays as it is.
        {"AZaz09-._~!$&'()*+,/:;=?@", "AZaz09-._~!$&'()*+,/:;=?@"},
        // Characters outside it do not, the fragment mark and brackets included.
        {"#[]\"<>{}|\\^`", "%23%5B%5D%22%3C%3E%7B%7D%7C%5C%5E%60"},
        {std::string("a\0b", 3), "a%00b"},
        {"", ""},
    };
    for (const auto& entry : cases) {
        EXPECT_EQ(UrlEncoding::percentEncodeQuery(entry.text), entry.encoded) << entry.text;
    }
}

TEST_F(UrlEncodingTest, OnlyAbsoluteAddressesWithLegalCharactersAreValid) {
    const struct {
        const char* address;
        bool valid;
    } cases[] = {
        {"https://127.0.0.1:4443/api/v1/x?os=mac&version=1.0&pellix_token=abc", true},
        {"https://h.example/agent/KeloMac.dmg", true},
        {"https://h.example/a?q=1.0%20beta", true},
        {"https://h.example/a?pellix_token=a b", false},  // a blank
        {"https://h.example/a?q=ä", false},               // raw non-ASCII text
        {"https://h.example/a?q=%zz", false},             // a broken escape
        {"https://h.example/a?q={x}", false},
        {"https:///no-host", false},
        {"no-scheme", false},
        {"", false},
    };
    for (const auto& entry : cases) {
        EXPECT_EQ(UrlEncoding::isValidUrl(entry.address), entry.valid) << entry.address;
    }
}

}  // namespace
