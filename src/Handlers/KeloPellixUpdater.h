#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

// Downloads a newer launcher's disk image, mounts it and leaves the new bundle waiting in the
// native folder, to be installed at quit.
class KeloPellixUpdater : public std::enable_shared_from_this<KeloPellixUpdater> {
  public:
    // A new updater on every call: one update chain runs on the object that started it.
    static std::shared_ptr<KeloPellixUpdater> getInstance();

    void checkKeloPellixUpdate();
    void downloadPellixdmg();
    void mountingKeloPellixDmg();
    void copyAppFile();
    void unMountingKeloPellixDmg();

    // The mount point the tool printed, detached at the end of the chain.
    std::optional<std::string> latestPellixDmgPath() const;
    // That mount point when it is a volume this update mounted: where the bundle is copied from.
    std::optional<std::string> mountedVolume() const;

  private:
    KeloPellixUpdater() = default;

    mutable std::mutex mutex_;
    std::optional<std::string> latestPellixDmgPath_;
    std::optional<std::string> volume_;
};
