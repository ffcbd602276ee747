#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/ProcessRunner.h"

// The disk-image tool that lives beside the running program: mounting and detaching the images
// the launcher downloads.
class DiskImageTool {
  public:
    // What a mount printed and how it ended.
    struct Mount {
        int exitStatus = -1;
        // The mount point the tool printed (see mountPointFromOutput); nothing when its output
        // was no text.
        std::optional<std::string> mountPoint;
        // The volume to copy from: the printed mount point when the tool succeeded and it names
        // a volume of this user's volumes folder.
        std::optional<std::string> volume;
    };

    // Runs the tool and waits for it, at most `timeLimit`: a tool that hangs (a read of a broken
    // image that never returns) must not hold up every join after it. A tool that cannot be
    // started at all is an exception of the step that needed it, as the platform's process runner
    // raises one.
    static platform::ProcessRunner::Result run(const std::vector<std::string>& arguments,
                                               bool captureOutput,
                                               std::chrono::milliseconds timeLimit);

    // How long a mount may take: two minutes, and a second more for every 4 MiB of the image
    // (what the slowest disk still extracts), so that a large image on a slow disk fits. A
    // detach (one rename and a delete) gets the two minutes.
    static std::chrono::milliseconds mountTimeLimit(const std::string& image);
    static std::chrono::milliseconds detachTimeLimit();
    // Tests replace both limits; nothing puts them back but another call (nullopt).
    static void setTimeLimitForTesting(std::optional<std::chrono::milliseconds> limit);

    // Mounts the image and reads where: the copies come from the volume the tool named, never
    // from a name the image is expected to have (a second image of the same name is mounted
    // under another one).
    static Mount mount(const std::string& image);

    // The mount point in the tool's output: the text after the last tab, once blanks and line
    // ends around the whole output are gone. Nothing when the output is not UTF-8 text.
    static std::optional<std::string> mountPointFromOutput(std::string_view output);

    // Detaches the volume at `mountPoint` and logs the tool's termination status under
    // `operation`.
    static void detach(std::string_view operation, const std::string& mountPoint);
};
