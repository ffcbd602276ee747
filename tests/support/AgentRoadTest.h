#pragma once

#include <memory>
#include <string>

#include "LocalService.h"
#include "RecordingProcessRunner.h"
#include "RecordingStatusCenter.h"
#include "RecordingWorkspace.h"
#include "TempHome.h"

// The road from the service's images to a started agent, with the real URL session and
// disk-image tool: the local service holds the agent's and the launcher's signed images, the
// built bundle is the running one, recorders stand in for the process runner, the workspace and
// the status notices, and the session record names the service and a join.
class AgentRoadTest : public TempHomeTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    LocalService& service() { return *service_; }

    std::shared_ptr<RecordingProcessRunner> runner_ = std::make_shared<RecordingProcessRunner>();
    std::shared_ptr<RecordingWorkspace> workspace_ = std::make_shared<RecordingWorkspace>();
    std::shared_ptr<RecordingStatusCenter> statusCenter_ =
        std::make_shared<RecordingStatusCenter>();

  private:
    std::unique_ptr<LocalService> service_;
};
