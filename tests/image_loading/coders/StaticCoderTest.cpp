#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "image_loading/coders/ILImageCoderOptions.h"
#include "image_loading/coders/ILImageIOCoder.h"
#include "image_loading/coders/UIImageMetadata.h"
#include "platform/coregraphics/CGPixelLayout.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageBitmap.h"
#include "platform/imageio/ImageDecoder.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIScreen.h"
#include "support/HEIFLayout.h"
#include "support/HostilePDF.h"
#include "support/TestEnvironment.h"
#include "support/heif/HEICFixtures.h"
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

// The stored sample of 256 x 192 (item 1) with a thumbnail of 64 x 48 (a
// grid of one tile, item 2), an item's data led by parameter sets of a
// 16000 x 12000 picture: decoding that picture would cost gigabytes.
TEST_F(StaticCoderTest, HEIFItemsWhoseDataAnnounceAHugePictureAreNotDecoded) {
  const auto types = CGImageSourceCopyTypeIdentifiers();
  if (std::find(types.begin(), types.end(), "public.heic") == types.end()) {
    GTEST_SKIP() << "no HEVC decoder";
  }
  const char* dir = std::getenv("QX_TEST_DATA");
  ASSERT_TRUE(dir);
  NSDataPtr sample =
      NSData::dataWithContentsOfFile(std::string(dir) + "/imageio/thumbnail-64x48-of-256x192.heic");
  ASSERT_TRUE(sample);
  const auto lying = [&](uint32_t item) {
    HEIFLayout layout = HEIFLayoutRead(Bytes(sample->bytes(), sample->bytes() + sample->length()));
    EXPECT_TRUE(HEIFLayoutLeadWithParameterSets(layout, item, 16000, 12000));
    return NSData::dataWithBytes(HEIFLayoutWrite(layout));
  };
  const Value thumbnail =
      Value::map({{kILImageCoderDecodeThumbnailPixelSize, ILImageCoderSizeValue({64, 48})}});
  struct Row {
    const char* what;
    NSDataPtr data;
    Value options;
    bool image;
    bool halfBright;  // the thumbnail item's picture, not the image's
    size_t decodes;
  };
  const Row rows[] = {
      {"a lying thumbnail: the image is decoded", lying(2), thumbnail, true, false, 1},
      {"a lying image: its thumbnail", lying(1), thumbnail, true, true, 1},
      {"a lying image, whole: no image, nothing decoded", lying(1), Value(), false, false, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    const size_t before = HEIFDecodedImageCount();
    UIImagePtr image = ILImageIOCoder::sharedCoder()->decodedImageWithData(r.data, r.options);
    if (r.image) {
      ASSERT_TRUE(image);
      EXPECT_EQ(image->CGImage()->width(), 64u);
      // The top-left quadrant: red, at full or half brightness.
      const auto red = PixelAt(image->CGImage(), 16, 12);
      EXPECT_EQ(red[0] < 160, r.halfBright) << int(red[0]);
    } else {
      // Not an image that turns out empty when drawn or encoded: none.
      EXPECT_FALSE(image);
    }
    EXPECT_EQ(HEIFDecodedImageCount() - before, r.decodes);
  }
}

namespace {

// Red on the left, blue on the right, of 512-pixel tiles.
uint32_t Halves(uint32_t column, uint32_t) { return column * 512 < 4096 ? 0xFF0000 : 0x0000FF; }

}  // namespace

// A photo past the full-decode limit as phones write it (a grid of tiles)
// is an image, whole (scaled down to the limit) or as a thumbnail.
TEST_F(StaticCoderTest, ALargeGridHEICIsAnImageWholeAndAsAThumbnail) {
  const std::vector<uint8_t> heic =
      MakeHEICGrid({.width = 8194, .height = 8192, .colourOf = Halves});
  if (heic.empty()) GTEST_SKIP() << "no HEVC encoder";
  NSDataPtr data = NSData::dataWithBytes(heic.data(), heic.size());
  auto coder = ILImageIOCoder::sharedCoder();
  UIImagePtr thumbnail = coder->decodedImageWithData(
      data, Value::map({{kILImageCoderDecodeThumbnailPixelSize,
                         Value::map({{"width", 200.0}, {"height", 200.0}})}}));
  ASSERT_TRUE(thumbnail);
  const size_t w = thumbnail->CGImage()->width(), h = thumbnail->CGImage()->height();
  EXPECT_EQ(std::max(w, h), 200u);
  EXPECT_TRUE(Near(PixelAt(thumbnail->CGImage(), w / 4, h / 2), kRed));
  EXPECT_TRUE(Near(PixelAt(thumbnail->CGImage(), w * 7 / 8, h / 2), {0, 0, 255, 255}));
  UIImagePtr whole = coder->decodedImageWithData(data, Value());
  ASSERT_TRUE(whole);
  const CGImageRef image = whole->CGImage();
  EXPECT_LE(uint64_t(image->width()) * image->height(), kImageMaxPixels);
  EXPECT_GE(image->width(), 8190u);
  EXPECT_TRUE(Near(PixelAt(image, 100, 4000), kRed));
  EXPECT_TRUE(Near(PixelAt(image, 8000, 4000), {0, 0, 255, 255}));
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
