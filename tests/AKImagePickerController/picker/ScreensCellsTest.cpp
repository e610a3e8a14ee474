#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "AKImagePickerController/picker/AKAssetGroupDetailCells.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"
#include "ScreensTestSupport.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/UITouchDriver.h"

namespace screens_cells_test {

namespace {

using GridCellsTest = ScreensTest;

AKAssetPtr VideoAsset(double duration) {
  auto asset = AKAsset::initWithImage(il_test::SolidUIImage(4, 4, {200, 120, 40, 255}));
  asset->setType(AKAssetType::video);
  asset->setDuration(duration);
  return asset;
}

std::string DurationLabel(AKAssetGroupDetailVideoCell& cell) {
  auto label = std::dynamic_pointer_cast<UILabel>(cell.videoInfoView()->viewWithTag(-1));
  return label ? label->text() : "<no label>";
}

TEST_F(GridCellsTest, DurationTextRoundsOnceThenSplits) {
  struct Case {
    double seconds;
    const char* text;
  } cases[] = {{0, "0:00"},      {5, "0:05"},     {59, "0:59"},    {60, "1:00"},
               {75, "1:15"},     {3600, "60:00"}, {3725, "62:05"}, {119.6, "2:00"},
               {59.5, "1:00"},   {59.49, "0:59"}, {0.5, "0:01"},   {-3, "0:00"},
               {std::nan(""), "0:00"}, {std::numeric_limits<double>::infinity(), "150000000000000:00"}};
  for (const auto& c : cases) EXPECT_EQ(AKVideoDurationText(c.seconds), c.text) << c.seconds;
}

TEST_F(GridCellsTest, IdentifiersAreFixed) {
  EXPECT_EQ(AKAssetGroupDetailCameraCell::cellReuseIdentifier(), "AKImageCameraIdentifier");
  EXPECT_EQ(AKAssetGroupDetailImageCell::cellReuseIdentifier(), "AKImageAssetIdentifier");
  EXPECT_EQ(AKAssetGroupDetailVideoCell::cellReuseIdentifier(), "AKVideoAssetIdentifier");
  auto camera = std::make_shared<AKAssetGroupDetailCameraCell>(CGRectMake(0, 0, 100, 100));
  auto photo = std::make_shared<AKAssetGroupDetailImageCell>(CGRectMake(0, 0, 100, 100));
  auto video = std::make_shared<AKAssetGroupDetailVideoCell>(CGRectMake(0, 0, 100, 100));
  EXPECT_EQ(camera->contentView()->accessibilityIdentifier(), "AKImageCameraAccessibilityIdentifier");
  EXPECT_EQ(photo->contentView()->accessibilityIdentifier(), "AKImageAssetAccessibilityIdentifier");
  EXPECT_EQ(video->contentView()->accessibilityIdentifier(), "AKVideoAssetAccessibilityIdentifier");
  for (UICollectionViewCell* cell : std::initializer_list<UICollectionViewCell*>{camera.get(), photo.get(), video.get()}) {
    EXPECT_TRUE(cell->contentView()->isAccessibilityElement());
  }
  EXPECT_FALSE(camera->thumbnailImageView());
  EXPECT_EQ(photo->thumbnailImageView(), photo->_thumbnailImageView());
}

TEST_F(GridCellsTest, PhotoBadgeShowsOneBasedNumberOnlyWhileSelected) {
  auto cell = std::make_shared<AKAssetGroupDetailImageCell>(CGRectMake(0, 0, 124, 124));
  EXPECT_TRUE(cell->checkView()->isHidden());
  cell->setSelectedIndex(0);
  EXPECT_EQ(cell->checkView()->checkLabel()->text(), "1");
  cell->setSelectedIndex(9);
  EXPECT_EQ(cell->checkView()->checkLabel()->text(), "10");
  EXPECT_TRUE(cell->checkView()->isHidden());
  cell->setSelected(true);
  EXPECT_FALSE(cell->checkView()->isHidden());
  EXPECT_EQ(cell->checkView()->checkLabel()->text(), "10");
  cell->setSelected(false);
  EXPECT_TRUE(cell->checkView()->isHidden());

  auto image = il_test::SolidUIImage(8, 8, {10, 20, 30, 255});
  cell->setThumbnailImage(image);
  EXPECT_EQ(cell->thumbnailImageView()->image(), image);
  EXPECT_EQ(cell->thumbnailImage(), image);

  cell->layoutIfNeeded();
  cell->checkView()->layoutIfNeeded();
  EXPECT_EQ(cell->checkView()->frame(), CGRectMake(0, 0, 124, 124));
  EXPECT_EQ(cell->checkView()->checkLabel()->frame(), CGRectMake(0, 5, 119, 20));
  EXPECT_EQ(cell->checkView()->checkImageView()->frame(), CGRectMake(0, 0, 124, 124));
  EXPECT_EQ(cell->checkView()->checkLabel()->textAlignment(), NSTextAlignmentRight);
}

TEST_F(GridCellsTest, VideoBarKeepsItsTextAndColoursBySelection) {
  auto cell = std::make_shared<AKAssetGroupDetailVideoCell>(CGRectMake(0, 0, 124, 124));
  auto asset = VideoAsset(75);
  cell->setAsset(asset);
  EXPECT_EQ(DurationLabel(*cell), "1:15");
  cell->setAsset(nullptr);  // keeps the last text
  EXPECT_EQ(DurationLabel(*cell), "1:15");
  EXPECT_FALSE(cell->asset());
  {
    auto other = VideoAsset(5);
    cell->setAsset(other);
  }
  EXPECT_FALSE(cell->asset());  // held weakly
  EXPECT_EQ(DurationLabel(*cell), "0:05");

  cell->setSelected(true);
  EXPECT_FALSE(cell->checkView()->isHidden());
  EXPECT_TRUE(cell->videoInfoView()->backgroundColor()->isEqual(
      *UIColor::colorWithRed(20.0 / 255, 129.0 / 255, 252.0 / 255, 1)));
  cell->setSelected(false);
  EXPECT_TRUE(cell->checkView()->isHidden());
  EXPECT_TRUE(cell->videoInfoView()->backgroundColor()->isEqual(*UIColor::colorWithWhite(0, 0.7)));

  cell->layoutIfNeeded();
  EXPECT_EQ(cell->videoInfoView()->frame(), CGRectMake(0, 94, 124, 30));
  auto label = cell->videoInfoView()->viewWithTag(-1);
  EXPECT_EQ(label->frame(), CGRectMake(0, 0, 117, 30));
  // The bar lies above the thumbnail and the badge.
  auto& subviews = cell->contentView()->subviews();
  ASSERT_EQ(subviews.size(), 3u);
  EXPECT_EQ(subviews[0], cell->thumbnailImageView());
  EXPECT_EQ(subviews[1], cell->checkView());
  EXPECT_EQ(subviews[2], cell->videoInfoView());
}

class GridCellTouchTest : public ScreensTest {
 protected:
  void SetUp() override {
    ScreensTest::SetUp();
    window = makeWindow(nullptr);
  }
  std::shared_ptr<UIWindow> window;
};

TEST_F(GridCellTouchTest, LongPressRunsTheBlockOnceAtItsStart) {
  auto cell = std::make_shared<AKAssetGroupDetailImageCell>(CGRectMake(10, 10, 100, 100));
  window->addSubview(cell);
  int presses = 0;
  cell->setLongPressBlock([&] { ++presses; });
  UITouchDriver hand(window);
  hand.longPress(CGPointMake(50, 50), 0.25);
  advance(0.5);
  EXPECT_EQ(presses, 0);
  auto finger = hand.down({CGPointMake(50, 50)});
  advance(0.35);
  EXPECT_EQ(presses, 1);
  advance(1);
  hand.up(finger);
  advance(0.1);
  EXPECT_EQ(presses, 1);
  // Without a block the press does nothing.
  cell->setLongPressBlock(nullptr);
  hand.longPress(CGPointMake(50, 50), 0.5);
  advance(0.5);
  EXPECT_EQ(presses, 1);
}

TEST_F(GridCellTouchTest, HighlightShrinksAndSpringsBack) {
  auto cell = std::make_shared<AKAssetGroupDetailImageCell>(CGRectMake(0, 0, 100, 100));
  window->addSubview(cell);
  cell->setHighlighted(true);
  EXPECT_TRUE(CGAffineTransformEqualToTransform(cell->transform(), CGAffineTransformMakeScale(0.9, 0.9)));
  advance(0.1);
  double midway = cell->layer()->presentationLayer()->affineTransform().a;
  EXPECT_GT(midway, 0.9);
  EXPECT_LT(midway, 1.0);
  advance(0.2);
  EXPECT_DOUBLE_EQ(cell->layer()->presentationLayer()->affineTransform().a, 0.9);
  cell->setHighlighted(false);
  EXPECT_TRUE(CGAffineTransformEqualToTransform(cell->transform(), CGAffineTransformIdentity));
  advance(0.3);
  EXPECT_TRUE(cell->layer()->animationKeys().size() > 0);  // the spring takes 0.8 s
  advance(0.6);
  EXPECT_TRUE(cell->layer()->animationKeys().empty());
}

TEST_F(GridCellsTest, Pictures) {
  auto video = std::make_shared<AKAssetGroupDetailVideoCell>(CGRectMake(0, 0, 124, 124));
  video->setThumbnailImage(il_test::SolidUIImage(4, 4, {200, 120, 40, 255}));
  auto asset = VideoAsset(119.6);
  video->setAsset(asset);
  video->setSelectedIndex(2);
  video->setSelected(true);
  video->setTintColor(UIColor::systemBlueColor());
  auto image = RenderView(*video, 2);
  SaveSnapshot(image, "picker-video-cell");
  EXPECT_TRUE(MatchesGolden(image, "picker/picker-video-cell.png", 3, 30));

  auto camera = std::make_shared<AKAssetGroupDetailCameraCell>(CGRectMake(0, 0, 124, 124));
  image = RenderView(*camera, 2);
  SaveSnapshot(image, "picker-camera-cell");
  EXPECT_TRUE(MatchesGolden(image, "picker/picker-camera-cell.png", 3, 30));
}

}  // namespace

}  // namespace screens_cells_test
