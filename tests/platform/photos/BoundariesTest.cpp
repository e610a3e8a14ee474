// Rounding and limit boundaries of the photo library stand-in: the scaled
// size of a requested image, the smaller degraded image of an opportunistic
// request, and the thirty days of the recently-added album.

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <vector>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/foundation/Value.h"
#include "platform/photos/PHAsset.h"
#include "platform/photos/PHAssetCollection.h"
#include "platform/photos/PHImageManager.h"
#include "platform/uikit/UIImage.h"
#include "support/photos/PhotoLibraryFixture.h"

namespace boundaries_test {

class PhotosBoundariesTest : public PhotoLibraryTest {};

TEST_F(PhotosBoundariesTest, ScaledSizeRoundsEachSideToTheNearestPixelAndKeepsOne) {
  struct Row {
    CGSize image, target;
    PHImageContentMode mode;
    CGSize expected;
  } rows[] = {
      {{30, 20}, {16, 16}, PHImageContentModeAspectFit, {16, 11}},   // 10.67 rounds up
      {{30, 20}, {17, 17}, PHImageContentModeAspectFit, {17, 11}},   // 11.33 rounds down
      {{30, 20}, {15, 15}, PHImageContentModeAspectFill, {23, 15}},  // 22.5 rounds up
      {{30, 20}, {30, 30}, PHImageContentModeAspectFit, {30, 20}},   // scale exactly 1
      {{30, 20}, {29, 29}, PHImageContentModeAspectFit, {29, 19}},
      {{1000, 1}, {10, 10}, PHImageContentModeAspectFit, {10, 1}},  // 0.01 of a row: one
      {{30, 20}, {0, 10}, PHImageContentModeAspectFit, {30, 20}},
  };
  for (const Row& r : rows) {
    const CGSize s = PHScaledImageSize(r.image, r.target, r.mode);
    EXPECT_EQ(s.width, r.expected.width) << r.image.width << "x" << r.image.height << " in "
                                         << r.target.width << "x" << r.target.height;
    EXPECT_EQ(s.height, r.expected.height) << r.image.width << "x" << r.image.height << " in "
                                           << r.target.width << "x" << r.target.height;
  }
}

TEST_F(PhotosBoundariesTest, TheDegradedImageIsAQuarterRoundedToTheNearestPixel) {
  ASSERT_TRUE(WriteFixtureImage(path("a.png"), "public.png", 60, 36));
  auto asset = PHAsset::fetchAssetsWithOptions(nullptr)->firstObject();
  ASSERT_TRUE(asset);
  auto manager = std::make_shared<PHCachingImageManager>();
  struct Row {
    CGSize target;
    size_t degradedWidth, degradedHeight;
  } rows[] = {
      {{30, 18}, 8, 5},   // a quarter is 7.5 x 4.5: both round up
      {{60, 36}, 15, 9},  // exact
      {{2, 2}, 1, 1},     // never below a pixel
  };
  for (const Row& r : rows) {
    std::mutex mutex;
    std::vector<UIImagePtr> degraded;
    auto done = dispatch_semaphore_create(0);
    manager->requestImageForAsset(asset, r.target, PHImageContentModeAspectFit, nullptr,
                                  [&, done](const UIImagePtr& image, const Value& info) {
                                    const Value* d = info.find(PHImageResultIsDegradedKey);
                                    if (d && d->asBool()) {
                                      std::lock_guard<std::mutex> lock(mutex);
                                      degraded.push_back(image);
                                    } else {
                                      dispatch_semaphore_signal(done);
                                    }
                                  });
    ASSERT_EQ(dispatch_semaphore_wait(done, dispatch_time_after(kTestTimeoutSeconds)), 0);
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(degraded.size(), 1u) << r.target.width;
    EXPECT_EQ(degraded[0]->CGImage()->width(), r.degradedWidth) << r.target.width;
    EXPECT_EQ(degraded[0]->CGImage()->height(), r.degradedHeight) << r.target.width;
  }
}

TEST_F(PhotosBoundariesTest, RecentlyAddedKeepsAnAssetForExactlyThirtyDays) {
  // Whole seconds on the wall clock, so the age can equal the limit exactly.
  const double wall = PlatformClock::wallNow();
  PlatformClock::advance(std::ceil(wall) - wall);
  ASSERT_TRUE(WriteFixtureImage(path("a.jpg"), "public.jpeg", 8, 8));
  PHPhotoLibrary::sharedPhotoLibrary()->synchronize();
  auto recentCount = [] {
    auto album = PHAssetCollection::fetchAssetCollectionsWithType(
        PHAssetCollectionTypeSmartAlbum, PHAssetCollectionSubtypeSmartAlbumRecentlyAdded, nullptr);
    return PHAsset::fetchAssetsInAssetCollection(album->firstObject(), nullptr)->count();
  };
  constexpr double kDays30 = 30 * 24 * 3600.0;
  struct Row {
    double age;
    int64_t count;
  } rows[] = {{kDays30 - 1, 1}, {kDays30, 1}, {kDays30 + 1, 0}};
  double age = 0;
  for (const Row& r : rows) {
    PlatformClock::advance(r.age - age);
    age = r.age;
    EXPECT_EQ(recentCount(), r.count) << r.age;
  }
}

TEST_F(PhotosBoundariesTest, AFetchLimitOfZeroMeansNoCap) {
  for (const char* name : {"a.png", "b.png", "c.png"}) {
    ASSERT_TRUE(WriteFixtureImage(path(name), "public.png", 4, 4));
  }
  struct Row {
    int64_t limit, count;
  } rows[] = {{0, 3}, {-1, 3}, {1, 1}, {2, 2}, {3, 3}, {4, 3}};
  for (const Row& r : rows) {
    auto options = std::make_shared<PHFetchOptions>();
    options->fetchLimit = r.limit;
    EXPECT_EQ(PHAsset::fetchAssetsWithOptions(options)->count(), r.count) << r.limit;
  }
}

TEST_F(PhotosBoundariesTest, CreationDatesTakeOffsetsUpToFourteenHoursAndFiftyNineMinutes) {
  constexpr double kNoonUTC = 1577880000;  // 2020-01-01 12:00:00 UTC
  struct Row {
    const char* offset;
    double shift;  // 0: the offset is refused and the time read as UTC
  } rows[] = {{"+14:00", 14 * 3600}, {"+15:00", 0},           {"-14:00", -14 * 3600},
              {"+05:59", 5 * 3600 + 59 * 60}, {"+05:60", 0}, {"+00:00", 0}};
  int i = 0;
  for (const Row& r : rows) {
    const std::string name = "dated" + std::to_string(i++) + ".jpg";
    ASSERT_TRUE(WriteFixtureImage(path(name), "public.jpeg", 4, 4, 1, std::nullopt,
                                  std::string("2020:01:01 12:00:00") + r.offset));
    PHPhotoLibrary::sharedPhotoLibrary()->synchronize();
    PHAssetPtr asset;
    const auto all = PHAsset::fetchAssetsWithOptions(nullptr);
    for (auto& a : all->objects()) {
      if (a->record().relativePath == name) asset = a;
    }
    ASSERT_TRUE(asset) << name;
    EXPECT_EQ(asset->creationDate(), kNoonUTC - r.shift) << r.offset;
  }
}

}  // namespace boundaries_test
