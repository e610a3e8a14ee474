#include <gtest/gtest.h>

#include "AKPhotoGallery/AKPhotoBasePreviewVC.h"
#include "AKPhotoGallery/AKPhotoGalleryItem.h"
#include "AKPhotoGallery/AKPhotoImagePreviewVC.h"
#include "GalleryTestSupport.h"
#include "platform/photos/PHAsset.h"
#include "platform/uikit/UIAlertController.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UIWindow.h"
#include "support/TempFolder.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "support/photos/PhotoLibraryFixture.h"
#include "support/ui/UITouchDriver.h"

namespace preview_pages_test {

namespace {

UIImagePtr Picture(size_t width, size_t height) {
  return UIImage::imageWithCGImage(TwoBandBitmap(width, height), 1, UIImageOrientationUp);
}

}  // namespace

class PreviewFactoryTest : public PhotoLibraryTest {
 protected:
  void SetUp() override {
    PhotoLibraryTest::SetUp();
    registerAKPhotoGalleryClasses();
  }
};

TEST_F(PreviewFactoryTest, PageClassFollowsTheFirstContentFieldSet) {
  auto url = NSURL::fileURLWithPath("/tmp/x");
  auto both = AKPhotoGalleryItem::itemWithImage(Picture(4, 4));
  both->setVideoURL(url);
  EXPECT_EQ(AKPhotoBasePreviewVC::photoPreviewClassWith(both), kAKPhotoImagePreviewClass);
  auto video = AKPhotoGalleryItem::itemWithVideoURL(url);
  video->setPdfURL(url);
  EXPECT_EQ(AKPhotoBasePreviewVC::photoPreviewClassWith(video), kAKPhotoPlayerPreviewClass);
  EXPECT_EQ(AKPhotoBasePreviewVC::photoPreviewClassWith(AKPhotoGalleryItem::itemWithPdfURL(url)),
            kAKPhotoPDFPreviewClass);
  auto none = AKPhotoGalleryItem::item();
  EXPECT_EQ(AKPhotoBasePreviewVC::photoPreviewClassWith(none), kAKPhotoBasePreviewClass);
  auto page = AKPhotoBasePreviewVC::photoPreviewVCWith(none);
  EXPECT_EQ(page->item(), none);
  EXPECT_EQ(page->previewClass(), kAKPhotoBasePreviewClass);
  auto imagePage = AKPhotoBasePreviewVC::photoPreviewVCWith(both);
  EXPECT_TRUE(std::dynamic_pointer_cast<AKPhotoImagePreviewVC>(imagePage));
}

TEST_F(PreviewFactoryTest, AStoredAssetIdentifierIsResolvedOnceIntoTheAsset) {
  ASSERT_TRUE(WriteFixtureVideo(path("clip.mp4"), 64, 48, 5));
  ASSERT_TRUE(WriteFixtureImage(path("still.jpg"), "public.jpeg", 32, 24));
  auto assets = PHAsset::fetchAssetsWithOptions(nullptr);
  ASSERT_EQ(assets->count(), 2);
  for (int64_t i = 0; i < assets->count(); ++i) {
    auto asset = assets->objectAtIndex(i);
    auto item = AKPhotoGalleryItem::item();
    item->setAssetLocalIdentifier(asset->localIdentifier());
    auto expected = asset->mediaType() == PHAssetMediaTypeVideo ? kAKPhotoPlayerPreviewClass
                                                                 : kAKPhotoImagePreviewClass;
    EXPECT_EQ(AKPhotoBasePreviewVC::photoPreviewClassWith(item), expected);
    ASSERT_TRUE(item->asset());
    EXPECT_EQ(item->asset()->localIdentifier(), asset->localIdentifier());
    EXPECT_FALSE(item->assetLocalIdentifier());
  }
  auto missing = AKPhotoGalleryItem::item();
  missing->setAssetLocalIdentifier("no-such-asset");
  EXPECT_EQ(AKPhotoBasePreviewVC::photoPreviewClassWith(missing), kAKPhotoBasePreviewClass);
  EXPECT_FALSE(missing->asset());
}

class ImagePageTest : public GalleryTest {
 protected:
  void SetUp() override {
    GalleryTest::SetUp();
    registerAKPhotoGalleryClasses();
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
    window->makeKeyAndVisible();
  }
  std::shared_ptr<AKPhotoImagePreviewVC> show(const AKPhotoGalleryItemPtr& item) {
    auto page = std::dynamic_pointer_cast<AKPhotoImagePreviewVC>(
        AKPhotoBasePreviewVC::photoPreviewVCWith(item));
    page->view()->setFrame(window->bounds());
    window->addSubview(page->view());
    page->viewWillAppear(false);
    drainMainLoop();
    return page;
  }
  std::shared_ptr<UIWindow> window;
};

TEST_F(ImagePageTest, ThumbnailIsCentredAndTheImageReplacesIt) {
  // A file image loads on the page's I/O queue, so the thumbnail shows first.
  TempFolder folder;
  const NSDataPtr png = UIImagePNGRepresentation(Picture(600, 300));
  ASSERT_TRUE(png);
  const std::string file =
      folder.writeFile("picture.png", Bytes(png->bytes(), png->bytes() + png->length()));
  auto item = AKPhotoGalleryItem::itemWithImageURL(NSURL::fileURLWithPath(file));
  auto thumbnail = Picture(300, 200);
  item->setThumbnail(thumbnail);
  auto page = std::dynamic_pointer_cast<AKPhotoImagePreviewVC>(
      AKPhotoBasePreviewVC::photoPreviewVCWith(item));
  ASSERT_TRUE(page);
  page->view()->setFrame(window->bounds());
  window->addSubview(page->view());
  page->viewWillAppear(false);
  // Loading: the thumbnail fills the width at its own 3:2 ratio, centred.
  EXPECT_FALSE(page->thumbnailView()->isHidden());
  EXPECT_EQ(page->thumbnailView()->image(), thumbnail);
  EXPECT_EQ(page->contentView()->frame(), CGRectMake(0, 208.5, 375, 250));
  auto imageView = std::dynamic_pointer_cast<UIImageView>(page->contentView());
  ASSERT_TRUE(imageView);
  EXPECT_EQ(imageView->image(), nullptr);

  ASSERT_TRUE(RunMainLoopUntil([&] { return imageView->image() != nullptr; }));
  EXPECT_EQ(imageView->image()->size(), CGSizeMake(600, 300));
  EXPECT_TRUE(page->thumbnailView()->isHidden());
  // Re-centred at the image's 2:1 ratio.
  EXPECT_EQ(page->contentView()->frame(), CGRectMake(0, 239.75, 375, 187.5));
  // The item names no original to download: the button stays hidden.
  EXPECT_TRUE(page->downloadOriginalImageButton()->isHidden());
}

TEST_F(ImagePageTest, DoubleTapZoomsToTheMaximumAndBack) {
  auto page = show(AKPhotoGalleryItem::itemWithImage(Picture(750, 1334)));
  EXPECT_EQ(page->scrollView()->zoomScale(), 1);
  UITouchDriver hand(window);
  hand.tap({200, 300}, 2);
  advance(1.0);
  EXPECT_EQ(page->scrollView()->zoomScale(), 4);
  hand.tap({200, 300}, 2);
  advance(1.0);
  EXPECT_EQ(page->scrollView()->zoomScale(), 1);
}

TEST_F(ImagePageTest, LongPressOffersSaveThenCancelAndAFailedLoadShowsTheFailurePicture) {
  auto page = show(AKPhotoGalleryItem::itemWithImage(Picture(100, 100)));
  auto actions = page->defaultLongPressActions();
  ASSERT_EQ(actions.size(), 1u);
  EXPECT_EQ(actions[0]->title(), "Save Image");

  auto broken = AKPhotoGalleryItem::itemWithImageURL(NSURL::fileURLWithPath("/nonexistent/x.png"));
  auto failed = show(broken);
  ASSERT_TRUE(RunMainLoopUntil([&] {
    auto view = std::dynamic_pointer_cast<UIImageView>(failed->contentView());
    return view->image() != nullptr;
  }));
  auto view = std::dynamic_pointer_cast<UIImageView>(failed->contentView());
  EXPECT_EQ(view->contentMode(), UIViewContentModeCenter);
  EXPECT_EQ(view->image()->size().width, 44);

  // With a thumbnail, the thumbnail stays and no failure picture is shown.
  // The file reads run on one serial queue: once a later failing page shows
  // its failure, the earlier load has been answered too.
  auto withThumb = AKPhotoGalleryItem::itemWithImageURL(NSURL::fileURLWithPath("/nonexistent/y.png"));
  withThumb->setThumbnail(Picture(40, 40));
  auto kept = show(withThumb);
  auto later = show(AKPhotoGalleryItem::itemWithImageURL(NSURL::fileURLWithPath("/nonexistent/z.png")));
  ASSERT_TRUE(RunMainLoopUntil(
      [&] { return std::dynamic_pointer_cast<UIImageView>(later->contentView())->image() != nullptr; }));
  EXPECT_FALSE(kept->thumbnailView()->isHidden());
  EXPECT_EQ(std::dynamic_pointer_cast<UIImageView>(kept->contentView())->image(), nullptr);

  // A file whose picture cannot be decoded fails the same way: the failure
  // picture, not a blank page of the picture's size.
  TempFolder folder;
  NSDataPtr heic = il_test::UndecodableHEIC(64, 48);
  ASSERT_TRUE(heic && heic->writeToFile(folder.path() + "/broken.heic", true));
  auto undecodable =
      show(AKPhotoGalleryItem::itemWithImageURL(NSURL::fileURLWithPath(folder.path() + "/broken.heic")));
  auto undecodableView = std::dynamic_pointer_cast<UIImageView>(undecodable->contentView());
  ASSERT_TRUE(RunMainLoopUntil([&] { return undecodableView->image() != nullptr; }));
  EXPECT_EQ(undecodableView->image()->size().width, 44);
  EXPECT_EQ(undecodableView->contentMode(), UIViewContentModeCenter);
}

TEST_F(ImagePageTest, ByteCountsReadAsTheDownloadButtonShowsThem) {
  EXPECT_EQ(AKFormattedByteCount(500), " 500B");
  EXPECT_EQ(AKFormattedByteCount(1024), "1024B");
  EXPECT_EQ(AKFormattedByteCount(1536), "1.50KB");
  EXPECT_EQ(AKFormattedByteCount(1048576), "1024.00KB");
  EXPECT_EQ(AKFormattedByteCount(2000000), "1.91MB");
  EXPECT_EQ(AKFormattedByteCount(uint64_t(1) << 50), "1024.00TB");
  EXPECT_EQ(AKFormattedByteCount(uint64_t(1) << 52), "4096.00TB");
}

}  // namespace preview_pages_test
