#include "AgentRoadTest.h"

#include <filesystem>

#include "Handlers/DiskImageTool.h"
#include "Handlers/ImageDownload.h"
#include "Objects/SessionDetails.h"
#include "Platform/Bundle.h"
#include "Platform/ServiceSlot.h"
#include "TestImages.h"

void AgentRoadTest::SetUp() {
    TempHomeTest::SetUp();
    service_ = std::make_unique<LocalService>();
    service_->applyEnvironment("com");
    ASSERT_TRUE(TestImages::make(service_->rootDir(), "AGENT_VERSION=2.5 PELLIX_VERSION=9.9.9"));
    platform::Bundle::overrideMainBundlePath(std::string(KELO_BUNDLE_DIR));
    platform::ServiceSlot<platform::ProcessRunner>::set(runner_);
    platform::ServiceSlot<platform::Workspace>::set(workspace_);
    platform::ServiceSlot<platform::DistributedNotificationCenter>::set(statusCenter_);
    auto& session = SessionDetails::getInstance();
    session.setWebServerName(service_->host());
    session.setSessionKey("123456789");
    session.setIsCdnAvailable(false);
    std::filesystem::create_directories(agentFolder());
}

void AgentRoadTest::TearDown() {
    service_.reset();
    platform::Bundle::overrideMainBundlePath(std::nullopt);
    DiskImageTool::setTimeLimitForTesting(std::nullopt);
    ImageDownload::setResumeWaitsForTesting(std::nullopt);
    TempHomeTest::TearDown();
}
