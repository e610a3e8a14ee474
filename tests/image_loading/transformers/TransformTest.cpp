#include <cmath>
#include <limits>
#include <memory>

#include "support/images/ImageLoadingTestSupport.h"
#include "image_loading/coders/UIImageMetadata.h"
#include "image_loading/transformers/internal/ILGraphicsImageRenderer.h"
#include "image_loading/transformers/ILImageTransformer.h"
#include "image_loading/transformers/UIImageTransform.h"
#include "platform/uikit/UIBezierPath.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIImage.h"
#include "support/TestEnvironment.h"

namespace transform_test {

namespace {

using il_test::Near;
using il_test::PixelAt;
using RGBA = std::array<uint8_t, 4>;

class TransformTest : public PlatformTest {
 protected:
  // Red left, blue right, green added on the top half.
  static UIImagePtr pattern(size_t side = 8) {
    return UIImage::imageWithCGImage(il_test::PatternImage(side, side));
  }
  static RGBA px(const UIImagePtr& image, size_t x, size_t y) {
    return PixelAt(image->CGImage(), x, y);
  }
  static constexpr RGBA kTopLeft{255, 255, 0, 255};
  static constexpr RGBA kTopRight{0, 255, 255, 255};
  static constexpr RGBA kBottomLeft{255, 0, 0, 255};
  static constexpr RGBA kBottomRight{0, 0, 255, 255};
};

TEST_F(TransformTest, DrawRectFollowsTheScaleMode) {
  const CGSize image{200, 100};
  const CGRect square{CGPoint{0, 0}, CGSize{100, 100}};
  const CGRect fit = ILImageDrawRect(image, square, ILImageScaleModeAspectFit);
  EXPECT_DOUBLE_EQ(fit.origin.y, 25);
  EXPECT_DOUBLE_EQ(fit.size.width, 100);
  EXPECT_DOUBLE_EQ(fit.size.height, 50);
  const CGRect fill = ILImageDrawRect(image, square, ILImageScaleModeAspectFill);
  EXPECT_DOUBLE_EQ(fill.origin.x, -50);
  EXPECT_DOUBLE_EQ(fill.size.width, 200);
  EXPECT_DOUBLE_EQ(fill.size.height, 100);
  const CGRect stretch = ILImageDrawRect(image, square, ILImageScaleModeFill);
  EXPECT_DOUBLE_EQ(stretch.size.width, 100);
  EXPECT_DOUBLE_EQ(ILImageDrawRect(image, CGRect{CGPoint{0, 0}, CGSize{0.001, 5}}, 1).size.width,
                   0);
}

TEST_F(TransformTest, ResizeCropAndFlipMovePixelsWhereExpected) {
  auto source = pattern();
  EXPECT_EQ(il_resizedImageWithSize(source, CGSize{0, 4}, 0), nullptr);
  auto small = il_resizedImageWithSize(source, CGSize{4, 4}, ILImageScaleModeFill);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(CGImageGetWidth(small->CGImage()), 4u);
  EXPECT_TRUE(Near(px(small, 0, 0), kTopLeft)) << int(px(small, 0, 0)[1]);
  EXPECT_TRUE(Near(px(small, 3, 3), kBottomRight));
  // Aspect fit into a wide canvas leaves transparent bands on both sides.
  auto fitted = il_resizedImageWithSize(source, CGSize{16, 8}, ILImageScaleModeAspectFit);
  EXPECT_EQ(px(fitted, 0, 4)[3], 0);
  EXPECT_TRUE(Near(px(fitted, 4, 7), kBottomLeft));

  auto cropped = il_croppedImageWithRect(source, CGRect{CGPoint{4, 0}, CGSize{4, 4}});
  ASSERT_NE(cropped, nullptr);
  EXPECT_EQ(CGImageGetWidth(cropped->CGImage()), 4u);
  EXPECT_TRUE(Near(px(cropped, 0, 0), kTopRight));
  EXPECT_EQ(il_croppedImageWithRect(source, CGRect{CGPoint{0, 0}, CGSize{0, 4}}), nullptr);

  auto mirrored = il_flippedImageWithHorizontal(source, true, false);
  EXPECT_TRUE(Near(px(mirrored, 0, 0), kTopRight));
  EXPECT_TRUE(Near(px(mirrored, 7, 7), kBottomLeft));
  auto upsideDown = il_flippedImageWithHorizontal(source, false, true);
  EXPECT_TRUE(Near(px(upsideDown, 0, 0), kBottomLeft));
  auto both = il_flippedImageWithHorizontal(source, true, true);
  EXPECT_TRUE(Near(px(both, 0, 0), kBottomRight));
}

TEST_F(TransformTest, RotationTurnsTheCanvasOnlyWithFitSize) {
  auto wide = il_test::SolidUIImage(20, 10, {9, 9, 9, 255});
  auto fitted = il_rotatedImageWithAngle(wide, M_PI / 2, true);
  EXPECT_NEAR(fitted->size().width, 10, 1e-6);
  EXPECT_NEAR(fitted->size().height, 20, 1e-6);
  EXPECT_TRUE(Near(px(fitted, 5, 1), {9, 9, 9, 255}));
  auto cut = il_rotatedImageWithAngle(wide, M_PI / 2, false);
  EXPECT_NEAR(cut->size().width, 20, 1e-6);
  EXPECT_EQ(px(cut, 0, 0)[3], 0);          // the corners are cut off
  EXPECT_EQ(px(cut, 10, 5)[3], 255);       // the centre is covered
  // A quarter turn of the pattern moves each quadrant by one place.
  auto turned = il_rotatedImageWithAngle(pattern(), M_PI / 2, true);
  const RGBA corner = px(turned, 0, 0);
  EXPECT_FALSE(Near(corner, kTopLeft));
  EXPECT_TRUE(Near(corner, kTopRight) || Near(corner, kBottomLeft));
}

TEST_F(TransformTest, TintAndRoundedCorners) {
  auto translucent = il_test::SolidUIImage(8, 8, {0, 0, 255, 128});
  EXPECT_EQ(il_tintedImageWithColor(translucent, UIColor::colorWithRed(1, 0, 0, 0)), translucent);
  auto tinted = il_tintedImageWithColor(translucent, UIColor::redColor());
  const RGBA t = px(tinted, 4, 4);
  EXPECT_TRUE(Near(t, {255, 0, 0, 128})) << int(t[0]) << "," << int(t[2]) << "," << int(t[3]);
  auto multiplied =
      il_tintedImageWithColor(il_test::SolidUIImage(4, 4, {255, 255, 255, 255}),
                              UIColor::colorWithRed(0, 1, 0, 1), kCGBlendModeMultiply);
  EXPECT_TRUE(Near(px(multiplied, 1, 1), {0, 255, 0, 255}));

  auto solid = il_test::SolidUIImage(16, 16, {10, 20, 30, 255});
  auto rounded = il_roundedCornerImageWithRadius(solid, 6, UIRectCornerAllCorners, 0, nullptr);
  EXPECT_EQ(px(rounded, 0, 0)[3], 0);
  EXPECT_TRUE(Near(px(rounded, 8, 8), {10, 20, 30, 255}));
  EXPECT_TRUE(Near(px(rounded, 8, 0), {10, 20, 30, 255}));
  auto onlyTop = il_roundedCornerImageWithRadius(solid, 6, UIRectCornerTopLeft, 0, nullptr);
  EXPECT_EQ(px(onlyTop, 0, 0)[3], 0);
  EXPECT_EQ(px(onlyTop, 15, 15)[3], 255);
  auto bordered = il_roundedCornerImageWithRadius(solid, 4, UIRectCornerAllCorners, 2,
                                                  UIColor::colorWithRed(0, 1, 0, 1));
  EXPECT_TRUE(Near(px(bordered, 8, 2), {0, 255, 0, 255}, 40));
  EXPECT_EQ(px(bordered, 8, 0)[3], 0);  // outside the stroke
  EXPECT_TRUE(Near(px(bordered, 8, 8), {10, 20, 30, 255}));
  auto allBorder = il_roundedCornerImageWithRadius(solid, 4, UIRectCornerAllCorners, 8,
                                                   UIColor::redColor());
  EXPECT_EQ(px(allBorder, 8, 8)[3], 0);
}

TEST_F(TransformTest, ColourSamplingRefusesEverythingOutsideTheBitmap) {
  auto source = pattern();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(il_colorAtPoint(source, CGPoint{-1, 0}), nullptr);
  EXPECT_EQ(il_colorAtPoint(source, CGPoint{0, -0.5}), nullptr);
  EXPECT_EQ(il_colorAtPoint(source, CGPoint{nan, 0}), nullptr);
  EXPECT_EQ(il_colorAtPoint(source, CGPoint{0, nan}), nullptr);
  EXPECT_EQ(il_colorAtPoint(source, CGPoint{8, 0}), nullptr);
  auto last = il_colorAtPoint(source, CGPoint{7.9, 0});
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(il_hexString(*last), "#ff00ffff");
  EXPECT_EQ(il_hexString(*UIColor::redColor()), "#ffff0000");
  EXPECT_EQ(il_hexString(*UIColor::colorWithWhite(1, 0.5)), "#80ffffff");

  // Premultiplied, byte-reversed pixels come back straight.
  auto bgra = std::make_shared<Bytes>(Bytes{0, 0, 64, 128});
  auto premultiplied = UIImage::imageWithCGImage(CGImage::create(
      1, 1, 8, 32, 4, kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little, bgra));
  EXPECT_EQ(il_hexString(*il_colorAtPoint(premultiplied, CGPoint{0, 0})), "#80800000");
  auto grey = UIImage::imageWithCGImage(
      CGImage::create(1, 1, 8, 16, 2, kCGImageAlphaLast, std::make_shared<Bytes>(Bytes{51, 255})));
  EXPECT_EQ(il_hexString(*il_colorAtPoint(grey, CGPoint{0, 0})), "#ff333333");

  auto colors = il_colorsWithRect(source, CGRect{CGPoint{3, 3}, CGSize{2, 2}});
  ASSERT_TRUE(colors);
  ASSERT_EQ(colors->size(), 4u);
  EXPECT_EQ(il_hexString(*(*colors)[0]), "#ffffff00");
  EXPECT_EQ(il_hexString(*(*colors)[3]), "#ff0000ff");
  EXPECT_FALSE(il_colorsWithRect(source, CGRect{CGPoint{7, 0}, CGSize{2, 1}}));
  EXPECT_FALSE(il_colorsWithRect(source, CGRect{CGPoint{-1, 0}, CGSize{1, 1}}));
  EXPECT_FALSE(il_colorsWithRect(source, CGRect{CGPoint{0, 0}, CGSize{0, 1}}));
}

TEST_F(TransformTest, BlurSpreadsAnEdgeSymmetricallyAndKeepsFlatAreas) {
  EXPECT_EQ(il_blurredImageWithRadius(std::make_shared<UIImage>(), 2), nullptr);  // no size
  auto same = pattern();
  EXPECT_EQ(il_blurredImageWithRadius(same, 0), same);
  // Black left half, white right half, 40 wide.
  auto bytes = std::make_shared<Bytes>(40 * 4 * 4);
  for (size_t y = 0; y < 4; ++y)
    for (size_t x = 0; x < 40; ++x)
      for (size_t c = 0; c < 4; ++c) (*bytes)[(y * 40 + x) * 4 + c] = (x >= 20 || c == 3) ? 255 : 0;
  auto edge = UIImage::imageWithCGImage(CGImage::create(40, 4, 8, 32, 160, kCGImageAlphaLast, bytes));
  auto blurred = il_blurredImageWithRadius(edge, 4);
  ASSERT_NE(blurred, nullptr);
  EXPECT_EQ(px(blurred, 0, 2)[0], 0);
  EXPECT_EQ(px(blurred, 39, 2)[0], 255);
  const int left = px(blurred, 19, 2)[0], right = px(blurred, 20, 2)[0];
  EXPECT_GT(left, 40);
  EXPECT_LT(right, 215);
  EXPECT_NEAR(left + right, 255, 6);  // symmetric about the edge
  for (size_t x = 1; x < 40; ++x) EXPECT_GE(px(blurred, x, 2)[0], px(blurred, x - 1, 2)[0]);
  // The spread is wider than a blur of half the radius.
  auto narrow = il_blurredImageWithRadius(edge, 2);
  EXPECT_GT(px(blurred, 15, 2)[0], px(narrow, 15, 2)[0]);
}

TEST_F(TransformTest, CacheKeysAreExactText) {
  EXPECT_EQ(ILThumbnailCacheKey("dir/photo.png", CGSize{100, 50}, true),
            "dir/photo-Thumbnail({100.000000,50.000000},1).png");
  EXPECT_EQ(ILThumbnailCacheKey("https://h.com/a/photo.png?v=1#top", CGSize{100, 50}, false),
            "https://h.com/a/photo-Thumbnail(%7B100.000000,50.000000%7D,0).png?v=1#top");
  EXPECT_EQ(ILCacheKeyWithSuffix("noext", "S"), "noext-S");
  EXPECT_EQ(ILCacheKeyWithSuffix("https://h.com/noext", "S"), "https://h.com/noext-S");
  // A path ending in "/" or without an extension gets the suffix encoded, at
  // the end of the path and not in the query.
  EXPECT_EQ(ILCacheKeyWithSuffix("https://h.com/dir/", "{a b}"), "https://h.com/dir/-%7Ba%20b%7D");
  EXPECT_EQ(ILCacheKeyWithSuffix("https://h.com/dir/?v=1.gif", "S"), "https://h.com/dir/-S?v=1.gif");
  // Keys too long to parse as URLs still take the path's extension, not the
  // query's.
  const std::string tail(70 * 1024, 'q');
  EXPECT_EQ(ILCacheKeyWithSuffix("https://h.com/a/photo.png?x=" + tail + ".gif", "S"),
            "https://h.com/a/photo-S.png?x=" + tail + ".gif");
  EXPECT_EQ(ILCacheKeyWithSuffix("", "S"), "");

  auto round = ILImageRoundCornerTransformer::transformerWithRadius(
      2.5, UIRectCornerTopLeft, 1, UIColor::colorWithRed(0, 0, 1, 1));
  EXPECT_EQ(round->transformerKey(), "ILImageRoundCornerTransformer(2.500000,1,1.000000,#ff0000ff)");
  EXPECT_EQ(ILImageResizingTransformer::transformerWithSize(CGSize{10, 20.25}, 2)->transformerKey(),
            "ILImageResizingTransformer({10.000000,20.250000},2)");
  EXPECT_EQ(ILImageCroppingTransformer::transformerWithRect(CGRect{CGPoint{1, 2}, CGSize{3, 4}})
                ->transformerKey(),
            "ILImageCroppingTransformer({1.000000,2.000000,3.000000,4.000000})");
  EXPECT_EQ(ILImageFlippingTransformer::transformerWithHorizontal(true, false)->transformerKey(),
            "ILImageFlippingTransformer(1,0)");
  EXPECT_EQ(ILImageRotationTransformer::transformerWithAngle(-0.5, true)->transformerKey(),
            "ILImageRotationTransformer(-0.500000,1)");
  EXPECT_EQ(ILImageTintTransformer::transformerWithColor(UIColor::redColor())->transformerKey(),
            "ILImageTintTransformer(#ffff0000,18)");
  EXPECT_EQ(ILImageBlurTransformer::transformerWithRadius(3)->transformerKey(),
            "ILImageBlurTransformer(3.000000)");
}

TEST_F(TransformTest, PipelineChainsKeysImagesAndMetadata) {
  auto empty = ILImagePipelineTransformer::transformerWithTransformers({});
  auto source = pattern();
  EXPECT_EQ(empty->transformerKey(), "");
  EXPECT_EQ(empty->transformedImageWithImage(source, "k"), source);

  auto pipeline = ILImagePipelineTransformer::transformerWithTransformers(
      {ILImageFlippingTransformer::transformerWithHorizontal(true, false),
       ILImageCroppingTransformer::transformerWithRect(CGRect{CGPoint{0, 0}, CGSize{4, 4}})});
  EXPECT_EQ(pipeline->transformerKey(),
            "ILImageFlippingTransformer(1,0)-ILImageCroppingTransformer({0.000000,0.000000,"
            "4.000000,4.000000})");
  il_setImageLoopCount(*source, 7);
  auto out = pipeline->transformedImageWithImage(source, "k");
  ASSERT_NE(out, nullptr);
  EXPECT_TRUE(Near(px(out, 0, 0), kTopRight));
  EXPECT_EQ(il_imageLoopCount(*out), 7u);
  EXPECT_EQ(pipeline->transformedImageWithImage(nullptr, "k"), nullptr);

  ILImageBaseTransformer base;
  EXPECT_DEATH(base.transformerKey(), "you must override transformerKey method");
}

TEST_F(TransformTest, RendererDrawsAtTheFormatScale) {
  auto format = std::make_shared<ILGraphicsImageRendererFormat>();
  format->setScale(2);
  EXPECT_EQ(format->uiformat()->scale(), 2);
  ILGraphicsImageRenderer renderer(CGSize{3, 2}, format);
  int calls = 0;
  auto blank = renderer.imageWithActions([&calls](const CGContextRef&) { calls++; });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(blank->scale(), 2);
  EXPECT_EQ(CGImageGetWidth(blank->CGImage()), 6u);
  EXPECT_EQ(px(blank, 5, 3)[3], 0);
  format->setOpaque(true);
  auto filled = ILGraphicsImageRenderer(CGSize{1, 1}, format).imageWithActions(
      [](const CGContextRef& c) {
        CGContextSetRGBFillColor(c, 0, 1, 0, 1);
        CGContextFillRect(c, CGRect{CGPoint{0, 0}, CGSize{1, 1}});
      });
  EXPECT_TRUE(Near(px(filled, 1, 1), {0, 255, 0, 255}));
  EXPECT_EQ(ILGraphicsImageRendererFormat::preferredFormat()->opaque(), false);
}

}  // namespace

}  // namespace transform_test
