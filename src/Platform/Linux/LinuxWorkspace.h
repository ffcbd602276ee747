#pragma once

#include <string>
#include <vector>

#include "Platform/Workspace.h"

namespace platform {

// The desktop's workspace on Linux: GIO opens addresses, bundles are started detached in a
// session of their own, and volumes are the mounts of /proc/self/mountinfo followed by the
// volumes of the disk-image tool.
class LinuxWorkspace final : public Workspace {
  public:
    bool openURL(const std::string& url) override;
    std::optional<Error> launchApplication(const std::string& bundlePath,
                                           const std::vector<std::string>& arguments) override;
    std::optional<int> runningProcess(const std::string& bundlePath) override;
    std::vector<std::string> mountedVolumePaths() override;
    FileSystemInfo fileSystemInfo(const std::string& path) override;
    bool openProxySettings() override;

    // Starts the program (no shell, no search of PATH) detached: in a new session, as a child of
    // a child that ends at once, so nothing here waits for it or keeps a zombie. Its standard
    // streams are /dev/null. Returns the error when the program could not be executed.
    static std::optional<Error> spawnDetached(const std::string& program,
                                              const std::vector<std::string>& arguments);
};

}  // namespace platform
