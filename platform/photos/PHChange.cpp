#include "platform/photos/PHChange.h"

#include <map>
#include <set>

namespace {

bool sameContent(const PHAsset& a, const PHAsset& b) {
  const auto &x = a.record(), &y = b.record();
  return x.mtimeNs == y.mtimeNs && x.fileSize == y.fileSize && x.favorite == y.favorite &&
         x.relativePath == y.relativePath;
}

bool sameContent(const PHAssetCollection& a, const PHAssetCollection& b) {
  return a.localizedTitle() == b.localizedTitle();
}

template <typename T>
std::shared_ptr<PHFetchResultChangeDetails<T>> diff(const std::shared_ptr<PHFetchResult<T>>& result,
                                                    const PHLibrarySnapshot& after) {
  if (!result || !result->query()) return nullptr;
  auto objects = result->query()(after);
  auto details = std::make_shared<PHFetchResultChangeDetails<T>>();
  details->fetchResultBeforeChanges = result;
  details->fetchResultAfterChanges =
      std::make_shared<PHFetchResult<T>>(std::move(objects), result->query());
  const auto& oldObjects = result->objects();
  const auto& newObjects = details->fetchResultAfterChanges->objects();
  std::map<std::string, size_t> oldIndex, newIndex;
  for (size_t i = 0; i < oldObjects.size(); ++i) oldIndex[oldObjects[i]->localIdentifier()] = i;
  for (size_t i = 0; i < newObjects.size(); ++i) newIndex[newObjects[i]->localIdentifier()] = i;
  for (size_t i = 0; i < oldObjects.size(); ++i) {
    if (!newIndex.count(oldObjects[i]->localIdentifier())) {
      details->removedObjects.push_back(oldObjects[i]);
      details->removedIndexes.push_back(static_cast<int64_t>(i));
    }
  }
  for (size_t i = 0; i < newObjects.size(); ++i) {
    auto old = oldIndex.find(newObjects[i]->localIdentifier());
    if (old == oldIndex.end()) {
      details->insertedObjects.push_back(newObjects[i]);
      details->insertedIndexes.push_back(static_cast<int64_t>(i));
    } else if (!sameContent(*oldObjects[old->second], *newObjects[i])) {
      details->changedObjects.push_back(newObjects[i]);
      details->changedIndexes.push_back(static_cast<int64_t>(i));
    }
  }
  if (details->removedObjects.empty() && details->insertedObjects.empty() &&
      details->changedObjects.empty()) {
    return nullptr;
  }
  return details;
}

template <typename T>
std::shared_ptr<PHObjectChangeDetails<T>> objectDetails(const std::shared_ptr<T>& before,
                                                       std::shared_ptr<T> after) {
  if (!before) return nullptr;
  if (after && sameContent(*before, *after)) return nullptr;
  auto details = std::make_shared<PHObjectChangeDetails<T>>();
  details->objectBeforeChanges = before;
  details->objectWasDeleted = !after;
  details->objectAfterChanges = std::move(after);
  return details;
}

}  // namespace

std::shared_ptr<PHObjectChangeDetails<PHAssetCollection>> PHChange::changeDetailsForObject(
    const PHAssetCollectionPtr& collection) const {
  if (!collection) return nullptr;
  return objectDetails(collection, collection->refreshedIn(*after_));
}

std::shared_ptr<PHObjectChangeDetails<PHAsset>> PHChange::changeDetailsForObject(
    const PHAssetPtr& asset) const {
  if (!asset) return nullptr;
  PHAssetPtr after;
  if (auto record = after_->assetWithIdentifier(asset->localIdentifier())) {
    after = std::make_shared<PHAsset>(record, after_->absolutePath(*record));
  }
  auto details = objectDetails(asset, after);
  if (details && after) details->assetContentChanged = asset->record().mtimeNs != after->record().mtimeNs;
  return details;
}

std::shared_ptr<PHFetchResultChangeDetails<PHAsset>> PHChange::changeDetailsForFetchResult(
    const PHAssetFetchResultPtr& result) const {
  return diff(result, *after_);
}

std::shared_ptr<PHFetchResultChangeDetails<PHAssetCollection>> PHChange::changeDetailsForFetchResult(
    const PHAssetCollectionFetchResultPtr& result) const {
  return diff(result, *after_);
}

bool PHChange::differs(const PHLibrarySnapshot& before, const PHLibrarySnapshot& after) {
  if (before.assets.size() != after.assets.size() || before.albums.size() != after.albums.size()) {
    return true;
  }
  for (auto& record : before.assets) {
    auto other = after.assetWithIdentifier(record->localIdentifier);
    if (!other || other->mtimeNs != record->mtimeNs || other->fileSize != record->fileSize ||
        other->favorite != record->favorite || other->relativePath != record->relativePath) {
      return true;
    }
  }
  for (size_t i = 0; i < before.albums.size(); ++i) {
    const auto &a = before.albums[i], &b = after.albums[i];
    if (a.localIdentifier != b.localIdentifier || a.title != b.title) return true;
  }
  return false;
}
