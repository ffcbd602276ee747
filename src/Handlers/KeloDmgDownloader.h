#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Handlers/HandOverStatus.h"

// Downloads the agent's disk image, mounts it, installs the agent and its support tools, starts
// the agent and cleans up.
class KeloDmgDownloader : public std::enable_shared_from_this<KeloDmgDownloader> {
  public:
    void startDownLoadingKeloMacDmg();
    void mountingKeloMacDmg();
    void copyAppFileAndLaunch();
    void unMountingKeloMacDmg();
    bool workspaceLaunchApplication(const std::string& path);
    // Starts the installed agent and tells the customer whether it runs.
    void startAgent(const std::string& path);

    // A hand-over that ends here: other processes learn it from the status notification, the
    // customer from the hand-over status.
    static void failHandOver(std::string_view operation, HandOverStatus::Failure failure);

    // The two arguments every agent launch gets.
    static std::vector<std::string> agentLaunchArguments();

    // The volume the mount step mounted, where the agent and its tools come from.
    std::optional<std::string> mountPoint() const;

  private:
    void setMountPoint(std::optional<std::string> volume);

    mutable std::mutex mutex_;
    std::optional<std::string> mountPoint_;
};
