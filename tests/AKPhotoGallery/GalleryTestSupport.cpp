#include "GalleryTestSupport.h"

#include <cstdlib>
#include <vector>

#include "platform/coregraphics/CGColorSpace.h"
#include "platform/coregraphics/CGContext.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIImage.h"
#include "support/ScriptedLocations.h"

void GalleryTest::SetUp() {
  PlatformTest::SetUp();
  const char* data = std::getenv("QX_TEST_DATA");
  ASSERT_NE(data, nullptr);
  ScriptedLocations::installed().setMainBundlePath(std::string(data) + "/../../resources/Runner.app");
}

void GalleryTest::TearDown() {
  // The bundle goes last: a page's load that ends in the base's wait and
  // fails names its error by the bundle.
  PlatformTest::TearDown();
  ScriptedLocations::installed().setMainBundlePath("");
}

CGImageRef TwoBandBitmap(size_t width, size_t height) {
  auto context = CGBitmapContextCreate(nullptr, width, height, 8, width * 4,
                                       CGColorSpaceCreateDeviceRGB(),
                                       kCGImageAlphaPremultipliedLast);
  const double w = static_cast<double>(width), h = static_cast<double>(height);
  // Bitmap contexts are y-up: the upper half of the picture is y >= h/2.
  CGContextSetRGBFillColor(context, 1, 0, 0, 1);
  CGContextFillRect(context, CGRectMake(0, h / 2, w, h / 2));
  CGContextSetRGBFillColor(context, 0, 0, 1, 1);
  CGContextFillRect(context, CGRectMake(0, 0, w, h / 2));
  return CGBitmapContextCreateImage(context);
}

Pixel PixelAt(const CGImageRef& image, size_t x, size_t y) {
  // Only the one pixel is drawn, however large the image.
  CGImageRef one = CGImageCreateWithImageInRect(
      image, CGRectMake(static_cast<double>(x), static_cast<double>(y), 1, 1));
  auto context = CGBitmapContextCreate(nullptr, 1, 1, 8, 4, CGColorSpaceCreateDeviceRGB(),
                                       kCGImageAlphaPremultipliedLast);
  CGContextSetBlendMode(context, kCGBlendModeCopy);
  CGContextDrawImage(context, CGRectMake(0, 0, 1, 1), one);
  auto* p = static_cast<const uint8_t*>(CGBitmapContextGetData(context));
  int a = p[3];
  auto unmul = [a](int v) { return a ? (v * 255 + a / 2) / a : 0; };
  return {unmul(p[0]), unmul(p[1]), unmul(p[2]), a};
}

CGImageRef RenderUpright(const std::shared_ptr<UIImage>& image) {
  CGSize size = image->size();
  auto context = UIGraphicsCreateImageContext(size, false, image->scale());
  image->drawInContext(context, CGRect{CGPointZero, size}, kCGBlendModeCopy, 1);
  return CGBitmapContextCreateImage(context);
}
