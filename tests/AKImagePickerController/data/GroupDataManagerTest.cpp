#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>

#include "AKImagePickerController/data/AKImageGroupDataManager.h"
#include "AKImagePickerController/data/PickerTestSupport.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/Value.h"

namespace group_data_manager_test {

class GroupDataManagerTest : public PickerTest {
 protected:
  // Loads the albums and waits (bounded) for the answers.
  std::vector<std::vector<std::string>> load(const AKImageGroupDataManagerPtr& manager, size_t answers) {
    std::vector<std::vector<std::string>> got;
    manager->fetchGroups([&](const std::optional<std::vector<std::string>>& ids, const NSErrorPtr& error) {
      EXPECT_TRUE(NSThread::isMainThread());
      EXPECT_FALSE(error);
      got.push_back(ids.value_or(std::vector<std::string>{"<none>"}));
    });
    for (int i = 0; i < 200 && got.size() < answers; ++i) NSRunLoop::mainRunLoop().runOnce(0.05);
    return got;
  }
  // Reads the folder again and hands the change to the managers (bounded).
  void synchronize() {
    auto library = PHPhotoLibrary::sharedPhotoLibrary();
    library->synchronize();
    dispatch_sync(library->queue(), [] {});
    drainMainLoop();
  }
  std::string title(const AKImageGroupDataManagerPtr& m, const std::string& id) {
    auto group = m->fetchGroup(id);
    return group && group->groupName() ? *group->groupName() : "?";
  }
};

TEST_F(GroupDataManagerTest, LoadsTheConfiguredKindsWithTheUserLibraryAnsweredFirst) {
  NSFileManager::defaultManager()->createDirectoryAtPath(path("Trips"), true);
  NSFileManager::defaultManager()->createDirectoryAtPath(path("Pets"), true);
  ASSERT_TRUE(WriteFixtureImage(path("a.jpg"), "public.jpeg", 8, 8, 1, std::nullopt, "2020:01:01 00:00:00"));
  ASSERT_TRUE(WriteFixtureImage(path("Trips/b.jpg"), "public.jpeg", 8, 8, 1, std::nullopt, "2020:01:02 00:00:00"));
  ASSERT_TRUE(WriteFixtureVideo(path("Trips/c.mp4"), 16, 16, 3, "2020-01-03T00:00:00Z"));

  AKImageGroupDataManagerConfiguration configuration;
  EXPECT_EQ(configuration.assetGroupTypes,
            (std::vector<PHAssetCollectionSubtype>{PHAssetCollectionSubtypeSmartAlbumUserLibrary,
                                                   PHAssetCollectionSubtypeSmartAlbumVideos,
                                                   PHAssetCollectionSubtypeSmartAlbumFavorites,
                                                   PHAssetCollectionSubtypeAlbumRegular}));
  auto manager = AKImageGroupDataManager::initWithConfiguration(configuration);
  configuration.fetchLimit = 7;  // the manager keeps its own copy
  EXPECT_FALSE(manager->groupIds());
  auto answers = load(manager, 2);
  ASSERT_EQ(answers.size(), 2u);
  ASSERT_EQ(answers[0].size(), 1u);
  auto ids = answers[1];
  ASSERT_EQ(ids.size(), 5u);
  EXPECT_EQ(ids[0], answers[0][0]);
  std::vector<std::string> titles;
  for (auto& id : ids) titles.push_back(title(manager, id));
  EXPECT_EQ(titles, (std::vector<std::string>{"Recents", "Videos", "Favorites", "Pets", "Trips"}));
  EXPECT_EQ(manager->fetchGroup(ids[0])->displayCount(), 0);

  // Newest first: index 0 is the last asset of the fetch result.
  auto library = manager->fetchGroup(ids[0]);
  EXPECT_EQ(library->totalCount(), 3);
  EXPECT_EQ(manager->fetchPHAsset(library, 0)->record().relativePath, "Trips/c.mp4");
  EXPECT_EQ(manager->fetchPHAsset(library, 2)->record().relativePath, "a.jpg");
  EXPECT_FALSE(manager->fetchPHAsset(library, 3));
  EXPECT_FALSE(manager->fetchPHAsset(library, -1));
  EXPECT_EQ(manager->fetchAsset(library, 1), manager->fetchAsset(library, 1));
  EXPECT_EQ(manager->fetchAsset(library, 0)->type(), AKAssetType::video);

  // A second load answers the same identifiers without loading again.
  EXPECT_EQ(load(manager, 1), std::vector<std::vector<std::string>>{ids});

  // Thumbnails: the album's last asset; an empty album answers nothing at once.
  ScriptedAnswer image;
  image.image = UIImage::imageWithCGImage(MakeFixtureBitmap(2, 2));
  provider_->setDefaultAnswer(image);
  UIImagePtr thumb;
  manager->fetchGroupThumbnail(ids[4], CGSizeMake(10, 10), nullptr,
                               [&](const UIImagePtr& i, const Value&) { thumb = i; });
  EXPECT_EQ(thumb, image.image);
  EXPECT_EQ(provider_->calls().back().asset->record().relativePath, "Trips/c.mp4");
  EXPECT_EQ(provider_->calls().back().contentMode, PHImageContentModeAspectFit);
  size_t calls = provider_->calls().size();
  bool answered = false;
  manager->fetchGroupThumbnail(ids[3], CGSizeMake(10, 10), nullptr, [&](const UIImagePtr& i, const Value& info) {
    answered = !i && info.isNull();
  });
  EXPECT_TRUE(answered);
  EXPECT_EQ(provider_->calls().size(), calls);

  manager->invalidate();
  EXPECT_TRUE(manager->groupIds()->empty());
  EXPECT_FALSE(manager->fetchGroup(ids[0]));
  EXPECT_EQ(load(manager, 1), std::vector<std::vector<std::string>>{{}});
}

TEST_F(GroupDataManagerTest, SubtypesFromTwoHundredOnAreSmartAlbums) {
  EXPECT_EQ(AKImageGroupDataManager::collectionType(PHAssetCollectionSubtypeAlbumRegular),
            PHAssetCollectionTypeAlbum);
  EXPECT_EQ(AKImageGroupDataManager::collectionType(PHAssetCollectionSubtype(199)), PHAssetCollectionTypeAlbum);
  EXPECT_EQ(AKImageGroupDataManager::collectionType(PHAssetCollectionSubtypeSmartAlbumGeneric),
            PHAssetCollectionTypeSmartAlbum);
  EXPECT_EQ(AKImageGroupDataManager::collectionType(PHAssetCollectionSubtypeSmartAlbumUserLibrary),
            PHAssetCollectionTypeSmartAlbum);
}

TEST_F(GroupDataManagerTest, AnEmptySelectionAnswersAnEmptyListAndPredicatesFilter) {
  AKImageGroupDataManagerConfiguration configuration;
  configuration.assetGroupTypes = {PHAssetCollectionSubtypeAlbumRegular};
  // A manager that never loaded can be invalidated: it still has no albums.
  auto unused = AKImageGroupDataManager::initWithConfiguration(configuration);
  unused->invalidate();
  EXPECT_FALSE(unused->groupIds());
  auto manager = AKImageGroupDataManager::initWithConfiguration(configuration);
  EXPECT_EQ(load(manager, 1), std::vector<std::vector<std::string>>{{}});

  NSFileManager::defaultManager()->createDirectoryAtPath(path("Keep"), true);
  NSFileManager::defaultManager()->createDirectoryAtPath(path("Drop"), true);
  configuration.groupFetchPredicate = NSPredicate::predicateWithBlock("title != Drop", [](auto& o) {
    return std::static_pointer_cast<PHAssetCollection>(o)->localizedTitle() != "Drop";
  });
  synchronize();
  auto filtered = AKImageGroupDataManager::initWithConfiguration(configuration);
  auto answers = load(filtered, 1);
  ASSERT_EQ(answers.size(), 1u);
  ASSERT_EQ(answers[0].size(), 1u);
  EXPECT_EQ(title(filtered, answers[0][0]), "Keep");
}

TEST_F(GroupDataManagerTest, LibraryChangesReachObserversAlbumByAlbum) {
  NSFileManager::defaultManager()->createDirectoryAtPath(path("Trips"), true);
  ASSERT_TRUE(WriteFixtureImage(path("Trips/a.jpg"), "public.jpeg", 8, 8, 1, std::nullopt, "2020:01:01 00:00:00"));
  AKImageGroupDataManagerConfiguration configuration;
  configuration.assetGroupTypes = {PHAssetCollectionSubtypeSmartAlbumUserLibrary,
                                   PHAssetCollectionSubtypeAlbumRegular};
  auto manager = AKImageGroupDataManager::initWithConfiguration(configuration);
  auto observer = std::make_shared<RecordingObserver>();
  manager->add(observer);

  // Before the first load a change is ignored.
  ASSERT_TRUE(WriteFixtureImage(path("early.jpg"), "public.jpeg", 8, 8));
  synchronize();
  EXPECT_TRUE(observer->events.empty());

  auto ids = load(manager, 2).back();
  ASSERT_EQ(ids.size(), 2u);
  std::string libraryId = ids[0], trips = ids[1];

  // A photo removed from an album that lies in two loaded albums: each hears.
  ASSERT_EQ(unlink(path("Trips/a.jpg").c_str()), 0);
  synchronize();
  std::vector<std::string> expected = {"removeAssets " + libraryId + " 1", "complete " + libraryId,
                                       "removeAssets " + trips + " 1", "complete " + trips};
  std::sort(expected.begin(), expected.end());
  auto events = observer->events;
  std::sort(events.begin(), events.end());
  EXPECT_EQ(events, expected);
  ASSERT_EQ(observer->removedAssets.size(), 2u);
  EXPECT_NE(observer->removedAssets[0], observer->removedAssets[1]);
  EXPECT_EQ(manager->fetchGroup(trips)->totalCount(), 0);

  // A new file: an insertion; a new folder: a new album appended at the end.
  observer->events.clear();
  ASSERT_TRUE(WriteFixtureImage(path("new.jpg"), "public.jpeg", 8, 8));
  NSFileManager::defaultManager()->createDirectoryAtPath(path("Zoo"), true);
  synchronize();
  ASSERT_GE(observer->events.size(), 3u);
  EXPECT_EQ(observer->events[0], "insertAssets " + libraryId + " 1");
  EXPECT_EQ(observer->events[1], "complete " + libraryId);
  auto now = manager->groupIds();
  ASSERT_EQ(now->size(), 3u);
  EXPECT_EQ(observer->events.back(), "insertGroups " + now->back());
  EXPECT_EQ(title(manager, now->back()), "Zoo");

  // A renamed album is updated; a deleted one removed (its id stays listed).
  observer->events.clear();
  ASSERT_EQ(rename(path("Zoo").c_str(), path("Zebra").c_str()), 0);
  synchronize();
  EXPECT_EQ(observer->events, std::vector<std::string>{"update " + now->back()});
  EXPECT_EQ(title(manager, now->back()), "Zebra");
  observer->events.clear();
  ASSERT_EQ(rmdir(path("Zebra").c_str()), 0);
  synchronize();
  EXPECT_EQ(observer->events, std::vector<std::string>{"remove " + now->back()});
  EXPECT_FALSE(manager->fetchGroup(now->back()));
  EXPECT_EQ(manager->groupIds()->size(), 3u);

  // A modified photo changes nothing but completes its albums.
  observer->events.clear();
  ASSERT_EQ(setxattr(path("new.jpg").c_str(), "user.qx.favorite", "1", 1, 0), 0);
  synchronize();
  EXPECT_EQ(observer->events, std::vector<std::string>{"complete " + libraryId});
  manager->invalidate();

  // Once invalidated the manager no longer follows the library.
  observer->events.clear();
  NSFileManager::defaultManager()->createDirectoryAtPath(path("Later"), true);
  ASSERT_TRUE(WriteFixtureImage(path("later.jpg"), "public.jpeg", 8, 8));
  synchronize();
  EXPECT_TRUE(observer->events.empty());
  EXPECT_TRUE(manager->groupIds()->empty());
}

}  // namespace group_data_manager_test
