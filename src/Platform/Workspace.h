#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Error.h"
#include "Platform/ServiceSlot.h"

namespace platform {

// The desktop's workspace: opening addresses, launching application bundles, mounted volumes.
class Workspace {
  public:
    struct FileSystemInfo {
        bool result = false;  // the query itself succeeded
        bool isRemovable = false;
        bool isWritable = false;
        bool isUnmountable = false;
        std::optional<std::string> description;
        std::optional<std::string> type;
    };

    virtual ~Workspace() = default;

    static Workspace& shared() { return ServiceSlot<Workspace>::get(); }
    static std::shared_ptr<Workspace> makeDefault();

    // Opens the address with the system's handler for its scheme; true when it was handed over.
    virtual bool openURL(const std::string& url) = 0;
    // Starts the bundle's executable (Contents/MacOS/<CFBundleExecutable>) detached, in a session
    // of its own, with the arguments. Accepted = started; otherwise the error.
    virtual std::optional<Error> launchApplication(const std::string& bundlePath,
                                                   const std::vector<std::string>& arguments) = 0;
    // The process of this user that runs the bundle's executable as it is installed now (one
    // started before the executable was last replaced runs an older program and does not count).
    // The target platform brings such an application forward instead of starting it again.
    virtual std::optional<int> runningProcess(const std::string& bundlePath) = 0;
    // The paths of the mounted volumes: the system's mounts, then the disk-image tool's volumes.
    virtual std::vector<std::string> mountedVolumePaths() = 0;
    virtual FileSystemInfo fileSystemInfo(const std::string& path) = 0;
    // Opens the desktop's network proxy settings; false when no settings program exists.
    virtual bool openProxySettings() = 0;
};

}  // namespace platform
