#include "AKImagePickerController/data/AKAsset.h"
#include "AKImagePickerController/data/AKAssetGroup.h"
#include "AKImagePickerController/data/PickerTestSupport.h"
#include "platform/avfoundation/AVAsset.h"

namespace asset_model_test {

class AssetModelTest : public PickerTest {};

TEST_F(AssetModelTest, LibraryAssetsCarryTheirMetadataAndImageAssetsAFreshIdentity) {
  ASSERT_TRUE(WriteFixtureImage(path("a.jpg"), "public.jpeg", 30, 20, 1, FixtureGPS{10, 20},
                                "2020:01:01 00:00:00"));
  ASSERT_TRUE(WriteFixtureVideo(path("b.mp4"), 16, 16, 5, "2021-01-01T00:00:00Z"));
  auto all = PHAsset::fetchAssetsWithOptions(nullptr);
  auto photo = AKAsset::initWithOriginalAsset(all->objectAtIndex(0));
  auto video = AKAsset::initWithOriginalAsset(all->objectAtIndex(1));
  EXPECT_EQ(photo->type(), AKAssetType::photo);
  EXPECT_EQ(photo->duration(), 0);
  EXPECT_EQ(photo->pixelWidth(), 30);
  ASSERT_TRUE(photo->location());
  EXPECT_NEAR(photo->location()->coordinate().latitude, 10, 1e-9);
  EXPECT_EQ(photo->localIdentifier(), all->objectAtIndex(0)->localIdentifier());
  EXPECT_EQ(video->type(), AKAssetType::video);
  EXPECT_GT(video->duration(), 0.3);

  // Equal by identifier; an image asset never equals a library asset.
  EXPECT_TRUE(photo->isEqual(*AKAsset::initWithOriginalAsset(all->objectAtIndex(0))));
  EXPECT_FALSE(photo->isEqual(*video));

  auto bitmap = UIImage::imageWithCGImage(MakeFixtureBitmap(8, 6), 2, UIImageOrientationUp);
  auto first = AKAsset::initWithImage(bitmap);
  auto second = AKAsset::initWithImage(bitmap);
  EXPECT_FALSE(first->originalAsset());
  EXPECT_FALSE(first->location());
  EXPECT_EQ(first->pixelWidth(), 8);  // points times scale
  EXPECT_EQ(first->pixelHeight(), 6);
  // Each wrapper has its own identifier (it names its export folder), even
  // for one image; the two still compare equal by their image.
  EXPECT_NE(first->localIdentifier(), second->localIdentifier());
  EXPECT_TRUE(first->isEqual(*second));
  EXPECT_EQ(first->hash(), second->hash()) << "equal objects hash alike";
  EXPECT_EQ(photo->hash(), AKAsset::initWithOriginalAsset(all->objectAtIndex(0))->hash());
  first->setLocalIdentifier(photo->localIdentifier());
  EXPECT_FALSE(first->isEqual(*photo));
  EXPECT_FALSE(photo->isEqual(*first));

  // Export results read as their defaults until set; absent removes them.
  EXPECT_EQ(photo->fileSize(), 0u);
  EXPECT_EQ(photo->progress(), 0);
  EXPECT_FALSE(photo->localTemporaryPath());
  EXPECT_FALSE(photo->fileName());
  EXPECT_FALSE(photo->error());
  photo->setFileName("x.jpg");
  photo->setLocalTemporaryPath(NSURL::fileURLWithPath("/tmp/x.jpg", false));
  EXPECT_EQ(*photo->fileName(), "x.jpg");
  photo->setFileName(std::nullopt);
  photo->setLocalTemporaryPath(nullptr);
  EXPECT_FALSE(photo->fileName());
  EXPECT_FALSE(photo->localTemporaryPath());
  EXPECT_EQ(AKAssetTypeFromRawValue(1), AKAssetType::video);
  EXPECT_FALSE(AKAssetTypeFromRawValue(2));
}

TEST_F(AssetModelTest, GroupCountsAndFileSizeEstimates) {
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(WriteFixtureImage(path("p" + std::to_string(i) + ".png"), "public.png", 4, 4));
  AKAssetGroup group("g");
  EXPECT_EQ(group.totalCount(), 0);
  group.setFetchResult(PHAsset::fetchAssetsWithOptions(nullptr));
  EXPECT_EQ(group.totalCount(), 3);
  // The cap counts from one asset up; 0 and below mean none.
  const std::pair<int64_t, int64_t> caps[] = {{0, 3}, {-2, 3}, {1, 1}, {2, 2}, {3, 3}, {50, 3}};
  for (const auto& [cap, total] : caps) {
    group.setDisplayCount(cap);
    EXPECT_EQ(group.totalCount(), total) << cap;
  }

  std::string movie = path("m.mp4");
  ASSERT_TRUE(WriteFixtureVideo(movie, 16, 16, 3));
  EXPECT_EQ(AKCalculateFileSize(AVURLAsset::URLAssetWithURL(NSURL::fileURLWithPath(movie))),
            static_cast<float>(NSData::dataWithContentsOfFile(movie)->length()));
  AVCompositionTrackSegment segment{NSURL::fileURLWithPath(movie), 1, {0, 2}, {0, 2}};
  auto composition = std::make_shared<AVComposition>(std::vector<AVCompositionTrackPtr>{
      std::make_shared<AVCompositionTrack>(1, AVMediaTypeVideo, 8000000.f, CGSizeMake(16, 16),
                                           std::vector<AVCompositionTrackSegment>{segment})});
  EXPECT_EQ(AKCalculateFileSize(composition), 2000000.f);
  EXPECT_EQ(AKCalculateFileSize(std::make_shared<AVComposition>(std::vector<AVCompositionTrackPtr>{})), 0.f);
  EXPECT_EQ(AKCalculateFileSize(nullptr), 0.f);
}

}  // namespace asset_model_test
