#include <gtest/gtest.h>

#include <cmath>

#include "platform/coreimage/CIImage.h"
#include "platform/uikit/UIBezierPath.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIGraphicsImageRenderer.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIScreen.h"
#include "support/TestEnvironment.h"

namespace ui_image_drawing_test {

namespace {

constexpr int kW = 3, kH = 2;

// A 3 x 2 bitmap whose pixels all differ: red = 40 × (index + 1).
CGImageRef numberedBitmap() {
  auto px = std::make_shared<Bytes>();
  for (int v = 0; v < kH; ++v)
    for (int u = 0; u < kW; ++u) px->insert(px->end(), {uint8_t(40 * (v * kW + u + 1)), 0, 0, 255});
  return CGImage::create(kW, kH, 8, 32, kW * 4, kCGImageAlphaPremultipliedLast, px);
}

int redAt(const CGImageRef& image, int x, int y) {
  CGPixelLayout l = CGPixelLayout::forBitmapInfo(image->bitmapInfo());
  return (*image->pixelData())[y * image->bytesPerRow() + x * 4 + l.r];
}

int alphaAt(const CGImageRef& image, int x, int y) {
  CGPixelLayout l = CGPixelLayout::forBitmapInfo(image->bitmapInfo());
  return l.a < 0 ? 255 : (*image->pixelData())[y * image->bytesPerRow() + x * 4 + l.a];
}

// Which bitmap pixel (u, v) each displayed pixel (x, y) shows, from the
// meaning of the EXIF orientations (row 0 and column 0 of the stored image).
std::pair<int, int> shownPixel(UIImageOrientation o, int x, int y) {
  switch (o) {
    case UIImageOrientationUp:
      return {x, y};
    case UIImageOrientationDown:
      return {kW - 1 - x, kH - 1 - y};
    case UIImageOrientationLeft:
      return {kW - 1 - y, x};
    case UIImageOrientationRight:
      return {y, kH - 1 - x};
    case UIImageOrientationUpMirrored:
      return {kW - 1 - x, y};
    case UIImageOrientationDownMirrored:
      return {x, kH - 1 - y};
    case UIImageOrientationLeftMirrored:
      return {y, x};
    case UIImageOrientationRightMirrored:
      return {kW - 1 - y, kH - 1 - x};
  }
  return {0, 0};
}

using UIImageDrawingTest = PlatformTest;

TEST_F(UIImageDrawingTest, EveryOrientationDrawsUpright) {
  CGImageRef bitmap = numberedBitmap();
  for (int o = 0; o < 8; ++o) {
    auto orientation = static_cast<UIImageOrientation>(o);
    auto image = UIImage::imageWithCGImage(bitmap, 1, orientation);
    bool quarter = o == 2 || o == 3 || o == 6 || o == 7;
    CGSize size = image->size();
    EXPECT_EQ(size.width, quarter ? kH : kW) << o;
    UIGraphicsBeginImageContextWithOptions(size, false, 1);
    image->drawInRect(CGRectMake(0, 0, size.width, size.height));
    auto drawn = UIGraphicsGetImageFromCurrentImageContext();
    UIGraphicsEndImageContext();
    ASSERT_TRUE(drawn) << o;
    for (int y = 0; y < int(size.height); ++y)
      for (int x = 0; x < int(size.width); ++x) {
        auto [u, v] = shownPixel(orientation, x, y);
        EXPECT_EQ(redAt(drawn->CGImage(), x, y), 40 * (v * kW + u + 1))
            << "orientation " << o << " at " << x << "," << y;
      }
  }
}

// The upright redraw recipe that image decoders use with raw Core Graphics
// (EXIF orientation, y-up context) must agree with UIKit's drawing.
TEST_F(UIImageDrawingTest, CoreGraphicsUprightRecipeMatchesUIKit) {
  CGImageRef bitmap = numberedBitmap();
  for (int exif = 1; exif <= 8; ++exif) {
    bool swap = exif >= 5;
    double w = swap ? kH : kW, h = swap ? kW : kH;
    auto c = CGBitmapContextCreate(nullptr, size_t(w), size_t(h), 8, 0,
                                   CGColorSpaceCreateDeviceRGB(), kCGImageAlphaPremultipliedLast);
    if (exif == 3 || exif == 4) {
      CGContextTranslateCTM(c, w, h);
      CGContextRotateCTM(c, M_PI);
    } else if (exif == 6 || exif == 7) {
      CGContextTranslateCTM(c, 0, h);
      CGContextRotateCTM(c, -M_PI / 2);
    } else if (exif == 5 || exif == 8) {
      CGContextTranslateCTM(c, w, 0);
      CGContextRotateCTM(c, M_PI / 2);
    }
    if (exif == 2 || exif == 4) {
      CGContextTranslateCTM(c, w, 0);
      CGContextScaleCTM(c, -1, 1);
    } else if (exif == 5 || exif == 7) {
      CGContextTranslateCTM(c, h, 0);
      CGContextScaleCTM(c, -1, 1);
    }
    CGContextDrawImage(c, CGRectMake(0, 0, kW, kH), bitmap);
    auto upright = CGBitmapContextCreateImage(c);
    UIImageOrientation o = UIImageOrientationFromEXIF(exif);
    EXPECT_EQ(UIImageOrientationToEXIF(o), exif);
    for (int y = 0; y < int(h); ++y)
      for (int x = 0; x < int(w); ++x) {
        auto [u, v] = shownPixel(o, x, y);
        EXPECT_EQ(redAt(upright, x, y), 40 * (v * kW + u + 1)) << "EXIF " << exif;
      }
  }
}

TEST_F(UIImageDrawingTest, ImageContextsUseTopLeftOriginScaleAndOpaqueness) {
  UIScreen::mainScreen()->setScale(2);
  EXPECT_FALSE(UIGraphicsGetCurrentContext());
  UIGraphicsBeginImageContextWithOptions(CGSizeMake(4, 3), false, 0);
  CGContextRef outer = UIGraphicsGetCurrentContext();
  ASSERT_TRUE(outer);
  EXPECT_EQ(CGBitmapContextGetWidth(outer), 8u);
  EXPECT_EQ(CGBitmapContextGetBitmapInfo(outer),
            kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little);
  UIColor::redColor()->setFill();
  UIRectFill(CGRectMake(0, 0, 1, 1));  // the top-left point: 2 x 2 pixels

  // A nested opaque context at scale 1.
  UIGraphicsBeginImageContextWithOptions(CGSizeMake(2, 2), true, 1);
  EXPECT_EQ(CGBitmapContextGetAlphaInfo(UIGraphicsGetCurrentContext()), kCGImageAlphaNoneSkipFirst);
  auto inner = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  EXPECT_EQ(inner->scale(), 1);
  EXPECT_EQ(alphaAt(inner->CGImage(), 0, 0), 255);
  EXPECT_EQ(UIGraphicsGetCurrentContext(), outer);

  auto image = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  EXPECT_FALSE(UIGraphicsGetCurrentContext());
  EXPECT_EQ(image->scale(), 2);
  EXPECT_EQ(image->size(), CGSizeMake(4, 3));
  EXPECT_EQ(redAt(image->CGImage(), 1, 1), 255);
  EXPECT_EQ(alphaAt(image->CGImage(), 2, 0), 0);
  EXPECT_EQ(alphaAt(image->CGImage(), 0, 2), 0);

  // An empty size opens nothing.
  UIGraphicsBeginImageContext(CGSizeMake(0, 5));
  EXPECT_FALSE(UIGraphicsGetCurrentContext());
  EXPECT_FALSE(UIGraphicsGetImageFromCurrentImageContext());
  UIGraphicsEndImageContext();  // harmless
  UIScreen::mainScreen()->setScale(3);
}

TEST_F(UIImageDrawingTest, RendererFormatsAndBlankImages) {
  auto plain = std::make_shared<UIGraphicsImageRendererFormat>();
  auto preferred = UIGraphicsImageRendererFormat::preferredFormat();
  EXPECT_EQ(plain->scale(), UIScreen::mainScreen()->scale());
  EXPECT_EQ(preferred->scale(), plain->scale());
  EXPECT_FALSE(plain->opaque());
  EXPECT_EQ(plain->preferredRange(), UIGraphicsImageRendererFormatRangeAutomatic);
  EXPECT_EQ(preferred->preferredRange(), UIGraphicsImageRendererFormatRangeStandard);

  plain->setScale(2);
  UIGraphicsImageRenderer renderer(CGSizeMake(3, 2), plain);
  plain->setScale(5);  // the renderer kept its own copy
  auto blank = renderer.imageWithActions(nullptr);
  EXPECT_EQ(blank->scale(), 2);
  EXPECT_EQ(blank->CGImage()->width(), 6u);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) EXPECT_EQ(alphaAt(blank->CGImage(), x, y), 0);

  // A scale that is not a finite positive number falls back to the screen's, for the
  // context and the image alike.
  auto infinite = std::make_shared<UIGraphicsImageRendererFormat>();
  infinite->setScale(HUGE_VAL);
  auto fallback = UIGraphicsImageRenderer(CGSizeMake(1, 1), infinite).imageWithActions(nullptr);
  EXPECT_EQ(fallback->scale(), UIScreen::mainScreen()->scale());
  EXPECT_EQ(fallback->CGImage()->width(), static_cast<size_t>(UIScreen::mainScreen()->scale()));

  auto opaqueFormat = std::make_shared<UIGraphicsImageRendererFormat>();
  opaqueFormat->setScale(1);
  opaqueFormat->setOpaque(true);
  CGContextRef seen;
  auto red = UIGraphicsImageRenderer(CGSizeMake(1, 1), opaqueFormat)
                 .imageWithActions([&](UIGraphicsImageRendererContext& context) {
                   seen = context.CGContext();
                   EXPECT_EQ(UIGraphicsGetCurrentContext(), seen);
                   UIColor::redColor()->setFill();
                   context.fillRect(CGRectMake(0, 0, 1, 1));
                 });
  EXPECT_FALSE(UIGraphicsGetCurrentContext());
  EXPECT_EQ(red->CGImage()->bitmapInfo(), kCGImageAlphaNoneSkipFirst | kCGBitmapByteOrder32Little);
  EXPECT_EQ(redAt(red->CGImage(), 0, 0), 255);
  EXPECT_EQ(UIGraphicsImageRenderer(CGSizeZero).imageWithActions(nullptr)->CGImage(), nullptr);
}

TEST_F(UIImageDrawingTest, DrawWithBlendModeAlphaAndScaling) {
  auto red = UIGraphicsImageRenderer(CGSizeMake(2, 2))
                 .imageWithActions([](UIGraphicsImageRendererContext& c) {
                   UIColor::redColor()->setFill();
                   c.fillRect(CGRectMake(0, 0, 2, 2));
                 });
  auto format = std::make_shared<UIGraphicsImageRendererFormat>();
  format->setScale(1);
  auto result = UIGraphicsImageRenderer(CGSizeMake(4, 1), format)
                    .imageWithActions([&](UIGraphicsImageRendererContext& c) {
                      UIColor::whiteColor()->setFill();
                      c.fillRect(CGRectMake(0, 0, 4, 1));
                      red->drawInRect(CGRectMake(0, 0, 2, 1), kCGBlendModeNormal, 0.5);
                      red->drawAtPoint(CGPointMake(2, 0), kCGBlendModeMultiply, 1);
                    });
  const CGImageRef& cg = result->CGImage();
  EXPECT_EQ(redAt(cg, 0, 0), 255);
  CGPixelLayout l = CGPixelLayout::forBitmapInfo(cg->bitmapInfo());
  const uint8_t* p = cg->pixelData()->data();
  EXPECT_NEAR(p[l.g], 128, 1);   // half red over white: pink
  EXPECT_EQ(p[2 * 4 + l.g], 0);  // red multiplied onto white: red
  EXPECT_EQ(alphaAt(cg, 3, 0), 255);
}

TEST_F(UIImageDrawingTest, AnimatedImagesPreparedCopiesAndRenderingModes) {
  auto a = UIImage::imageWithCGImage(numberedBitmap(), 2, UIImageOrientationUp);
  auto b = UIImage::imageWithCGImage(numberedBitmap(), 2, UIImageOrientationUp);
  auto animated = UIImage::animatedImageWithImages({a, b, a}, 0.3);
  ASSERT_TRUE(animated);
  ASSERT_TRUE(animated->images());
  EXPECT_EQ(animated->images()->size(), 3u);
  EXPECT_EQ(animated->duration(), 0.3);
  EXPECT_EQ(animated->CGImage(), a->CGImage());
  EXPECT_EQ(animated->size(), CGSizeMake(1.5, 1));
  EXPECT_FALSE(a->images());
  EXPECT_FALSE(UIImage::animatedImageWithImages({}, 1));

  auto lazy = CGImage::createLazy(kW, kH, 8, 32, kW * 4, kCGImageAlphaLast,
                                  [] { return numberedBitmap()->pixelData(); });
  auto turned = UIImage::imageWithCGImage(lazy, 1, UIImageOrientationRight);
  auto prepared = turned->imageByPreparingForDisplay();
  EXPECT_FALSE(prepared->CGImage()->isLazy());
  EXPECT_EQ(prepared->CGImage()->bitmapInfo(),
            kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little);
  EXPECT_EQ(prepared->imageOrientation(), UIImageOrientationRight);
  EXPECT_EQ(redAt(prepared->CGImage(), 2, 1), 240);
  auto thumb = turned->imageByPreparingThumbnailOfSize(CGSizeMake(2, 3));
  EXPECT_EQ(thumb->imageOrientation(), UIImageOrientationUp);
  EXPECT_EQ(redAt(thumb->CGImage(), 1, 0), 40);  // the bitmap's first pixel, turned
  EXPECT_FALSE(UIImage().imageByPreparingForDisplay());

  auto templ = a->imageWithRenderingMode(UIImageRenderingModeAlwaysTemplate);
  EXPECT_EQ(templ->renderingMode(), UIImageRenderingModeAlwaysTemplate);
  EXPECT_EQ(a->renderingMode(), UIImageRenderingModeAutomatic);
  EXPECT_EQ(templ->CGImage(), a->CGImage());
}

TEST_F(UIImageDrawingTest, BezierPathsCornersArcsAndClips) {
  auto format = std::make_shared<UIGraphicsImageRendererFormat>();
  format->setScale(1);
  // Only the top-left corner rounded.
  auto clipped = UIGraphicsImageRenderer(CGSizeMake(20, 20), format)
                     .imageWithActions([](UIGraphicsImageRendererContext& c) {
                       UIBezierPath::bezierPathWithRoundedRect(
                           CGRectMake(0, 0, 20, 20), UIRectCornerTopLeft, CGSizeMake(8, 8))
                           ->addClip();
                       UIColor::blueColor()->setFill();
                       c.fillRect(CGRectMake(0, 0, 20, 20));
                     });
  EXPECT_EQ(alphaAt(clipped->CGImage(), 0, 0), 0);
  EXPECT_EQ(alphaAt(clipped->CGImage(), 19, 0), 255);
  EXPECT_EQ(alphaAt(clipped->CGImage(), 0, 19), 255);
  EXPECT_EQ(alphaAt(clipped->CGImage(), 19, 19), 255);

  // Clockwise on screen from 0 to π/2 sweeps through the lower right quarter.
  auto pie = UIGraphicsImageRenderer(CGSizeMake(20, 20), format)
                 .imageWithActions([](UIGraphicsImageRendererContext&) {
                   auto path = UIBezierPath::bezierPathWithArcCenter(CGPointMake(10, 10), 10, 0,
                                                                     M_PI / 2, true);
                   path->addLineToPoint(CGPointMake(10, 10));
                   path->closePath();
                   UIColor::blackColor()->setFill();
                   path->fill();
                   EXPECT_TRUE(path->containsPoint(CGPointMake(14, 14)));
                   EXPECT_FALSE(path->containsPoint(CGPointMake(14, 6)));
                 });
  EXPECT_EQ(alphaAt(pie->CGImage(), 14, 14), 255);
  EXPECT_EQ(alphaAt(pie->CGImage(), 14, 5), 0);
  EXPECT_EQ(alphaAt(pie->CGImage(), 5, 14), 0);

  // A stroked oval leaves its middle empty.
  auto ring = UIGraphicsImageRenderer(CGSizeMake(20, 20), format)
                  .imageWithActions([](UIGraphicsImageRendererContext&) {
                    auto oval = UIBezierPath::bezierPathWithOvalInRect(CGRectMake(2, 2, 16, 16));
                    oval->setLineWidth(2);
                    UIColor::blackColor()->setStroke();
                    oval->stroke();
                  });
  EXPECT_EQ(alphaAt(ring->CGImage(), 10, 10), 0);
  EXPECT_EQ(alphaAt(ring->CGImage(), 10, 2), 255);
}

TEST_F(UIImageDrawingTest, ColorsConvertAndCompare) {
  double r, g, b, a, w;
  ASSERT_TRUE(UIColor::whiteColor()->getRed(&r, &g, &b, &a));
  EXPECT_EQ(r + g + b + a, 4);
  UIColor::colorWithRed(1, 0, 0, 0.5)->getWhite(&w, &a);
  EXPECT_NEAR(w, 0.299, 1e-9);
  EXPECT_EQ(a, 0.5);
  EXPECT_TRUE(UIColor::redColor()->isEqual(*UIColor::colorWithRed(1, 0, 0, 1)));
  EXPECT_FALSE(UIColor::redColor()->isEqual(*UIColor::redColor()->colorWithAlphaComponent(0.5)));
  EXPECT_EQ(UIColor::clearColor()->alpha(), 0);
  UIColor::systemGray6Color()->getRed(&r, &g, &b, &a);
  EXPECT_NEAR(b, 247 / 255.0, 1e-9);
  EXPECT_FALSE(UIColor::colorWithCGColor(nullptr));
}

TEST_F(UIImageDrawingTest, CoreImageBackedImagesHaveSizeAndDraw) {
  auto image = UIImage::imageWithCIImage(CIImage::imageWithCGImage(numberedBitmap()), 2,
                                         UIImageOrientationLeft);
  ASSERT_TRUE(image);
  EXPECT_FALSE(image->CGImage());
  ASSERT_TRUE(image->CIImage());
  EXPECT_EQ(image->size(), CGSizeMake(1, 1.5));
  EXPECT_EQ(image->imageWithRenderingMode(UIImageRenderingModeAlwaysOriginal)->CIImage(),
            image->CIImage());
  UIGraphicsBeginImageContextWithOptions(CGSizeMake(2, 3), false, 1);
  image->drawInRect(CGRectMake(0, 0, 2, 3));
  auto drawn = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  auto [u, v] = shownPixel(UIImageOrientationLeft, 1, 2);
  EXPECT_EQ(redAt(drawn->CGImage(), 1, 2), 40 * (v * kW + u + 1));
  EXPECT_FALSE(UIImage::imageWithCIImage(nullptr));
}

}  // namespace

}  // namespace ui_image_drawing_test
