#include <gtest/gtest.h>

#include "platform/coregraphics/CGColorSpace.h"
#include "platform/coregraphics/CGContext.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIImageView.h"
#include "support/TestEnvironment.h"

namespace ui_image_resizable_test {

namespace {

// 30 x 30 pixels: ten red columns, ten green, ten blue.
UIImagePtr ThreeStripes() {
  auto context = CGBitmapContextCreate(nullptr, 30, 30, 8, 120, CGColorSpaceCreateDeviceRGB(),
                                       kCGImageAlphaPremultipliedLast);
  const double colours[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  for (int i = 0; i < 3; ++i) {
    CGContextSetRGBFillColor(context, colours[i][0], colours[i][1], colours[i][2], 1);
    CGContextFillRect(context, CGRectMake(10.0 * i, 0, 10, 30));
  }
  return UIImage::imageWithCGImage(CGBitmapContextCreateImage(context));
}

// Which stripe colour a pixel of a drawn row shows: 0 red, 1 green, 2 blue.
int StripeAt(const CGImageRef& image, size_t x) {
  auto context = CGBitmapContextCreate(nullptr, CGImageGetWidth(image), CGImageGetHeight(image), 8,
                                       CGImageGetWidth(image) * 4, CGColorSpaceCreateDeviceRGB(),
                                       kCGImageAlphaPremultipliedLast);
  CGContextDrawImage(context,
                     CGRectMake(0, 0, double(CGImageGetWidth(image)), double(CGImageGetHeight(image))),
                     image);
  auto* row = static_cast<const uint8_t*>(CGBitmapContextGetData(context));
  const uint8_t* p = row + x * 4;
  if (p[0] > 200) return 0;
  if (p[1] > 200) return 1;
  return p[2] > 200 ? 2 : -1;
}

}  // namespace

class UIImageResizableTest : public PlatformTest {};

TEST_F(UIImageResizableTest, CapsKeepTheirSizeAndOnlyTheCentreStretches) {
  auto resizable = ThreeStripes()->resizableImageWithCapInsets(UIEdgeInsetsMake(0, 10, 0, 10));
  EXPECT_TRUE(resizable->isResizable());
  EXPECT_EQ(resizable->size().width, 30);

  auto context = UIGraphicsCreateImageContext(CGSizeMake(90, 30), false, 1);
  resizable->drawInContext(context, CGRectMake(0, 0, 90, 30), kCGBlendModeCopy, 1);
  auto drawn = CGBitmapContextCreateImage(context);
  EXPECT_EQ(StripeAt(drawn, 0), 0);
  EXPECT_EQ(StripeAt(drawn, 9), 0);
  EXPECT_EQ(StripeAt(drawn, 11), 1);
  EXPECT_EQ(StripeAt(drawn, 78), 1);
  EXPECT_EQ(StripeAt(drawn, 81), 2);
  EXPECT_EQ(StripeAt(drawn, 89), 2);

  // The same picture not resizable stretches everything threefold.
  auto plain = UIGraphicsCreateImageContext(CGSizeMake(90, 30), false, 1);
  ThreeStripes()->drawInContext(plain, CGRectMake(0, 0, 90, 30), kCGBlendModeCopy, 1);
  EXPECT_EQ(StripeAt(CGBitmapContextCreateImage(plain), 20), 0);

}

TEST_F(UIImageResizableTest, AnImageViewDrawsAResizableImageAtItsOwnSize) {
  auto view = std::make_shared<UIImageView>(CGRectMake(0, 0, 60, 30));
  view->setImage(ThreeStripes()->resizableImageWithCapInsets(UIEdgeInsetsMake(0, 10, 0, 10)));
  auto contents = view->layer()->contents();
  ASSERT_TRUE(contents);
  EXPECT_EQ(CGImageGetWidth(contents), 60u);
  EXPECT_EQ(StripeAt(contents, 5), 0);
  EXPECT_EQ(StripeAt(contents, 30), 1);
  EXPECT_EQ(StripeAt(contents, 55), 2);

  view->setFrame(CGRectMake(0, 0, 120, 30));
  view->layoutIfNeeded();
  contents = view->layer()->contents();
  EXPECT_EQ(CGImageGetWidth(contents), 120u);
  EXPECT_EQ(StripeAt(contents, 115), 2);
  EXPECT_EQ(StripeAt(contents, 60), 1);
}

}  // namespace ui_image_resizable_test
