#pragma once

// What collection and table views share: the reuse queues behind
// register/dequeue, the items-per-section snapshot that index paths are
// checked against (an index path out of range is a fatal stop), and the
// mapping of index paths across a batch of inserts and deletes.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "NSIndexPath.h"

class UIView;

class UIReuseQueues {
 public:
  using Factory = std::function<std::shared_ptr<UIView>()>;

  void registerFactory(const std::string& key, Factory factory);
  bool isRegistered(const std::string& key) const { return factories_.count(key) != 0; }
  // A queued view when there is one (the bool says so), else a new one.
  std::pair<std::shared_ptr<UIView>, bool> dequeue(const std::string& key);
  void enqueue(const std::string& key, std::shared_ptr<UIView> view);
  size_t queuedCount(const std::string& key) const;

 private:
  std::map<std::string, Factory> factories_;
  std::map<std::string, std::vector<std::shared_ptr<UIView>>> queues_;
};

class UISectionCounts {
 public:
  void assign(std::vector<int64_t> counts) { counts_ = std::move(counts); }
  const std::vector<int64_t>& counts() const { return counts_; }
  int64_t sections() const { return static_cast<int64_t>(counts_.size()); }
  // Fatal stop naming `what` (the calling method) when out of range.
  int64_t itemsIn(int64_t section, const char* what) const;
  void check(const NSIndexPath& path, const char* what) const;
  bool contains(const NSIndexPath& path) const;

 private:
  std::vector<int64_t> counts_;
};

// The inserts, deletes and reloads of one batch of updates.
struct UIBatchChanges {
  std::set<NSIndexPath> inserted;  // new index paths
  std::set<NSIndexPath> deleted;   // old index paths
  std::set<NSIndexPath> reloaded;  // old index paths

  // Checks the changes against the counts before and after as the platform
  // does (fatal stop with its message when they do not add up) and returns
  // where each surviving old index path went.
  std::map<NSIndexPath, NSIndexPath> apply(const UISectionCounts& before,
                                           const UISectionCounts& after,
                                           const char* noun) const;
};
