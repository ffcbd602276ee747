#include "Handlers/NetworkMonitor.h"

#include <utility>

#include "Handlers/WebAddress.h"
#include "Platform/ExceptionGuard.h"
#include "Platform/SystemIdentity.h"

namespace {
constexpr const char* kOperation = "NetworkMonitor";
}

NetworkMonitor& NetworkMonitor::shared() {
    // Never released: reports and probe results may still arrive while the process ends.
    static auto* instance = new std::shared_ptr<NetworkMonitor>(create());
    return **instance;
}

std::shared_ptr<NetworkMonitor> NetworkMonitor::create() {
    return std::shared_ptr<NetworkMonitor>(new NetworkMonitor());
}

std::shared_ptr<NetworkMonitorDelegate> NetworkMonitor::networkMonitorDelegate() const {
    std::lock_guard lock(delegateMutex_);
    return networkMonitorDelegate_;
}

void NetworkMonitor::setNetworkMonitorDelegate(std::shared_ptr<NetworkMonitorDelegate> delegate) {
    std::lock_guard lock(delegateMutex_);
    networkMonitorDelegate_ = std::move(delegate);
}

// A new factory makes what the monitor uses from then on, also when an earlier start made one.
void NetworkMonitor::setPathMonitorFactoryForTesting(PathMonitorFactory factory) {
    pathMonitorFactory_ = std::move(factory);
    if (monitor_) monitor_->cancel();
    monitor_.reset();
}

void NetworkMonitor::setUrlSessionFactoryForTesting(UrlSessionFactory factory) {
    urlSessionFactory_ = std::move(factory);
    session_.reset();
}

void NetworkMonitor::startMonitoringReachability(const std::string& url) {
    urlString_ = url;
    // Monitoring (re)starts after a load failure too, when the offline page may have replaced the
    // join page: the next good probe must bring the page back, whatever an earlier probe found.
    isWebsiteReachable_ = false;
    ++probeGeneration_;
    // A start while running, or after a stop, begins a fresh series of reports; whatever the
    // earlier series still has in flight is dropped when it reaches the main loop.
    if (monitor_) monitor_->cancel();
    if (!monitor_) {
        monitor_ = pathMonitorFactory_ ? pathMonitorFactory_() : platform::PathMonitor::create();
    }
    const auto generation = ++pathGeneration_;
    pathMonitoring_ = true;
    auto self = shared_from_this();
    monitor_->start([self, generation](bool satisfied) {
        platform::MainQueue::shared().async(
            [self, generation, satisfied] { self->pathUpdated(generation, satisfied); });
    });
}

void NetworkMonitor::pathUpdated(std::uint64_t generation, bool satisfied) {
    if (!pathMonitoring_ || generation != pathGeneration_) return;
    isInternetAvailable_ = satisfied;
    startWebsiteReachabilityChecking();
}

void NetworkMonitor::startWebsiteReachabilityChecking() {
    if (reachabilityTimer_) reachabilityTimer_->invalidate();
    reachabilityTimer_.reset();
    auto self = shared_from_this();
    reachabilityTimer_ = platform::MainQueue::shared().scheduleRepeatingTimer(
        probeIntervalSeconds_, [self] { self->checkWebsiteReachability(); });
}

void NetworkMonitor::checkWebsiteReachability() {
    if (!WebAddress::parse(urlString_)) return;

    platform::UrlRequest request;
    request.url = urlString_;
    request.method = "GET";
    request.timeoutSeconds = kProbeTimeoutSeconds;
    request.followRedirects = true;
    // Always ask the server: an answer from a cache would report a server that is gone as
    // reachable. 1 = reload, ignoring cached data.
    request.cachePolicy = 1;
    // The probe asks as the web view would, so the server answers it as it answers the page.
    request.headers["User-Agent"] = platform::SystemIdentity::browserUserAgent();
    request.headers["Cache-Control"] = "no-cache";

    std::weak_ptr<NetworkMonitor> weak = weak_from_this();
    const auto generation = probeGeneration_;
    session()->dataTask(
        std::move(request),
        [weak, generation](std::string, std::optional<platform::UrlResponse> response,
                           std::optional<platform::UrlError> error) {
            auto self = weak.lock();
            if (!self) return;
            platform::MainQueue::shared().async([self, generation, response = std::move(response),
                                                 error = std::move(error)]() mutable {
                // A probe of a series that was stopped (or restarted since) is no news.
                if (generation != self->probeGeneration_) return;
                self->probeFinished(std::move(response), std::move(error));
            });
        });
}

void NetworkMonitor::probeFinished(std::optional<platform::UrlResponse> response,
                                   std::optional<platform::UrlError> error) {
    const auto delegate = networkMonitorDelegate();
    // No response, a transport error or any status but 200 is a failure, reported every time.
    if (!response || error || response->statusCode != 200) {
        isWebsiteReachable_ = false;
        if (delegate) {
            platform::ExceptionGuard::run(kOperation, [&] { delegate->didFailedToConnect(); });
        }
        return;
    }
    if (isWebsiteReachable_) return;
    isWebsiteReachable_ = true;
    if (delegate) {
        platform::ExceptionGuard::run(kOperation, [&] { delegate->didRestoreConnection(); });
    }
}

void NetworkMonitor::stopNetworkMonitoring() {
    pathMonitoring_ = false;
    if (monitor_) monitor_->cancel();
}

void NetworkMonitor::stopWebsiteReachabilityChecks() {
    ++probeGeneration_;
    if (reachabilityTimer_) reachabilityTimer_->invalidate();
    reachabilityTimer_.reset();
}

std::shared_ptr<platform::UrlSession> NetworkMonitor::session() {
    if (!session_) {
        session_ = urlSessionFactory_ ? urlSessionFactory_() : platform::UrlSession::makeDefault();
    }
    return session_;
}
