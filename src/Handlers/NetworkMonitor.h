#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "Handlers/NetworkMonitorDelegate.h"
#include "Platform/MainQueue.h"
#include "Platform/PathMonitor.h"
#include "Platform/UrlSession.h"

// Watches whether the service's web server answers: the machine's connectivity reports restart a
// repeating probe of the join page address, and the delegate hears of every failed probe and of
// the first successful one after start-up or after failures.
//
// Threads: connectivity reports arrive on a background thread and probe results on the URL
// session's queue; both are handed to the main loop, where every field is read and written and
// every delegate call is made. Call the operations below on the main thread.
class NetworkMonitor : public std::enable_shared_from_this<NetworkMonitor> {
  public:
    using PathMonitorFactory = std::function<std::unique_ptr<platform::PathMonitor>()>;
    using UrlSessionFactory = std::function<std::shared_ptr<platform::UrlSession>()>;

    static constexpr double kProbeIntervalSeconds = 2.0;
    static constexpr double kProbeTimeoutSeconds = 10.0;

    // The launcher's one monitor; never released.
    static NetworkMonitor& shared();
    // A monitor of its own, for tests that want a fresh one beside the shared one.
    static std::shared_ptr<NetworkMonitor> create();

    // Probes `url` from now on and (re)starts the connectivity reports; each report restarts the
    // probe timer. Safe to call again while monitoring and after stopNetworkMonitoring(); every
    // call starts afresh, so the next good probe is reported as a restored connection.
    void startMonitoringReachability(const std::string& url);
    // Replaces the probe timer with a new one; the first probe goes out one interval from now.
    void startWebsiteReachabilityChecking();
    // Sends one probe of the current address; an address that does not parse sends nothing.
    void checkWebsiteReachability();
    // Ends the connectivity reports; none is acted on after this returns.
    void stopNetworkMonitoring();
    // Ends the probe timer; no further probe goes out, and results still on their way are dropped.
    void stopWebsiteReachabilityChecks();

    std::shared_ptr<NetworkMonitorDelegate> networkMonitorDelegate() const;
    void setNetworkMonitorDelegate(std::shared_ptr<NetworkMonitorDelegate> delegate);

    std::string urlString() const { return urlString_; }
    bool isInternetAvailable() const { return isInternetAvailable_; }
    bool isWebsiteReachable() const { return isWebsiteReachable_; }
    bool hasReachabilityTimer() const { return reachabilityTimer_ != nullptr; }

    // Test hooks: the probe interval (the launcher always uses kProbeIntervalSeconds), where the
    // connectivity reports come from, and the URL session the probes go through. Set them before
    // monitoring starts.
    void setProbeIntervalForTesting(double seconds) { probeIntervalSeconds_ = seconds; }
    void setPathMonitorFactoryForTesting(PathMonitorFactory factory);
    void setUrlSessionFactoryForTesting(UrlSessionFactory factory);

    NetworkMonitor(const NetworkMonitor&) = delete;
    NetworkMonitor& operator=(const NetworkMonitor&) = delete;

  private:
    NetworkMonitor() = default;

    void pathUpdated(std::uint64_t generation, bool satisfied);
    void probeFinished(std::optional<platform::UrlResponse> response,
                       std::optional<platform::UrlError> error);
    std::shared_ptr<platform::UrlSession> session();

    mutable std::mutex delegateMutex_;
    std::shared_ptr<NetworkMonitorDelegate> networkMonitorDelegate_;

    PathMonitorFactory pathMonitorFactory_;
    UrlSessionFactory urlSessionFactory_;
    std::unique_ptr<platform::PathMonitor> monitor_;
    std::shared_ptr<platform::UrlSession> session_;
    std::shared_ptr<platform::RepeatingTimer> reachabilityTimer_;
    // Counts the starts of the connectivity reports; a report handed over from an earlier start
    // (or from before a stop) is dropped.
    std::uint64_t pathGeneration_ = 0;
    bool pathMonitoring_ = false;
    // Counts the series of probes; a result of a probe sent before a stop or a restart is dropped.
    std::uint64_t probeGeneration_ = 0;

    std::string urlString_;
    bool isInternetAvailable_ = false;
    bool isWebsiteReachable_ = false;
    double probeIntervalSeconds_ = kProbeIntervalSeconds;
};
