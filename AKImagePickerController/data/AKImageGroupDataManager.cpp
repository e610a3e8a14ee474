#include "AKImagePickerController/data/AKImageGroupDataManager.h"

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"

namespace {

std::vector<AKAssetPtr> assetsFrom(const Value& list) {
  std::vector<AKAssetPtr> out;
  for (auto& v : list.asList()) {
    if (auto asset = v.objectAs<AKAsset>()) out.push_back(asset);
  }
  return out;
}

Value listOf(const std::vector<AKAssetPtr>& assets) {
  ValueList list;
  for (auto& a : assets) list.emplace_back(std::static_pointer_cast<NSObject>(a));
  return Value(std::move(list));
}

template <typename F>
AKImageBaseManager::Invoker groupInvoker(F call) {
  return [call](NSObject& observer, const Value& one, const Value& two) {
    auto* protocol = dynamic_cast<AKImageGroupDataManagerObserver*>(&observer);
    return protocol && call(*protocol, one, two);
  };
}

}  // namespace

void AKRegisterObserverSelectors() {
  static std::once_flag once;
  std::call_once(once, [] {
    using O = AKImageGroupDataManagerObserver;
    AKImageBaseManager::registerSelector(
        "groupDidUpdateWithGroupId:",
        groupInvoker([](O& o, const Value& a, const Value&) { return o.groupDidUpdate(a.asString()); }));
    AKImageBaseManager::registerSelector(
        "groupDidRemoveWithGroupId:",
        groupInvoker([](O& o, const Value& a, const Value&) { return o.groupDidRemove(a.asString()); }));
    AKImageBaseManager::registerSelector(
        "groupWithGroupId:didRemoveAssets:", groupInvoker([](O& o, const Value& a, const Value& b) {
          return o.groupDidRemoveAssets(a.asString(), assetsFrom(b));
        }));
    AKImageBaseManager::registerSelector(
        "groupWithGroupId:didInsertAssets:", groupInvoker([](O& o, const Value& a, const Value& b) {
          return o.groupDidInsertAssets(a.asString(), assetsFrom(b));
        }));
    AKImageBaseManager::registerSelector(
        "groupDidUpdateCompleteWithGroupId:",
        groupInvoker([](O& o, const Value& a, const Value&) { return o.groupDidUpdateComplete(a.asString()); }));
    AKImageBaseManager::registerSelector(
        "groupsDidInsertWithGroupIds:", groupInvoker([](O& o, const Value& a, const Value&) {
          std::vector<std::string> ids;
          for (auto& v : a.asList()) ids.push_back(v.asString());
          return o.groupsDidInsert(ids);
        }));
  });
}

AKImageGroupDataManager::AKImageGroupDataManager(AKImageGroupDataManagerConfigurationPtr configuration)
    : configuration_(std::move(configuration)) {
  AKRegisterObserverSelectors();
}

std::shared_ptr<AKImageGroupDataManager> AKImageGroupDataManager::initWithConfiguration(
    const AKImageGroupDataManagerConfiguration& configuration) {
  return std::shared_ptr<AKImageGroupDataManager>(new AKImageGroupDataManager(configuration.copy()));
}

AKImageGroupDataManager::~AKImageGroupDataManager() {
  if (auto library = registeredWith_.lock()) library->unregisterChangeObserver(this);
}

std::optional<std::vector<std::string>> AKImageGroupDataManager::groupIds() const {
  MutexLock lock(mutex_);
  return groupIds_;
}

std::optional<std::map<std::string, AKAssetGroupPtr>> AKImageGroupDataManager::groups() const {
  MutexLock lock(mutex_);
  return groups_;
}

void AKImageGroupDataManager::invalidate() {
  std::shared_ptr<PHPhotoLibrary> library;
  {
    MutexLock lock(mutex_);
    if (groupIds_) groupIds_->clear();
    if (groups_) groups_->clear();
    assets_.clear();
    library = registeredWith_.lock();
    registeredWith_.reset();
  }
  if (library) library->unregisterChangeObserver(this);
}

PHAssetCollectionType AKImageGroupDataManager::collectionType(PHAssetCollectionSubtype subtype) {
  return subtype < 200 ? PHAssetCollectionTypeAlbum : PHAssetCollectionTypeSmartAlbum;
}

void AKImageGroupDataManager::fetchGroups(const std::vector<PHAssetCollectionSubtype>& types,
                                          const NSPredicatePtr& predicate,
                                          const std::function<void(const PHAssetCollectionPtr&)>& block) {
  for (auto subtype : types) {
    auto result = PHAssetCollection::fetchAssetCollectionsWithType(collectionType(subtype), subtype, nullptr);
    for (auto& collection : result->objects()) {
      if (!predicate || predicate->evaluateWithObject(collection)) block(collection);
    }
  }
}

void AKImageGroupDataManager::updateGroup(const AKAssetGroupPtr& group,
                                          const PHAssetCollectionPtr& collection) const {
  group->setGroupName(collection->localizedTitle());
  group->setOriginalCollection(collection);
}

void AKImageGroupDataManager::updateGroup(const AKAssetGroupPtr& group,
                                          const PHAssetFetchResultPtr& fetchResult) const {
  group->setFetchResult(fetchResult);
  group->setDisplayCount(configuration_->fetchLimit);
}

AKAssetGroupPtr AKImageGroupDataManager::makeAKAssetGroup(const PHAssetCollectionPtr& collection) const {
  auto group = std::make_shared<AKAssetGroup>(collection->localIdentifier());
  updateGroup(group, collection);
  updateGroup(group, PHAsset::fetchAssetsInAssetCollection(collection, configuration_->assetFetchOptions));
  return group;
}

void AKImageGroupDataManager::updatePartial(std::map<std::string, AKAssetGroupPtr> groups,
                                            std::vector<std::string> groupIds,
                                            const std::shared_ptr<GroupsCompletion>& completion) {
  {
    MutexLock lock(mutex_);
    groups_ = std::move(groups);
    groupIds_ = groupIds;
  }
  dispatch_async(dispatch_get_main_queue(), [completion, groupIds] {
    if (*completion) (*completion)(groupIds, nullptr);
  });
}

void AKImageGroupDataManager::fetchGroups(GroupsCompletion completion) {
  auto shared = std::make_shared<GroupsCompletion>(std::move(completion));
  dispatch_async(dispatch_get_global_queue(DispatchQoS::UserInteractive),
                 WeakBind(std::static_pointer_cast<AKImageGroupDataManager>(shared_from_this()),
                          [shared](AKImageGroupDataManager& self) { self.load(shared); }));
}

void AKImageGroupDataManager::load(const std::shared_ptr<GroupsCompletion>& completion) {
  std::optional<std::vector<std::string>> loaded;
  {
    MutexLock lock(mutex_);
    if (groups_) loaded = groupIds_.value_or(std::vector<std::string>());
  }
  if (loaded) {
    dispatch_async(dispatch_get_main_queue(), [completion, ids = *loaded] {
      if (*completion) (*completion)(ids, nullptr);
    });
    return;
  }
  std::map<std::string, AKAssetGroupPtr> groups;
  std::vector<std::string> ids;
  fetchGroups(configuration_->assetGroupTypes, configuration_->groupFetchPredicate,
              [&](const PHAssetCollectionPtr& collection) {
                auto group = makeAKAssetGroup(collection);
                groups[group->groupId()] = group;
                ids.push_back(group->groupId());
                if (collection->assetCollectionSubtype() == PHAssetCollectionSubtypeSmartAlbumUserLibrary) {
                  updatePartial(groups, ids, completion);
                }
              });
  auto library = PHPhotoLibrary::sharedPhotoLibrary();
  library->registerChangeObserver(std::static_pointer_cast<AKImageGroupDataManager>(shared_from_this()));
  {
    MutexLock lock(mutex_);
    registeredWith_ = library;
  }
  // An empty library still answers (with no albums) so callers never wait.
  updatePartial(std::move(groups), std::move(ids), completion);
}

AKAssetGroupPtr AKImageGroupDataManager::fetchGroup(const std::string& groupId) const {
  MutexLock lock(mutex_);
  if (!groups_) return nullptr;
  auto it = groups_->find(groupId);
  return it == groups_->end() ? nullptr : it->second;
}

PHAssetPtr AKImageGroupDataManager::fetchPHAsset(const AKAssetGroupPtr& group, int64_t index) const {
  if (!group || !group->fetchResult()) return nullptr;
  int64_t n = group->fetchResult()->count();
  return group->fetchResult()->objectAtIndex(n - 1 - index);
}

AKAssetPtr AKImageGroupDataManager::fetchAsset(const AKAssetGroupPtr& group, int64_t index) {
  PHAssetPtr asset = fetchPHAsset(group, index);
  if (!asset) return nullptr;
  MutexLock lock(mutex_);
  auto& slot = assets_[asset->localIdentifier()];
  if (!slot) slot = AKAsset::initWithOriginalAsset(asset);
  return slot;
}

void AKImageGroupDataManager::fetchGroupThumbnail(const std::string& groupId, CGSize size,
                                                  const PHImageRequestOptionsPtr& options,
                                                  AKImageCompletion completion) {
  auto group = fetchGroup(groupId);
  if (!group || !group->fetchResult()) {
    if (completion) completion(nullptr, Value());
    return;
  }
  int64_t n = group->fetchResult()->count();
  if (group->displayCount() && *group->displayCount() >= 1) n = std::min(n, *group->displayCount());
  PHAssetPtr last = n == 0 ? nullptr : group->fetchResult()->lastObject();
  if (!last) {
    if (completion) completion(nullptr, Value());
    return;
  }
  AKAsset::initWithOriginalAsset(last)->fetchImage(size, options, PHImageContentModeAspectFit,
                                                   std::move(completion));
}

void AKImageGroupDataManager::notifyAssets(const std::string& selector, const std::string& groupId,
                                           const std::vector<PHAssetPtr>& objects) {
  std::vector<AKAssetPtr> assets;
  for (auto& object : objects) assets.push_back(AKAsset::initWithOriginalAsset(object));
  if (!assets.empty()) notify(selector, Value(groupId), listOf(assets));
}

void AKImageGroupDataManager::photoLibraryDidChange(const PHChangePtr& change) {
  // Albums change on the main thread, where their readers are; the
  // callbacks follow there in the order they are sent.
  dispatch_main_now_or_async(WeakBind(std::static_pointer_cast<AKImageGroupDataManager>(shared_from_this()),
                     [change](AKImageGroupDataManager& self) {
                       auto groups = self.groups();
                       if (!groups) return;
                       for (auto& [groupId, group] : *groups) {
                         if (auto collection = group->originalCollection()) {
                           if (auto details = change->changeDetailsForObject(collection)) {
                             if (details->objectWasDeleted) {
                               {
                                 MutexLock lock(self.mutex_);
                                 if (self.groups_) self.groups_->erase(groupId);
                               }
                               self.notify("groupDidRemoveWithGroupId:", Value(groupId));
                               continue;
                             }
                             if (details->objectAfterChanges) {
                               if (self.fetchGroup(groupId)) self.updateGroup(group, details->objectAfterChanges);
                               self.notify("groupDidUpdateWithGroupId:", Value(groupId));
                             }
                           }
                         }
                         if (!group->fetchResult()) continue;
                         auto details = change->changeDetailsForFetchResult(group->fetchResult());
                         if (!details) continue;
                         self.notifyAssets("groupWithGroupId:didRemoveAssets:", groupId, details->removedObjects);
                         self.updateGroup(group, details->fetchResultAfterChanges);
                         self.notifyAssets("groupWithGroupId:didInsertAssets:", groupId, details->insertedObjects);
                         self.notify("groupDidUpdateCompleteWithGroupId:", Value(groupId));
                       }
                       ValueList inserted;
                       fetchGroups(self.configuration_->assetGroupTypes,
                                   self.configuration_->groupFetchPredicate,
                                   [&](const PHAssetCollectionPtr& collection) {
                                     if (self.fetchGroup(collection->localIdentifier())) return;
                                     if (!self.groups()) return;
                                     auto group = self.makeAKAssetGroup(collection);
                                     MutexLock lock(self.mutex_);
                                     (*self.groups_)[group->groupId()] = group;
                                     if (self.groupIds_) self.groupIds_->push_back(group->groupId());
                                     inserted.emplace_back(group->groupId());
                                   });
                       if (!inserted.empty()) self.notify("groupsDidInsertWithGroupIds:", Value(std::move(inserted)));
                     }));
}
