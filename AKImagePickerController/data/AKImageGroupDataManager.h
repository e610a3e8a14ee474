#pragma once
// Turns the library's albums of the configured kinds into AKAssetGroup
// objects, loaded once on a background queue, gives each album's assets
// newest first as cached AKAsset objects, answers album thumbnails, and
// keeps the albums current as the library changes, telling its observers
// (protocol AKImageGroupDataManagerObserver) through the hub.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AKImagePickerController/data/AKAsset.h"
#include "AKImagePickerController/data/AKAssetGroup.h"
#include "AKImagePickerController/data/AKImageBaseManager.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSPredicate.h"
#include "platform/photos/PHPhotoLibrary.h"

// Optional callbacks; each returns false when not implemented.
class AKImageGroupDataManagerObserver {
 public:
  virtual ~AKImageGroupDataManagerObserver() = default;
  virtual bool groupDidUpdate(const std::string& groupId) { (void)groupId; return false; }
  virtual bool groupDidRemove(const std::string& groupId) { (void)groupId; return false; }
  virtual bool groupDidRemoveAssets(const std::string& groupId, const std::vector<AKAssetPtr>& assets) {
    (void)groupId, (void)assets;
    return false;
  }
  virtual bool groupDidInsertAssets(const std::string& groupId, const std::vector<AKAssetPtr>& assets) {
    (void)groupId, (void)assets;
    return false;
  }
  virtual bool groupDidUpdateComplete(const std::string& groupId) { (void)groupId; return false; }
  virtual bool groupsDidInsert(const std::vector<std::string>& groupIds) { (void)groupIds; return false; }
};

class AKImageGroupDataManagerConfiguration : public NSObject {
 public:
  std::vector<PHAssetCollectionSubtype> assetGroupTypes = {
      PHAssetCollectionSubtypeSmartAlbumUserLibrary, PHAssetCollectionSubtypeSmartAlbumVideos,
      PHAssetCollectionSubtypeSmartAlbumFavorites, PHAssetCollectionSubtypeAlbumRegular};
  NSPredicatePtr groupFetchPredicate;
  PHFetchOptionsPtr assetFetchOptions;
  int64_t fetchLimit = 0;

  // Options and predicate are shared with the copy, not copied.
  virtual std::shared_ptr<AKImageGroupDataManagerConfiguration> copy() const {
    return std::make_shared<AKImageGroupDataManagerConfiguration>(*this);
  }
  std::string className() const override { return "AKImageGroupDataManagerConfiguration"; }
};
using AKImageGroupDataManagerConfigurationPtr = std::shared_ptr<AKImageGroupDataManagerConfiguration>;

class AKImageGroupDataManager : public AKImageBaseManager, public PHPhotoLibraryChangeObserver {
 public:
  // Copyable: it runs twice when the library has a user library album, once
  // with the albums found up to it and once with all of them.
  using GroupsCompletion = std::function<void(const std::optional<std::vector<std::string>>& groupIds,
                                              const NSErrorPtr& error)>;

  static std::shared_ptr<AKImageGroupDataManager> initWithConfiguration(
      const AKImageGroupDataManagerConfiguration& configuration);
  ~AKImageGroupDataManager() override;

  void invalidate();
  // Answers on the main queue: with the user library first in the kinds,
  // once early with the albums found up to it, then with all of them. An
  // empty list when nothing matches.
  void fetchGroups(GroupsCompletion completion);
  AKAssetGroupPtr fetchGroup(const std::string& groupId) const;
  void fetchGroupThumbnail(const std::string& groupId, CGSize size,
                           const PHImageRequestOptionsPtr& options, AKImageCompletion completion);
  AKAssetPtr fetchAsset(const AKAssetGroupPtr& group, int64_t index);
  PHAssetPtr fetchPHAsset(const AKAssetGroupPtr& group, int64_t index) const;

  AKAssetGroupPtr makeAKAssetGroup(const PHAssetCollectionPtr& collection) const;
  static PHAssetCollectionType collectionType(PHAssetCollectionSubtype subtype);
  static void fetchGroups(const std::vector<PHAssetCollectionSubtype>& types,
                          const NSPredicatePtr& predicate,
                          const std::function<void(const PHAssetCollectionPtr&)>& block);
  void updateGroup(const AKAssetGroupPtr& group, const PHAssetCollectionPtr& collection) const;
  void updateGroup(const AKAssetGroupPtr& group, const PHAssetFetchResultPtr& fetchResult) const;

  void photoLibraryDidChange(const PHChangePtr& change) override;

  // Published state (copies; safe from any thread).
  std::optional<std::vector<std::string>> groupIds() const;
  std::optional<std::map<std::string, AKAssetGroupPtr>> groups() const;
  const AKImageGroupDataManagerConfiguration& configuration() const { return *configuration_; }

  std::string className() const override { return "AKImageGroupDataManager"; }

 private:
  explicit AKImageGroupDataManager(AKImageGroupDataManagerConfigurationPtr configuration);
  void updatePartial(std::map<std::string, AKAssetGroupPtr> groups, std::vector<std::string> groupIds,
                     const std::shared_ptr<GroupsCompletion>& completion);
  void load(const std::shared_ptr<GroupsCompletion>& completion);
  void notifyAssets(const std::string& selector, const std::string& groupId,
                    const std::vector<PHAssetPtr>& objects);

  const AKImageGroupDataManagerConfigurationPtr configuration_;
  mutable Mutex mutex_;
  std::optional<std::vector<std::string>> groupIds_ GUARDED_BY(mutex_);
  std::optional<std::map<std::string, AKAssetGroupPtr>> groups_ GUARDED_BY(mutex_);
  std::map<std::string, AKAssetPtr> assets_ GUARDED_BY(mutex_);
  std::weak_ptr<PHPhotoLibrary> registeredWith_ GUARDED_BY(mutex_);
};
using AKImageGroupDataManagerPtr = std::shared_ptr<AKImageGroupDataManager>;

// Registers the observer protocols' selectors with the hub (done once, by
// the managers that send them).
void AKRegisterObserverSelectors();
