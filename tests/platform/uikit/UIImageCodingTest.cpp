#include <gtest/gtest.h>

#include "platform/coregraphics/CGContext.h"
#include "platform/foundation/NSBundle.h"
#include "platform/uikit/UIImage.h"
#include "support/ScriptedLocations.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

namespace ui_image_coding_test {

namespace {

constexpr uint32_t kRGBA = kCGImageAlphaPremultipliedLast;

// Opaque pixels with a pattern a lossy codec can still tell apart.
UIImagePtr patternImage(size_t w, size_t h, double scale = 1,
                        UIImageOrientation o = UIImageOrientationUp, bool noisy = false) {
  auto px = std::make_shared<Bytes>();
  uint32_t seed = 7;
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x) {
      seed = seed * 1103515245 + 12345;
      uint8_t n = noisy ? uint8_t(seed >> 24) : 0;
      px->insert(px->end(), {uint8_t(x * 255 / w ^ n), uint8_t(y * 255 / h), 90, 255});
    }
  return UIImage::imageWithCGImage(CGImage::create(w, h, 8, 32, w * 4, kRGBA, px), scale, o);
}

// The bitmap as premultiplied RGBA, whatever layout the decoder chose.
Bytes rgba(const UIImagePtr& image) {
  auto data = CGImageCopyPremultipliedRGBA(*image->CGImage());
  return data ? *data : Bytes();
}

using UIImageCodingTest = PlatformTest;

TEST_F(UIImageCodingTest, PNGRoundTripKeepsPixelsAndRejectsBadInput) {
  auto image = patternImage(5, 3);
  NSDataPtr png = UIImagePNGRepresentation(image);
  ASSERT_TRUE(png);
  ASSERT_GT(png->length(), 8u);
  EXPECT_EQ(png->bytes()[1], 'P');
  EXPECT_EQ(png->bytes()[2], 'N');
  auto decoded = UIImage::imageWithData(png);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->size(), CGSizeMake(5, 3));
  EXPECT_EQ(decoded->scale(), 1);
  EXPECT_EQ(rgba(decoded), rgba(image));
  EXPECT_EQ(UIImage::imageWithData(png, 2)->size(), CGSizeMake(2.5, 1.5));

  EXPECT_FALSE(UIImage::imageWithData(nullptr));
  EXPECT_FALSE(UIImage::imageWithData(NSData::dataWithBytes("not an image", 12)));
  EXPECT_FALSE(UIImagePNGRepresentation(nullptr));
  EXPECT_FALSE(UIImagePNGRepresentation(std::make_shared<UIImage>()));
}

TEST_F(UIImageCodingTest, JPEGCarriesOrientationAndQuality) {
  auto turned = patternImage(16, 8, 1, UIImageOrientationRight, true);
  NSDataPtr best = UIImageJPEGRepresentation(turned, 1.0);
  NSDataPtr worst = UIImageJPEGRepresentation(turned, 0.05);
  ASSERT_TRUE(best && worst);
  EXPECT_EQ(best->bytes()[0], 0xFF);
  EXPECT_EQ(best->bytes()[1], 0xD8);
  EXPECT_LT(worst->length(), best->length());
  auto decoded = UIImage::imageWithData(best);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->imageOrientation(), UIImageOrientationRight);
  EXPECT_EQ(decoded->size(), CGSizeMake(8, 16));
  EXPECT_EQ(decoded->CGImage()->width(), 16u);
  // Quality out of range is clamped, not refused.
  EXPECT_TRUE(UIImageJPEGRepresentation(turned, 7));
}

TEST_F(UIImageCodingTest, AnImageWhoseDecodeFailedHasNoDataAndPreparesToNothing) {
  int calls = 0;
  auto image = UIImage::imageWithCGImage(
      CGImage::createLazy(40, 30, 8, 32, 160, kCGImageAlphaNoneSkipLast, [&] {
        ++calls;
        return std::shared_ptr<const Bytes>();
      }),
      2, UIImageOrientationRight);
  ASSERT_TRUE(image);
  EXPECT_FALSE(UIImageJPEGRepresentation(image, 0.5));
  EXPECT_FALSE(UIImagePNGRepresentation(image));
  EXPECT_FALSE(image->imageByPreparingForDisplay());
  EXPECT_FALSE(image->imageByPreparingThumbnailOfSize(CGSizeMake(10, 10)));
  EXPECT_EQ(calls, 1);  // asked once, whatever asks after
  // The same image with pixels gives all of them.
  auto whole = patternImage(40, 30, 2, UIImageOrientationRight);
  EXPECT_TRUE(UIImageJPEGRepresentation(whole, 0.5));
  EXPECT_TRUE(UIImagePNGRepresentation(whole));
  EXPECT_TRUE(whole->imageByPreparingForDisplay());
  EXPECT_TRUE(whole->imageByPreparingThumbnailOfSize(CGSizeMake(10, 10)));
}

TEST_F(UIImageCodingTest, FilesTakeTheirScaleFromTheName) {
  TempFolder folder;
  const std::string& dir = folder.path();
  NSDataPtr png = UIImagePNGRepresentation(patternImage(4, 2));
  ASSERT_TRUE(png->writeToFile(dir + "/icon@2x.png", true));
  ASSERT_TRUE(png->writeToFile(dir + "/plain.png", true));
  ASSERT_TRUE(png->writeToFile(dir + "/odd@1.5x.png", true));
  EXPECT_EQ(UIImage::imageWithContentsOfFile(dir + "/icon@2x.png")->scale(), 2);
  EXPECT_EQ(UIImage::imageWithContentsOfFile(dir + "/plain.png")->scale(), 1);
  EXPECT_EQ(UIImage::imageWithContentsOfFile(dir + "/odd@1.5x.png")->scale(), 1.5);
  EXPECT_FALSE(UIImage::imageWithContentsOfFile(dir + "/missing.png"));

  // Named images come from the main bundle and are kept.
  std::string previous = NSBundle::mainBundle()->bundlePath();
  ScriptedLocations::installed().setMainBundlePath(dir);
  auto named = UIImage::imageNamed("icon");
  ASSERT_TRUE(named);
  EXPECT_EQ(named->scale(), 2);
  EXPECT_EQ(UIImage::imageNamed("icon"), named);
  EXPECT_EQ(UIImage::imageNamed("plain.png")->scale(), 1);
  EXPECT_FALSE(UIImage::imageNamed("nothing"));
  ScriptedLocations::installed().setMainBundlePath(previous);
}

}  // namespace

}  // namespace ui_image_coding_test
