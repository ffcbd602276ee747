// Certificate checking. The local service presents each certificate of a matrix: trusted (issued
// by the authority of KELO_PELLIX_CA_FILE for 127.0.0.1), self-signed, expired, issued for
// another host, issued by an unknown authority, and a trusted server that redirects to an
// untrusted one or to plain http. Every request of the launcher succeeds only against the trusted
// server over https; every other case fails and the log names the address that failed.
#include "KeloTest.h"

#include <fstream>
#include <regex>
#include <sstream>

#include "FourRequests.h"
#include "TestImages.h"

namespace {

const char* kAgentCheck = "/api/v2/agent/check_update";
const char* kLauncherCheck = "/api/v1/customer_plugin/check_update";
const char* kAgentImage = "/agent/KeloMac.dmg";
const char* kLauncherImage = "/agent/KeloHelvoPellix.dmg";
const char* kRoutes[] = {kAgentCheck, kLauncherCheck, kAgentImage, kLauncherImage, "/join/"};

using TlsMatrixTest = FourRequestsTest;
using ::testing::Not;

TEST_F(TlsMatrixTest, OnlyTheTrustedServerIsReached) {
    for (const char* certificate : {"server", "selfsigned", "expired", "wronghost", "unknownca"}) {
        SCOPED_TRACE(certificate);
        LocalService front(certificate);
        ASSERT_TRUE(TestImages::make(front.rootDir()));
        const auto outcomes = runAgainst(front);
        if (std::string(certificate) == "server") {
            EXPECT_EQ(outcomes.reached, kAllReached);
            continue;
        }
        EXPECT_EQ(outcomes.reached, kNoneReached);
        EXPECT_THAT(front.requests(), IsEmpty()) << "a request got through the handshake";
        EXPECT_THAT(outcomes.log, HasSubstr(front.host()));
    }
}

TEST_F(TlsMatrixTest, RedirectFromATrustedToAnUntrustedServerFails) {
    LocalService untrusted("selfsigned");
    LocalService trusted("server");
    ASSERT_TRUE(TestImages::make(untrusted.rootDir()));
    for (const char* route : kRoutes)
        trusted.setAnswer(route, {.redirectTo = untrusted.baseUrl() + route});
    const auto outcomes = runAgainst(trusted);
    EXPECT_EQ(outcomes.reached, kNoneReached);
    EXPECT_THAT(trusted.requests(kAgentImage), Not(IsEmpty()))
        << "the trusted server was not asked";
    EXPECT_THAT(untrusted.requests(), IsEmpty()) << "a request got through the handshake";
    EXPECT_THAT(outcomes.log, HasSubstr(untrusted.host()));
}

// What the launcher installs comes over https only. Plain http fails like any failed request,
// with the address in the log, though a server there would answer it: reached by a redirect, or
// given as the image address in an update answer.
TEST_F(TlsMatrixTest, PlainHttpIsNeverRequested) {
    LocalService service("server");
    ASSERT_TRUE(TestImages::make(service.rootDir()));
    const std::string plain = service.plainBaseUrl();
    for (const char* route : kRoutes)
        service.setAnswer(route, {.redirectTo = plain + route, .times = 1});
    auto outcomes = runAgainst(service);
    EXPECT_EQ(outcomes.reached, kNoneReached);
    EXPECT_THAT(outcomes.log, HasSubstr("failed at " + plain + kAgentImage));

    service.reset();
    service.setAnswer(kAgentCheck, {.body = R"({"representation":{"AGENT":{"update_needed":true,)"
                                            R"("download_url":")" +
                                            plain + kAgentImage + "\"}}}"});
    service.setAnswer(kLauncherCheck, {.body = R"({"representation":{"update":false,)"
                                               R"("download_url":")" +
                                               plain + kLauncherImage + "\"}}"});
    outcomes = runAgainst(service);
    // The checks themselves are https, and succeed.
    EXPECT_THAT(outcomes.reached, ElementsAre(true, true, false, false, true));
    EXPECT_THAT(outcomes.log,
                AllOf(HasSubstr(plain + kAgentImage + " failed : unsupported URL"),
                      HasSubstr(plain + kLauncherImage + " failed : unsupported URL")));
    EXPECT_THAT(service.requests(kAgentImage), IsEmpty());
}

// A scan of the sources: nothing turns certificate checking off, except the web view's exception
// for a certificate that the authority of KELO_PELLIX_CA_FILE itself vouches for.
TEST(CertificateChecking, NoCodePathTurnsItOff) {
    const std::pair<const char*, std::regex> forbidden[] = {
        {"curl peer check off", std::regex(R"(SSL_VERIFYPEER\s*,\s*0)")},
        {"curl host check off", std::regex(R"(SSL_VERIFYHOST\s*,\s*[01]L?\s*\))")},
        {"curl proxy checks off", std::regex(R"(PROXY_SSL_VERIFY(PEER|HOST)\s*,\s*0)")},
        {"curl insecure options",
         std::regex(R"(CURLSSLOPT_NO_REVOKE|CURLOPT_SSL_VERIFYSTATUS\s*,\s*0)")},
        {"web view ignores TLS errors",
         std::regex(R"(TLS_ERRORS_POLICY_IGNORE|set_tls_errors_policy)")},
        {"GIO validation flags changed", std::regex(R"(validation[-_]flags)")},
        {"GIO accepts any certificate", std::regex(R"(accept-certificate)")},
    };
    // The extra authority comes from KELO_PELLIX_CA_FILE and from no other setting.
    const std::regex anyVariable(R"re(getenv\("([A-Z_]+)"\))re");
    int files = 0, exceptions = 0;
    for (const auto& entry : fs::recursive_directory_iterator(KELO_SOURCE_DIR "/src")) {
        if (entry.path().extension() != ".cpp" && entry.path().extension() != ".h") continue;
        ++files;
        const std::string name = entry.path().string(), text = readText(name);
        for (const auto& [what, pattern] : forbidden)
            EXPECT_FALSE(std::regex_search(text, pattern)) << what << " in " << name;
        // The web view accepts a certificate for a host only after the authority has verified it.
        for (auto at = text.find("allow_tls_certificate_for_host"); at != std::string::npos;
             at = text.find("allow_tls_certificate_for_host", at + 1)) {
            ++exceptions;
            const auto before =
                text.substr(at > 2000 ? at - 2000 : 0, std::min<std::size_t>(at, 2000));
            EXPECT_THAT(before, AllOf(HasSubstr("TlsTrust::authorityFile()"),
                                      HasSubstr("TlsTrust::verify("), HasSubstr("flags == 0")))
                << name;
        }
        if (text.find("KELO_PELLIX_CA_FILE") == std::string::npos) continue;
        for (auto it = std::sregex_iterator(text.begin(), text.end(), anyVariable);
             it != std::sregex_iterator(); ++it)
            EXPECT_THAT((std::vector<std::string>{"KELO_PELLIX_CA_FILE", "TMPDIR"}),
                        ::testing::Contains((*it)[1].str()))
                << name;
    }
    EXPECT_GT(files, 20);
    EXPECT_LE(exceptions, 1);
}

}  // namespace
