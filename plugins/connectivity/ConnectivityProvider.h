#pragma once

// What the connectivity plugin needs of a source of network changes.

#include <functional>
#include <vector>

#include "plugins/connectivity/ConnectivityType.h"

using ConnectivityUpdateHandler = std::function<void(const std::vector<ConnectivityType>&)>;

class ConnectivityProvider {
 public:
  virtual ~ConnectivityProvider() = default;
  virtual std::vector<ConnectivityType> currentTypes() = 0;
  virtual ConnectivityUpdateHandler connectivityUpdateHandler() const = 0;
  virtual void setConnectivityUpdateHandler(ConnectivityUpdateHandler handler) = 0;
  virtual void startMonitoring() = 0;
  virtual void stopMonitoring() = 0;
};
