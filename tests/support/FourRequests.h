#pragma once

#include <memory>
#include <string>
#include <vector>

#include "LocalService.h"
#include "RecordingProcessRunner.h"
#include "TempHome.h"

// The launcher's requests against one server that plays the data centre's web server: both update
// checks, both image downloads (a mount ends them; nothing is installed) and the network monitor's
// probe. Each is reduced to whether it reached its end, in that order. The handlers run as the
// built bundle, whose key the images are signed with.
class FourRequestsTest : public TempHomeTest {
  protected:
    struct Outcomes {
        std::vector<bool> reached;
        std::string log;  // standard error and standard output while they ran
    };
    static inline const std::vector<bool> kAllReached = std::vector<bool>(5, true);
    static inline const std::vector<bool> kNoneReached = std::vector<bool>(5, false);

    void SetUp() override;
    void TearDown() override;
    Outcomes runAgainst(LocalService& front);

    std::shared_ptr<RecordingProcessRunner> runner_ = std::make_shared<RecordingProcessRunner>();
};
