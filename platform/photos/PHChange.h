#pragma once
// One change of the library, between two snapshots: what happened to a
// given object (deleted, or its state after) and to a given fetch result
// (removed, inserted and changed objects, and the result after).

#include <memory>

#include "platform/photos/PHAssetCollection.h"

template <typename T>
class PHObjectChangeDetails : public NSObject {
 public:
  std::shared_ptr<T> objectBeforeChanges;
  std::shared_ptr<T> objectAfterChanges;  // nullptr when deleted
  bool objectWasDeleted = false;
  bool assetContentChanged = false;
  std::string className() const override { return "PHObjectChangeDetails"; }
};

class PHChange : public NSObject {
 public:
  PHChange(PHLibrarySnapshotPtr before, PHLibrarySnapshotPtr after)
      : before_(std::move(before)), after_(std::move(after)) {}

  // nullptr when the object did not change.
  std::shared_ptr<PHObjectChangeDetails<PHAssetCollection>> changeDetailsForObject(
      const PHAssetCollectionPtr& collection) const;
  std::shared_ptr<PHObjectChangeDetails<PHAsset>> changeDetailsForObject(
      const PHAssetPtr& asset) const;
  // nullptr when the same fetch gives the same objects, unchanged.
  std::shared_ptr<PHFetchResultChangeDetails<PHAsset>> changeDetailsForFetchResult(
      const PHAssetFetchResultPtr& result) const;
  std::shared_ptr<PHFetchResultChangeDetails<PHAssetCollection>> changeDetailsForFetchResult(
      const PHAssetCollectionFetchResultPtr& result) const;

  const PHLibrarySnapshotPtr& before() const { return before_; }
  const PHLibrarySnapshotPtr& after() const { return after_; }
  std::string className() const override { return "PHChange"; }

  // Whether anything an observer can see differs between the snapshots.
  static bool differs(const PHLibrarySnapshot& before, const PHLibrarySnapshot& after);

 private:
  PHLibrarySnapshotPtr before_;
  PHLibrarySnapshotPtr after_;
};
using PHChangePtr = std::shared_ptr<PHChange>;
