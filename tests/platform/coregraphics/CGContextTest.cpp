#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include "platform/coregraphics/CGContext.h"
#include "support/TestEnvironment.h"

namespace cg_context_test {

namespace {

using RGBA = std::array<int, 4>;
constexpr uint32_t kRGBA = kCGImageAlphaPremultipliedLast | kCGBitmapByteOrder32Big;
constexpr uint32_t kBGRA = kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little;

CGContextRef makeContext(size_t w, size_t h, uint32_t info = kRGBA) {
  return CGBitmapContextCreate(nullptr, w, h, 8, 0, CGColorSpaceCreateDeviceRGB(), info);
}

// Pixel at column x, row y (row 0 is the top row in memory), as premultiplied
// RGBA whatever the context's layout.
RGBA pixel(const CGContextRef& c, int x, int y) {
  CGPixelLayout l = CGPixelLayout::forBitmapInfo(c->bitmapInfo());
  const uint8_t* p = c->data() + y * c->bytesPerRow() + x * 4;
  return {p[l.r], p[l.g], p[l.b], l.a >= 0 ? p[l.a] : 255};
}

void expectNear(const RGBA& actual, const RGBA& expected, int tolerance = 1) {
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(actual[i], expected[i], tolerance) << "channel " << i;
}

CGImageRef imageFromPixels(size_t w, size_t h, const std::vector<uint8_t>& rgba,
                           uint32_t info = kRGBA) {
  return CGImage::create(w, h, 8, 32, w * 4, info, std::make_shared<const Bytes>(rgba));
}

using CGContextTest = PlatformTest;

TEST_F(CGContextTest, CreationChecksParametersAndLayout) {
  auto c = makeContext(5, 3);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->bytesPerRow(), 32u);  // rounded up to 32 bytes
  EXPECT_EQ(CGBitmapContextGetAlphaInfo(c), kCGImageAlphaPremultipliedLast);
  EXPECT_FALSE(CGBitmapContextCreate(nullptr, 4, 4, 16, 0, CGColorSpaceCreateDeviceRGB(), kRGBA));
  EXPECT_FALSE(CGBitmapContextCreate(nullptr, 0, 4, 8, 0, CGColorSpaceCreateDeviceRGB(), kRGBA));
  EXPECT_FALSE(CGBitmapContextCreate(nullptr, 4, 4, 8, 8, CGColorSpaceCreateDeviceRGB(), kRGBA));
  EXPECT_FALSE(CGBitmapContextCreate(nullptr, 4, 4, 8, 0, nullptr, kRGBA));
  EXPECT_FALSE(
      CGBitmapContextCreate(nullptr, 4, 4, 8, 0, CGColorSpaceCreateDeviceRGB(), kCGImageAlphaNone));
  // A caller's buffer is drawn into directly.
  std::vector<uint8_t> buffer(16, 0);
  auto own = CGBitmapContextCreate(buffer.data(), 2, 2, 8, 8, CGColorSpaceCreateDeviceRGB(), kBGRA);
  CGContextSetRGBFillColor(own, 1, 0, 0, 1);
  CGContextFillRect(own, CGRectMake(0, 0, 2, 2));
  EXPECT_EQ(buffer[0], 0);    // blue
  EXPECT_EQ(buffer[2], 255);  // red
  EXPECT_EQ(buffer[3], 255);  // alpha
}

TEST_F(CGContextTest, FillRectUsesBottomLeftOriginAndAntialiasesEdges) {
  auto c = makeContext(4, 4);
  CGContextSetRGBFillColor(c, 0, 0, 1, 1);
  CGContextFillRect(c, CGRectMake(0, 0, 2, 1));
  expectNear(pixel(c, 0, 3), {0, 0, 255, 255});
  expectNear(pixel(c, 1, 3), {0, 0, 255, 255});
  expectNear(pixel(c, 2, 3), {0, 0, 0, 0});
  expectNear(pixel(c, 0, 0), {0, 0, 0, 0});
  // Half a pixel covered: half the coverage.
  CGContextSetRGBFillColor(c, 1, 1, 1, 1);
  CGContextFillRect(c, CGRectMake(3, 0, 0.5, 4));
  expectNear(pixel(c, 3, 1), {128, 128, 128, 128});
  // Without antialiasing the edge snaps.
  auto hard = makeContext(4, 1);
  CGContextSetShouldAntialias(hard, false);
  CGContextFillRect(hard, CGRectMake(0.6, 0, 1.2, 1));  // holds pixel 1's centre only
  EXPECT_EQ(pixel(hard, 0, 0)[3], 0);
  EXPECT_EQ(pixel(hard, 1, 0)[3], 255);
  EXPECT_EQ(pixel(hard, 2, 0)[3], 0);
}

TEST_F(CGContextTest, TransformsMapImagesAndStateIsRestored) {
  // 2 x 1 image: red then blue.
  auto image = imageFromPixels(2, 1, {255, 0, 0, 255, 0, 0, 255, 255});
  auto c = makeContext(1, 2);
  CGContextSaveGState(c);
  // A quarter turn anticlockwise (y up) takes the image's left end downwards.
  CGContextTranslateCTM(c, 1, 0);
  CGContextRotateCTM(c, M_PI / 2);
  CGContextDrawImage(c, CGRectMake(0, 0, 2, 1), image);
  CGContextRestoreGState(c);
  expectNear(pixel(c, 0, 1), {255, 0, 0, 255});
  expectNear(pixel(c, 0, 0), {0, 0, 255, 255});
  EXPECT_TRUE(CGAffineTransformIsIdentity(CGContextGetCTM(c)));

  // Scaling flips: drawn with y mirrored, the first row lands at the bottom.
  auto tall = imageFromPixels(1, 2, {255, 0, 0, 255, 0, 255, 0, 255});
  auto d = makeContext(1, 2);
  CGContextDrawImage(d, CGRectMake(0, 0, 1, 2), tall);
  expectNear(pixel(d, 0, 0), {255, 0, 0, 255});
  CGContextTranslateCTM(d, 0, 2);
  CGContextScaleCTM(d, 1, -1);
  CGContextDrawImage(d, CGRectMake(0, 0, 1, 2), tall);
  expectNear(pixel(d, 0, 0), {0, 255, 0, 255});
  expectNear(pixel(d, 0, 1), {255, 0, 0, 255});
}

TEST_F(CGContextTest, BilinearUpscaleOfTwoByTwoGivesGradient) {
  // Columns black and white.
  auto image =
      imageFromPixels(2, 2, {0, 0, 0, 255, 255, 255, 255, 255, 0, 0, 0, 255, 255, 255, 255, 255});
  auto c = makeContext(4, 4);
  CGContextSetInterpolationQuality(c, kCGInterpolationLow);
  CGContextDrawImage(c, CGRectMake(0, 0, 4, 4), image);
  const int expected[4] = {0, 64, 191, 255};  // 0, ¼, ¾, 1 with edges held
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_NEAR(pixel(c, x, y)[0], expected[x], 1) << x << "," << y;
  // Nearest keeps hard steps.
  auto n = makeContext(4, 1);
  CGContextSetInterpolationQuality(n, kCGInterpolationNone);
  CGContextDrawImage(n, CGRectMake(0, 0, 4, 1), image);
  EXPECT_EQ(pixel(n, 1, 0)[0], 0);
  EXPECT_EQ(pixel(n, 2, 0)[0], 255);
}

TEST_F(CGContextTest, HighQualityDownscaleAveragesEverySourcePixel) {
  // 8 x 8 checkerboard: any single sample is black or white, the mean is grey.
  std::vector<uint8_t> px;
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      uint8_t v = (x + y) % 2 ? 255 : 0;
      px.insert(px.end(), {v, v, v, 255});
    }
  auto image = imageFromPixels(8, 8, px);
  for (auto q : {kCGInterpolationHigh, kCGInterpolationMedium}) {
    auto c = makeContext(2, 2);
    CGContextSetInterpolationQuality(c, q);
    CGContextDrawImage(c, CGRectMake(0, 0, 2, 2), image);
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 2; ++x) EXPECT_NEAR(pixel(c, x, y)[0], 128, 2);
  }
}

TEST_F(CGContextTest, ClipsToEllipseAndRoundedRectLeaveCornersUntouched) {
  auto c = makeContext(20, 20);
  CGContextAddEllipseInRect(c, CGRectMake(0, 0, 20, 20));
  CGContextClip(c);
  CGContextSetRGBFillColor(c, 1, 0, 0, 1);
  CGContextFillRect(c, CGRectMake(0, 0, 20, 20));
  for (auto [x, y] : {std::pair{0, 0}, {19, 0}, {0, 19}, {19, 19}, {1, 1}, {18, 18}})
    EXPECT_EQ(pixel(c, x, y)[3], 0) << x << "," << y;
  expectNear(pixel(c, 10, 10), {255, 0, 0, 255});
  expectNear(pixel(c, 10, 0), {255, 0, 0, 255}, 40);  // top edge, mostly inside
  // An edge pixel is partly covered.
  int edge = pixel(c, 1, 4)[3];
  EXPECT_GT(edge, 0);
  EXPECT_LT(edge, 255);

  auto r = makeContext(20, 20);
  auto path = CGPathCreateWithRoundedRect(CGRectMake(0, 0, 20, 20), 6, 6, nullptr);
  CGContextAddPath(r, path);
  CGContextClip(r);
  CGContextSetRGBFillColor(r, 0, 1, 0, 1);
  CGContextFillRect(r, CGRectMake(0, 0, 20, 20));
  EXPECT_EQ(pixel(r, 0, 0)[3], 0);
  EXPECT_EQ(pixel(r, 19, 19)[3], 0);
  expectNear(pixel(r, 10, 0), {0, 255, 0, 255});
  expectNear(pixel(r, 0, 10), {0, 255, 0, 255});
  EXPECT_TRUE(CGRectEqualToRect(CGContextGetClipBoundingBox(r), CGRectMake(0, 0, 20, 20)));
}

TEST_F(CGContextTest, RectClipNestsAndRestores) {
  auto c = makeContext(10, 10);
  CGContextSaveGState(c);
  CGContextClipToRect(c, CGRectMake(2, 2, 6, 6));
  CGContextClipToRect(c, CGRectMake(5, 0, 10, 10));
  EXPECT_TRUE(CGRectEqualToRect(CGContextGetClipBoundingBox(c), CGRectMake(5, 2, 3, 6)));
  CGContextSetRGBFillColor(c, 1, 1, 1, 1);
  CGContextFillRect(c, CGRectMake(0, 0, 10, 10));
  EXPECT_EQ(pixel(c, 4, 5)[3], 0);
  EXPECT_EQ(pixel(c, 6, 5)[3], 255);
  CGContextRestoreGState(c);
  CGContextSetRGBFillColor(c, 0, 0, 0, 1);
  CGContextFillRect(c, CGRectMake(0, 0, 10, 10));
  EXPECT_EQ(pixel(c, 0, 0)[3], 255);
}

TEST_F(CGContextTest, StraightAndPremultipliedAlphaRoundTrip) {
  // Straight RGBA (200, 100, 50) at alpha 128.
  auto straight = imageFromPixels(1, 1, {200, 100, 50, 128}, kCGImageAlphaLast);
  auto premul = makeContext(1, 1);
  CGContextSetBlendMode(premul, kCGBlendModeCopy);
  CGContextDrawImage(premul, CGRectMake(0, 0, 1, 1), straight);
  const uint8_t* p = premul->data();
  EXPECT_NEAR(p[0], 100, 1);
  EXPECT_NEAR(p[1], 50, 1);
  EXPECT_NEAR(p[2], 25, 1);
  EXPECT_EQ(p[3], 128);
  // And back into a straight-alpha bitmap.
  auto back =
      CGBitmapContextCreate(nullptr, 1, 1, 8, 0, CGColorSpaceCreateDeviceRGB(), kCGImageAlphaLast);
  ASSERT_TRUE(back);
  CGContextSetBlendMode(back, kCGBlendModeCopy);
  CGContextDrawImage(back, CGRectMake(0, 0, 1, 1), CGBitmapContextCreateImage(premul));
  const uint8_t* q = back->data();
  EXPECT_NEAR(q[0], 200, 2);
  EXPECT_NEAR(q[1], 100, 2);
  EXPECT_NEAR(q[2], 50, 2);
  EXPECT_EQ(q[3], 128);
}

// Fills one pixel holding the premultiplied bytes `dst` with the straight
// colour `src` in `mode`; answers the pixel.
RGBA blendOnePixel(CGBlendMode mode, const RGBA& dst, const std::array<double, 4>& src) {
  auto c = makeContext(1, 1);
  uint8_t* p = c->data();
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(dst[i]);
  CGContextSetBlendMode(c, mode);
  CGContextSetRGBFillColor(c, src[0], src[1], src[2], src[3]);
  CGContextFillRect(c, CGRectMake(0, 0, 1, 1));
  return pixel(c, 0, 0);
}

TEST_F(CGContextTest, BlendModes) {
  const auto& run = blendOnePixel;
  const std::array<double, 4> grey{0.5, 0.5, 0.5, 1}, halfRed{1, 0, 0, 0.5};
  RGBA opaqueGrey{128, 128, 128, 255}, clear{0, 0, 0, 0};
  expectNear(run(kCGBlendModeMultiply, opaqueGrey, grey), {64, 64, 64, 255});
  expectNear(run(kCGBlendModeScreen, opaqueGrey, grey), {192, 192, 192, 255});
  expectNear(run(kCGBlendModeNormal, opaqueGrey, halfRed), {192, 64, 64, 255});
  expectNear(run(kCGBlendModeCopy, opaqueGrey, halfRed), {128, 0, 0, 128});
  expectNear(run(kCGBlendModeClear, opaqueGrey, grey), {0, 0, 0, 0});
  expectNear(run(kCGBlendModeSourceIn, clear, grey), {0, 0, 0, 0});
  expectNear(run(kCGBlendModeSourceIn, opaqueGrey, halfRed), {128, 0, 0, 128});
  expectNear(run(kCGBlendModeSourceAtop, opaqueGrey, halfRed), {192, 64, 64, 255});
  expectNear(run(kCGBlendModeDestinationIn, opaqueGrey, halfRed), {64, 64, 64, 128});
  expectNear(run(kCGBlendModeDestinationOut, opaqueGrey, halfRed), {64, 64, 64, 128});
  expectNear(run(kCGBlendModeDestinationOver, clear, halfRed), {128, 0, 0, 128});
  expectNear(run(kCGBlendModeOverlay, opaqueGrey, grey), {128, 128, 128, 255});
  expectNear(run(kCGBlendModeDifference, opaqueGrey, grey), {0, 0, 0, 255});
  expectNear(run(kCGBlendModePlusLighter, opaqueGrey, grey), {255, 255, 255, 255});
  expectNear(run(kCGBlendModePlusDarker, opaqueGrey, grey), {1, 1, 1, 255});
  expectNear(run(kCGBlendModeXOR, opaqueGrey, halfRed), {64, 64, 64, 128});
  // Luminosity of mid grey onto red keeps the hue, takes the grey's lightness.
  RGBA red{255, 0, 0, 255};
  RGBA lum = run(kCGBlendModeLuminosity, red, grey);
  EXPECT_GT(lum[0], lum[1]);
  EXPECT_NEAR(0.3 * lum[0] + 0.59 * lum[1] + 0.11 * lum[2], 128, 2);
  // Global alpha scales the source.
  auto c = makeContext(1, 1);
  CGContextSetAlpha(c, 0.5);
  CGContextSetRGBFillColor(c, 0, 0, 1, 1);
  CGContextFillRect(c, CGRectMake(0, 0, 1, 1));
  expectNear(pixel(c, 0, 0), {0, 0, 128, 128});
}

// The remaining modes, each on an opaque pair (the blend function alone) and
// on a half-covered source over a half-covered backdrop (its compositing
// terms). Inputs differ per channel and between source and backdrop, so a
// swapped argument or a wrong branch shows.
TEST_F(CGContextTest, SeparableAndNonSeparableBlendModesFollowTheirFormulas) {
  const auto& run = blendOnePixel;
  // Backdrops as premultiplied bytes: (0.2, 0.6, 0.9) opaque; (1, 0.5, 0.25) at alpha 0.5.
  const RGBA opaque{51, 153, 230, 255}, half{128, 64, 32, 128};
  const std::array<double, 4> solid{0.6, 0.2, 0.4, 1}, faint{0.2, 0.9, 0.6, 0.4};
  struct Case {
    CGBlendMode mode;
    RGBA onOpaque, onHalf;
  };
  const Case cases[] = {
      {kCGBlendModeDarken, {51, 51, 102, 255}, {97, 110, 62, 179}},
      {kCGBlendModeLighten, {153, 153, 230, 255}, {138, 130, 80, 179}},
      {kCGBlendModeColorDodge, {128, 191, 255, 255}, {138, 135, 81, 179}},
      {kCGBlendModeColorBurn, {0, 0, 192, 255}, {138, 107, 50, 179}},
      {kCGBlendModeSoftLight, {64, 116, 225, 255}, {138, 118, 65, 179}},
      {kCGBlendModeHardLight, {92, 61, 184, 255}, {107, 130, 70, 179}},
      {kCGBlendModeExclusion, {143, 143, 148, 255}, {128, 110, 78, 179}},
      {kCGBlendModeOverlay, {61, 92, 225, 255}, {138, 130, 65, 179}},
      {kCGBlendModeHue, {246, 67, 157, 255}, {94, 129, 78, 179}},
      {kCGBlendModeSaturation, {85, 143, 187, 255}, {137, 110, 64, 179}},
      {kCGBlendModeColor, {197, 95, 146, 255}, {95, 129, 78, 179}},
      {kCGBlendModeSourceOut, {0, 0, 0, 0}, {10, 46, 30, 51}},
      {kCGBlendModeDestinationAtop, {51, 153, 230, 255}, {61, 71, 43, 102}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mode));
    expectNear(run(c.mode, opaque, solid), c.onOpaque);
    expectNear(run(c.mode, half, faint), c.onHalf);
  }
  // A colour moved to another lightness is pulled back into range towards its
  // own lightness, from below and from above, keeping that lightness.
  expectNear(run(kCGBlendModeColor, {26, 26, 26, 255}, {1, 1, 0, 1}), {29, 29, 0, 255});
  expectNear(run(kCGBlendModeColor, {204, 204, 204, 255}, {0, 0, 1, 1}), {198, 198, 255, 255});
}

TEST_F(CGContextTest, OpaqueContextsKeepFullAlpha) {
  auto c = makeContext(1, 1, kCGImageAlphaNoneSkipLast);
  ASSERT_TRUE(c);
  CGContextSetRGBFillColor(c, 1, 1, 1, 0.5);
  CGContextFillRect(c, CGRectMake(0, 0, 1, 1));
  expectNear(pixel(c, 0, 0), {128, 128, 128, 255});
  EXPECT_EQ(c->data()[3], 255);
  auto image = CGBitmapContextCreateImage(c);
  EXPECT_EQ(image->alphaInfo(), kCGImageAlphaNoneSkipLast);
}

TEST_F(CGContextTest, PathsFillStrokeAndEvenOdd) {
  auto c = makeContext(10, 10);
  CGContextAddRect(c, CGRectMake(0, 0, 10, 10));
  CGContextAddRect(c, CGRectMake(3, 3, 4, 4));
  EXPECT_FALSE(CGContextIsPathEmpty(c));
  CGContextEOFillPath(c);
  EXPECT_TRUE(CGContextIsPathEmpty(c));
  EXPECT_EQ(pixel(c, 1, 1)[3], 255);
  EXPECT_EQ(pixel(c, 5, 5)[3], 0);

  // A stroke of width 2 centred on the rectangle's edge.
  auto s = makeContext(10, 10);
  CGContextSetLineWidth(s, 2);
  CGContextSetRGBStrokeColor(s, 1, 0, 0, 1);
  CGContextStrokeRect(s, CGRectMake(2, 2, 6, 6));
  expectNear(pixel(s, 1, 5), {255, 0, 0, 255});
  expectNear(pixel(s, 2, 5), {255, 0, 0, 255});
  EXPECT_EQ(pixel(s, 3, 5)[3], 0);
  EXPECT_EQ(pixel(s, 5, 5)[3], 0);
  EXPECT_EQ(pixel(s, 0, 5)[3], 0);
  // The miter join fills the corner.
  expectNear(pixel(s, 1, 1), {255, 0, 0, 255});

  // A triangle from lines.
  auto t = makeContext(10, 10);
  CGContextMoveToPoint(t, 0, 0);
  CGContextAddLineToPoint(t, 10, 0);
  CGContextAddLineToPoint(t, 0, 10);
  CGContextClosePath(t);
  CGContextFillPath(t);
  EXPECT_EQ(pixel(t, 1, 8)[3], 255);       // near the bottom-left corner
  EXPECT_EQ(pixel(t, 8, 1)[3], 0);         // beyond the hypotenuse
  EXPECT_NEAR(pixel(t, 5, 5)[3], 128, 2);  // halved by the diagonal
}

TEST_F(CGContextTest, ClearRectAndImageCopyIsIndependent) {
  auto c = makeContext(2, 2);
  CGContextSetRGBFillColor(c, 1, 1, 1, 1);
  CGContextFillRect(c, CGRectMake(0, 0, 2, 2));
  auto before = CGBitmapContextCreateImage(c);
  CGContextClearRect(c, CGRectMake(0, 0, 1, 2));
  EXPECT_EQ(pixel(c, 0, 0)[3], 0);
  EXPECT_EQ(pixel(c, 1, 0)[3], 255);
  EXPECT_EQ((*before->pixelData())[3], 255);  // the image kept its pixels
}

TEST_F(CGContextTest, MaskClipsCombineAndRotatedImagesAntialiasTheirEdges) {
  // Two overlapping discs: only the lens between them is paintable.
  auto c = makeContext(30, 10);
  CGContextAddEllipseInRect(c, CGRectMake(0, 0, 20, 10));
  CGContextClip(c);
  CGContextAddEllipseInRect(c, CGRectMake(10, 0, 20, 10));
  CGContextClip(c);
  CGContextSetRGBFillColor(c, 0, 1, 0, 1);
  CGContextFillRect(c, CGRectMake(0, 0, 30, 10));
  EXPECT_EQ(pixel(c, 15, 5)[3], 255);
  EXPECT_EQ(pixel(c, 5, 5)[3], 0);
  EXPECT_EQ(pixel(c, 25, 5)[3], 0);
  // Inside the second disc and both boxes, but outside the first disc.
  EXPECT_EQ(pixel(c, 19, 0)[3], 0);

  // A white square turned 45° about the centre: centre covered, corners of the
  // bitmap clear, pixels on its slanted edges partly covered.
  auto white = imageFromPixels(1, 1, {255, 255, 255, 255});
  auto r = makeContext(20, 20);
  CGContextTranslateCTM(r, 10, 10);
  CGContextRotateCTM(r, M_PI / 4);
  CGContextDrawImage(r, CGRectMake(-7, -7, 14, 14), white);
  EXPECT_EQ(pixel(r, 10, 10)[3], 255);
  EXPECT_EQ(pixel(r, 0, 0)[3], 0);
  EXPECT_EQ(pixel(r, 19, 19)[3], 0);
  int partial = 0;
  for (int x = 0; x < 20; ++x) {
    int a = pixel(r, x, 5)[3];
    partial += a > 0 && a < 255;
  }
  EXPECT_GE(partial, 2);

  // Fill and stroke in one call use both colours.
  auto d = makeContext(10, 10);
  CGContextSetRGBFillColor(d, 1, 0, 0, 1);
  CGContextSetRGBStrokeColor(d, 0, 0, 1, 1);
  CGContextSetLineWidth(d, 2);
  CGContextAddRect(d, CGRectMake(2, 2, 6, 6));
  CGContextDrawPath(d, kCGPathFillStroke);
  expectNear(pixel(d, 5, 5), {255, 0, 0, 255});
  expectNear(pixel(d, 1, 5), {0, 0, 255, 255});
  EXPECT_TRUE(CGContextIsPathEmpty(d));
}

}  // namespace

namespace {

TEST_F(CGContextTest, FastPathsGiveTheBlendedAndSampledPixels) {
  // Translucent and opaque source pixels, upscaled without rotation into a
  // BGRA context over grey: bilinear across the row, source-over each.
  auto image = imageFromPixels(2, 1, {200, 0, 0, 255, 0, 0, 100, 100});
  auto c = makeContext(4, 1, kBGRA);
  CGContextSetRGBFillColor(c, 0.5, 0.5, 0.5, 1);
  CGContextFillRect(c, CGRectMake(0, 0, 4, 1));
  expectNear(pixel(c, 3, 0), {128, 128, 128, 255});
  CGContextSetInterpolationQuality(c, kCGInterpolationLow);
  CGContextDrawImage(c, CGRectMake(0, 0, 4, 1), image);
  expectNear(pixel(c, 0, 0), {200, 0, 0, 255});  // opaque: stored
  // Last column: (0, 0, 100, 100) over grey: 100 + 128 * 155 / 255.
  expectNear(pixel(c, 3, 0), {78, 78, 178, 255});
  // A quarter of the way: 3/4 of the first pixel, 1/4 of the second.
  RGBA q = pixel(c, 1, 0);
  int alpha = 255 * 3 / 4 + 100 / 4;
  expectNear(q, {150 + 128 * (255 - alpha) / 255, 128 * (255 - alpha) / 255,
                 25 + 128 * (255 - alpha) / 255, 255},
             2);

  // Mirrored (walking the source backwards) and from an opaque source.
  auto opaque = CGImage::create(2, 1, 8, 32, 8, kCGImageAlphaNoneSkipLast | kCGBitmapByteOrder32Big,
                                std::make_shared<const Bytes>(Bytes{10, 20, 30, 0, 250, 240, 230, 0}));
  auto m = makeContext(4, 1);
  CGContextSetInterpolationQuality(m, kCGInterpolationLow);
  CGContextTranslateCTM(m, 4, 0);
  CGContextScaleCTM(m, -1, 1);
  CGContextDrawImage(m, CGRectMake(0, 0, 4, 1), opaque);
  expectNear(pixel(m, 0, 0), {250, 240, 230, 255});
  expectNear(pixel(m, 3, 0), {10, 20, 30, 255});
  EXPECT_GT(pixel(m, 1, 0)[0], pixel(m, 2, 0)[0]);

  // Upscaled from sources whose skipped byte comes first or last in memory
  // (its content ignored): the same colours, opaque.
  for (uint32_t info : {kCGImageAlphaNoneSkipFirst | kCGBitmapByteOrder32Little,
                        kCGImageAlphaNoneSkipFirst | kCGBitmapByteOrder32Big}) {
    const bool little = (info & kCGBitmapByteOrderMask) == kCGBitmapByteOrder32Little;
    Bytes bytes = little ? Bytes{30, 20, 10, 5, 60, 50, 40, 9} : Bytes{5, 10, 20, 30, 9, 40, 50, 60};
    auto source = CGImage::create(2, 1, 8, 32, 8, info, std::make_shared<const Bytes>(bytes));
    auto u = makeContext(8, 1);
    CGContextSetInterpolationQuality(u, kCGInterpolationLow);
    CGContextDrawImage(u, CGRectMake(0, 0, 8, 1), source);
    EXPECT_EQ(pixel(u, 0, 0), (RGBA{10, 20, 30, 255})) << info;
    EXPECT_EQ(pixel(u, 7, 0), (RGBA{40, 50, 60, 255})) << info;
    expectNear(pixel(u, 4, 0), {29, 39, 49, 255}, 2);  // a little past the middle
  }
}

TEST_F(CGContextTest, NestedPathClipsAndStraightSidedShapesCoverExactly) {
  // A rounded clip, then an ellipse clip offset from it: only where both
  // reach is painted, wholly inside both at full strength.
  auto c = makeContext(40, 40);
  CGContextAddPath(c, CGPathCreateWithRoundedRect(CGRectMake(0, 0, 30, 30), 8, 8, nullptr));
  CGContextClip(c);
  CGContextAddEllipseInRect(c, CGRectMake(10, 10, 30, 30));
  CGContextClip(c);
  CGContextSetRGBFillColor(c, 0, 0, 1, 1);
  CGContextFillRect(c, CGRectMake(0, 0, 40, 40));
  expectNear(pixel(c, 22, 40 - 1 - 22), {0, 0, 255, 255});  // inside both
  expectNear(pixel(c, 35, 40 - 1 - 25), {0, 0, 0, 0});       // ellipse only
  expectNear(pixel(c, 3, 40 - 1 - 3), {0, 0, 0, 0});         // rounded clip only
  int edge = pixel(c, 29, 40 - 1 - 20)[3];                    // the rounded clip's edge column
  EXPECT_EQ(edge, 255);

  // An L-shaped path with sides at half pixels: straight rows cover
  // exactly half of their edge pixels.
  auto l = makeContext(10, 10);
  CGContextMoveToPoint(l, 1.5, 1);
  CGContextAddLineToPoint(l, 8.5, 1);
  CGContextAddLineToPoint(l, 8.5, 4);
  CGContextAddLineToPoint(l, 4.5, 4);
  CGContextAddLineToPoint(l, 4.5, 9);
  CGContextAddLineToPoint(l, 1.5, 9);
  CGContextClosePath(l);
  CGContextFillPath(l);
  EXPECT_NEAR(pixel(l, 1, 10 - 1 - 6)[3], 128, 1);  // left side
  EXPECT_NEAR(pixel(l, 4, 10 - 1 - 6)[3], 128, 1);  // inner side
  EXPECT_EQ(pixel(l, 3, 10 - 1 - 6)[3], 255);
  EXPECT_EQ(pixel(l, 6, 10 - 1 - 6)[3], 0);
  EXPECT_NEAR(pixel(l, 8, 10 - 1 - 2)[3], 128, 1);
}

TEST_F(CGContextTest, ImagesOnThePixelGridBlendStraightFromTheirRows) {
  // Nine BGRA pixels, opaque runs broken by translucent and clear ones,
  // drawn one to one over grey: the same pixels whether the destination
  // shares the image's channel order (composited from the image's rows)
  // or not (sampled first).
  std::vector<uint8_t> bgra;
  const uint8_t alphas[9] = {255, 255, 255, 255, 128, 0, 255, 255, 40};
  for (int i = 0; i < 9; ++i) {
    uint8_t a = alphas[i];
    bgra.insert(bgra.end(), {uint8_t(a * i / 9), uint8_t(a / 2), uint8_t(a - a / 3), a});
  }
  auto image = imageFromPixels(9, 1, bgra, kBGRA);
  auto draw = [&](uint32_t info) {
    auto c = makeContext(9, 1, info);
    CGContextSetRGBFillColor(c, 0.5, 0.25, 0.75, 1);
    CGContextFillRect(c, CGRectMake(0, 0, 9, 1));
    CGContextDrawImage(c, CGRectMake(0, 0, 9, 1), image);
    return c;
  };
  auto same = draw(kBGRA), other = draw(kRGBA);
  auto opaque = draw(kCGImageAlphaNoneSkipFirst | kCGBitmapByteOrder32Little);
  for (int x = 0; x < 9; ++x) {
    EXPECT_EQ(pixel(same, x, 0), pixel(other, x, 0)) << x;
    EXPECT_EQ(pixel(opaque, x, 0), pixel(other, x, 0)) << x;
    EXPECT_EQ(opaque->data()[x * 4 + 3], 255) << x;
  }
  // Without alpha the destination stays opaque, over black as over grey.
  auto black = makeContext(9, 1, kCGImageAlphaNoneSkipFirst | kCGBitmapByteOrder32Little);
  CGContextDrawImage(black, CGRectMake(0, 0, 9, 1), image);
  for (int x = 0; x < 9; ++x) {
    if (alphas[x]) {
      EXPECT_EQ(black->data()[x * 4 + 3], 255) << x;
    }
  }
  expectNear(pixel(same, 5, 0), {128, 64, 191, 255});  // clear: the grey stays
  EXPECT_EQ(pixel(same, 6, 0), (RGBA{bgra[6 * 4 + 2], bgra[6 * 4 + 1], bgra[6 * 4], 255}));

  // Scaled up by 2.5, over the grey: the same again whichever channel order
  // the destination has.
  auto scaled = [&](uint32_t info) {
    auto c = makeContext(23, 1, info);
    CGContextSetRGBFillColor(c, 0.5, 0.25, 0.75, 1);
    CGContextFillRect(c, CGRectMake(0, 0, 23, 1));
    CGContextSetInterpolationQuality(c, kCGInterpolationLow);
    CGContextDrawImage(c, CGRectMake(0, 0, 22.5, 1), image);
    return c;
  };
  auto scaledSame = scaled(kBGRA), scaledOther = scaled(kRGBA);
  for (int x = 0; x < 23; ++x) EXPECT_EQ(pixel(scaledSame, x, 0), pixel(scaledOther, x, 0)) << x;

  // A source without alpha ignores whatever its fourth byte holds.
  auto skip = CGImage::create(2, 1, 8, 32, 8, kCGImageAlphaNoneSkipFirst | kCGBitmapByteOrder32Little,
                              std::make_shared<const Bytes>(Bytes{30, 20, 10, 7, 60, 50, 40, 0}));
  auto c = makeContext(2, 1, kBGRA);
  CGContextDrawImage(c, CGRectMake(0, 0, 2, 1), skip);
  EXPECT_EQ(pixel(c, 0, 0), (RGBA{10, 20, 30, 255}));
  EXPECT_EQ(pixel(c, 1, 0), (RGBA{40, 50, 60, 255}));
}

TEST_F(CGContextTest, ClipShapesAlikeShareAMaskInTheirOwnPlace) {
  // The same rounded clip three times in one context, moved by whole pixels
  // and then by half a pixel, inside a rectangular clip and then crossing
  // it: each paints as the shape alone does in a fresh context.
  struct Place {
    double x, y;
    CGRect outer;
  };
  const Place places[] = {{12, 1, CGRectMake(0, 0, 64, 64)},
                          {2, 22, CGRectMake(0, 0, 64, 64)},
                          {32.25, 22, CGRectMake(0, 0, 64, 64)},
                          {34, 43, CGRectMake(0, 0, 50, 64)}};
  auto paint = [](const CGContextRef& c, const Place& p) {
    CGContextSaveGState(c);
    CGContextClipToRect(c, p.outer);
    CGContextAddPath(c, CGPathCreateWithRoundedRect(CGRectMake(p.x, p.y, 25.5, 20), 7, 7, nullptr));
    CGContextClip(c);
    CGContextSetRGBFillColor(c, 0.2, 0.6, 1, 1);
    CGContextFillRect(c, CGRectMake(0, 0, 64, 64));
    CGContextRestoreGState(c);
  };
  auto shared = makeContext(64, 64);
  for (const Place& p : places) paint(shared, p);
  std::vector<RGBA> expected(64 * 64, RGBA{0, 0, 0, 0});
  for (const Place& p : places) {
    auto fresh = makeContext(64, 64);
    paint(fresh, p);
    for (int y = 0; y < 64; ++y)
      for (int x = 0; x < 64; ++x)
        if (pixel(fresh, x, y)[3]) expected[size_t(y * 64 + x)] = pixel(fresh, x, y);
  }
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x) expectNear(pixel(shared, x, y), expected[size_t(y * 64 + x)]);
  EXPECT_EQ(pixel(shared, 55, 64 - 1 - 53)[3], 0);  // beyond the last rectangular clip
  EXPECT_EQ(pixel(shared, 45, 64 - 1 - 53)[3], 255);

  // Antialiased or not makes another mask: the same shape moved by whole
  // pixels without antialiasing covers its pixels wholly or not at all.
  auto mixed = makeContext(64, 64);
  paint(mixed, places[0]);
  CGContextSetShouldAntialias(mixed, false);
  paint(mixed, places[1]);
  int partial = 0;
  for (int y = 64 - 42; y < 64 - 22 + 1; ++y)
    for (int x = 2; x < 28; ++x) partial += pixel(mixed, x, y)[3] % 255 != 0;
  EXPECT_EQ(partial, 0);
  int partialFirst = 0;  // the first, antialiased, has soft corners
  for (int y = 64 - 21; y < 64 - 1 + 1; ++y)
    for (int x = 12; x < 38; ++x) partialFirst += pixel(mixed, x, y)[3] % 255 != 0;
  EXPECT_GT(partialFirst, 0);
}

}  // namespace

}  // namespace cg_context_test
