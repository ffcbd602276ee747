// The JSON records the join page sends and the two reply objects built from stored settings.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Handlers/CustomerDetails.h"
#include "Handlers/JoinSessionMessage.h"
#include "Handlers/ProxyDetails.h"
#include "Platform/UserDefaults.h"
#include "TempHome.h"

namespace {

using nlohmann::json;

struct JoinCase {
    std::string body;
    std::optional<JoinSessionMessage> expected;  // nullopt: must fail
};

void PrintTo(const JoinCase& c, std::ostream* out) {
    *out << c.body;
}

JoinSessionMessage join(std::int64_t key, std::string email, std::optional<std::string> dc = {}) {
    return JoinSessionMessage{key, std::move(email), std::move(dc)};
}

class BridgePayloads : public TempHomeTest {};
class BridgeReplies : public TempHomeTest {};

class JoinSessionMessageDecoding : public TempHomeTest,
                                   public ::testing::WithParamInterface<JoinCase> {};

TEST_P(JoinSessionMessageDecoding, GivesTheRecordOrFails) {
    const auto& [body, expected] = GetParam();
    const auto decoded = JoinSessionMessage::decode(body);
    ASSERT_EQ(decoded.has_value(), expected.has_value()) << body;
    if (!expected) return;
    EXPECT_EQ(decoded->sessionKey, expected->sessionKey);
    EXPECT_EQ(decoded->email, expected->email);
    EXPECT_EQ(decoded->dc, expected->dc);
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, JoinSessionMessageDecoding,
    ::testing::Values(
        JoinCase{R"({"sessionKey":123456789,"email":"a@b.c","dc":"eu"})",
                 join(123456789, "a@b.c", "eu")},
        // An empty dc is still a dc.
        JoinCase{R"({"sessionKey":1,"email":"","dc":""})", join(1, "", "")},
        // Unknown keys are ignored; key names are exact.
        JoinCase{R"({"sessionKey":5,"email":"e","extra":[1,{"x":2}],"Dc":"eu"})", join(5, "e")},
        JoinCase{R"({"sessionKey":9223372036854775807,"email":"e"})", join(INT64_MAX, "e")},
        JoinCase{R"({"sessionKey":-9223372036854775808,"email":"e"})", join(INT64_MIN, "e")},
        // Beyond 64 signed bits, fractions, exponents, text and other types fail.
        JoinCase{R"({"sessionKey":9223372036854775808,"email":"e"})", std::nullopt},
        JoinCase{R"({"sessionKey":18446744073709551616,"email":"e"})", std::nullopt},
        JoinCase{R"({"sessionKey":123456789.0,"email":"e"})", std::nullopt},
        JoinCase{R"({"sessionKey":1e9,"email":"e"})", std::nullopt},
        // A number written with a leading zero is not JSON.
        JoinCase{R"({"sessionKey":0123456789,"email":"e"})", std::nullopt},
        JoinCase{R"({"email":"e"})", std::nullopt},
        JoinCase{R"({"sessionKey":123456789})", std::nullopt},
        JoinCase{R"({"sessionKey":123456789,"email":null})", std::nullopt},
        JoinCase{R"({"sessionKey":123456789,"email":"e","dc":3})", std::nullopt},
        JoinCase{R"([{"sessionKey":123456789,"email":"e"}])", std::nullopt},
        JoinCase{R"("sessionKey")", std::nullopt}, JoinCase{"", std::nullopt},
        JoinCase{R"({"sessionKey":123456789,"email":"e"} trailing)", std::nullopt}));

TEST_F(BridgePayloads, CustomerDetailsNeedFourStrings) {
    const auto good = CustomerDetails::decode(
        R"({"name":"Ann","company":"","email":"ann@example.test","language":"de","x":1})");
    ASSERT_TRUE(good);
    EXPECT_EQ(good->name, "Ann");
    EXPECT_EQ(good->company, "");
    EXPECT_EQ(good->email, "ann@example.test");
    EXPECT_EQ(good->language, "de");

    for (const char* body : {
             R"({"name":"Ann","company":"c","email":"e"})",
             R"({"name":"Ann","company":"c","email":"e","language":null})",
             R"({"name":"Ann","company":"c","email":"e","language":1})",
             R"({"Name":"Ann","company":"c","email":"e","language":"en"})",
             R"(["Ann","c","e","en"])",
             "not json",
         }) {
        EXPECT_FALSE(CustomerDetails::decode(body)) << body;
    }
}

TEST_F(BridgePayloads, ProxyDetailsNeedTypedMembers) {
    const auto good = ProxyDetails::decode(
        R"({"host":"proxy.test","port":3128,"authRequired":true,"userName":"u","password":"p"})");
    ASSERT_TRUE(good);
    EXPECT_EQ(good->host, "proxy.test");
    EXPECT_EQ(good->port, 3128);
    EXPECT_TRUE(good->authRequired);
    EXPECT_EQ(good->userName, "u");
    EXPECT_EQ(good->password, "p");

    // An empty host and an out-of-range port decode; the proxy file rejects them later.
    const auto later = ProxyDetails::decode(
        R"({"host":"","port":70000,"authRequired":false,"userName":"","password":""})");
    ASSERT_TRUE(later);
    EXPECT_EQ(later->port, 70000);

    for (const char* body : {
             R"({"host":"h","port":"3128","authRequired":true,"userName":"u","password":"p"})",
             R"({"host":"h","port":3128.5,"authRequired":true,"userName":"u","password":"p"})",
             R"({"host":"h","port":3128,"authRequired":1,"userName":"u","password":"p"})",
             R"({"host":"h","port":3128,"authRequired":"true","userName":"u","password":"p"})",
             R"({"host":"h","port":3128,"authRequired":true,"userName":"u"})",
             R"({"host":null,"port":3128,"authRequired":true,"userName":"u","password":"p"})",
             R"({"host":"h","port":99999999999999999999,"authRequired":true,"userName":"u",)"
             R"("password":"p"})",
         }) {
        EXPECT_FALSE(ProxyDetails::decode(body)) << body;
    }
}

TEST_F(BridgeReplies, CarryTheStoredValuesWithTheirTypes) {
    auto& defaults = platform::UserDefaults::standard();
    defaults.set("name", "Zoë \"Z\"");
    defaults.set("email", "z@example.test");
    defaults.set("language", "");
    defaults.set("host", "proxy.test");
    defaults.set("port", std::int64_t{8080});
    defaults.set("authRequired", false);
    defaults.set("password", "s3cret");

    const auto customer = CustomerDetails::reply(defaults);
    ASSERT_TRUE(customer.json);
    EXPECT_EQ(*customer.json,
              R"({"company":null,"email":"z@example.test","language":"en","name":"Zoë \"Z\""})");

    const auto proxy = ProxyDetails::reply(defaults);
    ASSERT_TRUE(proxy.json);
    EXPECT_EQ(*proxy.json,
              R"({"authRequired":false,"host":"proxy.test","password":"s3cret","port":8080,)"
              R"("userName":null})");

    // A language of another type is left as it is.
    defaults.set("language", std::int64_t{3});
    EXPECT_EQ(json::parse(*CustomerDetails::reply(defaults).json)["language"], 3);
}

TEST_F(BridgeReplies, ValuesWithoutAJsonFormGiveAnError) {
    auto& defaults = platform::UserDefaults::standard();
    defaults.set("port", platform::PlistValue::Data{1, 2, 3});
    const auto proxy = ProxyDetails::reply(defaults);
    EXPECT_FALSE(proxy.json);
    EXPECT_FALSE(proxy.error.empty());

    defaults.set("name", std::string("\xff\xfe"));  // not UTF-8
    const auto customer = CustomerDetails::reply(defaults);
    EXPECT_FALSE(customer.json);
}

}  // namespace
