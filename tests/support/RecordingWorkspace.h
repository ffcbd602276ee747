#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Journal.h"
#include "Platform/Workspace.h"

// The workspace as a test sets it up, noting everything it is asked.
class RecordingWorkspace final : public platform::Workspace {
  public:
    // What a launch request does: nothing but succeed, start the bundle for real, or fail.
    enum class Launches { pretend, real, refuse };

    bool openURL(const std::string& url) override;
    std::optional<platform::Error> launchApplication(
        const std::string& bundlePath, const std::vector<std::string>& arguments) override;
    // Asks the real workspace when launches are real; otherwise nothing runs.
    std::optional<int> runningProcess(const std::string& bundlePath) override;
    std::vector<std::string> mountedVolumePaths() override;
    FileSystemInfo fileSystemInfo(const std::string& path) override;
    bool openProxySettings() override;

    // The bundles of the launches, without their arguments.
    std::vector<std::string> launchedBundles() const;

    // Set up by the test.
    std::atomic<Launches> launches = Launches::pretend;
    std::atomic<bool> openSucceeds = true;
    std::atomic<bool> hasProxySettings = true;
    std::vector<std::string> volumes;
    std::map<std::string, FileSystemInfo> infos;

    // Asked so far: launches as "bundle<TAB>argument<TAB>...", addresses, volume queries.
    Journal launched;
    Journal opened;
    Journal infoQueries;
    std::atomic<int> volumeQueries = 0;
    std::atomic<int> proxySettingsOpened = 0;

  private:
    platform::Workspace& real();

    std::mutex mutex_;
    std::shared_ptr<platform::Workspace> real_;
};
