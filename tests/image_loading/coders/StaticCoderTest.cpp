#include <gtest/gtest.h>

#include "image_loading/coders/ILImageCoderOptions.h"
#include "image_loading/coders/ILImageIOCoder.h"
#include "image_loading/coders/UIImageMetadata.h"
#include "platform/coregraphics/CGPixelLayout.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/uikit/UIImage.h"
#include "platform/imageio/ImageBitmap.h"
#include "platform/uikit/UIScreen.h"
#include "support/HostilePDF.h"
#include "support/TestEnvironment.h"
#include "support/images/ImageLoadingTestSupport.h"

namespace static_coder_test {

namespace {

using il_test::Near;
using il_test::PixelAt;

constexpr std::array<uint8_t, 4> kRed{255, 0, 0, 255};
constexpr std::array<uint8_t, 4> kHalfBlue{0, 0, 255, 128};

class StaticCoderTest : public PlatformTest {};

TEST_F(StaticCoderTest, DecodesFirstImageWithOptionsAndIgnoresAnimationKeys) {
  auto coder = ILImageIOCoder::sharedCoder();
  NSDataPtr tiff = il_test::StillFile("public.tiff", il_test::SolidImage(10, 6, kRed), 3);
  UIImagePtr image = coder->decodedImageWithData(
      tiff, Value::map({{kILImageCoderDecodeScaleFactor, 2.0},
                        {kILImageCoderDecodeScaleDownLimitBytes, int64_t(16)}}));
  ASSERT_TRUE(image);
  EXPECT_EQ(image->scale(), 2);
  EXPECT_EQ(image->CGImage()->width(), 10u);  // the scale-down limit is not this coder's
  EXPECT_EQ(image->imageOrientation(), UIImageOrientationDown);
  EXPECT_EQ(il_imageFormat(*image), ILImageFormatTIFF);
  EXPECT_EQ(coder->decodedImageWithData(NSData::dataWithBytes("\x01\x02\x03", 3), Value()),
            nullptr);
  EXPECT_EQ(coder->decodedImageWithData(nullptr, Value()), nullptr);
}

TEST_F(StaticCoderTest, PDFIsDrawnAtItsBoxOrTargetSize) {
  NSDataPtr pdf = il_test::PDFFile(200, 100, 2);
  UIImagePtr box = ILImageIOCoder::sharedCoder()->decodedImageWithData(pdf, Value());
  ASSERT_TRUE(box);
  // A zero target draws the page at its own size, not at nothing.
  EXPECT_EQ(box->size().width, 200);
  EXPECT_EQ(box->size().height, 100);
  EXPECT_EQ(il_imageFormat(*box), ILImageFormatPDF);
  const size_t midX = box->CGImage()->width() / 2, midY = box->CGImage()->height() / 2;
  EXPECT_TRUE(Near(PixelAt(box->CGImage(), midX, midY), kRed));

  UIImagePtr kept = ILImageIOCoder::createBitmapPDFWithData(pdf, 0, {100, 100}, true);
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->size().width, 100);
  const CGImageRef& bitmap = kept->CGImage();
  // Half size: the page covers the top half only.
  EXPECT_TRUE(Near(PixelAt(bitmap, bitmap->width() / 2, bitmap->height() / 4), kRed));
  EXPECT_EQ(PixelAt(bitmap, bitmap->width() / 2, bitmap->height() * 3 / 4)[3], 0);
  UIImagePtr stretched = ILImageIOCoder::createBitmapPDFWithData(pdf, 0, {100, 100}, false);
  ASSERT_TRUE(stretched);
  EXPECT_TRUE(Near(PixelAt(stretched->CGImage(), stretched->CGImage()->width() / 2,
                           stretched->CGImage()->height() * 3 / 4),
                   kRed));
  EXPECT_EQ(ILImageIOCoder::createBitmapPDFWithData(pdf, 5, {0, 0}, true), nullptr);
  EXPECT_EQ(
      ILImageIOCoder::createBitmapPDFWithData(NSData::dataWithBytes("%PDF-x", 6), 0, {0, 0}, true),
      nullptr);

  // A page that costs more to draw than a page may draws nothing, at twice
  // its size as at any: forms drawing each other twice, transparency
  // groups nested, clip paths piled up.
  for (const Bytes& hostile :
       {DoublingFormsPDF(), NestedGroupsPDF(60), TriangleClipsPDF(100'000)}) {
    UIImagePtr drawn = ILImageIOCoder::createBitmapPDFWithData(NSData::dataWithBytes(hostile), 0,
                                                               {1224, 1584}, true);
    ASSERT_TRUE(drawn);
    const auto rgba = CGImageCopyPremultipliedRGBA(*drawn->CGImage());
    ASSERT_TRUE(rgba);
    size_t painted = 0;
    for (size_t i = 3; i < rgba->size(); i += 4) painted += (*rgba)[i] != 0;
    EXPECT_EQ(painted, 0u);
  }
}

// Past the full-decode limit a page is drawn scaled down to fit it, keeping
// its size in points; at the limit it is drawn whole.
TEST_F(StaticCoderTest, APDFPagePastTheFullDecodeLimitIsDrawnScaledDown) {
  UIScreen::mainScreen()->setScale(2);
  const struct {
    double width, height;
    bool whole;
  } pages[] = {
      {4096, 4096, true},   // 8192 x 8192 pixels: the limit itself
      {4097, 4096, false},  // a point past it
      {8192, 4096, false},  // twice it
  };
  for (const auto& page : pages) {
    SCOPED_TRACE(page.width);
    UIImagePtr image = ILImageIOCoder::sharedCoder()->decodedImageWithData(
        il_test::PDFFile(page.width, page.height), Value());
    ASSERT_TRUE(image);
    const CGImageRef& bitmap = image->CGImage();
    const double pixels = double(bitmap->width()) * double(bitmap->height());
    EXPECT_LE(pixels, double(kImageMaxPixels));
    if (page.whole) {
      EXPECT_EQ(bitmap->width(), size_t(2 * page.width));
      EXPECT_EQ(bitmap->height(), size_t(2 * page.height));
    } else {
      // Scaled to fit, not further.
      EXPECT_GT(pixels, 0.999 * double(kImageMaxPixels));
    }
    EXPECT_NEAR(image->size().width, page.width, 1);
    EXPECT_NEAR(image->size().height, page.height, 1);
    EXPECT_TRUE(Near(PixelAt(bitmap, bitmap->width() / 2, bitmap->height() / 2), kRed));
  }
}

TEST_F(StaticCoderTest, EncodingChoosesFormatByAlphaAndAlwaysWritesOrientation) {
  auto coder = ILImageIOCoder::sharedCoder();
  UIImagePtr opaque = UIImage::imageWithCGImage(il_test::PatternImage(8, 8));
  NSDataPtr jpeg = coder->encodedDataWithImage(opaque, ILImageFormatUndefined, Value());
  EXPECT_EQ(il_imageFormatForImageData(jpeg), ILImageFormatJPEG);
  NSDataPtr png = coder->encodedDataWithImage(il_test::SolidUIImage(8, 8, kHalfBlue),
                                              ILImageFormatUndefined, Value());
  EXPECT_EQ(il_imageFormatForImageData(png), ILImageFormatPNG);
  UIImagePtr turned =
      UIImage::imageWithCGImage(il_test::SolidImage(8, 4, kRed), 1, UIImageOrientationLeft);
  NSDataPtr turnedData = coder->encodedDataWithImage(turned, ILImageFormatJPEG, Value());
  const Value properties =
      CGImageSourceCopyPropertiesAtIndex(CGImageSourceCreateWithData(turnedData), 0);
  ASSERT_TRUE(properties.find(kCGImagePropertyOrientation));
  EXPECT_EQ(properties.find(kCGImagePropertyOrientation)->asInt64(), 8);
  EXPECT_EQ(coder->encodedDataWithImage(std::make_shared<UIImage>(), ILImageFormatPNG, Value()),
            nullptr);
  NSDataPtr smaller = coder->encodedDataWithImage(
      il_test::SolidUIImage(64, 32, kRed), ILImageFormatPNG,
      Value::map({{kILImageCoderEncodeMaxPixelSize, ILImageCoderSizeValue({16, 16})}}));
  const Value small = CGImageSourceCopyPropertiesAtIndex(CGImageSourceCreateWithData(smaller), 0);
  EXPECT_EQ(small.find(kCGImagePropertyPixelWidth)->asInt64(), 16);
  EXPECT_EQ(small.find(kCGImagePropertyPixelHeight)->asInt64(), 8);
}

TEST_F(StaticCoderTest, ProgressiveDecodeWaitsForSizeAndEndsOnFinishedUpdate) {
  NSDataPtr jpeg = il_test::StillFile("public.jpeg", il_test::PatternImage(640, 480));
  auto coder = ILImageIOCoder::sharedCoder()->initIncrementalWithOptions(
      Value::map({{kILImageCoderDecodeScaleFactor, 2.0}}));
  EXPECT_EQ(coder->incrementalDecodedImageWithOptions(Value()), nullptr);
  coder->updateIncrementalData(NSData::dataWithBytes(jpeg->bytes(), 4), false);
  EXPECT_EQ(coder->incrementalDecodedImageWithOptions(Value()), nullptr);
  coder->updateIncrementalData(NSData::dataWithBytes(jpeg->bytes(), jpeg->length() / 2), false);
  UIImagePtr partial = coder->incrementalDecodedImageWithOptions(Value());
  ASSERT_TRUE(partial);
  EXPECT_EQ(partial->scale(), 2);
  coder->updateIncrementalData(jpeg, true);
  UIImagePtr full = coder->incrementalDecodedImageWithOptions(
      Value::map({{kILImageCoderDecodeScaleFactor, 0.5}}));
  ASSERT_TRUE(full);
  EXPECT_EQ(full->scale(), 1);
  EXPECT_EQ(il_imageFormat(*full), ILImageFormatJPEG);
  UIImagePtr oneShot = ILImageIOCoder::sharedCoder()->decodedImageWithData(jpeg, Value());
  EXPECT_EQ(*CGImageCopyPremultipliedRGBA(*full->CGImage()),
            *CGImageCopyPremultipliedRGBA(*oneShot->CGImage()));
}

}  // namespace

}  // namespace static_coder_test
