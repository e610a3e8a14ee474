#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <utility>

#include "AKPhotoGallery/AKPhotoImageDecoding.h"
#include "GalleryTestSupport.h"
#include "platform/uikit/UIImage.h"

namespace image_decoding_test {

class ImageDecodingTest : public GalleryTest {};

TEST_F(ImageDecodingTest, RedrawsAtThePixelSizeKeepingScaleAndOrientation) {
  // 600 x 400 pixels shown at scale 2 and turned: the redraw must hold the
  // same 600 x 400 pixels, not a context of that size in points.
  auto source = UIImage::imageWithCGImage(TwoBandBitmap(600, 400), 2, UIImageOrientationDown);
  auto decoded = decodedImage(source);
  ASSERT_NE(decoded, source);
  EXPECT_EQ(CGImageGetWidth(decoded->CGImage()), 600u);
  EXPECT_EQ(CGImageGetHeight(decoded->CGImage()), 400u);
  EXPECT_EQ(decoded->scale(), 2);
  EXPECT_EQ(decoded->imageOrientation(), UIImageOrientationDown);
  EXPECT_EQ(decoded->size(), source->size());
  // The bitmap itself is the source's, row for row.
  EXPECT_EQ(PixelAt(decoded->CGImage(), 10, 10).r, 255);
  EXPECT_EQ(PixelAt(decoded->CGImage(), 10, 390).b, 255);

  // In the layout the display takes as it is.
  EXPECT_EQ(CGImageGetBitmapInfo(decoded->CGImage()),
            kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Host);

  // Pixel sizes that points times scale give back only nearly (at 2.625,
  // 51 comes back a little under, 23 a little over): every column and row
  // is kept, none added.
  const struct {
    size_t width, height;
    double scale;
  } sizes[] = {{1001, 667, 3}, {51, 59, 2.625}, {23, 27, 2.625}, {1, 1, 3}, {7, 5, 2}, {640, 1, 1}};
  for (const auto& size : sizes) {
    auto odd = UIImage::imageWithCGImage(TwoBandBitmap(size.width, size.height), size.scale,
                                         UIImageOrientationUp);
    auto redrawn = decodedImage(odd);
    ASSERT_NE(redrawn, odd) << size.width << " x " << size.height;
    EXPECT_EQ(CGImageGetWidth(redrawn->CGImage()), size.width);
    EXPECT_EQ(CGImageGetHeight(redrawn->CGImage()), size.height);
    const auto last = PixelAt(redrawn->CGImage(), size.width - 1, size.height - 1);
    const auto want = PixelAt(odd->CGImage(), size.width - 1, size.height - 1);
    EXPECT_EQ(std::tie(last.r, last.g, last.b, last.a), std::tie(want.r, want.g, want.b, want.a));
  }

  // Nothing to draw: the same image back.
  auto bare = std::make_shared<UIImage>();
  EXPECT_EQ(decodedImage(bare), bare);
}

TEST_F(ImageDecodingTest, LargeImagesShrinkToAboutFifteenMegapixelsUprightInTiles) {
  // 4200 x 4100 pixels is 65.7 MiB of RGBA: over the 60 MiB limit.
  auto source = UIImage::imageWithCGImage(TwoBandBitmap(4200, 4100), 1, UIImageOrientationUp);
  auto small = decodedImage(source);
  ASSERT_NE(small, source);
  const double width = static_cast<double>(CGImageGetWidth(small->CGImage()));
  const double height = static_cast<double>(CGImageGetHeight(small->CGImage()));
  // One factor for both sides, chosen so the pixel count is about 15 Mi.
  EXPECT_NEAR(width / height, 4200.0 / 4100.0, 0.001);
  EXPECT_NEAR(width * height, 15.0 * (1 << 20), 15.0 * (1 << 20) * 0.002);
  EXPECT_EQ(small->scale(), 1);

  // The bitmap is drawn flipped and shown turned back: its first rows are
  // the picture's bottom (blue), its last rows the picture's top (red), and
  // no row at either end is left empty by the tiling.
  EXPECT_EQ(small->imageOrientation(), UIImageOrientationDownMirrored);
  const CGImageRef& bitmap = small->CGImage();
  const auto h = CGImageGetHeight(bitmap);
  EXPECT_EQ(PixelAt(bitmap, 100, 0).b, 255);
  EXPECT_EQ(PixelAt(bitmap, 100, 0).a, 255);
  EXPECT_EQ(PixelAt(bitmap, 100, h / 2 - 8).b, 255);
  EXPECT_EQ(PixelAt(bitmap, 100, h / 2 + 8).r, 255);
  EXPECT_EQ(PixelAt(bitmap, 100, h - 1).r, 255);
  EXPECT_EQ(PixelAt(bitmap, 100, h - 1).a, 255);

  // Too wide for a tile of one row: left as it is.
  auto wide = UIImage::imageWithCGImage(TwoBandBitmap(5300000, 4), 1, UIImageOrientationUp);
  EXPECT_EQ(downsizedLargeImage(wide), wide);
}

TEST_F(ImageDecodingTest, AnImageWhosePixelsCannotBeMadeIsNoPicture) {
  // Redrawn whole (under the limit) or in tiles (over it): nothing is drawn,
  // and the answer is no image rather than a blank one of its size.
  for (const auto& [width, height] : {std::pair<size_t, size_t>{600, 400}, {4200, 4100}}) {
    SCOPED_TRACE(width);
    int calls = 0;
    auto failing = UIImage::imageWithCGImage(
        CGImage::createLazy(width, height, 8, 32, width * 4, kCGImageAlphaNoneSkipLast, [&] {
          ++calls;
          return std::shared_ptr<const Bytes>();
        }),
        1, UIImageOrientationUp);
    EXPECT_EQ(decodedImage(failing), nullptr);
    EXPECT_EQ(calls, 1);
  }
}

}  // namespace image_decoding_test
