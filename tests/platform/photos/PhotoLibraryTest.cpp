#include <spawn.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fstream>

#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/photos/PHAssetCreationRequest.h"
#include "platform/uikit/UIImage.h"
#include "platform/foundation/NSThread.h"
#include "support/photos/PhotoLibraryFixture.h"

namespace photo_library_test {

namespace {

std::vector<std::string> titles(const PHAssetCollectionFetchResultPtr& result) {
  std::vector<std::string> out;
  for (auto& c : result->objects()) out.push_back(c->localizedTitle().value_or(""));
  return out;
}

PHAssetPtr assetNamed(const std::string& name) {
  auto all = PHAsset::fetchAssetsWithOptions(nullptr);
  for (auto& asset : all->objects()) {
    if (asset->record().relativePath == name) return asset;
  }
  return nullptr;
}

// Runs a program found on the PATH as a process of its own and waits for it.
bool RunProgram(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TEST_F(PhotoLibraryTest, ScanReadsMetadataAlbumsAndSmartAlbums) {
  NSFileManager::defaultManager()->createDirectoryAtPath(path("Trips"), true);
  ASSERT_TRUE(WriteFixtureImage(path("turned.jpg"), "public.jpeg", 40, 20, 6,
                                FixtureGPS{-33.5, 151.25, 12}, "2020:01:02 03:04:05"));
  ASSERT_TRUE(WriteFixtureImage(path("Screenshot 1.png"), "public.png", 8, 8, 1, std::nullopt,
                                "2021:01:01 00:00:00"));
  ASSERT_TRUE(WriteFixtureImage(path("Trips/beach.jpg"), "public.jpeg", 16, 16, 1, std::nullopt,
                                "2019:06:01 10:00:00"));
  ASSERT_TRUE(WriteFixtureVideo(path("clip.mp4"), 32, 24, 5, "2022-03-04T05:06:07Z"));
  std::ofstream(path("notes.txt")) << "not media";
  std::ofstream(path("broken.jpg")) << "not a jpeg";

  auto all = PHAsset::fetchAssetsWithOptions(nullptr);
  ASSERT_EQ(all->count(), 4);
  // Creation-date order: EXIF dates for images, the container's for videos.
  EXPECT_EQ(all->objectAtIndex(0)->record().relativePath, "Trips/beach.jpg");
  EXPECT_EQ(all->objectAtIndex(1)->record().relativePath, "turned.jpg");
  EXPECT_EQ(all->lastObject()->record().relativePath, "clip.mp4");

  auto turned = all->objectAtIndex(1);
  EXPECT_EQ(turned->mediaType(), PHAssetMediaTypeImage);
  EXPECT_EQ(turned->pixelWidth(), 20);  // orientation 6 stands the picture up
  EXPECT_EQ(turned->pixelHeight(), 40);
  EXPECT_EQ(turned->creationDate(), 1577934245.0);
  ASSERT_TRUE(turned->location());
  EXPECT_NEAR(turned->location()->coordinate().latitude, -33.5, 1e-6);
  EXPECT_NEAR(turned->location()->coordinate().longitude, 151.25, 1e-6);
  EXPECT_NEAR(turned->location()->altitude(), 12, 1e-6);
  EXPECT_EQ(turned->uniformTypeIdentifier(), "public.jpeg");
  auto resources = PHAssetResource::assetResourcesForAsset(*turned);
  ASSERT_EQ(resources.size(), 1u);
  EXPECT_EQ(resources[0]->type(), PHAssetResourceTypePhoto);
  EXPECT_EQ(resources[0]->originalFilename(), "turned.jpg");

  auto video = all->lastObject();
  EXPECT_EQ(video->mediaType(), PHAssetMediaTypeVideo);
  EXPECT_EQ(video->pixelWidth(), 32);
  EXPECT_NEAR(video->duration(), 0.45, 0.06);  // five frames at 10 per second
  EXPECT_EQ(video->creationDate(), 1646370367.0);
  EXPECT_FALSE(video->location());

  auto smart = PHAssetCollection::fetchAssetCollectionsWithType(
      PHAssetCollectionTypeSmartAlbum, PHAssetCollectionSubtypeAny, nullptr);
  EXPECT_EQ(titles(smart), (std::vector<std::string>{"Recents", "Favorites", "Videos",
                                                    "Recently Added", "Screenshots", "Animated"}));
  auto videos = PHAssetCollection::fetchAssetCollectionsWithType(
      PHAssetCollectionTypeSmartAlbum, PHAssetCollectionSubtypeSmartAlbumVideos, nullptr);
  ASSERT_EQ(videos->count(), 1);
  EXPECT_EQ(PHAsset::fetchAssetsInAssetCollection(videos->firstObject(), nullptr)->count(), 1);
  auto shots = PHAssetCollection::fetchAssetCollectionsWithType(
      PHAssetCollectionTypeSmartAlbum, PHAssetCollectionSubtypeSmartAlbumScreenshots, nullptr);
  auto shotAssets = PHAsset::fetchAssetsInAssetCollection(shots->firstObject(), nullptr);
  ASSERT_EQ(shotAssets->count(), 1);
  EXPECT_EQ(shotAssets->firstObject()->record().relativePath, "Screenshot 1.png");

  auto albums = PHAssetCollection::fetchAssetCollectionsWithType(
      PHAssetCollectionTypeAlbum, PHAssetCollectionSubtypeAlbumRegular, nullptr);
  EXPECT_EQ(titles(albums), std::vector<std::string>{"Trips"});
  auto trip = PHAsset::fetchAssetsInAssetCollection(albums->firstObject(), nullptr);
  ASSERT_EQ(trip->count(), 1);
  EXPECT_EQ(trip->firstObject()->record().relativePath, "Trips/beach.jpg");

  // Options filter, sort and cap.
  auto options = std::make_shared<PHFetchOptions>();
  options->predicate = NSPredicate::predicateWithBlock("mediaType == 1", [](auto& o) {
    return std::static_pointer_cast<PHAsset>(o)->mediaType() == PHAssetMediaTypeImage;
  });
  options->sortDescriptors = {{"creationDate", false}};
  options->fetchLimit = 2;
  auto images = PHAsset::fetchAssetsWithOptions(options);
  ASSERT_EQ(images->count(), 2);
  EXPECT_EQ(images->firstObject()->record().relativePath, "Screenshot 1.png");
  EXPECT_EQ(images->lastObject()->record().relativePath, "turned.jpg");
}

TEST_F(PhotoLibraryTest, EveryTurningOrientationSwapsTheSides) {
  for (int exif = 1; exif <= 8; ++exif) {
    ASSERT_TRUE(WriteFixtureImage(path("o" + std::to_string(exif) + ".jpg"), "public.jpeg", 40, 20, exif));
  }
  auto all = PHAsset::fetchAssetsWithOptions(nullptr);
  ASSERT_EQ(all->count(), 8);
  for (auto& asset : all->objects()) {
    const int exif = asset->record().relativePath[1] - '0';
    EXPECT_EQ(asset->pixelWidth(), exif >= 5 ? 20 : 40) << exif;
    EXPECT_EQ(asset->pixelHeight(), exif >= 5 ? 40 : 20) << exif;
  }
}

TEST_F(PhotoLibraryTest, AFileMovedAndFavouritedKeepsItsIdentifierAndTakesTheMark) {
  ASSERT_TRUE(WriteFixtureImage(path("a.jpg"), "public.jpeg", 8, 8));
  auto before = assetNamed("a.jpg");
  ASSERT_TRUE(before);
  EXPECT_FALSE(before->isFavorite());
  NSFileManager::defaultManager()->createDirectoryAtPath(path("Trips"), true);
  ASSERT_EQ(std::rename(path("a.jpg").c_str(), path("Trips/a.jpg").c_str()), 0);
  ASSERT_EQ(setxattr(path("Trips/a.jpg").c_str(), "user.qx.favorite", "1", 1, 0), 0);
  PHPhotoLibrary::sharedPhotoLibrary()->synchronize();
  auto after = assetNamed("Trips/a.jpg");
  ASSERT_TRUE(after);
  EXPECT_EQ(after->localIdentifier(), before->localIdentifier());
  EXPECT_TRUE(after->isFavorite());
  auto favorites = PHAssetCollection::fetchAssetCollectionsWithType(
      PHAssetCollectionTypeSmartAlbum, PHAssetCollectionSubtypeSmartAlbumFavorites, nullptr);
  EXPECT_EQ(PHAsset::fetchAssetsInAssetCollection(favorites->firstObject(), nullptr)->count(), 1);
}

TEST_F(PhotoLibraryTest, TheKindOfMediaComesFromTheContentNotTheName) {
  ASSERT_TRUE(WriteFixtureImage(folder_->path() + "/photo.jpg", "public.jpeg", 12, 8));
  ASSERT_TRUE(WriteFixtureVideo(folder_->path() + "/clip.mp4", 32, 24, 5));
  ASSERT_EQ(std::rename((folder_->path() + "/photo.jpg").c_str(), path("photo.mov").c_str()), 0);
  ASSERT_EQ(std::rename((folder_->path() + "/clip.mp4").c_str(), path("clip.jpg").c_str()), 0);
  auto photo = assetNamed("photo.mov");
  ASSERT_TRUE(photo);
  EXPECT_EQ(photo->mediaType(), PHAssetMediaTypeImage);
  EXPECT_EQ(photo->uniformTypeIdentifier(), "public.jpeg");
  EXPECT_EQ(photo->pixelWidth(), 12);
  auto clip = assetNamed("clip.jpg");
  ASSERT_TRUE(clip);
  EXPECT_EQ(clip->mediaType(), PHAssetMediaTypeVideo);
  EXPECT_GT(clip->duration(), 0.3);
  EXPECT_EQ(clip->pixelWidth(), 32);
}

TEST_F(PhotoLibraryTest, ExifDatesTakeTheirOffsetFromUTC) {
  // 2020-01-01 12:00:00 UTC is 1577880000.
  const std::pair<const char*, double> cases[] = {{"2020:01:01 12:00:00", 1577880000.0},
                                                  {"2020:01:01 12:00:00+02:00", 1577880000.0 - 7200},
                                                  {"2020:01:01 12:00:00-05:30", 1577880000.0 + 19800}};
  int i = 0;
  for (auto& [date, expected] : cases) {
    ASSERT_TRUE(WriteFixtureImage(path("d" + std::to_string(i++) + ".jpg"), "public.jpeg", 8, 8, 1,
                                  std::nullopt, date));
  }
  for (i = 0; i < 3; ++i) {
    auto asset = assetNamed("d" + std::to_string(i) + ".jpg");
    ASSERT_TRUE(asset);
    EXPECT_EQ(asset->creationDate(), cases[i].second) << cases[i].first;
  }
}

TEST_F(PhotoLibraryTest, RecentlyAddedListsInTheOrderOfAdditionForThirtyDays) {
  auto recentlyAdded = [] {
    auto album = PHAssetCollection::fetchAssetCollectionsWithType(
        PHAssetCollectionTypeSmartAlbum, PHAssetCollectionSubtypeSmartAlbumRecentlyAdded, nullptr);
    std::vector<std::string> names;
    auto assets = PHAsset::fetchAssetsInAssetCollection(album->firstObject(), nullptr);
    for (auto& asset : assets->objects()) {
      names.push_back(asset->record().relativePath);
    }
    return names;
  };
  // Added in an order that is neither the order of their dates nor its reverse.
  const std::pair<const char*, const char*> files[] = {
      {"late.jpg", "2023:01:01 10:00:00"}, {"early.jpg", "2019:01:01 10:00:00"},
      {"middle.jpg", "2021:01:01 10:00:00"}};
  for (auto& [name, date] : files) {
    ASSERT_TRUE(WriteFixtureImage(path(name), "public.jpeg", 8, 8, 1, std::nullopt, date));
    PHPhotoLibrary::sharedPhotoLibrary()->synchronize();
    PlatformClock::advance(60);
  }
  EXPECT_EQ(recentlyAdded(), (std::vector<std::string>{"late.jpg", "early.jpg", "middle.jpg"}));
  PlatformClock::advance(30 * 24 * 3600.0 - 90);
  EXPECT_EQ(recentlyAdded(), (std::vector<std::string>{"middle.jpg"}));
  PlatformClock::advance(60);
  EXPECT_TRUE(recentlyAdded().empty());
}

TEST_F(PhotoLibraryTest, IdentifiersSurviveRestartsRenamesAndACorruptIndex) {
  ASSERT_TRUE(WriteFixtureImage(path("a.jpg"), "public.jpeg", 8, 8));
  ASSERT_TRUE(WriteFixtureImage(path("b.png"), "public.png", 8, 8));
  std::string a = assetNamed("a.jpg")->localIdentifier();
  std::string b = assetNamed("b.png")->localIdentifier();
  EXPECT_NE(a, b);

  SingletonResets::runAll();  // a new process, as far as the library can tell
  EXPECT_EQ(assetNamed("a.jpg")->localIdentifier(), a);

  NSFileManager::defaultManager()->createDirectoryAtPath(path("Album"), true);
  ASSERT_EQ(rename(path("a.jpg").c_str(), path("Album/moved.jpg").c_str()), 0);
  SingletonResets::runAll();
  auto moved = assetNamed("Album/moved.jpg");
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->localIdentifier(), a);
  EXPECT_FALSE(assetNamed("a.jpg"));
  EXPECT_EQ(PHAsset::fetchAssetsWithLocalIdentifiers({b, "unknown", a}, nullptr)->count(), 2);

  // A damaged index is rebuilt from the folder.
  SingletonResets::runAll();
  std::ofstream(path(".photolibrary.sqlite"), std::ios::trunc) << "garbage that is no database";
  auto library = PHPhotoLibrary::sharedPhotoLibrary();
  EXPECT_TRUE(library->rebuiltIndex());
  EXPECT_EQ(PHAsset::fetchAssetsWithOptions(nullptr)->count(), 2);
  EXPECT_TRUE(assetNamed("Album/moved.jpg"));
}

TEST_F(PhotoLibraryTest, FilesWrittenByAnotherProcessReachObserversAsChanges) {
  ASSERT_TRUE(WriteFixtureImage(path("first.jpg"), "public.jpeg", 8, 8, 1, std::nullopt,
                                "2020:01:01 00:00:00"));
  auto library = PHPhotoLibrary::sharedPhotoLibrary();
  auto all = PHAsset::fetchAssetsWithOptions(nullptr);
  auto observer = std::make_shared<ChangeCollector>();
  library->registerChangeObserver(observer);

  // Written elsewhere, then moved in by another process, as a copying
  // program would.
  std::string outside = folder_->path() + "/outside.jpg";
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(WriteFixtureImage(outside, "public.jpeg", 8, 8));
    ASSERT_TRUE(RunProgram({"mv", outside, path("new" + std::to_string(i) + ".jpg")}));
  }
  // The moves may come as one change or several; each change's details
  // against the fetch from before all of them hold what has come so far.
  PHAssetFetchResultPtr after;
  for (size_t changes = 1;; ++changes) {
    ASSERT_TRUE(observer->waitForChanges(changes));
    auto details = observer->last()->changeDetailsForFetchResult(all);
    ASSERT_TRUE(details);
    EXPECT_TRUE(details->removedObjects.empty());
    ASSERT_LE(details->insertedObjects.size(), 3u);
    if (details->insertedObjects.size() == 3) {
      after = details->fetchResultAfterChanges;
      break;
    }
  }
  EXPECT_EQ(after->count(), 4);
  EXPECT_EQ(after->firstObject()->record().relativePath, "first.jpg");

  // A deletion is a removal; a favourite mark is a change.
  size_t seen = observer->count();
  ASSERT_TRUE(RunProgram({"rm", path("first.jpg")}));  // by another process
  ASSERT_TRUE(observer->waitForChanges(seen + 1));
  PHChangePtr removal = observer->at(seen);
  auto details = removal->changeDetailsForFetchResult(after);
  ASSERT_TRUE(details);
  ASSERT_EQ(details->removedObjects.size(), 1u);
  EXPECT_EQ(details->removedObjects[0]->record().relativePath, "first.jpg");
  EXPECT_EQ(details->removedIndexes, std::vector<int64_t>{0});
  EXPECT_TRUE(details->insertedObjects.empty());
  after = details->fetchResultAfterChanges;

  seen = observer->count();
  ASSERT_EQ(setxattr(path("new1.jpg").c_str(), "user.qx.favorite", "1", 1, 0), 0);
  ASSERT_TRUE(observer->waitForChanges(seen + 1));
  auto favourite = observer->at(seen)->changeDetailsForFetchResult(after);
  ASSERT_TRUE(favourite);
  ASSERT_EQ(favourite->changedObjects.size(), 1u);
  EXPECT_TRUE(favourite->changedObjects[0]->isFavorite());
  library->unregisterChangeObserver(observer.get());
}

TEST_F(PhotoLibraryTest, ChangeRequestsWriteRealFilesUnderTheirPlaceholders) {
  auto library = PHPhotoLibrary::sharedPhotoLibrary();
  std::string source = folder_->path() + "/movie.mp4";
  ASSERT_TRUE(WriteFixtureVideo(source, 16, 16, 3));
  std::string pngPath = folder_->path() + "/data.png";
  ASSERT_TRUE(WriteFixtureImage(pngPath, "public.png", 6, 4, 1, std::nullopt, std::nullopt, true));
  auto png = NSData::dataWithContentsOfFile(pngPath);

  std::vector<std::string> placeholders;
  auto done = dispatch_semaphore_create(0);
  bool success = false;
  library->performChanges(
      [&] {
        auto fromImage = PHAssetChangeRequest::creationRequestForAssetFromImage(
            UIImage::imageWithCGImage(MakeFixtureBitmap(10, 10)));
        auto fromVideo = PHAssetChangeRequest::creationRequestForAssetFromVideoAtFileURL(
            NSURL::fileURLWithPath(source));
        auto fromData = PHAssetCreationRequest::creationRequestForAsset();
        fromData->addResourceWithType(PHAssetResourceTypePhoto, png,
                                      {std::string("../escape/shot.png"), std::nullopt, false});
        for (auto* r : {fromImage.get(), fromVideo.get(), static_cast<PHAssetChangeRequest*>(fromData.get())}) {
          placeholders.push_back(r->placeholderForCreatedAsset()->localIdentifier());
        }
      },
      [&, done](bool ok, NSErrorPtr error) {
        success = ok && !error;
        dispatch_semaphore_signal(done);
      });
  ASSERT_EQ(dispatch_semaphore_wait(done, dispatch_time_after(kTestTimeoutSeconds)), 0);
  ASSERT_TRUE(success);
  auto created = PHAsset::fetchAssetsWithLocalIdentifiers(placeholders, nullptr);
  ASSERT_EQ(created->count(), 3);
  EXPECT_EQ(created->objectAtIndex(0)->uniformTypeIdentifier(), "public.jpeg");
  EXPECT_EQ(created->objectAtIndex(1)->mediaType(), PHAssetMediaTypeVideo);
  // Stored as given (bytes unchanged), under a name that stays in the folder.
  EXPECT_EQ(created->objectAtIndex(2)->record().relativePath, "escapeshot.png");
  EXPECT_EQ(NSData::dataWithContentsOfFile(created->objectAtIndex(2)->filePath())->vector(), png->vector());

  // A change with one bad resource writes nothing at all.
  size_t before = PHAsset::fetchAssetsWithOptions(nullptr)->count();
  NSErrorPtr failure;
  library->performChanges(
      [&] {
        PHAssetChangeRequest::creationRequestForAssetFromImage(
            UIImage::imageWithCGImage(MakeFixtureBitmap(4, 4)));
        PHAssetCreationRequest::creationRequestForAsset()->addResourceWithType(
            PHAssetResourceTypePhoto, NSData::dataWithBytes(Bytes{1, 2, 3}));
      },
      [&, done](bool ok, NSErrorPtr error) {
        success = ok;
        failure = error;
        dispatch_semaphore_signal(done);
      });
  ASSERT_EQ(dispatch_semaphore_wait(done, dispatch_time_after(kTestTimeoutSeconds)), 0);
  EXPECT_FALSE(success);
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->domain(), PHPhotosErrorDomain);
  library->synchronize();
  EXPECT_EQ(PHAsset::fetchAssetsWithOptions(nullptr)->count(), static_cast<int64_t>(before));
  // Outside a change block requests are refused.
  EXPECT_FALSE(PHAssetCreationRequest::creationRequestForAsset());
}

TEST_F(PhotoLibraryTest, AuthorizationFollowsTheEnvironmentAndAnswersOffTheCaller) {
  EXPECT_EQ(PHPhotoLibrary::authorizationStatus(), PHAuthorizationStatusAuthorized);
  setenv("QX_PHOTO_AUTHORIZATION", "limited", 1);
  SingletonResets::runAll();
  EXPECT_EQ(PHPhotoLibrary::authorizationStatus(), PHAuthorizationStatusLimited);

  setenv("QX_PHOTO_AUTHORIZATION", "notDetermined", 1);
  setenv("QX_PHOTO_AUTHORIZATION_PROMPT", "denied", 1);
  SingletonResets::runAll();
  EXPECT_EQ(PHPhotoLibrary::authorizationStatus(), PHAuthorizationStatusNotDetermined);
  auto answered = dispatch_semaphore_create(0);
  std::atomic<int64_t> status{-1};
  std::atomic<bool> onMain{true};
  PHPhotoLibrary::requestAuthorization([&, answered](PHAuthorizationStatus s) {
    status = s;
    onMain = NSThread::isMainThread();
    dispatch_semaphore_signal(answered);
  });
  ASSERT_EQ(dispatch_semaphore_wait(answered, dispatch_time_after(kTestTimeoutSeconds)), 0);
  EXPECT_EQ(status, PHAuthorizationStatusDenied);
  EXPECT_FALSE(onMain);
  EXPECT_EQ(PHPhotoLibrary::authorizationStatus(), PHAuthorizationStatusDenied);
}

TEST_F(PhotoLibraryTest, TheFolderComesFromTheEnvironmentElseTheContainerAndABurstIsOneChange) {
  EXPECT_EQ(PHPhotoLibrary::defaultFolder(), library_);
  unsetenv("QX_PHOTO_LIBRARY");
  std::string fallback = PHPhotoLibrary::defaultFolder();
  EXPECT_EQ(fallback, NSFileManager::defaultManager()->URLsForDirectory(NSSearchPathDirectory::Library).front()->path() +
                          "/PhotoLibrary");
  setenv("QX_PHOTO_LIBRARY", library_.c_str(), 1);

  auto library = PHPhotoLibrary::sharedPhotoLibrary();
  auto before = PHAsset::fetchAssetsWithOptions(nullptr);
  auto observer = std::make_shared<ChangeCollector>();
  library->registerChangeObserver(observer);
  // Made elsewhere, then moved in at once: one burst of file events.
  std::vector<std::string> made;
  for (int i = 0; i < 5; ++i) {
    made.push_back(folder_->path() + "/burst" + std::to_string(i) + ".jpg");
    ASSERT_TRUE(WriteFixtureImage(made.back(), "public.jpeg", 8, 8));
  }
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(rename(made[i].c_str(), path("burst" + std::to_string(i) + ".jpg").c_str()), 0);
  }
  ASSERT_TRUE(observer->waitForChanges(1));
  auto details = observer->at(0)->changeDetailsForFetchResult(before);
  ASSERT_TRUE(details);
  EXPECT_EQ(details->insertedObjects.size(), 5u);
  EXPECT_EQ(observer->count(), 1u);
  library->unregisterChangeObserver(observer.get());
}

}  // namespace photo_library_test
