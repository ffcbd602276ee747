#include "RecordingWorkspace.h"

bool RecordingWorkspace::openURL(const std::string& url) {
    opened.add(url);
    return openSucceeds;
}

std::optional<platform::Error> RecordingWorkspace::launchApplication(
    const std::string& bundlePath, const std::vector<std::string>& arguments) {
    std::string entry = bundlePath;
    for (const auto& argument : arguments) entry += "\t" + argument;
    launched.add(entry);
    switch (launches.load()) {
        case Launches::pretend:
            return std::nullopt;
        case Launches::refuse:
            return platform::Error::other("refused by the test", bundlePath);
        case Launches::real:
            break;
    }
    return real().launchApplication(bundlePath, arguments);
}

std::optional<int> RecordingWorkspace::runningProcess(const std::string& bundlePath) {
    if (launches != Launches::real) return std::nullopt;
    return real().runningProcess(bundlePath);
}

platform::Workspace& RecordingWorkspace::real() {
    std::lock_guard lock(mutex_);
    if (!real_) real_ = platform::Workspace::makeDefault();
    return *real_;
}

std::vector<std::string> RecordingWorkspace::mountedVolumePaths() {
    ++volumeQueries;
    return volumes;
}

platform::Workspace::FileSystemInfo RecordingWorkspace::fileSystemInfo(const std::string& path) {
    infoQueries.add(path);
    const auto found = infos.find(path);
    return found == infos.end() ? FileSystemInfo{} : found->second;
}

bool RecordingWorkspace::openProxySettings() {
    ++proxySettingsOpened;
    return hasProxySettings;
}

std::vector<std::string> RecordingWorkspace::launchedBundles() const {
    std::vector<std::string> bundles;
    for (const auto& entry : launched.entries())
        bundles.push_back(entry.substr(0, entry.find('\t')));
    return bundles;
}
