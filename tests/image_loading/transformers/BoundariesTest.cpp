// Rounding and limit boundaries of the image transforms: whole-point
// canvases of rotations, stroke insets of borders, blur box sizes, the
// epsilons below which tint and blur leave the image alone, and the edges
// of sampling and drawing.

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <memory>
#include <vector>

#include "image_loading/transformers/UIImageTransform.h"
#include "platform/uikit/UIBezierPath.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIImage.h"
#include "support/TestEnvironment.h"
#include "support/images/ImageLoadingTestSupport.h"

namespace boundaries_test {

namespace {

using il_test::PixelAt;

class TransformBoundariesTest : public PlatformTest {};

// Opaque black, with a white column at `column` when it is inside.
UIImagePtr BlackWithColumn(size_t w, size_t h, size_t column, double scale = 1) {
  auto bytes = std::make_shared<Bytes>(w * h * 4, 0);
  for (size_t y = 0; y < h; ++y) {
    for (size_t x = 0; x < w; ++x) {
      uint8_t* p = bytes->data() + (y * w + x) * 4;
      const uint8_t v = x == column ? 255 : 0;
      p[0] = p[1] = p[2] = v;
      p[3] = 255;
    }
  }
  return UIImage::imageWithCGImage(
      CGImage::create(w, h, 8, 32, w * 4, kCGImageAlphaPremultipliedLast, bytes), scale,
      UIImageOrientationUp);
}

TEST_F(TransformBoundariesTest, RotationCanvasesAreTheSizeCutToWholePoints) {
  struct Row {
    size_t pixels;  // wide, at scale 2
    size_t canvasPixels;
  } rows[] = {{20, 20}, {21, 20}, {19, 18}, {23, 22}};
  for (const Row& r : rows) {
    auto image = BlackWithColumn(r.pixels, 10, 100, 2);
    auto turned = il_rotatedImageWithAngle(image, 0.1, false);
    ASSERT_TRUE(turned && turned->CGImage()) << r.pixels;
    EXPECT_EQ(turned->CGImage()->width(), r.canvasPixels) << r.pixels;
    EXPECT_EQ(turned->CGImage()->height(), 10u) << r.pixels;
  }
}

TEST_F(TransformBoundariesTest, BorderStrokesAreInsetByWholePixelsAndAHalf) {
  // A border of 1.6 pixels is stroked 1.5 pixels in, so it covers rows 0.7
  // to 2.3: row 1 entirely, row 2 only in part.
  struct Row {
    double border, scale;
    size_t row;
    bool green;
  } rows[] = {{1.6, 1, 1, true},  {1.6, 1, 2, false}, {0.8, 2, 1, true},
              {0.8, 2, 2, false}, {2.0, 1, 2, true},  {2.0, 1, 1, false}};
  for (const Row& r : rows) {
    auto solid = UIImage::imageWithCGImage(
        il_test::SolidImage(size_t(20 * r.scale), size_t(20 * r.scale), {10, 20, 30, 255}), r.scale,
        UIImageOrientationUp);
    auto bordered = il_roundedCornerImageWithRadius(solid, 0, UIRectCornerAllCorners, r.border,
                                                    UIColor::colorWithRed(0, 1, 0, 1));
    ASSERT_TRUE(bordered);
    const auto p = PixelAt(bordered->CGImage(), size_t(10 * r.scale), r.row);
    EXPECT_EQ(p[1] > 240 && p[2] < 15 && p[3] > 240, r.green)
        << r.border << " @" << r.scale << " row " << r.row << ": " << int(p[1]) << "," << int(p[2])
        << "," << int(p[3]);
  }
}

TEST_F(TransformBoundariesTest, HalfTheShorterSideOfBorderLeavesNothing) {
  auto solid = il_test::SolidUIImage(20, 10, {10, 20, 30, 255});
  struct Row {
    double border;
    bool centreShown;
  } rows[] = {{4.9, true}, {5, false}, {5.1, false}};
  for (const Row& r : rows) {
    auto out = il_roundedCornerImageWithRadius(solid, 0, UIRectCornerAllCorners, r.border,
                                               UIColor::redColor());
    ASSERT_TRUE(out) << r.border;
    EXPECT_EQ(PixelAt(out->CGImage(), 10, 5)[3] > 0, r.centreShown) << r.border;
  }
}

TEST_F(TransformBoundariesTest, BlurBoxesAreTheNearestWholeSize) {
  // Three passes of a box of k pixels spread a one-pixel line 3 (k - 1) / 2
  // pixels each way: radius 3 makes box 6 (5.64 rounded), kernel 7, spread 9;
  // radius 2.9 makes box 5 (5.45), kernel 5, spread 6.
  struct Row {
    double radius;
    size_t distance;
    bool lit;
  } rows[] = {{3.0, 7, true}, {2.9, 6, true}, {2.9, 7, false}, {2.0, 6, true}, {2.0, 7, false}};
  for (const Row& r : rows) {
    auto blurred = il_blurredImageWithRadius(BlackWithColumn(41, 3, 20), r.radius);
    ASSERT_TRUE(blurred && blurred->CGImage()) << r.radius;
    EXPECT_EQ(PixelAt(blurred->CGImage(), 20 + r.distance, 1)[0] > 0, r.lit)
        << r.radius << " at " << r.distance;
  }
}

TEST_F(TransformBoundariesTest, TintAndBlurLeaveTheImageAloneUpToTheEpsilon) {
  auto image = il_test::SolidUIImage(4, 4, {10, 20, 30, 255});
  struct Row {
    double amount;
    bool same;
  } rows[] = {{0, true}, {FLT_EPSILON, true}, {2 * FLT_EPSILON, false}};
  for (const Row& r : rows) {
    EXPECT_EQ(il_tintedImageWithColor(image, UIColor::colorWithRed(1, 0, 0, r.amount)) == image,
              r.same)
        << r.amount;
    EXPECT_EQ(il_blurredImageWithRadius(image, r.amount) == image, r.same) << r.amount;
  }
}

TEST_F(TransformBoundariesTest, BlurNeedsAtLeastOnePointEachWay) {
  struct Row {
    size_t pixels;
    double scale;
    bool blurred;
  } rows[] = {{1, 1, true}, {2, 2, true}, {1, 2, false}, {3, 4, false}};
  for (const Row& r : rows) {
    auto image = UIImage::imageWithCGImage(il_test::SolidImage(r.pixels, r.pixels, {1, 2, 3, 255}),
                                           r.scale, UIImageOrientationUp);
    EXPECT_EQ(il_blurredImageWithRadius(image, 1) != nullptr, r.blurred)
        << r.pixels << " @" << r.scale;
  }
}

TEST_F(TransformBoundariesTest, SampledRectanglesMayEndExactlyAtTheEdge) {
  auto image = il_test::SolidUIImage(4, 4, {10, 20, 30, 255});
  struct Row {
    CGRect rect;
    size_t colours;  // 0: refused
  } rows[] = {{{{2, 0}, {2, 1}}, 2},
              {{{3, 0}, {2, 1}}, 0},
              {{{0, 3}, {4, 1}}, 4},
              {{{0, 3}, {4, 2}}, 0},
              {{{0, 0}, {4, 4}}, 16}};
  for (const Row& r : rows) {
    auto colours = il_colorsWithRect(image, r.rect);
    EXPECT_EQ(colours ? colours->size() : 0, r.colours)
        << r.rect.origin.x << "," << r.rect.origin.y;
  }
}

TEST_F(TransformBoundariesTest, DrawingNeedsAHundredthOfAPointEachWay) {
  struct Row {
    CGSize image;
    double rectWidth;
    bool drawn;
  } rows[] = {{{10, 10}, 0.01, true},
              {{10, 10}, 0.0099, false},
              {{0.01, 10}, 5, true},
              {{0.0099, 10}, 5, false}};
  for (const Row& r : rows) {
    const CGRect drawn =
        ILImageDrawRect(r.image, CGRectMake(0, 0, r.rectWidth, 10), ILImageScaleModeAspectFit);
    EXPECT_EQ(drawn.size.width > 0, r.drawn) << r.image.width << " in " << r.rectWidth;
  }
}

}  // namespace

}  // namespace boundaries_test
