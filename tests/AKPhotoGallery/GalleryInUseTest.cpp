// The gallery used as a person uses it: pictures from the web, from files
// and from the photo library, GIFs that play, saving from the long-press
// sheet, the download-original button, the progress ring of a slow load,
// double-tap zoom and the bars.

#include <gtest/gtest.h>

#include <set>

#include "AKPhotoGallery/AKPhotoImagePreviewVC.h"
#include "GalleryInUse.h"
#include "platform/photos/PHAsset.h"
#include "platform/uikit/UIAlertController.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UILabel.h"
#include "support/FlatJPEG.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "support/photos/MediaFixtures.h"
#include "support/ui/SnapshotTesting.h"

namespace {

const std::array<uint8_t, 4> kRed{255, 0, 0, 255}, kGreen{0, 255, 0, 255}, kBlue{0, 0, 255, 255};

NSDataPtr ThreeColourGif() {
  return il_test::AnimatedFile("com.compuserve.gif", {{kRed, 0.1}, {kGreen, 0.1}, {kBlue, 0.1}}, 40,
                               30);
}

NSDataPtr Jpeg(size_t width, size_t height) {
  return il_test::StillFile("public.jpeg", TwoBandBitmap(width, height));
}

bool Near(const Pixel& p, const std::array<uint8_t, 4>& c) {
  return std::abs(p.r - c[0]) < 40 && std::abs(p.g - c[1]) < 40 && std::abs(p.b - c[2]) < 40;
}

}  // namespace

TEST_F(GalleryInUseTest, AGifFromTheWebPlaysOnItsPageAndSavesAsItsOwnBytes) {
  const NSDataPtr gif = ThreeColourGif();
  present({AKPhotoGalleryItem::itemWithImageURL(serve("/anim.gif", gif, "image/gif"))});
  ASSERT_TRUE(settleUntil([&] { return pictureView()->image() != nullptr; }));
  // The frames follow one another as time passes.
  std::set<int> seen;
  for (int step = 0; step < 8; ++step) {
    const Pixel p = pixelOf(screen(), screenSize.width / 2, screenSize.height / 2);
    for (int i = 0; i < 3; ++i) {
      if (Near(p, std::array{kRed, kGreen, kBlue}[i])) seen.insert(i);
    }
    advance(0.05);
  }
  EXPECT_EQ(seen.size(), 3u);

  longPressAndChoose(text("preview.image.longPress.saveImage.title"));
  ASSERT_TRUE(settleUntil([&] { return !libraryFiles().empty() && !toast().empty(); }));
  EXPECT_EQ(toast(), text("preview.image.saveImage.result.success"));
  ASSERT_EQ(libraryFiles().size(), 1u);
  EXPECT_TRUE(bytesOf(libraryFiles()[0]) == gif->vector()) << bytesOf(libraryFiles()[0]).size() << " bytes saved";
}

TEST_F(GalleryInUseTest, SaveImageStoresWhatEachKindOfPageShows) {
  // A GIF file plays and keeps its bytes.
  const NSDataPtr gif = ThreeColourGif();
  present({AKPhotoGalleryItem::itemWithImageURL(writeFile("anim.gif", gif))});
  ASSERT_TRUE(settleUntil([&] { return pictureView()->image() != nullptr; }));
  longPressAndChoose(text("preview.image.longPress.saveImage.title"));
  ASSERT_TRUE(settleUntil([&] { return libraryFiles().size() == 1; }));
  EXPECT_TRUE(bytesOf(libraryFiles()[0]) == gif->vector()) << bytesOf(libraryFiles()[0]).size() << " bytes saved";
  advance(4);

  // A photo file keeps its bytes too.
  const NSDataPtr jpeg = Jpeg(300, 200);
  present({AKPhotoGalleryItem::itemWithImageURL(writeFile("photo.jpg", jpeg))});
  ASSERT_TRUE(waitForPicture());
  longPressAndChoose(text("preview.image.longPress.saveImage.title"));
  ASSERT_TRUE(settleUntil([&] { return libraryFiles().size() == 2; }));
  std::set<Bytes> saved;
  for (const auto& file : libraryFiles()) saved.insert(bytesOf(file));
  EXPECT_TRUE(saved.count(jpeg->vector()));
  advance(4);

  // A photo from the web is stored as the picture shown: same size, same
  // colours (red above, blue below).
  present({AKPhotoGalleryItem::itemWithImageURL(serve("/photo.jpg", Jpeg(240, 160), "image/jpeg"))});
  ASSERT_TRUE(waitForPicture());
  longPressAndChoose(text("preview.image.longPress.saveImage.title"));
  ASSERT_TRUE(settleUntil([&] { return libraryFiles().size() == 3; }));
  UIImagePtr stored;
  for (const auto& file : libraryFiles()) {
    const Bytes bytes = bytesOf(file);
    if (bytes != gif->vector() && bytes != jpeg->vector()) {
      stored = UIImage::imageWithData(NSData::dataWithBytes(bytes));
    }
  }
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->size(), CGSizeMake(240, 160));
  EXPECT_TRUE(Near(PixelAt(stored->CGImage(), 120, 20), kRed));
  EXPECT_TRUE(Near(PixelAt(stored->CGImage(), 120, 140), kBlue));
  advance(4);

  // Video and PDF pages offer no sheet at all.
  ASSERT_TRUE(WriteFixtureVideo(folder_->path() + "/clip.mp4", 64, 48, 5));
  present({AKPhotoGalleryItem::itemWithVideoURL(NSURL::fileURLWithPath(folder_->path() + "/clip.mp4"))});
  EXPECT_FALSE(longPressSheet());
  present({AKPhotoGalleryItem::itemWithPdfURL(
      NSURL::fileURLWithPath(std::string(std::getenv("QX_TEST_DATA")) + "/pdfkit/two-pages.pdf"))});
  EXPECT_FALSE(longPressSheet());
}

TEST_F(GalleryInUseTest, SavingWithoutAccessToPhotosStoresNothingAndSaysWhy) {
  setenv("QX_PHOTO_AUTHORIZATION", "denied", 1);
  present({AKPhotoGalleryItem::itemWithImage(UIImage::imageWithCGImage(TwoBandBitmap(300, 200), 1,
                                                                        UIImageOrientationUp))});
  longPressAndChoose(text("preview.image.longPress.saveImage.title"));
  ASSERT_TRUE(settleUntil([&] { return !toast().empty(); }));
  EXPECT_EQ(toast(), text("preview.image.saveImage.permission.error"));
  EXPECT_TRUE(libraryFiles().empty());
}
