// Rounding and limit boundaries of the coder helper's size rules and of the
// frame decoder: each table has a row exactly at the threshold and rows just
// either side of it.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "image_loading/coders/ILImageCoderHelper.h"
#include "image_loading/coders/ILImageIOAnimatedCoder.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/uikit/UIImage.h"
#include "support/TestEnvironment.h"
#include "support/images/ImageLoadingTestSupport.h"

namespace boundaries_test {

namespace {

using H = ILImageCoderHelper;

class CoderBoundariesTest : public PlatformTest {};

TEST_F(CoderBoundariesTest, FitSizeRoundsTheFreeSideUpAndCapsWithoutScalingUp) {
  struct Row {
    CGSize image, box;
    bool keepRatio, scaleUp;
    CGSize expected;
  } rows[] = {
      {{300, 200}, {100, 100}, true, true, {100, 67}},  // 66.7 rounds up
      {{200, 300}, {100, 100}, true, true, {67, 100}},
      {{400, 200}, {100, 100}, true, true, {100, 50}},  // exact: nothing to round
      {{301, 100}, {100, 100}, true, true, {100, 34}},  // 33.2 still rounds up
      {{100, 50}, {100, 100}, true, false, {100, 50}},  // exactly the image's width
      {{99, 50}, {100, 100}, true, false, {99, 50}},    // one less: capped
      {{99, 50}, {100, 100}, true, true, {100, 51}},
      {{99, 50}, {100, 100}, false, false, {99, 50}},
      {{99, 50}, {0, 100}, true, true, {99, 50}},
  };
  for (const Row& r : rows) {
    const CGSize s = H::scaledSizeWithImageSize(r.image, r.box, r.keepRatio, r.scaleUp);
    EXPECT_EQ(s.width, r.expected.width) << r.image.width << "x" << r.image.height;
    EXPECT_EQ(s.height, r.expected.height) << r.image.width << "x" << r.image.height;
  }
}

TEST_F(CoderBoundariesTest, ByteLimitSizeKeepsAtLeastOnePixelASide) {
  struct Row {
    CGSize image;
    uint64_t limit, bytesPerPixel, frames;
    CGSize expected;
  } rows[] = {
      {{10000, 1}, 400, 4, 1, {1000, 1}},  // 0.1 rows: kept at one
      {{1, 10000}, 400, 4, 1, {1, 1000}},
      {{100, 100}, 40000, 4, 1, {100, 100}},
      {{100, 100}, 39999, 4, 1, {99, 99}},  // one byte short: a pixel less
      {{100, 100}, 80000, 4, 2, {100, 100}},
      {{100, 100}, 80000, 4, 0, {141, 141}},  // no frame count counts as one
  };
  for (const Row& r : rows) {
    const CGSize s = H::scaledSizeWithImageSize(r.image, r.limit, r.bytesPerPixel, r.frames);
    EXPECT_EQ(s.width, r.expected.width)
        << r.image.width << "x" << r.image.height << " " << r.limit;
    EXPECT_EQ(s.height, r.expected.height)
        << r.image.width << "x" << r.image.height << " " << r.limit;
  }
}

TEST_F(CoderBoundariesTest, ScaleDownOnlyPastTheBudgetWhichIsAtLeastOnePixel) {
  struct Row {
    CGSize pixels;
    uint64_t limit;
    bool expected;
  } rows[] = {
      {{10, 10}, 400, false},                                             // exactly the budget
      {{11, 10}, 400, true},                                              // one row past
      {{10, 10}, 404, false}, {{10, 10}, 399, true}, {{1, 1}, 1, false},  // a limit below four
                                                                          // bytes still allows a
                                                                          // pixel
      {{1, 1}, 3, false},     {{2, 1}, 3, true},     {{1, 1}, 4, false}, {{0, 10}, 4, false},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(H::shouldScaleDownImagePixelSize(r.pixels, r.limit), r.expected)
        << r.pixels.width << "x" << r.pixels.height << " " << r.limit;
  }
}

TEST_F(CoderBoundariesTest, FrameListKeepsTheCommonStepUpToTheEntryLimit) {
  UIImagePtr a = il_test::SolidUIImage(1, 1, {255, 0, 0, 255});
  UIImagePtr b = il_test::SolidUIImage(1, 1, {0, 0, 255, 255});
  struct Row {
    double second;  // seconds; the first frame lasts 0.125 s, the common step
    size_t entries;
  } rows[] = {
      {1249.75, 9999},    // one entry under the limit
      {1249.875, 10000},  // exactly the limit: still one entry a step
      {1250.0, 9921},     // one past: coarser steps, rounded up so the list fits
  };
  static_assert(kILAnimatedImageMaxEntries == 10000);
  for (const Row& r : rows) {
    UIImagePtr image = H::animatedImageWithFrames(
        {ILImageFrame::frameWithImage(a, 0.125), ILImageFrame::frameWithImage(b, r.second)});
    ASSERT_TRUE(image && image->images());
    EXPECT_EQ(image->images()->size(), r.entries) << r.second;
    EXPECT_EQ(image->images()->front(), a) << r.second;
  }
}

TEST_F(CoderBoundariesTest, AFrameThatFitsTheThumbnailExactlyIsDecodedWhole) {
  // Stored 40x20 with orientation 6: a thumbnail is turned upright, a whole
  // frame keeps the orientation for drawing.
  NSDataPtr png = il_test::StillFile("public.png", il_test::PatternImage(40, 20), 6);
  CGImageSourceRef source = CGImageSourceCreateWithData(png);
  ASSERT_TRUE(source);
  struct Row {
    CGSize thumbnail;
    bool whole;
    size_t width, height;
  } rows[] = {
      {{40, 20}, true, 40, 20},  // exactly the frame's size
      {{41, 21}, true, 40, 20},
      {{39, 20}, false, 20, 39},  // one short on a side: a thumbnail
      {{40, 19}, false, 19, 38},
  };
  for (const Row& r : rows) {
    UIImagePtr frame = ILImageIOAnimatedCoder::createFrameAtIndex(0, source, 1, true, r.thumbnail,
                                                                  true, false, false);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->imageOrientation(), r.whole ? UIImageOrientationRight : UIImageOrientationUp)
        << r.thumbnail.width << "x" << r.thumbnail.height;
    EXPECT_EQ(frame->CGImage()->width(), r.width) << r.thumbnail.width << "x" << r.thumbnail.height;
    EXPECT_EQ(frame->CGImage()->height(), r.height)
        << r.thumbnail.width << "x" << r.thumbnail.height;
  }
}

}  // namespace

}  // namespace boundaries_test
