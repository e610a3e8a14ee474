#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "crop/UIImageCropRotate.h"
#include "platform/uikit/UIImage.h"
#include "support/TestEnvironment.h"
#include "support/ui/SnapshotTesting.h"

namespace crop_rendering_test {

namespace {

class CropRenderingTest : public PlatformTest {};

// A w×h bitmap whose every pixel says where it is: red = x * 20, green =
// y * 20, blue 200; opaque (skipped alpha) unless `alphaInfo` says otherwise.
UIImagePtr numberedImage(size_t w, size_t h, double scale = 1,
                         uint32_t alphaInfo = kCGImageAlphaNoneSkipLast) {
  auto px = std::make_shared<Bytes>(w * h * 4);
  for (size_t y = 0; y < h; ++y) {
    for (size_t x = 0; x < w; ++x) {
      uint8_t* p = px->data() + (y * w + x) * 4;
      p[0] = uint8_t(x * 20);
      p[1] = uint8_t(y * 20);
      p[2] = 200;
      p[3] = 255;
    }
  }
  return UIImage::imageWithCGImage(CGImage::create(w, h, 8, 32, w * 4, alphaInfo, px), scale,
                                   UIImageOrientationUp);
}

struct Pixel {
  int r, g, b, a;
};

Pixel pixelAt(const UIImagePtr& image, size_t x, size_t y) {
  auto px = RGBAPixels(image->CGImage());
  const uint8_t* p = px.data() + (y * image->CGImage()->width() + x) * 4;
  return {p[0], p[1], p[2], p[3]};
}

// The source pixel shown at (u, v) of the whole W×H image turned clockwise by `turn`.
std::pair<size_t, size_t> sourceOf(int turn, size_t u, size_t v, size_t W, size_t H) {
  switch (turn) {
    case 90: return {v, H - 1 - u};
    case 180: return {W - 1 - u, H - 1 - v};
    case 270: return {W - 1 - v, u};
    default: return {u, v};
  }
}

void expectTurned(const UIImagePtr& out, int turn, size_t W, size_t H) {
  ASSERT_TRUE(out && out->CGImage());
  bool sideways = turn == 90 || turn == 270;
  ASSERT_EQ(out->CGImage()->width(), sideways ? H : W);
  ASSERT_EQ(out->CGImage()->height(), sideways ? W : H);
  for (size_t v = 0; v < out->CGImage()->height(); ++v) {
    for (size_t u = 0; u < out->CGImage()->width(); ++u) {
      auto [x, y] = sourceOf(turn, u, v, W, H);
      Pixel p = pixelAt(out, u, v);
      ASSERT_EQ(p.r, int(x * 20)) << "turn " << turn << " at " << u << "," << v;
      ASSERT_EQ(p.g, int(y * 20)) << "turn " << turn << " at " << u << "," << v;
    }
  }
}

TEST_F(CropRenderingTest, AlphaInfoDecidesHasAlpha) {
  EXPECT_FALSE(hasAlpha(*numberedImage(2, 2, 1, kCGImageAlphaNoneSkipLast)));
  EXPECT_FALSE(hasAlpha(*numberedImage(2, 2, 1, kCGImageAlphaNoneSkipFirst)));
  EXPECT_TRUE(hasAlpha(*numberedImage(2, 2, 1, kCGImageAlphaPremultipliedLast)));
  EXPECT_TRUE(hasAlpha(*numberedImage(2, 2, 1, kCGImageAlphaPremultipliedFirst)));
  EXPECT_TRUE(hasAlpha(*numberedImage(2, 2, 1, kCGImageAlphaLast)));
  EXPECT_TRUE(hasAlpha(*numberedImage(2, 2, 1, kCGImageAlphaFirst)));
  EXPECT_FALSE(hasAlpha(UIImage()));
}

TEST_F(CropRenderingTest, QuarterTurnsOfTheWholeImageInBothSignsCopyAndDrawAlike) {
  const size_t W = 6, H = 4;
  auto image = numberedImage(W, H);
  struct Case {
    int64_t angle;
    int turn;
  };
  for (Case c : {Case{0, 0}, Case{90, 90}, Case{180, 180}, Case{270, 270}, Case{-90, 270},
                 Case{-180, 180}, Case{-270, 90}}) {
    bool sideways = c.turn == 90 || c.turn == 270;
    CGRect whole = CGRectMake(0, 0, sideways ? H : W, sideways ? W : H);
    auto copied = CRCroppedImageByCopying(*image, whole, c.angle, false);
    auto drawn = CRCroppedImageByDrawing(*image, whole, c.angle, false);
    expectTurned(copied, c.turn, W, H);
    expectTurned(drawn, c.turn, W, H);
    expectTurned(croppedImageWithFrame(*image, whole, c.angle, false), c.turn, W, H);
    EXPECT_EQ(drawn->size(), whole.size);
    EXPECT_FALSE(hasAlpha(*copied)) << c.angle;
    EXPECT_FALSE(hasAlpha(*drawn)) << c.angle;
  }
}

TEST_F(CropRenderingTest, SubRectanglesOfTurnedImagesAtScaleTwo) {
  // 5×4 points at scale 2: 10×8 pixels.
  auto image = numberedImage(10, 8, 2);
  CGRect frame = CGRectMake(1, 0.5, 2, 3.5);  // whole pixels at scale 2
  for (int64_t angle : {0, 90, 180, 270, -90}) {
    auto copied = CRCroppedImageByCopying(*image, frame, angle, false);
    auto drawn = CRCroppedImageByDrawing(*image, frame, angle, false);
    ASSERT_TRUE(copied) << angle;
    EXPECT_EQ(copied->scale(), 2);
    EXPECT_EQ(copied->size(), frame.size);
    EXPECT_EQ(RGBAPixels(copied->CGImage()), RGBAPixels(drawn->CGImage())) << angle;
  }
  // Outside the turned image, off the pixel grid, or not a quarter turn: only drawing can do it.
  EXPECT_EQ(CRCroppedImageByCopying(*image, CGRectMake(4, 0, 2, 2), 0, false), nullptr);
  EXPECT_EQ(CRCroppedImageByCopying(*image, CGRectMake(0, 0, 4.5, 2), 90, false), nullptr);
  EXPECT_EQ(CRCroppedImageByCopying(*image, CGRectMake(0.25, 0, 2, 2), 0, false), nullptr);
  EXPECT_EQ(CRCroppedImageByCopying(*image, CGRectMake(0, 0, 2, 2), 45, false), nullptr);
  auto outside = croppedImageWithFrame(*image, CGRectMake(4, 0, 2, 2), 0, false);
  ASSERT_TRUE(outside);
  EXPECT_EQ(outside->size(), CGSizeMake(2, 2));
  EXPECT_EQ(pixelAt(outside, 0, 0).r, 8 * 20);
  // A photo whose decode failed has no pixels to copy.
  auto failed = UIImage::imageWithCGImage(
      CGImage::createLazy(10, 8, 8, 32, 40, kCGImageAlphaPremultipliedLast,
                          [] { return std::shared_ptr<const Bytes>(); }),
      2, UIImageOrientationUp);
  EXPECT_EQ(CRCroppedImageByCopying(*failed, frame, 90, false), nullptr);
}

TEST_F(CropRenderingTest, CircularClipIsTransparentOutsideWithAnAntialiasedEdge) {
  const size_t N = 64;
  auto image = numberedImage(N, N);
  CGRect whole = CGRectMake(0, 0, N, N);
  auto copied = CRCroppedImageByCopying(*image, whole, 90, true);
  auto drawn = CRCroppedImageByDrawing(*image, whole, 90, true);
  ASSERT_TRUE(copied);
  SaveSnapshot(copied, "crop-circular-clip");
  for (const auto& out : {copied, drawn}) {
    EXPECT_TRUE(hasAlpha(*out));
    EXPECT_EQ(pixelAt(out, 0, 0).a, 0);
    EXPECT_EQ(pixelAt(out, N - 1, N - 1).a, 0);
    Pixel centre = pixelAt(out, N / 2, N / 2);
    EXPECT_EQ(centre.a, 255);
    // Turned a quarter clockwise: (u, v) shows source (v, N-1-u).
    EXPECT_EQ(centre.r, int(uint8_t((N / 2) * 20)));
    EXPECT_EQ(centre.g, int(uint8_t((N - 1 - N / 2) * 20)));
  }
  // The edge is antialiased and both ways agree on it within a few levels.
  auto a = RGBAPixels(copied->CGImage()), b = RGBAPixels(drawn->CGImage());
  int partial = 0, worst = 0;
  for (size_t i = 3; i < a.size(); i += 4) {
    if (a[i] > 0 && a[i] < 255) ++partial;
    worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
  }
  EXPECT_GT(partial, int(N));  // a ring of partial pixels round the whole circle
  EXPECT_LE(worst, 48);

  // The mask of an image with straight alpha scales alpha alone.
  auto straight = numberedImage(N, N, 1, kCGImageAlphaLast);
  auto masked = CRCroppedImageByCopying(*straight, whole, 0, true);
  EXPECT_EQ(CGImageGetAlphaInfo(masked->CGImage()), kCGImageAlphaLast);
  EXPECT_EQ(pixelAt(masked, N / 2, 0).a, pixelAt(copied, N / 2, 0).a);
}

TEST_F(CropRenderingTest, OpaqueUnlessCircularOrAlpha) {
  auto opaque = numberedImage(8, 8);
  auto clear = numberedImage(8, 8, 1, kCGImageAlphaPremultipliedLast);
  CGRect frame = CGRectMake(1.5, 1, 4, 4);  // off the grid: drawn
  EXPECT_FALSE(hasAlpha(*croppedImageWithFrame(*opaque, frame, 0, false)));
  EXPECT_TRUE(hasAlpha(*croppedImageWithFrame(*opaque, frame, 0, true)));
  EXPECT_TRUE(hasAlpha(*croppedImageWithFrame(*clear, frame, 0, false)));
  EXPECT_TRUE(hasAlpha(*croppedImageWithFrame(*opaque, CGRectMake(1, 1, 4, 4), 0, true)));
}

}  // namespace

}  // namespace crop_rendering_test
