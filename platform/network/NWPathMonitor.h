#pragma once

// Watches the network path over all interfaces and reports each change on a
// dispatch queue of the caller's choice.
//
// start() reads the path at once, so currentPath() is meaningful from then
// on; the update handler then runs on the monitor's queue for every later
// change of the path (a change in status, in the interfaces or their kinds),
// not for the path at start. The monitor looks at the path when it learns of
// a change, so a burst of changes is reported as the path it ends in. A
// cancelled monitor stays cancelled.
//
// Paths come from the process-wide default provider, the kernel's unless a
// test installs its own.

#include <functional>
#include <memory>
#include <mutex>

#include "platform/network/NWPath.h"
#include "platform/network/NWPathProvider.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSObject.h"

class NWPathMonitor : public NSObject {
 public:
  using UpdateHandler = std::function<void(const NWPath&)>;

  NWPathMonitor();
  explicit NWPathMonitor(std::shared_ptr<NWPathProvider> provider);
  ~NWPathMonitor() override;

  void setPathUpdateHandler(UpdateHandler handler);
  void start(dispatch_queue_t queue);
  void cancel();
  // The path as last seen; before start(), read from the provider now.
  NWPath currentPath() const;
  dispatch_queue_t queue() const;

  // The provider of monitors created from now on; nullptr restores the
  // kernel's.
  static void setDefaultPathProvider(std::shared_ptr<NWPathProvider> provider);
  static std::shared_ptr<NWPathProvider> defaultPathProvider();

 private:
  struct State;
  static void evaluate(const std::shared_ptr<State>& state);

  std::shared_ptr<State> state_;
};
