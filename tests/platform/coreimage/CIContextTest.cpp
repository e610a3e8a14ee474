#include <gtest/gtest.h>

#include <cmath>

#include "platform/coreimage/CIContext.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/ImageIOProperties.h"
#include "support/TestEnvironment.h"

namespace ci_context_test {

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

using CIImageTest = PlatformTest;

TEST_F(CIImageTest, CoordinatesRunUpAndOperationsKeepTheExtentRight) {
  // Top row red, bottom row blue, 2 x 2.
  auto bytes = std::make_shared<Bytes>(Bytes{255, 0, 0, 255, 255, 0, 0, 255,  //
                                             0, 0, 255, 255, 0, 0, 255, 255});
  auto image =
      CIImage::imageWithCGImage(CGImage::create(2, 2, 8, 32, 8, kCGImageAlphaNoneSkipLast, bytes));
  // Not read from a file: no properties, as an empty map (null ones given are made one too).
  EXPECT_EQ(image->properties(), Value(ValueMap()));
  EXPECT_EQ(CIImage(image->cgImage(), Value()).properties(), Value(ValueMap()));
  // y = 0 is the bottom row in Core Image's coordinates.
  auto bottom = image->imageByCroppingToRect(CGRectMake(0, 0, 2, 1));
  EXPECT_TRUE(CGRectEqualToRect(bottom->extent(), CGRectMake(0, 0, 2, 1)));
  EXPECT_EQ((*bottom->cgImage()->pixelData())[2], 255);  // blue
  auto top = CIContext::context()->createCGImage(image, CGRectMake(0, 1, 2, 1));
  ASSERT_TRUE(top);
  EXPECT_EQ((*top->pixelData())[0], 255);  // red
  EXPECT_FALSE(image->imageByCroppingToRect(CGRectMake(5, 5, 1, 1))->cgImage());

  // A quarter turn about the origin moves the extent to negative x.
  auto turned = image->imageByApplyingTransform(CGAffineTransformMakeRotation(M_PI / 2));
  EXPECT_TRUE(CGRectEqualToRect(turned->extent(), CGRectMake(-2, 0, 2, 2)));
  EXPECT_EQ(turned->cgImage()->width(), 2u);

  auto green = CIImage::imageWithColor(CIColor::colorWithRed(0, 1, 0));
  EXPECT_TRUE(CGRectIsInfinite(green->extent()));
  EXPECT_FALSE(CIContext::context()->createCGImage(green, green->extent()));
  auto patch = CIContext::context()->createCGImage(green, CGRectMake(-3, 7, 3, 2));
  ASSERT_TRUE(patch);
  EXPECT_EQ(patch->width(), 3u);
  EXPECT_EQ((*patch->pixelData())[1], 255);
}

}  // namespace ci_context_test
