#pragma once

#include <memory>
#include <mutex>

class KeloDmgDownloader;

// Decides what happens to the native agent when the customer joins: records the installed
// version, writes the join-details file, and starts the agent as it is or has it renewed.
class KeloAppUpgrader {
  public:
    static KeloAppUpgrader& getInstance();

    void keloAppVersionCheck();
    void keloAppUpdater();
    void modifyKeloJoinDetails();

    std::shared_ptr<KeloDmgDownloader> currentDownloader() const;

  private:
    KeloAppUpgrader() = default;

    mutable std::mutex mutex_;
    std::shared_ptr<KeloDmgDownloader> downloader_;
};
