// The navigation rules, the download words and the page bridge's messages, without a web view.
#include "App/BridgeMessage.h"
#include "App/DownloadProgress.h"
#include "App/NavigationPolicy.h"
#include "KeloTest.h"

namespace {

using Kind = NavigationPolicy::Kind;

TEST(NavigationPolicyTest, DecidesEveryKindOfNavigation) {
    struct Case {
        const char* name;
        Kind kind;
        bool mainFrame;
        std::optional<std::string> address;
        std::optional<std::string> server;
        bool allow;
        bool deepLink;
    };
    const std::optional<std::string> server = "join.example:8443";
    const std::string join = "https://join.example:8443/join?pellix_token=t";
    const std::string offline =
        "file:///opt/Kelo%20Helvo%20Pellix.app/Contents/Resources/NoInternetPage.html";
    const std::vector<Case> cases = {
        {"reload on the server", Kind::Reload, true, join, server, true, false},
        {"reload elsewhere", Kind::Reload, true, "https://other.example/", server, false, false},
        {"reload naming the server anywhere", Kind::Reload, true,
         "https://other.example/?from=join.example:8443", server, true, false},
        {"reload of the offline page", Kind::Reload, true, offline, server, true, false},
        {"reload without address", Kind::Reload, true, std::nullopt, server, false, false},
        {"own load of the join page", Kind::Other, true, join, server, true, false},
        {"own load elsewhere", Kind::Other, true, "https://other.example/", server, false, false},
        {"server named in capitals", Kind::Other, true, "https://join.example:8443/join",
         std::string("JOIN.Example:8443"), true, false},
        {"unknown server matches nothing", Kind::Other, true, join, std::nullopt, false, false},
        {"empty server matches nothing", Kind::Other, true, join, std::string(), false, false},
        {"other from a subframe", Kind::Other, false, "https://other.example/", server, true,
         false},
        {"link elsewhere", Kind::LinkActivated, true, "https://other.example/", server, true,
         false},
        {"deep link", Kind::LinkActivated, true, "kelojoin://join?key=1", server, false, true},
        {"deep link scheme is exact", Kind::LinkActivated, true, "KeloJoin://join", server, true,
         false},
        {"deep link from a form", Kind::FormSubmitted, true, "kelojoin:x", server, false, true},
        {"back and forward", Kind::BackForward, true, "https://other.example/", server, true,
         false},
        {"resubmitted form", Kind::FormResubmitted, true, "https://x/", server, true, false},
        {"link without scheme", Kind::LinkActivated, true, "/relative/path", server, true, false},
        {"link without address", Kind::LinkActivated, true, std::nullopt, server, true, false},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const auto decision =
            NavigationPolicy::decide(test.kind, test.mainFrame, test.address, test.server);
        EXPECT_EQ(decision.allow, test.allow);
        EXPECT_EQ(decision.deepLink, test.deepLink);
    }
}

TEST(NavigationPolicyTest, DownloadWordsForPeople) {
    const struct {
        std::uint64_t received;
        std::optional<std::uint64_t> expected;
        const char* words;  // after "Downloading the support agent: "
        std::optional<double> fraction;
    } rows[] = {
        {12000000, 40000000, "12 of 40 MB", 0.3},
        {1260000, 3000000, "1.3 of 3 MB", 0.42},
        {0, 64 * 1024 * 1024, "0 of 67 MB", 0},
        {5500000, std::nullopt, "5.5 MB", std::nullopt},
        {50000000, 40000000, "40 of 40 MB", 1},  // more than announced is never more than whole
        {10, 0, "0 MB", std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.words);
        EXPECT_EQ(DownloadProgress::describe(row.received, row.expected),
                  std::string("Downloading the support agent: ") + row.words);
        EXPECT_EQ(DownloadProgress::fraction(row.received, row.expected), row.fraction);
    }
}

// The body reaches the dispatcher with the kind the page gave it: its rules depend on the kind.
TEST(BridgeMessageTest, BodiesKeepTheirKind) {
    using nlohmann::json;
    const struct {
        const char* kind;
        std::string text;
        double number;
        std::optional<json> body;
    } rows[] = {
        {"undefined", "", 0, std::nullopt},
        {"null", "", 0, json(nullptr)},
        {"string", "{\"sessionKey\":1}", 0, json("{\"sessionKey\":1}")},
        {"boolean", "", 1, json(true)},
        {"number", "", 123456789, json(123456789)},
        {"number", "", 1.5, json(1.5)},
        {"json", "[1,{\"a\":null}]", 0, json::parse("[1,{\"a\":null}]")},
        {"json", "", 0, json(nullptr)},  // what has no JSON form
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.kind) + " " + row.text);
        GVariant* parameters = g_variant_ref_sink(g_variant_new(
            "(ss@ayd)", "https://join.example/", row.kind,
            g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, row.text.data(), row.text.size(), 1),
            row.number));
        const auto message = BridgeMessage::decode("getSystemOs", parameters);
        g_variant_unref(parameters);
        ASSERT_TRUE(message);
        EXPECT_EQ(message->name, "getSystemOs");
        EXPECT_EQ(message->pageUrl, "https://join.example/");
        EXPECT_EQ(message->body, row.body);
    }
    GVariant* otherShape = g_variant_ref_sink(g_variant_new("(s)", "https://join.example/"));
    EXPECT_FALSE(BridgeMessage::decode("getSystemOs", otherShape));
    g_variant_unref(otherShape);
}

}  // namespace
