#pragma once

// Where path monitors read the network path from: the kernel's interfaces by
// default (NWLinuxPathProvider), or a scripted path in tests.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "platform/foundation/Mutex.h"
#include "platform/network/NWPath.h"

// Watching lasts as long as this object; once it is destroyed the provider
// makes no further change calls for it.
class NWPathWatch {
 public:
  virtual ~NWPathWatch() = default;
};

class NWPathProvider {
 public:
  virtual ~NWPathProvider() = default;
  virtual NWPath currentPath() = 0;
  // `changed` runs, on any thread, whenever the path may have changed; the
  // watcher reads currentPath() to learn what changed.
  virtual std::unique_ptr<NWPathWatch> watch(std::function<void()> changed) = 0;
};

// A path that tests set; every change is announced to the watchers. Create it
// with std::make_shared: its watches hold it weakly.
class NWScriptedPathProvider : public NWPathProvider,
                               public std::enable_shared_from_this<NWScriptedPathProvider> {
 public:
  explicit NWScriptedPathProvider(NWPath initial = NWPath());

  NWPath currentPath() override;
  std::unique_ptr<NWPathWatch> watch(std::function<void()> changed) override;

  void setPath(NWPath path);
  size_t watchCount() const;

 private:
  class Watch;
  void unwatch(uint64_t id);

  mutable Mutex mutex_;  // guards path_, nextId_ and watchers_
  NWPath path_ GUARDED_BY(mutex_);
  uint64_t nextId_ GUARDED_BY(mutex_) = 1;
  std::map<uint64_t, std::shared_ptr<std::function<void()>>> watchers_ GUARDED_BY(mutex_);
};
