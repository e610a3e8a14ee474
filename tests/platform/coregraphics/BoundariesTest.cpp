// Rounding and limits of Core Graphics: integral rectangles, sub-image cuts
// one pixel wide, and the widest bitmap context.

#include <gtest/gtest.h>

#include <vector>

#include "platform/coregraphics/CGContext.h"
#include "platform/coregraphics/CGGeometry.h"
#include "platform/coregraphics/CGImage.h"
#include "support/TestEnvironment.h"

namespace boundaries_test {

namespace {

class CoreGraphicsBoundariesTest : public PlatformTest {};

TEST_F(CoreGraphicsBoundariesTest, IntegralRectanglesGrowOutwardToWholeNumbers) {
  struct Row {
    CGRect in, out;
  } rows[] = {
      {{{0.5, 0.5}, {1, 1}}, {{0, 0}, {2, 2}}},
      {{{0.2, 0.2}, {1.1, 1.1}}, {{0, 0}, {2, 2}}},  // the far edge 1.3 goes up
      {{{1, 1}, {2, 2}}, {{1, 1}, {2, 2}}},
      {{{1, 1}, {2.01, 2.01}}, {{1, 1}, {3, 3}}},
      {{{-0.5, -0.5}, {1, 1}}, {{-1, -1}, {2, 2}}},
      {{{0.9, 0.9}, {0.2, 0.2}}, {{0, 0}, {2, 2}}},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(CGRectIntegral(r.in), r.out) << r.in.origin.x << " " << r.in.size.width;
  }
}

TEST_F(CoreGraphicsBoundariesTest, SubImagesAreCutOnWholePixelsDownToOneWide) {
  std::vector<uint8_t> bytes(4 * 4 * 4, 255);
  CGImageRef image = CGImage::create(4, 4, 8, 32, 16, kCGImageAlphaPremultipliedLast,
                                     std::make_shared<Bytes>(bytes.begin(), bytes.end()));
  ASSERT_TRUE(image);
  struct Row {
    CGRect cut;
    size_t width, height;  // 0: no image
  } rows[] = {
      {{{1, 0}, {1, 4}}, 1, 4},      // exactly one pixel wide
      {{{3.5, 0}, {1, 4}}, 1, 4},    // grown to (3, 0, 2, 4), one pixel left in bounds
      {{{0.5, 0.5}, {2, 2}}, 3, 3},  // grown outwards on both sides
      {{{0, 3}, {4, 1}}, 4, 1},      // one pixel high
      {{{4, 0}, {1, 4}}, 0, 0},      // outside
  };
  for (const Row& r : rows) {
    CGImageRef cut = CGImageCreateWithImageInRect(image, r.cut);
    if (r.width == 0) {
      EXPECT_EQ(cut, nullptr) << r.cut.origin.x;
      continue;
    }
    ASSERT_TRUE(cut) << r.cut.origin.x << "," << r.cut.origin.y;
    EXPECT_EQ(cut->width(), r.width) << r.cut.origin.x << "," << r.cut.origin.y;
    EXPECT_EQ(cut->height(), r.height) << r.cut.origin.x << "," << r.cut.origin.y;
  }
}

TEST_F(CoreGraphicsBoundariesTest, BitmapContextsAreAtMostSixteenMillionPixelsWide) {
  struct Row {
    size_t width, height;
    bool made;
  } rows[] = {{size_t(1) << 24, 1, true},
              {(size_t(1) << 24) + 1, 1, false},
              {1, size_t(1) << 24, true},
              {1, (size_t(1) << 24) + 1, false}};
  for (const Row& r : rows) {
    auto context =
        CGBitmapContextCreate(nullptr, r.width, r.height, 8, 0, CGColorSpaceCreateDeviceRGB(),
                              kCGImageAlphaPremultipliedLast);
    EXPECT_EQ(context != nullptr, r.made) << r.width << "x" << r.height;
  }
}

}  // namespace

}  // namespace boundaries_test
