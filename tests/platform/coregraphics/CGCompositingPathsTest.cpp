// The compositing engine takes premultiplied and opaque bitmaps in one piece
// (fills, masks, images on the grid); straight-alpha bitmaps go row by row
// through the general blender. Both must paint the same pixels.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "platform/coregraphics/CGContext.h"
#include "platform/coregraphics/CGPath.h"
#include "platform/coregraphics/internal/CGRasterizer.h"
#include "support/TestEnvironment.h"

namespace cg_compositing_paths_test {

namespace {

constexpr uint32_t kBGRA = kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little;
constexpr uint32_t kStraightRGBA = kCGImageAlphaLast | kCGBitmapByteOrder32Big;
constexpr uint32_t kOpaqueBGRX = kCGImageAlphaNoneSkipFirst | kCGBitmapByteOrder32Little;

CGContextRef makeContext(size_t w, size_t h, uint32_t info, void* data = nullptr,
                         size_t bytesPerRow = 0) {
  return CGBitmapContextCreate(data, w, h, 8, bytesPerRow, CGColorSpaceCreateDeviceRGB(), info);
}

// Premultiplied RGBA of pixel (x, y), row 0 on top, whatever the layout.
std::array<int, 4> pixel(const CGContextRef& c, int x, int y) {
  CGPixelLayout l = CGPixelLayout::forBitmapInfo(c->bitmapInfo());
  const uint8_t* p = c->data() + y * c->bytesPerRow() + x * 4;
  int a = l.a >= 0 ? p[l.a] : 255;
  std::array<int, 4> out = {p[l.r], p[l.g], p[l.b], a};
  if (!l.premultiplied && l.a >= 0)
    for (int k = 0; k < 3; ++k) out[k] = (out[k] * a + 127) / 255;
  return out;
}

// The same scene every way a bitmap can take it: fractional rectangles
// (their inside in one piece, their edges by coverage), translucent fills,
// a rounded rectangle, a context alpha, a clip mask, text-like masks and an
// image one to one on the grid.
void drawScene(const CGContextRef& c) {
  CGContextSetRGBFillColor(c, 0.9, 0.9, 0.8, 1);
  CGContextFillRect(c, CGRectMake(0, 0, 64, 48));
  CGContextSetRGBFillColor(c, 0.2, 0.4, 0.9, 0.5);
  CGContextFillRect(c, CGRectMake(3.25, 4.5, 40.5, 20.75));
  CGContextSetAlpha(c, 0.6);
  CGContextSetRGBFillColor(c, 0.8, 0.1, 0.1, 1);
  CGContextAddPath(c, CGPathCreateWithRoundedRect(CGRectMake(20.3, 10.6, 30, 25), 8, 8, nullptr));
  CGContextFillPath(c);
  CGContextSetAlpha(c, 1);

  CGContextSaveGState(c);
  CGContextAddEllipseInRect(c, CGRectMake(8, 8, 40, 30));
  CGContextClip(c);
  CGContextSetRGBFillColor(c, 0.1, 0.7, 0.2, 0.75);
  CGContextFillRect(c, CGRectMake(0, 0, 64, 48));
  CGContextRestoreGState(c);

  // Masks padded to four bytes a row, one reaching past the bitmap's edge.
  std::vector<uint8_t> glyph(8 * 6);
  for (int i = 0; i < 8 * 6; ++i) glyph[i] = uint8_t((i * 37) % 256);
  const double ink[4] = {0.1, 0.1, 0.3, 0.9};
  c->fillMasks({{glyph.data(), 8, 7, 6, 5, 30}, {glyph.data(), 8, 7, 6, 60, 44}}, ink);

  std::vector<uint8_t> bgra;
  for (int i = 0; i < 12 * 10; ++i) {
    uint8_t a = uint8_t(i % 3 == 0 ? 255 : i % 3 == 1 ? 128 : 0);
    bgra.insert(bgra.end(), {uint8_t(a / 3), uint8_t(a / 2), a, a});
  }
  auto image = CGImage::create(12, 10, 8, 32, 48, kBGRA, std::make_shared<const Bytes>(bgra));
  CGContextSaveGState(c);
  CGContextClipToRect(c, CGRectMake(40, 2, 20, 7));
  CGContextDrawImage(c, CGRectMake(44, 1, 12, 10), image);
  CGContextRestoreGState(c);
}

void expectSamePixels(const CGContextRef& a, const CGContextRef& b, int tolerance) {
  int off = 0;
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) {
      auto p = pixel(a, x, y), q = pixel(b, x, y);
      for (int k = 0; k < 4; ++k)
        if (std::abs(p[k] - q[k]) > tolerance) {
          if (++off <= 5) ADD_FAILURE() << "pixel " << x << "," << y << " channel " << k << ": "
                                        << p[k] << " vs " << q[k];
        }
    }
  EXPECT_EQ(off, 0);
}

using CGCompositingPathsTest = PlatformTest;

TEST_F(CGCompositingPathsTest, EveryLayoutPaintsTheSameScene) {
  auto premultiplied = makeContext(64, 48, kBGRA);
  auto straight = makeContext(64, 48, kStraightRGBA);
  auto opaque = makeContext(64, 48, kOpaqueBGRX);
  for (auto& c : {premultiplied, straight, opaque}) drawScene(c);
  // Straight alpha rounds once more on the way in and out.
  expectSamePixels(premultiplied, straight, 2);
  expectSamePixels(premultiplied, opaque, 1);
  // Opaque bitmaps stay opaque in every byte they skip.
  for (int i = 0; i < 64 * 48; ++i) ASSERT_EQ(opaque->data()[i * 4 + 3], 255) << i;
}

TEST_F(CGCompositingPathsTest, CallersOpaqueBuffersAreLeftAsTheyWereWhereUnpainted) {
  // A caller's bitmap without alpha keeps its skipped bytes where nothing
  // paints, and gets 255 there where something does.
  std::vector<uint8_t> buffer(16 * 4 * 4, 7);
  auto c = makeContext(16, 4, kOpaqueBGRX, buffer.data(), 64);
  CGContextSetRGBFillColor(c, 0, 0, 1, 0.5);
  CGContextFillRect(c, CGRectMake(0, 0, 8, 4));
  EXPECT_EQ(buffer[3], 255);
  EXPECT_EQ(buffer[12 * 4 + 3], 7);
  EXPECT_EQ(buffer[0], 7 / 2 + 128);  // blue over the old 7
  EXPECT_EQ(buffer[12 * 4], 7);
}

TEST_F(CGCompositingPathsTest, CoverageAddsUpToTheAreaOfEachShape) {
  // A star crossing itself (even-odd leaves its middle open), a thin sliver
  // and many small squares on one row: every pixel's coverage summed is the
  // shape's area, however many spans each row has.
  struct Case {
    std::vector<CGPoint> points;
    CGFillRule rule;
    double area;
  };
  std::vector<Case> cases;
  auto shoelace = [](const std::vector<CGPoint>& p) {
    double twice = 0;
    for (size_t i = 0; i < p.size(); ++i) {
      const CGPoint &a = p[i], &b = p[(i + 1) % p.size()];
      twice += a.x * b.y - b.x * a.y;
    }
    return std::fabs(twice) / 2;
  };
  // A pentagram drawn as one crossing line; its outline (ten corners) and
  // its middle pentagon give the areas: non-zero fills the outline, even-odd
  // leaves the middle open.
  const double R = 50, ri = R * std::cos(2 * M_PI / 5) / std::cos(M_PI / 5);
  std::vector<CGPoint> star, outline, middle;
  for (int i = 0; i < 5; ++i) {
    double a = M_PI / 2 + i * 4 * M_PI / 5;
    star.push_back({60 + R * std::cos(a), 60 + R * std::sin(a)});
  }
  for (int i = 0; i < 10; ++i) {
    double a = M_PI / 2 + i * M_PI / 5, rr = i % 2 ? ri : R;
    outline.push_back({60 + rr * std::cos(a), 60 + rr * std::sin(a)});
    if (i % 2) middle.push_back(outline.back());
  }
  cases.push_back({star, CGFillRule::NonZero, shoelace(outline)});
  cases.push_back({star, CGFillRule::EvenOdd, shoelace(outline) - shoelace(middle)});
  cases.push_back({{{3.3, 10.1}, {110.7, 12.4}, {110.7, 13.0}, {3.3, 10.9}}, CGFillRule::NonZero,
                   0.5 * (0.8 + 0.6) * 107.4});
  for (const Case& k : cases) {
    auto c = makeContext(120, 120, kBGRA);
    CGContextSetRGBFillColor(c, 1, 1, 1, 1);
    CGContextMoveToPoint(c, k.points[0].x, k.points[0].y);
    for (size_t i = 1; i < k.points.size(); ++i) CGContextAddLineToPoint(c, k.points[i].x, k.points[i].y);
    CGContextClosePath(c);
    if (k.rule == CGFillRule::EvenOdd) CGContextEOFillPath(c); else CGContextFillPath(c);
    double sum = 0;
    for (int y = 0; y < 120; ++y)
      for (int x = 0; x < 120; ++x) sum += pixel(c, x, y)[3] / 255.0;
    EXPECT_NEAR(sum, k.area, k.area * 0.005 + 1);
  }
  // Forty squares of 1.5 x 2 on one band.
  auto c = makeContext(130, 10, kBGRA);
  CGContextSetRGBFillColor(c, 1, 1, 1, 1);
  for (int i = 0; i < 40; ++i) CGContextAddRect(c, CGRectMake(1.25 + i * 3.2, 3.5, 1.5, 2));
  CGContextFillPath(c);
  double sum = 0;
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 130; ++x) sum += pixel(c, x, y)[3] / 255.0;
  EXPECT_NEAR(sum, 40 * 3.0, 0.5);
}

// A rounded rectangle's outline in pixel space, flattened.
std::vector<CGPolygon> roundedRectPolygons(const CGRect& r, double radius) {
  return CGPathCreateWithRoundedRect(r, radius, radius, nullptr)
      ->flatten(CGAffineTransformIdentity, 0.1);
}

std::vector<CGPolygon> starPolygons() {
  CGPolygon star;
  for (int i = 0; i < 5; ++i) {
    double a = M_PI / 2 + i * 4 * M_PI / 5;
    star.points.push_back({30.3 + 24 * std::cos(a), 28.6 + 24 * std::sin(a)});
  }
  return {star};
}

TEST_F(CGCompositingPathsTest, MaskBytesAreTheRowCoverageRoundedAndFullRunsAreAllFull) {
  struct Case {
    std::vector<CGPolygon> polygons;
    CGFillRule rule;
    bool antialias;
    CGPixelBox clip;
  };
  const CGPixelBox all{0, 0, 64, 60};
  std::vector<Case> cases = {
      {roundedRectPolygons(CGRectMake(3.5, 2.25, 52.5, 40.5), 12), CGFillRule::NonZero, true, all},
      {roundedRectPolygons(CGRectMake(3.5, 2.25, 52.5, 40.5), 12), CGFillRule::NonZero, false, all},
      {starPolygons(), CGFillRule::NonZero, true, all},
      {starPolygons(), CGFillRule::EvenOdd, true, all},
      // Cut by the clip on every side.
      {roundedRectPolygons(CGRectMake(-4.5, -3.25, 70, 70), 20), CGFillRule::NonZero, true,
       {5, 7, 50, 41}},
  };
  for (size_t k = 0; k < cases.size(); ++k) {
    const Case& c = cases[k];
    const CGPixelBox box = CGRasterizer::bounds(c.polygons).intersect(c.clip);
    ASSERT_FALSE(box.isEmpty());
    const int w = box.x1 - box.x0, h = box.y1 - box.y0, stride = w + 3;
    std::vector<uint8_t> expected(size_t(stride) * h, 0), mask(size_t(stride) * h, 0);
    CGRasterizer::fill(c.polygons, c.rule, box, c.antialias,
                       [&](int y, int x0, int x1, const float* cov) {
                         for (int x = x0; x < x1; ++x)
                           expected[size_t(y - box.y0) * stride + (x - box.x0)] =
                               static_cast<uint8_t>(cov[x - x0] * 255 + 0.5f);
                       });
    std::vector<CGRasterizer::FullRun> runs;
    EXPECT_TRUE(CGRasterizer::fillMask(c.polygons, c.rule, box, c.antialias, mask.data(), stride,
                                       &runs));
    ASSERT_EQ(runs.size(), size_t(h));
    EXPECT_EQ(mask, expected) << "case " << k;
    int rowsWithRuns = 0;
    for (int y = 0; y < h; ++y) {
      const uint8_t* row = expected.data() + size_t(y) * stride;
      int widest = 0;
      for (int x = 0, run = 0; x < w; ++x) {
        run = row[x] == 255 ? run + 1 : 0;
        widest = std::max(widest, run);
      }
      const auto& r = runs[size_t(y)];
      EXPECT_EQ(std::max(0, r.x1 - r.x0), widest) << "case " << k << " row " << y;
      for (int x = r.x0; x < r.x1; ++x) EXPECT_EQ(row[x - box.x0], 255) << "case " << k;
      rowsWithRuns += r.x1 > r.x0;
    }
    EXPECT_GT(rowsWithRuns, 0) << "case " << k;
  }
  // Nothing inside the box: nothing written, and said so.
  std::vector<uint8_t> untouched(16, 7);
  EXPECT_FALSE(CGRasterizer::fillMask(starPolygons(), CGFillRule::NonZero, {200, 200, 204, 204},
                                      true, untouched.data(), 4, nullptr));
  EXPECT_EQ(untouched, std::vector<uint8_t>(16, 7));
}

// Coverage bytes of the polygons over `clip`, as a row sink gets them (only
// rows with coverage).
std::vector<uint8_t> sinkBytes(const std::vector<CGPolygon>& polygons, CGFillRule rule,
                               bool antialias, const CGPixelBox& clip) {
  const int w = clip.x1 - clip.x0;
  std::vector<uint8_t> out(size_t(w) * size_t(clip.y1 - clip.y0), 0);
  CGRasterizer::fill(polygons, rule, clip, antialias, [&](int y, int x0, int x1, const float* cov) {
    EXPECT_TRUE(std::any_of(cov, cov + (x1 - x0), [](float c) { return c > 0; })) << "row " << y;
    for (int x = x0; x < x1; ++x)
      out[size_t(y - clip.y0) * w + (x - clip.x0)] = static_cast<uint8_t>(cov[x - x0] * 255 + 0.5f);
  });
  return out;
}

// The coverage model itself, slowly: 16 sub-scanlines down each row, each
// cut exactly by the spans inside the outline.
std::vector<double> modelCoverage(const std::vector<CGPolygon>& polygons, CGFillRule rule,
                                  const CGPixelBox& box) {
  const int w = box.x1 - box.x0;
  std::vector<double> cov(size_t(w) * size_t(box.y1 - box.y0), 0);
  for (int y = box.y0; y < box.y1; ++y)
    for (int s = 0; s < 16; ++s) {
      const double sy = y + (s + 0.5) / 16;
      std::vector<std::pair<double, int>> xs;
      for (const CGPolygon& poly : polygons)
        for (size_t i = 0; i < poly.points.size(); ++i) {
          const CGPoint a = poly.points[i], b = poly.points[(i + 1) % poly.points.size()];
          if (std::min(a.y, b.y) <= sy && sy < std::max(a.y, b.y))
            xs.push_back({a.x + (sy - a.y) * (b.x - a.x) / (b.y - a.y), a.y < b.y ? 1 : -1});
        }
      std::sort(xs.begin(), xs.end());
      int winding = 0;
      for (size_t i = 0; i + 1 < xs.size(); ++i) {
        winding += rule == CGFillRule::NonZero ? xs[i].second : 1;
        if (rule == CGFillRule::NonZero ? winding == 0 : winding % 2 == 0) continue;
        for (int x = box.x0; x < box.x1; ++x) {
          const double part = std::min(x + 1.0, xs[i + 1].first) - std::max(double(x), xs[i].first);
          if (part > 0) cov[size_t(y - box.y0) * w + (x - box.x0)] += part / 16;
        }
      }
    }
  return cov;
}

CGPolygon polygonOf(std::initializer_list<double> xy) {
  CGPolygon p;
  for (auto it = xy.begin(); it != xy.end(); it += 2) p.points.push_back({it[0], it[1]});
  return p;
}

TEST_F(CGCompositingPathsTest, EveryShapeIsTheSubScanlineModelAndConvexOnesTheGeneralPath) {
  // One convex outline is summed edge by edge; anything else pairs the
  // crossings of each sub-scanline. Each shape: within a level of the
  // model; exactly what a far triangle below the box (sending it the
  // general way) leaves; and the mask, written whole over stale bytes, the
  // same. Shapes that only look convex (crossing, turning twice, dented)
  // must stay on the general path.
  auto outline = [](const CGRect& r, double radius, bool reversed) {
    CGPolygon p = roundedRectPolygons(r, radius)[0];
    if (reversed) std::reverse(p.points.begin(), p.points.end());
    return p;
  };
  auto ring = [](int corners, int turns, int step) {  // around (31.7, 30.2)
    CGPolygon p;
    for (int i = 0; i < corners * turns; ++i) {
      const double a = 2 * M_PI * i * step / corners + 0.3;
      p.points.push_back({31.7 + 27.3 * std::cos(a), 30.2 + 21.9 * std::sin(a)});
    }
    return p;
  };
  struct Case {
    const char* name;
    CGPolygon shape;
    CGFillRule rule = CGFillRule::NonZero;
    bool antialias = true;
    CGPixelBox box = {0, 0, 64, 60};
  };
  const CGRect r = CGRectMake(3.3, 2.6, 52.5, 40.5);
  const Case cases[] = {
      {"rounded", outline(r, 12, false)},
      {"reversed, even-odd", outline(r, 12, true), CGFillRule::EvenOdd},
      {"no antialiasing", outline(CGRectMake(3.5, 2.5, 52.5, 40.25), 12, false), {}, false},
      {"cut on every side",
       outline(CGRectMake(-4.5, -3.25, 70, 70), 20, true),
       {},
       true,
       {5, 7, 50, 41}},
      {"37 corners, edges ending mid-row", ring(37, 1, 1)},
      {"37 corners cut", ring(37, 1, 1), {}, true, {9, 5, 40, 31}},
      {"flat sliver", polygonOf({1.2, 20.1, 62.7, 24.3, 62.7, 25.0, 1.2, 20.4})},
      {"steep sliver", polygonOf({30.1, 1.3, 30.4, 1.3, 31.2, 58.8, 30.9, 58.8})},
      {"inside one pixel", polygonOf({10.1, 10.2, 10.9, 10.5, 10.3, 10.95})},
      {"pentagon twice", ring(5, 2, 1)},
      {"pentagram", ring(5, 1, 2), CGFillRule::EvenOdd},
      {"bow tie", polygonOf({5.5, 5.2, 55.3, 50.6, 55.3, 5.2, 5.5, 50.6})},
      {"hourglass", polygonOf({5.5, 5.2, 55.3, 5.2, 5.5, 50.6, 55.3, 50.6})},
      {"dented", polygonOf({5.5, 5.2, 55.3, 5.2, 30.1, 20.7, 55.3, 50.6, 5.5, 50.6})},
  };
  const CGPolygon far = polygonOf({10, 500, 20, 500, 15, 510});
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const std::vector<uint8_t> general = sinkBytes({k.shape, far}, k.rule, k.antialias, k.box);
    EXPECT_EQ(sinkBytes({k.shape}, k.rule, k.antialias, k.box), general);
    EXPECT_TRUE(std::any_of(general.begin(), general.end(), [](uint8_t b) { return b > 0; }));
    const int W = k.box.x1 - k.box.x0;
    if (k.antialias) {
      const std::vector<double> model = modelCoverage({k.shape}, k.rule, k.box);
      int off = 0;
      for (size_t i = 0; i < general.size(); ++i)
        off += std::abs(int(general[i]) - int(std::lrint(model[i] * 255))) > 1;
      EXPECT_EQ(off, 0) << "bytes more than a level from the model";
    }
    const CGPixelBox box = CGRasterizer::bounds({k.shape}).intersect(k.box);
    const int w = box.x1 - box.x0, stride = w + 5;
    std::vector<uint8_t> mask(size_t(stride) * (box.y1 - box.y0), 0x5a);
    ASSERT_TRUE(
        CGRasterizer::fillMask({k.shape}, k.rule, box, k.antialias, mask.data(), stride, nullptr));
    int off = 0;
    for (int y = box.y0; y < box.y1; ++y)
      for (int x = box.x0; x < box.x1; ++x)
        off += mask[size_t(y - box.y0) * stride + (x - box.x0)] !=
               general[size_t(y - k.box.y0) * W + (x - k.box.x0)];
    EXPECT_EQ(off, 0) << "mask bytes unlike the row sink's";
  }
  // Beside the shape, inside its rows: nothing covered, and said so.
  const CGPixelBox beside{60, 10, 76, 14};
  std::vector<uint8_t> mask(16 * 4, 7);
  EXPECT_FALSE(CGRasterizer::fillMask({cases[0].shape}, CGFillRule::NonZero, beside, true,
                                      mask.data(), 16, nullptr));
  EXPECT_TRUE(std::all_of(mask.begin(), mask.end(), [](uint8_t b) { return b == 7 || b == 0; }));
  EXPECT_EQ(sinkBytes({cases[0].shape}, CGFillRule::NonZero, true, beside),
            std::vector<uint8_t>(16 * 4, 0));
}

TEST_F(CGCompositingPathsTest, ShapesPastTheCacheAreRasterisedIntoReusedMemoryWhole) {
  // More shapes than the coverage cache keeps, each of a new size: the
  // mask of each reuses memory another shape let go, stale bytes and all.
  // Two outlines with a gap between them leave rows with no edges; a bottom
  // just past a whole row leaves a last row that no sub-scanline reaches.
  const int W = 90, H = 80;
  const CGAffineTransform flip = CGAffineTransformMake(1, 0, 0, -1, 0, H);
  auto c = makeContext(W, H, kBGRA);
  for (int i = 0; i < 24; ++i) {
    SCOPED_TRACE(i);
    auto path = CGPathCreateMutable();
    const double size = 20 + (i * 7) % 40;
    const double bottom = i % 4 < 2 ? 2.5 : 1.98;
    CGPathAddRoundedRect(path, nullptr, CGRectMake(3.25 + i % 3, bottom, size, size * 0.6), 6, 6);
    if (i % 2) CGPathAddRoundedRect(path, nullptr, CGRectMake(3.25, 10 + size * 0.7, 30, 8), 3, 3);
    CGContextClearRect(c, CGRectMake(0, 0, W, H));
    CGContextSetRGBFillColor(c, 1, 1, 1, 1);
    CGContextAddPath(c, path);
    CGContextFillPath(c);
    const std::vector<uint8_t> want =
        sinkBytes(path->flatten(flip, 0.1), CGFillRule::NonZero, true, {0, 0, W, H});
    int off = 0;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) off += pixel(c, x, y)[3] != want[size_t(y) * W + x];
    EXPECT_EQ(off, 0);
  }
}

// pixman's exact product of two bytes.
int mul255(int a, int b) {
  const int t = a * b + 0x80;
  return (t + (t >> 8)) >> 8;
}

TEST_F(CGCompositingPathsTest, AWhollyCoveredMiddleIsPaintedOnceLikeTheMaskedEdges) {
  // A translucent rounded rectangle over a grey ground: its covered middle
  // goes on without the mask, the rest through it; every pixel is the colour
  // over the ground through its coverage, each exactly once.
  const int W = 90, H = 70;
  auto c = makeContext(W, H, kBGRA);
  CGContextSetRGBFillColor(c, 0.5, 0.5, 0.5, 1);
  CGContextFillRect(c, CGRectMake(0, 0, W, H));
  const CGRect r = CGRectMake(6.5, 5.25, 70.5, 52.25);
  CGContextSetRGBFillColor(c, 0.8, 0.2, 0.4, 0.6);
  CGContextAddPath(c, CGPathCreateWithRoundedRect(r, 14, 14, nullptr));
  CGContextFillPath(c);

  // The same coverage by hand (user space has y up: flip the outline).
  CGAffineTransform flip = CGAffineTransformMake(1, 0, 0, -1, 0, H);
  // The context flattens to a tenth of a pixel, as here.
  const std::vector<CGPolygon> polygons =
      CGPathCreateWithRoundedRect(r, 14, 14, nullptr)->flatten(flip, 0.1);
  const CGPixelBox box = CGRasterizer::bounds(polygons).intersect({0, 0, W, H});
  std::vector<int> coverage(size_t(W) * H, 0);
  CGRasterizer::fill(polygons, CGFillRule::NonZero, box, true,
                     [&](int y, int x0, int x1, const float* cov) {
                       for (int x = x0; x < x1; ++x)
                         coverage[size_t(y) * W + x] = static_cast<uint8_t>(cov[x - x0] * 255 + 0.5f);
                     });
  const int alpha = 153;  // 0.6
  const int src[4] = {int(std::lrint(0.8 * alpha)), int(std::lrint(0.2 * alpha)),
                      int(std::lrint(0.4 * alpha)), alpha};
  int full = 0, off = 0;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const int m = coverage[size_t(y) * W + x];
      full += m == 255;
      const int sa = mul255(src[3], m);
      const auto p = pixel(c, x, y);
      for (int k = 0; k < 3; ++k) {
        const int want = mul255(src[k], m) + mul255(128, 255 - sa);
        if (std::abs(p[k] - want) > 1 && ++off <= 5)
          ADD_FAILURE() << "pixel " << x << "," << y << " channel " << k << ": " << p[k]
                        << " vs " << want;
      }
    }
  EXPECT_EQ(off, 0);
  EXPECT_GT(full, 70 * 50 / 2);  // the middle was there to be painted whole
}

TEST_F(CGCompositingPathsTest, OpaqueImagesOnTheGridCopyInEveryChannelOrder) {
  // An opaque image one to one on the grid, clipped, onto bitmaps of every
  // order: each pixel inside is the image's colour at full alpha, whatever
  // its skipped byte held; every pixel outside is left as it was.
  const uint32_t layouts[] = {kBGRA, kCGImageAlphaPremultipliedLast | kCGBitmapByteOrder32Big,
                              kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Big,
                              kOpaqueBGRX};
  const uint32_t sources[] = {kCGImageAlphaNoneSkipLast | kCGBitmapByteOrder32Big,
                              kCGImageAlphaNoneSkipFirst | kCGBitmapByteOrder32Little,
                              kCGImageAlphaNoneSkipFirst | kCGBitmapByteOrder32Big,
                              kCGImageAlphaNoneSkipLast | kCGBitmapByteOrder32Little};
  const int W = 5, H = 4;
  auto colour = [](int u, int v) {
    return std::array<int, 3>{40 * u + 3, 50 * v + 7, 200 - 9 * (u + v)};
  };
  for (uint32_t source : sources) {
    const CGPixelLayout sl = CGPixelLayout::forBitmapInfo(source);
    Bytes px(size_t(W) * H * 4, 17);  // 17 in every skipped byte
    for (int v = 0; v < H; ++v)
      for (int u = 0; u < W; ++u) {
        uint8_t* p = &px[size_t(v * W + u) * 4];
        const auto c = colour(u, v);
        p[sl.r] = uint8_t(c[0]), p[sl.g] = uint8_t(c[1]), p[sl.b] = uint8_t(c[2]);
      }
    auto image = CGImage::create(W, H, 8, 32, W * 4, source, std::make_shared<const Bytes>(px));
    for (uint32_t layout : layouts) {
      SCOPED_TRACE(testing::Message() << "source " << source << " onto " << layout);
      auto c = makeContext(12, 8, layout);
      CGContextSetRGBFillColor(c, 0, 0, 1, 0.5);
      CGContextFillRect(c, CGRectMake(0, 0, 12, 8));
      const auto ground = pixel(c, 0, 0);
      CGContextClipToRect(c, CGRectMake(0, 0, 6, 8));
      // Pixel rows count down: the image's top row lands on row 8 - 6 = 2.
      CGContextDrawImage(c, CGRectMake(3, 2, W, H), image);
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 12; ++x) {
          const int u = x - 3, v = y - 2;
          const bool inside = u >= 0 && u < W && v >= 0 && v < H && x < 6;
          std::array<int, 4> want = ground;
          if (inside) {
            const auto s = colour(u, v);
            want = {s[0], s[1], s[2], 255};
          }
          ASSERT_EQ(pixel(c, x, y), want) << x << "," << y;
        }
    }
  }
}

TEST_F(CGCompositingPathsTest, ShapesDrawnAgainReuseOnlyTheirOwnCoverage) {
  // Filled shapes keep their coverage for the next shape at the same offset
  // from whole pixels. Drawn one after another, each must still cover what
  // rasterising it afresh covers: white onto a cleared bitmap leaves the
  // coverage in the alpha byte.
  const int W = 80, H = 60;
  const CGAffineTransform flip = CGAffineTransformMake(1, 0, 0, -1, 0, H);
  struct Case {
    const char* name;
    CGRect rect;
    double radius;
    bool antialias;
    CGRect clip;  // whole pixels, user space
  };
  const CGRect all = CGRectMake(0, 0, W, H);
  const Case cases[] = {
      {"first", CGRectMake(10.5, 6.25, 40, 30), 9, true, all},
      {"again", CGRectMake(10.5, 6.25, 40, 30), 9, true, all},
      {"whole pixels on", CGRectMake(17.5, 9.25, 40, 30), 9, true, all},
      {"half a pixel right", CGRectMake(18, 9.25, 40, 30), 9, true, all},
      {"a quarter up", CGRectMake(18, 9.5, 40, 30), 9, true, all},
      {"another radius", CGRectMake(18, 9.5, 40, 30), 12, true, all},
      {"without antialiasing", CGRectMake(18, 9.5, 40, 30), 12, false, all},
      {"cut by the clip", CGRectMake(18, 9.5, 40, 30), 12, true, CGRectMake(0, 0, 40, 25)},
      {"the same cut further on", CGRectMake(20, 9.5, 40, 30), 12, true, CGRectMake(0, 0, 42, 25)},
      {"a 4096th right", CGRectMake(18 + 1.0 / 4096, 9.5, 40, 30), 12, true, all},
      {"a 16384th right", CGRectMake(18 + 1.0 / 16384, 9.5, 40, 30), 12, true, all},
  };
  auto c = makeContext(W, H, kBGRA);
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    CGContextClearRect(c, all);
    CGContextSaveGState(c);
    CGContextSetShouldAntialias(c, k.antialias);
    CGContextClipToRect(c, k.clip);
    CGContextSetRGBFillColor(c, 1, 1, 1, 1);
    CGContextAddPath(c, CGPathCreateWithRoundedRect(k.rect, k.radius, k.radius, nullptr));
    CGContextFillPath(c);
    CGContextRestoreGState(c);

    std::vector<int> expected(size_t(W) * H, 0);
    const CGPixelBox clip{int(k.clip.origin.x), H - int(CGRectGetMaxY(k.clip)),
                          int(CGRectGetMaxX(k.clip)), H - int(k.clip.origin.y)};
    CGRasterizer::fill(
        CGPathCreateWithRoundedRect(k.rect, k.radius, k.radius, nullptr)->flatten(flip, 0.1),
        CGFillRule::NonZero, clip, k.antialias, [&](int y, int x0, int x1, const float* cov) {
          for (int x = x0; x < x1; ++x)
            expected[size_t(y) * W + x] = static_cast<uint8_t>(cov[x - x0] * 255 + 0.5f);
        });
    int off = 0;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const int got = pixel(c, x, y)[3], want = expected[size_t(y) * W + x];
        if (std::abs(got - want) > 1 && ++off <= 3)
          ADD_FAILURE() << "pixel " << x << "," << y << ": " << got << " vs " << want;
      }
    EXPECT_EQ(off, 0);
  }
}

TEST_F(CGCompositingPathsTest, NamedMasksPaintAsEachMaskAlone) {
  // Masks with names (glyphs) go to pixman together and are kept there by
  // name; they must paint what the same masks do one by one: clipped by the
  // clip box, reaching past the bitmap's edges, overlapping, drawn again.
  std::vector<uint8_t> a(8 * 6), b(12 * 9);
  for (size_t i = 0; i < a.size(); ++i) a[i] = uint8_t((i * 37) % 256);
  for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(255 - (i * 11) % 256);
  static const int kFace = 0;  // any stable address stands for the source
  auto named = [&](int x, int y, bool second) {
    return second ? CGPixelMask{b.data(), 12, 11, 9, x, y, &kFace, reinterpret_cast<void*>(2)}
                  : CGPixelMask{a.data(), 8, 7, 6, x, y, &kFace, reinterpret_cast<void*>(1)};
  };
  const CGPixelMask space{nullptr, 0, 0, 0, 9, 9, &kFace, reinterpret_cast<void*>(3)};
  const std::vector<CGPixelMask> masks = {named(3, 4, false),   space,
                                          named(6, 7, true),    named(-3, -2, true),
                                          named(60, 44, false), named(30, 20, false),
                                          named(33, 21, true)};
  const CGRect clips[] = {CGRectMake(0, 0, 64, 48), CGRectMake(5, 3, 30, 40)};
  const double ink[4] = {0.1, 0.2, 0.6, 0.8};
  for (const CGRect& clip : clips) {
    auto together = makeContext(64, 48, kBGRA), alone = makeContext(64, 48, kBGRA);
    for (auto& c : {together, alone}) {
      CGContextSetRGBFillColor(c, 0.9, 0.8, 0.7, 1);
      CGContextFillRect(c, CGRectMake(0, 0, 64, 48));
      CGContextClipToRect(c, clip);
    }
    std::vector<CGPixelMask> unnamed = masks;
    for (CGPixelMask& m : unnamed) m.source = m.item = nullptr;
    together->fillMasks(masks, ink);
    together->fillMasks(masks, ink);  // the second time from pixman's cache
    alone->fillMasks(unnamed, ink);
    alone->fillMasks(unnamed, ink);
    expectSamePixels(together, alone, 0);
  }
}

TEST_F(CGCompositingPathsTest, RectangleRowsAreCoveredByTheirShareOfEachRow) {
  // Rectangles on whole columns: the rows they cover wholly go on in one
  // piece, the rows they cut by their share. White onto a cleared bitmap
  // leaves each row's coverage in the alpha byte.
  const int W = 8, H = 12;
  const struct {
    double top, bottom;  // pixel rows, counted down
  } cases[] = {{2.25, 7.75}, {2, 8},     {2.5, 3}, {3, 3.5},       {4.25, 4.75},  {0, 12},
               {-3.5, 1.5},  {10.5, 15}, {5, 6},   {5.999, 6.001}, {2 + 1e-9, 7}, {2, 7 - 1e-9}};
  auto c = makeContext(W, H, kBGRA);
  for (const auto& k : cases) {
    SCOPED_TRACE(testing::Message() << k.top << " to " << k.bottom);
    CGContextClearRect(c, CGRectMake(0, 0, W, H));
    CGContextSetRGBFillColor(c, 1, 1, 1, 1);
    CGContextFillRect(c, CGRectMake(1, H - k.bottom, 5, k.bottom - k.top));
    for (int y = 0; y < H; ++y) {
      const double share =
          std::clamp(std::min(y + 1.0, k.bottom) - std::max(double(y), k.top), 0.0, 1.0);
      const int want = static_cast<uint8_t>(static_cast<float>(share) * 255 + 0.5f);
      EXPECT_EQ(pixel(c, 0, y)[3], 0) << "row " << y;
      EXPECT_EQ(pixel(c, 3, y)[3], want) << "row " << y;
      EXPECT_EQ(pixel(c, 6, y)[3], 0) << "row " << y;
    }
  }
}

}  // namespace

}  // namespace cg_compositing_paths_test
