#pragma once

// Connectivity from the network path monitor, watched on the provider's own
// serial queue. The provider starts monitoring as soon as it exists.

#include <memory>
#include <vector>

#include "platform/foundation/Mutex.h"
#include "plugins/connectivity/ConnectivityProvider.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSObject.h"
#include "platform/network/NWPathMonitor.h"

class PathMonitorConnectivityProvider : public NSObject, public ConnectivityProvider {
 public:
  // Created and already monitoring.
  static std::shared_ptr<PathMonitorConnectivityProvider> create();
  ~PathMonitorConnectivityProvider() override;

  // Reading it starts a monitor when none runs.
  std::vector<ConnectivityType> currentTypes() override;
  ConnectivityUpdateHandler connectivityUpdateHandler() const override;
  void setConnectivityUpdateHandler(ConnectivityUpdateHandler handler) override;
  void startMonitoring() override;
  void stopMonitoring() override;

  // The serial queue path updates and the update handler run on.
  const dispatch_queue_t& queue() const { return queue_; }

  // Wi-Fi, cellular, wired, other, then satellite (from iOS 26 on an
  // ultra-constrained path); ["none"] when the path is unsatisfied or uses
  // none of them.
  static std::vector<ConnectivityType> typesForPath(const NWPath& path);

 private:
  PathMonitorConnectivityProvider();
  std::shared_ptr<NWPathMonitor> ensureMonitor();

  const dispatch_queue_t queue_;
  mutable Mutex mutex_;  // guards pathMonitor_ and connectivityUpdateHandler_
  std::shared_ptr<NWPathMonitor> pathMonitor_ GUARDED_BY(mutex_);
  ConnectivityUpdateHandler connectivityUpdateHandler_ GUARDED_BY(mutex_);
};
