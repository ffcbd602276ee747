#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/FileManager.h"

// The one process-wide record of what the launcher learns while it runs. Every property is
// individually atomic: a reader never sees a half-replaced value, and no caller relies on two
// properties changing together. Never persisted.
class SessionDetails {
public:
    using Text = std::optional<std::string>;

    static SessionDetails& getInstance();

    Text sessionKey() const { return sessionKey_.get(); }
    void setSessionKey(Text value) { sessionKey_.set(std::move(value)); }
    Text name() const { return name_.get(); }
    void setName(Text value) { name_.set(std::move(value)); }
    Text webServerName() const { return webServerName_.get(); }
    void setWebServerName(Text value) { webServerName_.set(std::move(value)); }
    Text dcName() const { return dcName_.get(); }
    void setDcName(Text value) { dcName_.set(std::move(value)); }
    Text plistDcName() const { return plistDcName_.get(); }
    void setPlistDcName(Text value) { plistDcName_.set(std::move(value)); }
    Text plistWebServerName() const { return plistWebServerName_.get(); }
    void setPlistWebServerName(Text value) { plistWebServerName_.set(std::move(value)); }
    Text localKeloAppVersion() const { return localKeloAppVersion_.get(); }
    void setLocalKeloAppVersion(Text value) { localKeloAppVersion_.set(std::move(value)); }
    Text localKeloPellixAppVersion() const { return localKeloPellixAppVersion_.get(); }
    void setLocalKeloPellixAppVersion(Text value) {
        localKeloPellixAppVersion_.set(std::move(value));
    }
    Text pellixAppPath() const { return pellixAppPath_.get(); }
    void setPellixAppPath(Text value) { pellixAppPath_.set(std::move(value)); }
    Text sessionDigest() const { return sessionDigest_.get(); }
    void setSessionDigest(Text value) { sessionDigest_.set(std::move(value)); }
    Text pellixToken() const { return pellixToken_.get(); }
    void setPellixToken(Text value) { pellixToken_.set(std::move(value)); }
    Text pathForPellix() const { return pathForPellix_.get(); }
    void setPathForPellix(Text value) { pathForPellix_.set(std::move(value)); }
    platform::FileManager* defaultKeloDirectoryManager() const {
        return defaultKeloDirectoryManager_.load();
    }
    void setDefaultKeloDirectoryManager(platform::FileManager* manager) {
        defaultKeloDirectoryManager_.store(manager);
    }
    Text keloPellixNativeFolder() const { return keloPellixNativeFolder_.get(); }
    void setKeloPellixNativeFolder(Text value) { keloPellixNativeFolder_.set(std::move(value)); }
    Text pellixDownloadUrl() const { return pellixDownloadUrl_.get(); }
    void setPellixDownloadUrl(Text value) { pellixDownloadUrl_.set(std::move(value)); }
    bool pellixUpdateNeeded() const { return pellixUpdateNeeded_.load(); }
    void setPellixUpdateNeeded(bool value) { pellixUpdateNeeded_.store(value); }
    bool isAppReplaceFlag() const { return isAppReplaceFlag_.load(); }
    void setIsAppReplaceFlag(bool value) { isAppReplaceFlag_.store(value); }
    bool isUpdateNeeded() const { return isUpdateNeeded_.load(); }
    void setIsUpdateNeeded(bool value) { isUpdateNeeded_.store(value); }
    Text cdnUrl() const { return cdnUrl_.get(); }
    void setCdnUrl(Text value) { cdnUrl_.set(std::move(value)); }
    Text fallbackUrl() const { return fallbackUrl_.get(); }
    void setFallbackUrl(Text value) { fallbackUrl_.set(std::move(value)); }
    bool isCdnAvailable() const { return isCdnAvailable_.load(); }
    void setIsCdnAvailable(bool value) { isCdnAvailable_.store(value); }

private:
    SessionDetails() = default;

    // A text property with a lock of its own.
    class AtomicText {
    public:
        Text get() const {
            std::lock_guard lock(mutex_);
            return value_;
        }
        void set(Text value) {
            std::lock_guard lock(mutex_);
            value_.swap(value);
        }

    private:
        mutable std::mutex mutex_;
        Text value_;
    };

    AtomicText sessionKey_;
    AtomicText name_;
    AtomicText webServerName_;
    AtomicText dcName_;
    AtomicText plistDcName_;
    AtomicText plistWebServerName_;
    AtomicText localKeloAppVersion_;
    AtomicText localKeloPellixAppVersion_;
    AtomicText pellixAppPath_;
    AtomicText sessionDigest_;
    AtomicText pellixToken_;
    AtomicText pathForPellix_;
    std::atomic<platform::FileManager*> defaultKeloDirectoryManager_{nullptr};
    AtomicText keloPellixNativeFolder_;
    AtomicText pellixDownloadUrl_;
    std::atomic<bool> pellixUpdateNeeded_{false};
    std::atomic<bool> isAppReplaceFlag_{false};
    std::atomic<bool> isUpdateNeeded_{false};
    AtomicText cdnUrl_;
    AtomicText fallbackUrl_;
    std::atomic<bool> isCdnAvailable_{false};
};
