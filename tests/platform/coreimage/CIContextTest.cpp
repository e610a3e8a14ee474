#include <gtest/gtest.h>

#include "platform/coreimage/CIContext.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/ImageIOProperties.h"
#include "support/TestEnvironment.h"

namespace {

NSDataPtr PNGWithOrientation(int orientation) {
  ImageBitmap b;
  b.allocate(8, 4);
  for (size_t i = 0; i < b.pixels.size(); i += 4) {
    b.pixels[i] = 200;
    b.pixels[i + 3] = 255;
  }
  auto data = std::make_shared<Bytes>();
  auto dest = CGImageDestinationCreateWithData(data, "public.png", 1);
  CGImageDestinationAddImage(dest, ImageBitmapMakeCGImage(b, ""),
                             Value::map({{kCGImagePropertyOrientation, orientation}}));
  EXPECT_TRUE(CGImageDestinationFinalize(dest));
  return NSData::dataWithBytes(*data);
}

}  // namespace

using CIContextTest = PlatformTest;

TEST_F(CIContextTest, ImageFromDataBecomesJPEGWithQualityAndProperties) {
  auto image = CIImage::imageWithData(PNGWithOrientation(6));
  ASSERT_TRUE(image);
  EXPECT_EQ(image->colorSpace(), "kCGColorSpaceSRGB");
  EXPECT_TRUE(CGRectEqualToRect(image->extent(), CGRectMake(0, 0, 8, 4)));
  auto context = CIContext::context();
  auto high = context->JPEGRepresentationOfImage(
      image, *image->colorSpace(), Value::map({{kCGImageDestinationLossyCompressionQuality, 1.0}}));
  auto low = context->JPEGRepresentationOfImage(
      image, *image->colorSpace(), Value::map({{kCGImageDestinationLossyCompressionQuality, 0.1}}));
  ASSERT_TRUE(high);
  ASSERT_TRUE(low);
  EXPECT_GT(high->length(), low->length());
  auto source = CGImageSourceCreateWithData(high);
  EXPECT_EQ(CGImageSourceGetType(source), "public.jpeg");
  EXPECT_EQ(
      CGImageSourceCopyPropertiesAtIndex(source, 0).find(kCGImagePropertyOrientation)->asInt64(),
      6);
  const auto pixels = CGImageSourceCreateImageAtIndex(source, 0)->pixelData();
  EXPECT_NEAR((*pixels)[0], 200, 3);
  auto part = context->createCGImage(image, CGRectMake(2, 1, 4, 2));
  ASSERT_TRUE(part);
  EXPECT_EQ(part->width(), 4u);
  EXPECT_FALSE(CIImage::imageWithData(NSData::dataWithBytes(Bytes{1, 2, 3})));
  EXPECT_FALSE(CIImage::imageWithData(nullptr));
  EXPECT_FALSE(context->JPEGRepresentationOfImage(nullptr, "kCGColorSpaceSRGB"));
}
