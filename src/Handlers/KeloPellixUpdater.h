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

    std::optional<std::string> latestPellixDmgPath() const;

  private:
    KeloPellixUpdater() = default;

    mutable std::mutex mutex_;
    std::optional<std::string> latestPellixDmgPath_;
};
