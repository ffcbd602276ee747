#pragma once

// Told by NetworkMonitor about the service's web server. Both calls arrive on the main thread.
class NetworkMonitorDelegate {
  public:
    virtual ~NetworkMonitorDelegate() = default;

    // The first successful probe after start-up or after failures.
    virtual void didRestoreConnection() = 0;
    // Every failed probe.
    virtual void didFailedToConnect() = 0;
};
