#include "internal/PathMonitorConnectivityProvider.h"

#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSProcessInfo.h"

std::string ConnectivityTypeName(ConnectivityType type) {
  switch (type) {
    case ConnectivityType::wiredEthernet:
      return "ethernet";
    case ConnectivityType::wifi:
      return "wifi";
    case ConnectivityType::cellular:
      return "mobile";
    case ConnectivityType::satellite:
      return "satellite";
    case ConnectivityType::other:
      return "other";
    case ConnectivityType::none:
      break;
  }
  return "none";
}

PathMonitorConnectivityProvider::PathMonitorConnectivityProvider()
    : queue_(dispatch_queue_create("dev.tarnquell.plugins.connectivity")) {}

std::shared_ptr<PathMonitorConnectivityProvider> PathMonitorConnectivityProvider::create() {
  std::shared_ptr<PathMonitorConnectivityProvider> provider(new PathMonitorConnectivityProvider());
  provider->ensureMonitor();
  return provider;
}

PathMonitorConnectivityProvider::~PathMonitorConnectivityProvider() { stopMonitoring(); }

std::vector<ConnectivityType> PathMonitorConnectivityProvider::typesForPath(const NWPath& path) {
  std::vector<ConnectivityType> types;
  if (path.status() == NWPathStatus::satisfied) {
    if (path.usesInterfaceType(NWInterfaceType::wifi)) types.push_back(ConnectivityType::wifi);
    if (path.usesInterfaceType(NWInterfaceType::cellular)) {
      types.push_back(ConnectivityType::cellular);
    }
    if (path.usesInterfaceType(NWInterfaceType::wiredEthernet)) {
      types.push_back(ConnectivityType::wiredEthernet);
    }
    if (path.usesInterfaceType(NWInterfaceType::other)) types.push_back(ConnectivityType::other);
    if (NSProcessInfo::processInfo().isOperatingSystemAtLeastVersion({26, 0, 0}) &&
        path.isUltraConstrained()) {
      types.push_back(ConnectivityType::satellite);
    }
  }
  if (types.empty()) types.push_back(ConnectivityType::none);
  return types;
}

std::shared_ptr<NWPathMonitor> PathMonitorConnectivityProvider::ensureMonitor() {
  MutexLock lock(mutex_);
  if (pathMonitor_) return pathMonitor_;
  auto monitor = std::make_shared<NWPathMonitor>();
  monitor->start(queue_);
  // Held weakly: the provider owns the monitor, and a strong hold would keep
  // both alive forever.
  std::weak_ptr<PathMonitorConnectivityProvider> weak =
      std::static_pointer_cast<PathMonitorConnectivityProvider>(shared_from_this());
  monitor->setPathUpdateHandler([weak](const NWPath& path) {
    auto self = weak.lock();
    if (!self) return;
    auto handler = self->connectivityUpdateHandler();
    if (handler) handler(typesForPath(path));
  });
  pathMonitor_ = monitor;
  return monitor;
}

void PathMonitorConnectivityProvider::startMonitoring() { ensureMonitor(); }

void PathMonitorConnectivityProvider::stopMonitoring() {
  std::shared_ptr<NWPathMonitor> monitor;
  {
    MutexLock lock(mutex_);
    monitor = std::move(pathMonitor_);
  }
  if (monitor) monitor->cancel();
}

std::vector<ConnectivityType> PathMonitorConnectivityProvider::currentTypes() {
  return typesForPath(ensureMonitor()->currentPath());
}

ConnectivityUpdateHandler PathMonitorConnectivityProvider::connectivityUpdateHandler() const {
  MutexLock lock(mutex_);
  return connectivityUpdateHandler_;
}

void PathMonitorConnectivityProvider::setConnectivityUpdateHandler(
    ConnectivityUpdateHandler handler) {
  MutexLock lock(mutex_);
  connectivityUpdateHandler_ = std::move(handler);
}
