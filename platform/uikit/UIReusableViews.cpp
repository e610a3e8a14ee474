#include "platform/uikit/UIReusableViews.h"

#include "UIView.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/Dispatch.h"

void UIReuseQueues::registerFactory(const std::string& key, Factory factory) {
  factories_[key] = std::move(factory);
}

std::pair<std::shared_ptr<UIView>, bool> UIReuseQueues::dequeue(const std::string& key) {
  auto& queue = queues_[key];
  if (!queue.empty()) {
    auto view = std::move(queue.back());
    queue.pop_back();
    return {view, true};
  }
  auto it = factories_.find(key);
  return {it == factories_.end() ? nullptr : it->second(), false};
}

void UIReuseQueues::enqueue(const std::string& key, std::shared_ptr<UIView> view) {
  queues_[key].push_back(std::move(view));
}

size_t UIReuseQueues::queuedCount(const std::string& key) const {
  auto it = queues_.find(key);
  return it == queues_.end() ? 0 : it->second.size();
}

void UISectionCounts::reload(int64_t sections,
                             const std::function<int64_t(int64_t)>& itemsInSection) {
  counts_.clear();
  for (int64_t s = 0; s < sections; ++s) counts_.push_back(itemsInSection(s));
}

std::string UISectionCounts::outOfRange(const NSIndexPath& path, const char* what) const {
  if (contains(path)) return "";
  if (path.section < 0 || path.section >= sections()) {
    return std::string(what) + ": section (" + std::to_string(path.section) +
           ") beyond bounds (" + std::to_string(sections()) + ")";
  }
  int64_t n = counts_[static_cast<size_t>(path.section)];
  return std::string(what) + ": index path " + path.description() + " beyond bounds (" +
         std::to_string(n) + " in section " + std::to_string(path.section) + ")";
}

int64_t UISectionCounts::itemsIn(int64_t section, const char* what) const {
  if (section < 0 || section >= sections()) FatalStop(outOfRange({section, 0}, what));
  return counts_[static_cast<size_t>(section)];
}

void UISectionCounts::check(const NSIndexPath& path, const char* what) const {
  if (std::string problem = outOfRange(path, what); !problem.empty()) FatalStop(problem);
}

bool UISectionCounts::contains(const NSIndexPath& path) const {
  return path.section >= 0 && path.section < sections() && path.item >= 0 &&
         path.item < counts_[static_cast<size_t>(path.section)];
}

std::optional<std::map<NSIndexPath, NSIndexPath>> UIBatchChanges::apply(
    const UISectionCounts& before, const UISectionCounts& after, const char* noun,
    std::string* problem) const {
  if (before.sections() != after.sections()) {
    *problem = "Invalid update: invalid number of sections. The number of sections contained "
               "after the update (" + std::to_string(after.sections()) +
               ") must be equal to the number of sections contained before the update (" +
               std::to_string(before.sections()) + ")";
    return std::nullopt;
  }
  auto outside = [&](const std::set<NSIndexPath>& paths, const UISectionCounts& counts,
                     const char* what) {
    for (auto& p : paths) {
      if (std::string why = counts.outOfRange(p, what); !why.empty()) {
        *problem = std::move(why);
        return true;
      }
    }
    return false;
  };
  if (outside(deleted, before, "Invalid update: attempt to delete") ||
      outside(reloaded, before, "Invalid update: attempt to reload") ||
      outside(inserted, after, "Invalid update: attempt to insert")) {
    return std::nullopt;
  }
  std::map<NSIndexPath, NSIndexPath> moved;
  for (int64_t s = 0; s < before.sections(); ++s) {
    int64_t ins = 0, del = 0;
    for (auto& p : inserted) ins += p.section == s;
    for (auto& p : deleted) del += p.section == s;
    int64_t was = before.counts()[static_cast<size_t>(s)];
    int64_t now = after.counts()[static_cast<size_t>(s)];
    if (now != was + ins - del) {
      *problem = std::string("Invalid update: invalid number of ") + noun + "s in section " +
                 std::to_string(s) + ". The number of " + noun +
                 "s contained in an existing section after the update (" + std::to_string(now) +
                 ") must be equal to the number of " + noun +
                 "s contained in that section before the update (" + std::to_string(was) +
                 "), plus or minus the number of " + noun +
                 "s inserted or deleted from that section (" + std::to_string(ins) +
                 " inserted, " + std::to_string(del) + " deleted)";
      return std::nullopt;
    }
    // Survivors keep their order and fill the places the inserts left.
    int64_t next = 0;
    for (int64_t old = 0; old < was; ++old) {
      if (deleted.count({s, old})) continue;
      while (inserted.count({s, next})) ++next;
      moved[{s, old}] = {s, next++};
    }
  }
  return moved;
}

void UIPostBatchCompletion(OnceCallback<void(bool)> completion) {
  if (!completion) return;
  dispatch_bind_to_queue(dispatch_get_main_queue(), std::move(completion))(true);
}

void UIItemSelection::set(const NSIndexPath& path, bool selected) {
  if (selected) {
    paths_.insert(path);
  } else {
    paths_.erase(path);
  }
  show_(path, selected);
}

void UIItemSelection::select(const std::optional<NSIndexPath>& path, bool multiple) {
  if (!multiple || !path) {
    for (auto& p : std::set<NSIndexPath>(paths_)) {
      if (!path || p != *path) set(p, false);
    }
  }
  if (path) set(*path, true);
}

void UIItemSelection::tap(const NSIndexPath& path, bool multiple, const Ask& shouldSelect,
                          const Ask& shouldDeselect, const Tell& didSelect,
                          const Tell& didDeselect) {
  if (multiple && contains(path)) {
    if (!shouldDeselect(path)) return;
    set(path, false);
    didDeselect(path);
    return;
  }
  if (!shouldSelect(path)) return;
  if (!multiple) {
    for (auto& p : std::set<NSIndexPath>(paths_)) {
      if (p == path) continue;
      set(p, false);
      didDeselect(p);
    }
  }
  set(path, true);
  didSelect(path);
}

void UIItemSelection::follow(const std::map<NSIndexPath, NSIndexPath>& moved,
                             const std::set<NSIndexPath>& reloaded) {
  std::set<NSIndexPath> next;
  for (auto& p : paths_) {
    auto to = moved.find(p);
    if (to != moved.end() && !reloaded.count(p)) next.insert(to->second);
  }
  paths_ = std::move(next);
}
