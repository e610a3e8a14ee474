#pragma once

// What collection and table views share: the reuse queues behind
// register/dequeue, the items-per-section snapshot that index paths are
// checked against, and the mapping of index paths across a batch of inserts
// and deletes.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/uikit/NSIndexPath.h"
#include "platform/foundation/OnceCallback.h"

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
  void reload(int64_t sections, const std::function<int64_t(int64_t)>& itemsInSection);
  const std::vector<int64_t>& counts() const { return counts_; }
  int64_t sections() const { return static_cast<int64_t>(counts_.size()); }
  // Fatal stop naming `what` (the calling method) when out of range: for
  // the few calls where the platform raises too.
  int64_t itemsIn(int64_t section, const char* what) const;
  void check(const NSIndexPath& path, const char* what) const;
  bool contains(const NSIndexPath& path) const;
  // Why `path` is out of range ("" when it is in range).
  std::string outOfRange(const NSIndexPath& path, const char* what) const;

 private:
  std::vector<int64_t> counts_;
};

// The inserts, deletes and reloads of one batch of updates.
struct UIBatchChanges {
  std::set<NSIndexPath> inserted;  // new index paths
  std::set<NSIndexPath> deleted;   // old index paths
  std::set<NSIndexPath> reloaded;  // old index paths

  // Checks the changes against the counts before and after and returns
  // where each surviving old index path went; when they do not add up,
  // nullopt with the platform's message in `problem`.
  std::optional<std::map<NSIndexPath, NSIndexPath>> apply(const UISectionCounts& before,
                                                          const UISectionCounts& after,
                                                          const char* noun,
                                                          std::string* problem) const;
};

// Runs a batch's completion on the main run loop, once the batch is laid out.
void UIPostBatchCompletion(OnceCallback<void(bool)> completion);

// Which items are selected; every change reaches the cell on screen through
// `show`.
class UIItemSelection {
 public:
  using Show = std::function<void(const NSIndexPath&, bool selected)>;
  using Ask = std::function<bool(const NSIndexPath&)>;
  using Tell = std::function<void(const NSIndexPath&)>;

  explicit UIItemSelection(Show show) : show_(std::move(show)) {}
  const std::set<NSIndexPath>& paths() const { return paths_; }
  bool contains(const NSIndexPath& path) const { return paths_.count(path) != 0; }
  void set(const NSIndexPath& path, bool selected);
  void clear() { paths_.clear(); }
  // Selects `path` (nothing when nullopt), dropping the others unless
  // several may be selected.
  void select(const std::optional<NSIndexPath>& path, bool multiple);
  // A person's tap on `path`: with several allowed a selected item is
  // deselected; otherwise it is selected and, with one allowed, the others
  // are deselected. The delegate is asked and told through the functions.
  void tap(const NSIndexPath& path, bool multiple, const Ask& shouldSelect,
           const Ask& shouldDeselect, const Tell& didSelect, const Tell& didDeselect);
  // Follows the items of a batch of updates; reloaded items lose it.
  void follow(const std::map<NSIndexPath, NSIndexPath>& moved,
              const std::set<NSIndexPath>& reloaded);

 private:
  Show show_;
  std::set<NSIndexPath> paths_;
};
