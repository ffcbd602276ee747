#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Platform/ProcessRunner.h"

// The disk-image tool that lives beside the running program: mounting and detaching the images
// the launcher downloads.
class DiskImageTool {
  public:
    // Runs the tool and waits for it. A tool that cannot be started at all is an exception of
    // the step that needed it, as the platform's process runner raises one.
    static platform::ProcessRunner::Result run(const std::vector<std::string>& arguments,
                                               bool captureOutput = false);

    // Detaches the volume at `mountPoint` and logs the tool's termination status under
    // `operation`.
    static void detach(std::string_view operation, const std::string& mountPoint);
};
