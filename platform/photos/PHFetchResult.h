#pragma once
// Ordered, immutable results of a fetch. Each result remembers the query
// that made it, so that a library change can tell what the same fetch gives
// afterwards (PHChange).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/NSObject.h"
#include "platform/foundation/NSPredicate.h"

struct PHLibrarySnapshot;

// Options of a fetch: a filter, a sort order (by the objects' keys) and a cap.
class PHFetchOptions : public NSObject {
 public:
  NSPredicatePtr predicate;
  std::vector<NSSortDescriptor> sortDescriptors;
  int64_t fetchLimit = 0;  // 0: no cap
  bool includeHiddenAssets = false;

  std::shared_ptr<PHFetchOptions> copy() const { return std::make_shared<PHFetchOptions>(*this); }
  std::string className() const override { return "PHFetchOptions"; }
};
using PHFetchOptionsPtr = std::shared_ptr<PHFetchOptions>;

template <typename T>
class PHFetchResult : public NSObject {
 public:
  using Object = std::shared_ptr<T>;
  using Objects = std::vector<Object>;
  using Query = std::function<Objects(const PHLibrarySnapshot&)>;

  PHFetchResult(Objects objects, Query query)
      : objects_(std::move(objects)), query_(std::move(query)) {}

  int64_t count() const { return static_cast<int64_t>(objects_.size()); }
  // nullptr outside 0..count-1.
  Object objectAtIndex(int64_t index) const {
    return index >= 0 && index < count() ? objects_[static_cast<size_t>(index)] : nullptr;
  }
  Object firstObject() const { return objects_.empty() ? nullptr : objects_.front(); }
  Object lastObject() const { return objects_.empty() ? nullptr : objects_.back(); }
  // -1 when absent; objects compare by isEqual (local identifier).
  int64_t indexOfObject(const T& object) const {
    for (size_t i = 0; i < objects_.size(); ++i) {
      if (objects_[i]->isEqual(object)) return static_cast<int64_t>(i);
    }
    return -1;
  }
  bool containsObject(const T& object) const { return indexOfObject(object) >= 0; }
  void enumerateObjectsUsingBlock(const std::function<void(const Object&, int64_t, bool*)>& block) const {
    bool stop = false;
    for (size_t i = 0; i < objects_.size() && !stop; ++i) block(objects_[i], static_cast<int64_t>(i), &stop);
  }
  const Objects& objects() const { return objects_; }
  const Query& query() const { return query_; }
  std::string className() const override { return "PHFetchResult"; }

 private:
  Objects objects_;
  Query query_;
};

// What one change did to one fetch result. Indexes of removed objects are
// in the result before, of inserted and changed ones in the result after.
template <typename T>
class PHFetchResultChangeDetails : public NSObject {
 public:
  using Result = std::shared_ptr<PHFetchResult<T>>;
  using Objects = typename PHFetchResult<T>::Objects;

  Result fetchResultBeforeChanges;
  Result fetchResultAfterChanges;
  Objects removedObjects;
  Objects insertedObjects;
  Objects changedObjects;
  std::vector<int64_t> removedIndexes;
  std::vector<int64_t> insertedIndexes;
  std::vector<int64_t> changedIndexes;
  bool hasIncrementalChanges = true;
  bool hasMoves = false;

  std::string className() const override { return "PHFetchResultChangeDetails"; }
};
