// What a release build knows of the deployment: this program carries its own copy of the
// deployment table, compiled as a release build compiles it (tests/CMakeLists.txt). The
// development settings are set and count for nothing: only the service's data centres are left.
#include "KeloTest.h"
#include "Platform/Deployment.h"

namespace {

using platform::Deployment;
using ::testing::AnyOf, ::testing::Contains, ::testing::Not;

class ReleaseBuildTest : public TempHomeTest {};

TEST_F(ReleaseBuildTest, KnowsOnlyTheServicesDataCentresAndTheSystemsAuthorities) {
    setVariable("KELO_PELLIX_HOSTS", "eu=127.0.0.1:8443,qa7=localhost:9000");
    setVariable("KELO_PELLIX_CA_FILE", "/tmp/ca.pem");
    EXPECT_EQ(Deployment::webServerHost("eu"), "pellix-eu.kelohelvo.example");
    EXPECT_TRUE(Deployment::isDataCentreCode("ae"));
    for (const std::string code : {"qa7", "localkelo", "dev1"}) {
        EXPECT_FALSE(Deployment::isDataCentreCode(code)) << code;
        EXPECT_EQ(Deployment::webServerHost(code), "") << code;
    }
    EXPECT_EQ(Deployment::localDevelopmentDomain(), "");
    EXPECT_THAT(Deployment::knownHosts(),
                AllOf(::testing::SizeIs(13),
                      Not(Contains(AnyOf(HasSubstr("kelodev"), HasSubstr("127.0.0.1"))))));
    EXPECT_EQ(Deployment::developmentAuthorityFile(), std::nullopt);
    EXPECT_FALSE(Deployment::developmentAuthorityVouchesFor("127.0.0.1"));
    EXPECT_FALSE(Deployment::developmentAuthorityVouchesFor("eu.kelodev.test"));
}

}  // namespace
