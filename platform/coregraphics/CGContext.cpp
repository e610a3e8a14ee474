#include "platform/coregraphics/CGContext.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include <pixman.h>

#include <unordered_map>

#include "platform/coregraphics/CGCompositor.h"
#include "platform/coregraphics/internal/CGImageSampler.h"
#include "platform/coregraphics/internal/CGRasterizer.h"
#include "platform/foundation/OSLog.h"

namespace {

constexpr double kFlattenTolerance = 0.1;  // device pixels
constexpr size_t kMaxBitmapBytes = size_t(1) << 32;
// Clip masks kept for reuse: how many, and the largest kept (pixels).
constexpr size_t kSharedMasks = 8;
constexpr size_t kMaxSharedMask = size_t(1) << 20;
// Coverage masks of recent filled shapes kept for reuse on this thread: how
// many, the largest kept (pixels) and the most they hold together (bytes).
constexpr size_t kFillShapes = 16;
constexpr size_t kMaxFillShape = size_t(1) << 16;
constexpr size_t kMaxFillShapeBytes = size_t(1) << 20;

std::vector<CGPolygon> rectPolygon(const CGRect& rect, const CGAffineTransform& t) {
  CGRect r = CGRectStandardize(rect);
  double x0 = r.origin.x, y0 = r.origin.y, x1 = x0 + r.size.width, y1 = y0 + r.size.height;
  return {{{CGPointApplyAffineTransform({x0, y0}, t), CGPointApplyAffineTransform({x1, y0}, t),
            CGPointApplyAffineTransform({x1, y1}, t), CGPointApplyAffineTransform({x0, y1}, t)},
           true}};
}

void toPremultiplied8(const double rgba[4], uint8_t out[4]) {
  double a = std::clamp(rgba[3], 0.0, 1.0);
  for (int i = 0; i < 3; ++i)
    out[i] = static_cast<uint8_t>(std::lrint(std::clamp(rgba[i], 0.0, 1.0) * a * 255));
  out[3] = static_cast<uint8_t>(std::lrint(a * 255));
}

double transformScale(const CGAffineTransform& t) {
  return std::sqrt(std::fabs(t.a * t.d - t.b * t.c));
}

}  // namespace

struct CGContext::Paint {
  const uint8_t* color = nullptr;  // solid premultiplied RGBA, or
  const CGImageSampler* sampler = nullptr;
  CGBlendMode mode = kCGBlendModeNormal;
  double alpha = 1;
};

// pixman's 32-bit formats for our byte layouts (pixman names channels from
// the most significant byte of a little-endian word); 0 for those it lacks.
// A bitmap without alpha whose skipped bytes all hold 255 reads as opaque
// through the alpha format too, and keeps 255 there under source over; as
// a destination it takes that format, since pixman's formats without alpha
// may leave other values in the skipped byte.
pixman_format_code_t pixmanFormat(const CGPixelLayout& l, bool skippedBytesOpaque = false) {
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "formats are named for words");
  if (!l.valid || (l.hasAlpha() && !l.premultiplied)) return pixman_format_code_t(0);
  const bool alpha = l.hasAlpha() || skippedBytesOpaque;
  if (l.b == 0 && l.g == 1 && l.r == 2) return alpha ? PIXMAN_a8r8g8b8 : PIXMAN_x8r8g8b8;
  if (l.r == 0 && l.g == 1 && l.b == 2) return alpha ? PIXMAN_a8b8g8r8 : PIXMAN_x8b8g8r8;
  if (l.r == 1 && l.g == 2 && l.b == 3) return alpha ? PIXMAN_b8g8r8a8 : PIXMAN_b8g8r8x8;
  if (l.b == 1 && l.g == 2 && l.r == 3) return alpha ? PIXMAN_r8g8b8a8 : PIXMAN_r8g8b8x8;
  return pixman_format_code_t(0);
}

CGContext::~CGContext() {
  if (target_) pixman_image_unref(target_);
}

pixman_image_t* CGContext::target() {
  if (targetTried_) return target_;
  targetTried_ = true;
  if (!layout_.hasAlpha() && !skippedBytesOpaque_) return nullptr;
  const pixman_format_code_t format = pixmanFormat(layout_, true);
  if (format && bytesPerRow_ % 4 == 0 && reinterpret_cast<uintptr_t>(data_) % 4 == 0) {
    target_ = pixman_image_create_bits_no_clear(format, int(width_), int(height_),
                                                reinterpret_cast<uint32_t*>(data_),
                                                int(bytesPerRow_));
  }
  return target_;
}

bool CGContext::solidForPixman(const Paint& paint, uint8_t out[4]) {
  if (!paint.color || paint.mode != kCGBlendModeNormal || !target()) return false;
  // The alpha scales the colour exactly as it scales coverage elsewhere.
  const uint32_t alpha = static_cast<uint8_t>(static_cast<float>(paint.alpha * 255) + 0.5f);
  for (int k = 0; k < 4; ++k) out[k] = uint8_t(CGMulDiv255(paint.color[k], alpha));
  return true;
}

namespace {

// A pixman solid fill of a premultiplied colour; pixman's colours are 16
// bits a channel, and v * 257 keeps the byte exactly.
pixman_image_t* solidImage(const uint8_t rgba[4]) {
  const pixman_color_t color = {uint16_t(rgba[0] * 257), uint16_t(rgba[1] * 257),
                                uint16_t(rgba[2] * 257), uint16_t(rgba[3] * 257)};
  return pixman_image_create_solid_fill(&color);
}

}  // namespace

void CGContext::compositeSolid(pixman_image_t* solid, const CGPixelMask* mask, int x, int y, int w,
                               int h) {
  if (w <= 0 || h <= 0) return;
  pixman_image_t* maskImage = nullptr;
  if (mask) {
    maskImage = pixman_image_create_bits_no_clear(
        PIXMAN_a8, mask->width, mask->height,
        reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(mask->coverage)), mask->stride);
  }
  pixman_image_composite32(PIXMAN_OP_OVER, solid, maskImage, target_, 0, 0,
                           mask ? x - mask->x : 0, mask ? y - mask->y : 0, x, y, w, h);
  if (maskImage) pixman_image_unref(maskImage);
}

bool CGContext::compositeImageOnGrid(const CGImageSampler& sampler) {
  CGImageSampler::Grid grid;
  if (state_.blendMode != kCGBlendModeNormal || state_.alpha < 1 || state_.clip.mask ||
      !sampler.onGrid(grid) || !target()) {
    return false;
  }
  const pixman_format_code_t format = pixmanFormat(sampler.layout());
  if (!format || grid.bytesPerRow % 4 != 0 || reinterpret_cast<uintptr_t>(grid.pixels) % 4 != 0) {
    return false;
  }
  // The image's pixels on the device, within the clip.
  const CGPixelBox image{-grid.du, -grid.dv, sampler.width() - grid.du,
                         sampler.height() - grid.dv};
  const CGPixelBox box = image.intersect(state_.clip.box);
  if (box.isEmpty()) return true;
  if (copyOpaqueSwappingRedBlue(grid.pixels, grid.bytesPerRow, grid.du, grid.dv, sampler.layout(),
                                box)) {
    return true;
  }
  pixman_image_t* source = pixman_image_create_bits_no_clear(
      format, sampler.width(), sampler.height(),
      reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(grid.pixels)), int(grid.bytesPerRow));
  if (!source) return false;
  pixman_image_composite32(PIXMAN_OP_OVER, source, nullptr, target_, box.x0 + grid.du,
                           box.y0 + grid.dv, 0, 0, box.x0, box.y0, box.x1 - box.x0,
                           box.y1 - box.y0);
  pixman_image_unref(source);
  return true;
}

bool CGContext::copyOpaqueSwappingRedBlue(const uint8_t* pixels, size_t bytesPerRow, int du, int dv,
                                          const CGPixelLayout& from, const CGPixelBox& box) {
  // An opaque source over anything is the source itself. pixman converts
  // between orders with red and blue swapped (a decoded RGBX photo into a
  // BGRA bitmap) through its general path, a channel at a time; a swap
  // within 32-bit words runs at memory speed. Only layouts whose fourth
  // byte is the alpha or skipped byte on both sides take it.
  if (from.hasAlpha() || from.g != 1 || layout_.g != 1 || from.r != layout_.b ||
      from.b != layout_.r || from.r + from.b != 2 || (layout_.hasAlpha() && layout_.a != 3)) {
    return false;
  }
  const int n = box.x1 - box.x0;
  for (int y = box.y0; y < box.y1; ++y) {
    const uint8_t* src = pixels + size_t(y + dv) * bytesPerRow + size_t(box.x0 + du) * 4;
    uint8_t* dst = data_ + size_t(y) * bytesPerRow_ + size_t(box.x0) * 4;
    for (int i = 0; i < n; ++i) {
      uint32_t p;
      std::memcpy(&p, src + size_t(i) * 4, 4);
      p = 0xff000000u | (p & 0x0000ff00u) | ((p >> 16) & 0xffu) | ((p & 0xffu) << 16);
      std::memcpy(dst + size_t(i) * 4, &p, 4);
    }
  }
  return true;
}

bool CGContext::compositeRow(const uint8_t* row, const CGPixelLayout& layout, int x, int y, int n) {
  const pixman_format_code_t format = pixmanFormat(layout);
  if (!format || !target() || reinterpret_cast<uintptr_t>(row) % 4 != 0) return false;
  pixman_image_t* source = pixman_image_create_bits_no_clear(
      format, n, 1, reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(row)), n * 4);
  if (!source) return false;
  pixman_image_composite32(PIXMAN_OP_OVER, source, nullptr, target_, 0, 0, 0, 0, x, y, n, 1);
  pixman_image_unref(source);
  return true;
}

CGContext::CGContext(uint8_t* data, std::shared_ptr<Bytes> owned, size_t width, size_t height,
                     size_t bytesPerRow, uint32_t bitmapInfo, CGColorSpaceRef space,
                     CGPixelLayout layout)
    : data_(data),
      owned_(std::move(owned)),
      width_(width),
      height_(height),
      bytesPerRow_(bytesPerRow),
      bitmapInfo_(bitmapInfo),
      space_(std::move(space)),
      layout_(layout) {
  state_.clip.box = {0, 0, static_cast<int>(width), static_cast<int>(height)};
}

std::shared_ptr<CGContext> CGContext::createBitmap(void* data, size_t width, size_t height,
                                                   size_t bitsPerComponent, size_t bytesPerRow,
                                                   const CGColorSpaceRef& space,
                                                   uint32_t bitmapInfo) {
  CGPixelLayout layout = CGPixelLayout::forBitmapInfo(bitmapInfo);
  uint32_t alpha = bitmapInfo & kCGBitmapAlphaInfoMask;
  bool supported = width > 0 && height > 0 && width <= (1u << 24) && height <= (1u << 24) &&
                   bitsPerComponent == 8 && layout.valid && alpha != kCGImageAlphaNone && space &&
                   space->model() == kCGColorSpaceModelRGB;
  if (supported && bytesPerRow == 0) bytesPerRow = (width * 4 + 31) / 32 * 32;
  supported = supported && bytesPerRow >= width * 4 && bytesPerRow * height <= kMaxBitmapBytes;
  if (!supported) {
    NSLog("CGBitmapContextCreate: unsupported parameter combination: " +
          std::to_string(bitsPerComponent) + " bits/component; " + std::to_string(width) + " x " +
          std::to_string(height) + "; bitmap info " + std::to_string(bitmapInfo));
    return nullptr;
  }
  std::shared_ptr<Bytes> owned;
  uint8_t* pixels = static_cast<uint8_t*>(data);
  if (!pixels) {
    try {
      owned = std::make_shared<Bytes>(bytesPerRow * height, 0);
    } catch (const std::bad_alloc&) {
      NSLog("CGBitmapContextCreate: cannot allocate the bitmap");
      return nullptr;
    }
    pixels = owned->data();
  }
  auto context = std::make_shared<CGContext>(pixels, std::move(owned), width, height,
                                             bytesPerRow, bitmapInfo, space, layout);
  if (!data && !layout.hasAlpha()) {
    // A bitmap of its own without alpha starts with every skipped byte at
    // 255, as painting leaves them, so pixman can composite onto it.
    const int skip = 6 - layout.r - layout.g - layout.b;
    for (size_t y = 0; y < height; ++y) {
      uint8_t* row = pixels + y * bytesPerRow;
      for (size_t x = 0; x < width; ++x) row[x * 4 + size_t(skip)] = 255;
    }
    context->skippedBytesOpaque_ = true;
  }
  return context;
}

CGImageRef CGContext::makeImage() const {
  auto copy = std::make_shared<Bytes>(data_, data_ + bytesPerRow_ * height_);
  return CGImage::create(width_, height_, 8, 32, bytesPerRow_, bitmapInfo_, std::move(copy),
                         space_ ? space_->name() : std::string(kCGColorSpaceSRGB));
}

void CGContext::saveGState() { stack_.push_back(state_); }

void CGContext::restoreGState() {
  if (stack_.empty()) return;
  state_ = std::move(stack_.back());
  stack_.pop_back();
}

void CGContext::concatCTM(const CGAffineTransform& t) {
  state_.ctm = CGAffineTransformConcat(t, state_.ctm);
}

void CGContext::setAlpha(double alpha) { state_.alpha = std::clamp(alpha, 0.0, 1.0); }
void CGContext::setFillColor(const double rgba[4]) { toPremultiplied8(rgba, state_.fill); }
void CGContext::setStrokeColor(const double rgba[4]) { toPremultiplied8(rgba, state_.stroke); }

void CGContext::addPath(const CGPath& path) { path_->append(path, state_.ctm); }

CGPoint CGContext::userPoint(CGPoint device) const {
  return CGPointApplyAffineTransform(device, CGAffineTransformInvert(state_.ctm));
}

CGPoint CGContext::devicePoint(CGPoint user) const {
  return CGPointApplyAffineTransform(user, state_.ctm);
}

CGAffineTransform CGContext::userToPixel() const {
  // Device space has y up from the bottom edge; pixel rows count down.
  return CGAffineTransformConcat(state_.ctm,
                                 CGAffineTransformMake(1, 0, 0, -1, 0, double(height_)));
}

std::vector<CGPolygon> CGContext::pixelPolygons(const CGPath& devicePath) const {
  return devicePath.flatten(CGAffineTransformMake(1, 0, 0, -1, 0, double(height_)),
                            kFlattenTolerance);
}

std::vector<CGPolygon> CGContext::strokePolygons() const {
  double scale = transformScale(state_.ctm);
  if (!(scale > 0) || !std::isfinite(scale)) return {};
  CGAffineTransform toUser = CGAffineTransformInvert(state_.ctm);
  auto lines = path_->flatten(toUser, kFlattenTolerance / scale);
  // A width of 0 asks for the thinnest line the device shows.
  double width = state_.lineWidth > 0 ? state_.lineWidth : 1 / scale;
  auto outline = CGStrokePolygons(lines, width, state_.lineCap, state_.lineJoin, state_.miterLimit,
                                  kFlattenTolerance / scale);
  CGAffineTransform toPixel = userToPixel();
  for (CGPolygon& poly : outline)
    for (CGPoint& p : poly.points) p = CGPointApplyAffineTransform(p, toPixel);
  return outline;
}

std::optional<CGRect> CGContext::axisAlignedBox(const std::vector<CGPolygon>& polygons) {
  if (polygons.size() != 1) return std::nullopt;
  std::vector<CGPoint> pts = polygons[0].points;
  if (pts.size() == 5 && pts[4] == pts[0]) pts.pop_back();
  if (pts.size() != 4) return std::nullopt;
  for (int i = 0; i < 4; ++i) {
    const CGPoint &a = pts[i], &b = pts[(i + 1) % 4];
    if (a.x != b.x && a.y != b.y) return std::nullopt;
  }
  double x0 = std::min({pts[0].x, pts[1].x, pts[2].x, pts[3].x});
  double x1 = std::max({pts[0].x, pts[1].x, pts[2].x, pts[3].x});
  double y0 = std::min({pts[0].y, pts[1].y, pts[2].y, pts[3].y});
  double y1 = std::max({pts[0].y, pts[1].y, pts[2].y, pts[3].y});
  // Two distinct x and y values, each taken by two corners.
  for (const CGPoint& p : pts)
    if ((p.x != x0 && p.x != x1) || (p.y != y0 && p.y != y1)) return std::nullopt;
  if (!std::isfinite(x0 + x1 + y0 + y1)) return std::nullopt;
  return CGRectMake(x0, y0, x1 - x0, y1 - y0);
}

void CGContext::paintBox(const CGRect& box, const Paint& paint) {
  double bx0 = box.origin.x, by0 = box.origin.y;
  double bx1 = bx0 + box.size.width, by1 = by0 + box.size.height;
  if (!antialias()) {
    bx0 = std::round(bx0), bx1 = std::round(bx1), by0 = std::round(by0), by1 = std::round(by1);
  }
  const CGPixelBox& clip = state_.clip.box;
  int x0 = std::max(clip.x0, static_cast<int>(std::floor(std::max(bx0, -1.0))));
  int x1 = std::min(clip.x1, static_cast<int>(std::ceil(std::min(bx1, 1e7))));
  int y0 = std::max(clip.y0, static_cast<int>(std::floor(std::max(by0, -1.0))));
  int y1 = std::min(clip.y1, static_cast<int>(std::ceil(std::min(by1, 1e7))));
  if (x1 <= x0 || y1 <= y0) return;
  std::vector<float> covX(x1 - x0), row(x1 - x0);
  for (int x = x0; x < x1; ++x)
    covX[x - x0] =
        static_cast<float>(std::clamp(std::min(x + 1.0, bx1) - std::max(double(x), bx0), 0.0, 1.0));
  // The columns the box covers wholly: painted without per-pixel coverage.
  int inner0 = x0, inner1 = x1;
  while (inner0 < x1 && covX[inner0 - x0] < 1) ++inner0;
  while (inner1 > inner0 && covX[inner1 - 1 - x0] < 1) --inner1;
  // The wholly covered inside goes to pixman in one piece when it can take it.
  uint8_t solid[4];
  const bool inOnePiece = !state_.clip.mask && solidForPixman(paint, solid);
  // The rows the box covers wholly: [y, y + 1) inside [by0, by1).
  const int rows0 = std::clamp(static_cast<int>(std::ceil(std::clamp(by0, -1.0, 1e7))), y0, y1);
  const int rows1 = std::clamp(static_cast<int>(std::floor(std::clamp(by1, -1.0, 1e7))), rows0, y1);
  // Where nothing in them is painted row by row, they go in one piece
  // without visiting each (a full-screen background is 2532 rows at 3x).
  const bool rowsInOnePiece = inOnePiece && inner0 == x0 && inner1 == x1;
  int full0 = y1, full1 = y1;  // the rows wholly covered
  if (rowsInOnePiece && rows1 > rows0 && inner1 > inner0) full0 = rows0, full1 = rows1;
  for (int y = y0; y < y1; ++y) {
    if (rowsInOnePiece && y == rows0) y = rows1;  // painted above, in one piece
    if (y >= y1) break;
    float covY =
        static_cast<float>(std::clamp(std::min(y + 1.0, by1) - std::max(double(y), by0), 0.0, 1.0));
    if (covY <= 0) continue;
    if (covY >= 1) {
      if (inner0 > x0) paintRow(y, x0, inner0, covX.data(), paint);
      if (inner1 > inner0) {
        if (!inOnePiece) {
          paintRow(y, inner0, inner1, nullptr, paint);
        } else if (full0 == y1) {
          full0 = y, full1 = y + 1;
        } else {
          // Next to the block (a row just outside the whole rows whose
          // coverage rounds to 1 joins it from either side).
          full0 = std::min(full0, y), full1 = std::max(full1, y + 1);
        }
      }
      if (x1 > inner1) paintRow(y, inner1, x1, covX.data() + (inner1 - x0), paint);
      continue;
    }
    for (int i = 0; i < x1 - x0; ++i) row[i] = covX[i] * covY;
    paintRow(y, x0, x1, row.data(), paint);
  }
  if (full1 > full0) {
    pixman_image_t* source = solidImage(solid);
    compositeSolid(source, nullptr, inner0, full0, inner1 - inner0, full1 - full0);
    pixman_image_unref(source);
  }
}

namespace {

// The widest block of rows whose full runs share a stretch, by area: where
// a shape is wholly covered (the middle of a rounded rectangle).
struct FullBlock {
  int y0 = 0, y1 = 0, x0 = 0, x1 = 0;
  long area() const { return long(y1 - y0) * long(x1 - x0); }
};

FullBlock widestFullBlock(const std::vector<CGRasterizer::FullRun>& runs, int top) {
  FullBlock best, current;
  for (size_t i = 0; i < runs.size(); ++i) {
    const int y = top + int(i);
    const auto& r = runs[i];
    const int x0 = std::max(current.x0, r.x0), x1 = std::min(current.x1, r.x1);
    // Keep growing while the block does not lose area by it.
    if (current.y1 == y && x1 > x0 && long(x1 - x0) * (y + 1 - current.y0) >= current.area()) {
      current = {current.y0, y + 1, x0, x1};
    } else if (r.x1 > r.x0) {
      current = {y, y + 1, r.x0, r.x1};
    } else {
      current = {};
    }
    if (current.area() > best.area()) best = current;
  }
  return best;
}

std::vector<int64_t> MaskShapeKey(const std::vector<CGPolygon>& polygons, CGFillRule rule,
                                  bool antialias, const CGPixelBox& box);

// The coverage of a filled shape over its pixel box and the block it covers
// wholly (relative to the box), by shape relative to whole pixels: buttons
// and cells of one size at one sub-pixel offset are drawn again and again,
// frame after frame, and rasterising them costs several times compositing.
struct FillShape {
  std::vector<int64_t> key;
  int width = 0, height = 0, stride = 0;
  std::vector<uint8_t> coverage;
  FullBlock full;  // relative to the box
};

class FillShapes {
 public:
  const FillShape* find(const std::vector<int64_t>& key, int width, int height) {
    for (auto it = shapes_.begin(); it != shapes_.end(); ++it) {
      if (it->width != width || it->height != height || it->key != key) continue;
      std::rotate(shapes_.begin(), it, it + 1);  // most recently used first
      return &shapes_.front();
    }
    return nullptr;
  }
  // Keeps the shape, answering the coverage of one no longer kept (its
  // memory to be reused), if any.
  std::vector<uint8_t> keep(FillShape shape) {
    bytes_ += shape.coverage.size();
    shapes_.insert(shapes_.begin(), std::move(shape));
    std::vector<uint8_t> spare;
    while (shapes_.size() > kFillShapes || bytes_ > kMaxFillShapeBytes) {
      bytes_ -= shapes_.back().coverage.size();
      spare = std::move(shapes_.back().coverage);
      shapes_.pop_back();
    }
    return spare;
  }

 private:
  std::vector<FillShape> shapes_;
  size_t bytes_ = 0;
};

FillShapes& fillShapes() {
  thread_local FillShapes shapes;
  return shapes;
}

}  // namespace

void CGContext::paintPolygonsThroughMask(const std::vector<CGPolygon>& polygons, CGFillRule rule,
                                         const uint8_t solid[4]) {
  const Clip& clip = state_.clip;
  const CGPixelBox box = CGRasterizer::bounds(polygons).intersect(clip.box);
  if (box.isEmpty()) return;
  const int w = box.x1 - box.x0, h = box.y1 - box.y0;
  const int stride = (w + 3) & ~3;
  if (clip.mask) {
    coverageBox_.assign(size_t(stride) * size_t(h), 0);
    const CGPixelMask mask{coverageBox_.data(), stride, w, h, box.x0, box.y0};
    bool any = false;
    CGRasterizer::fill(polygons, rule, box, antialias(),
                       [&](int y, int x0, int x1, const float* cov) {
                         uint8_t* out = coverageBox_.data() +
                                        size_t(y - box.y0) * size_t(stride) + (x0 - box.x0);
                         const uint8_t* m = clip.maskRow(y, x0);
                         for (int i = 0; i < x1 - x0; ++i)
                           out[i] = static_cast<uint8_t>(cov[i] * m[i] + 0.5f);
                         any = true;
                       });
    if (!any) return;
    pixman_image_t* source = solidImage(solid);
    compositeSolid(source, &mask, box.x0, box.y0, w, h);
    pixman_image_unref(source);
    return;
  }
  // A shape drawn before at the same offset from whole pixels has its
  // coverage already.
  std::vector<int64_t> key;
  if (size_t(w) * size_t(h) <= kMaxFillShape) key = MaskShapeKey(polygons, rule, antialias(), box);
  FillShapes& shapes = fillShapes();
  const FillShape* known = key.empty() ? nullptr : shapes.find(key, w, h);
  CGPixelMask mask = {coverageBox_.data(), stride, w, h, box.x0, box.y0};
  FullBlock full;
  if (known) {
    if (known->coverage.empty()) return;  // it covers no pixel
    mask.coverage = known->coverage.data();
    full = known->full;
    full.x0 += box.x0, full.x1 += box.x0, full.y0 += box.y0, full.y1 += box.y0;
  } else {
    // Every byte of the box is written when anything is covered.
    coverageBox_.resize(size_t(stride) * size_t(h));
    mask.coverage = coverageBox_.data();
    std::vector<CGRasterizer::FullRun> runs;
    const bool any = CGRasterizer::fillMask(polygons, rule, box, antialias(), coverageBox_.data(),
                                            stride, &runs);
    if (any) full = widestFullBlock(runs, box.y0);
    if (!key.empty()) {
      FillShape shape{std::move(key), w, h, stride, {}, full};
      // The cache takes the coverage itself (its memory stays where the
      // mask points) and hands back a buffer it let go, for the next shape.
      if (any) shape.coverage = std::move(coverageBox_);
      shape.full.x0 -= box.x0, shape.full.x1 -= box.x0;
      shape.full.y0 -= box.y0, shape.full.y1 -= box.y0;
      std::vector<uint8_t> spare = shapes.keep(std::move(shape));
      if (any) coverageBox_ = std::move(spare);
    }
    if (!any) return;
  }
  pixman_image_t* source = solidImage(solid);
  // Where the shape covers a block wholly the colour goes on without the
  // mask (for an opaque colour pixman then just fills); the same pixels as
  // through a mask of 255.
  if (full.area() * 4 < long(w) * long(h)) {
    compositeSolid(source, &mask, box.x0, box.y0, w, h);
  } else {
    compositeSolid(source, &mask, box.x0, box.y0, w, full.y0 - box.y0);
    compositeSolid(source, &mask, box.x0, full.y0, full.x0 - box.x0, full.y1 - full.y0);
    compositeSolid(source, nullptr, full.x0, full.y0, full.x1 - full.x0, full.y1 - full.y0);
    compositeSolid(source, &mask, full.x1, full.y0, box.x1 - full.x1, full.y1 - full.y0);
    compositeSolid(source, &mask, box.x0, full.y1, w, box.y1 - full.y1);
  }
  pixman_image_unref(source);
}

void CGContext::paintPolygons(const std::vector<CGPolygon>& polygons, CGFillRule rule,
                              const Paint& paint) {
  if (polygons.empty() || state_.clip.box.isEmpty()) return;
  if (auto box = axisAlignedBox(polygons)) return paintBox(*box, paint);
  uint8_t solid[4];
  if (solidForPixman(paint, solid)) return paintPolygonsThroughMask(polygons, rule, solid);
  CGRasterizer::fill(
      polygons, rule, state_.clip.box, antialias(),
      [&](int y, int x0, int x1, const float* cov) { paintRow(y, x0, x1, cov, paint); });
}

void CGContext::paintRow(int y, int x0, int x1, const float* coverage, const Paint& paint) {
  const Clip& clip = state_.clip;
  const CGPixelBox& box = clip.box;
  if (y < box.y0 || y >= box.y1) return;
  if (x0 < box.x0) {
    if (coverage) coverage += box.x0 - x0;
    x0 = box.x0;
  }
  x1 = std::min(x1, box.x1);
  if (x1 <= x0) return;
  if (!clip.mask) return paintSpan(y, x0, x1, coverage, nullptr, paint);
  // Where the mask row is wholly covered it need not be read.
  auto [full0, full1] = (*clip.fullSpans)[size_t(y - clip.maskBox.y0)];
  full0 = std::clamp(full0 + clip.maskBox.x0, x0, x1);
  full1 = std::clamp(full1 + clip.maskBox.x0, full0, x1);
  if (full0 > x0) paintSpan(y, x0, full0, coverage, clip.maskRow(y, x0), paint);
  if (full1 > full0) {
    paintSpan(y, full0, full1, coverage ? coverage + (full0 - x0) : nullptr, nullptr, paint);
  }
  if (x1 > full1) {
    paintSpan(y, full1, x1, coverage ? coverage + (full1 - x0) : nullptr, clip.maskRow(y, full1),
              paint);
  }
}

void CGContext::paintSpan(int y, int x0, int x1, const float* coverage, const uint8_t* mask,
                          const Paint& paint) {
  const int n = x1 - x0;
  float scale = static_cast<float>(paint.alpha * 255);
  // Whole coverage (no coverage row, no mask, full alpha) skips the row.
  const uint8_t* cov = nullptr;
  if (coverage || mask || scale < 254.5f) {
    coverageRow_.resize(n);
    bool any = false;
    for (int i = 0; i < n; ++i) {
      float c = (coverage ? coverage[i] : 1.0f) * scale;
      if (mask) c = c * mask[i] * (1.0f / 255);
      uint8_t v = static_cast<uint8_t>(c + 0.5f);
      coverageRow_[i] = v;
      any |= v != 0;
    }
    if (!any) return;
    cov = coverageRow_.data();
  }
  uint8_t* dst = data_ + y * bytesPerRow_ + x0 * 4;
  if (paint.sampler && !cov && paint.mode == kCGBlendModeNormal &&
      (layout_.premultiplied || layout_.a < 0)) {
    // An image on the pixel grid in this bitmap's own channel order (a
    // layer's backing store): its rows are composited straight from it.
    const CGPixelLayout& from = paint.sampler->layout();
    if (from.r == layout_.r && from.g == layout_.g && from.b == layout_.b) {
      if (const uint8_t* row = paint.sampler->directRow(x0, y, n)) {
        if (compositeRow(row, from, x0, y, n)) return;
        return CGCompositor::overRowSameLayout(dst, layout_, row, !from.hasAlpha(), n);
      }
      // Scaled, sampled without reordering channels twice.
      sourceRow_.resize(static_cast<size_t>(n) * 4);
      if (paint.sampler->sampleRowInSourceOrder(x0, y, n, sourceRow_.data())) {
        return CGCompositor::overRowSameLayout(dst, layout_, sourceRow_.data(), false, n);
      }
    }
  }
  const uint8_t* src = paint.color;
  int stride = 0;
  if (paint.sampler) {
    sourceRow_.resize(static_cast<size_t>(n) * 4);
    paint.sampler->sampleRow(x0, y, n, sourceRow_.data());
    src = sourceRow_.data();
    stride = 4;
  }
  CGCompositor::compositeRow(dst, layout_, src, stride, cov, n, paint.mode);
}

void CGContext::fillPath(CGFillRule rule) {
  auto polygons = pixelPolygons(*path_);
  path_->clear();
  paintPolygons(polygons, rule, {state_.fill, nullptr, state_.blendMode, state_.alpha});
}

void CGContext::strokePath() {
  auto polygons = strokePolygons();
  path_->clear();
  paintPolygons(polygons, CGFillRule::NonZero,
                {state_.stroke, nullptr, state_.blendMode, state_.alpha});
}

void CGContext::fillRect(CGRect rect) {
  if (CGRectIsNull(rect)) return;
  paintPolygons(rectPolygon(rect, userToPixel()), CGFillRule::NonZero,
                {state_.fill, nullptr, state_.blendMode, state_.alpha});
}

void CGContext::clearRect(CGRect rect) {
  if (CGRectIsNull(rect)) return;
  static const uint8_t transparent[4] = {0, 0, 0, 0};
  paintPolygons(rectPolygon(rect, userToPixel()), CGFillRule::NonZero,
                {transparent, nullptr, kCGBlendModeClear, 1});
}

void CGContext::drawImage(CGRect rect, const CGImage& image) {
  if (CGRectIsNull(rect) || CGRectIsEmpty(rect)) return;
  CGRect r = CGRectStandardize(rect);
  double w = static_cast<double>(image.width()), h = static_cast<double>(image.height());
  // Image pixels (origin top-left) to user space: first row at the top of rect.
  CGAffineTransform imageToUser = CGAffineTransformMake(r.size.width / w, 0, 0, -r.size.height / h,
                                                        r.origin.x, r.origin.y + r.size.height);
  CGAffineTransform imageToPixel = CGAffineTransformConcat(imageToUser, userToPixel());
  double det = imageToPixel.a * imageToPixel.d - imageToPixel.b * imageToPixel.c;
  if (det == 0 || !std::isfinite(det)) return;
  CGImageSampler sampler(image, CGAffineTransformInvert(imageToPixel), state_.interpolation);
  if (!sampler.isValid()) return;
  if (compositeImageOnGrid(sampler)) return;
  paintPolygons(rectPolygon(r, userToPixel()), CGFillRule::NonZero,
                {nullptr, &sampler, state_.blendMode, state_.alpha});
}

namespace {

// pixman images over 8-bit masks, kept between calls on this thread: a
// glyph's mask is composited again and again, and making its image costs
// about as much as compositing a small glyph. An image only wraps the
// caller's memory, so one found for the same memory, size and stride shows
// that memory as it is now, whatever it held when the image was made.
class MaskImages {
 public:
  ~MaskImages() { clear(); }
  pixman_image_t* imageFor(const CGPixelMask& m) {
    const Key key{m.coverage, m.width, m.height, m.stride};
    auto it = images_.find(key);
    if (it != images_.end()) return it->second;
    if (images_.size() >= kMaxImages) clear();
    pixman_image_t* image = pixman_image_create_bits_no_clear(
        PIXMAN_a8, m.width, m.height,
        reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(m.coverage)), m.stride);
    if (image) images_.emplace(key, image);
    return image;
  }

 private:
  static constexpr size_t kMaxImages = 4096;
  struct Key {
    const uint8_t* coverage;
    int width, height, stride;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    size_t operator()(const Key& k) const {
      return std::hash<const void*>()(k.coverage) ^ (size_t(k.width) << 1) ^
             (size_t(k.height) << 17) ^ (size_t(k.stride) << 33);
    }
  };
  void clear() {
    for (auto& [key, image] : images_) pixman_image_unref(image);
    images_.clear();
  }
  std::unordered_map<Key, pixman_image_t*, KeyHash> images_;
};

MaskImages& maskImages() {
  thread_local MaskImages images;
  return images;
}

}  // namespace

namespace {

// pixman's glyph cache for named masks, one a thread (it is not
// thread-safe): a line of text goes to pixman in one call instead of one
// composite a glyph, each glyph's pixels as the composite gives them.
class GlyphCache {
 public:
  ~GlyphCache() {
    if (cache_) pixman_glyph_cache_destroy(cache_);
  }
  pixman_glyph_cache_t* get() {
    if (!cache_) cache_ = pixman_glyph_cache_create();
    return cache_;
  }

 private:
  pixman_glyph_cache_t* cache_ = nullptr;
};

pixman_glyph_cache_t* glyphCache() {
  thread_local GlyphCache cache;
  return cache.get();
}

}  // namespace

bool CGContext::compositeNamedMasks(pixman_image_t* source, const std::vector<CGPixelMask>& masks) {
  pixman_glyph_cache_t* cache = glyphCache();
  if (!cache || masks.empty()) return false;
  for (const CGPixelMask& m : masks) {
    if (m.width <= 0 || m.height <= 0) continue;  // paints nothing (a space)
    if (!m.source || !m.item || !m.coverage || m.stride % 4 != 0 ||
        reinterpret_cast<uintptr_t>(m.coverage) % 4 != 0) {
      return false;
    }
  }
  // The list is kept for the next line on this thread.
  thread_local std::vector<pixman_glyph_t> glyphs;
  glyphs.clear();
  glyphs.reserve(masks.size());
  pixman_glyph_cache_freeze(cache);
  for (const CGPixelMask& m : masks) {
    if (m.width <= 0 || m.height <= 0) continue;
    const void* glyph =
        pixman_glyph_cache_lookup(cache, const_cast<void*>(m.source), const_cast<void*>(m.item));
    if (!glyph) {
      pixman_image_t* image = pixman_image_create_bits_no_clear(
          PIXMAN_a8, m.width, m.height,
          reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(m.coverage)), m.stride);
      if (image) {
        // The cache keeps a copy of the pixels.
        glyph = pixman_glyph_cache_insert(cache, const_cast<void*>(m.source),
                                          const_cast<void*>(m.item), 0, 0, image);
        pixman_image_unref(image);
      }
    }
    if (!glyph) {
      pixman_glyph_cache_thaw(cache);
      return false;
    }
    glyphs.push_back({m.x, m.y, glyph});
  }
  // The clip box bounds every glyph, as it bounds each mask composited alone.
  const CGPixelBox& box = state_.clip.box;
  const bool clipped = box.x0 > 0 || box.y0 > 0 || box.x1 < int(width_) || box.y1 < int(height_);
  if (clipped) {
    pixman_region32_t region;
    pixman_region32_init_rect(&region, box.x0, box.y0, unsigned(box.x1 - box.x0),
                              unsigned(box.y1 - box.y0));
    pixman_image_set_clip_region32(target_, &region);
    pixman_region32_fini(&region);
  }
  pixman_composite_glyphs_no_mask(PIXMAN_OP_OVER, source, target_, 0, 0, 0, 0, cache,
                                  int(glyphs.size()), glyphs.data());
  if (clipped) pixman_image_set_clip_region32(target_, nullptr);
  pixman_glyph_cache_thaw(cache);
  return true;
}

void CGContext::fillMasks(const std::vector<CGPixelMask>& masks, const double rgba[4]) {
  uint8_t color[4];
  toPremultiplied8(rgba, color);
  const Paint paint{color, nullptr, state_.blendMode, state_.alpha};
  const CGPixelBox& box = state_.clip.box;
  uint8_t solid[4];
  const bool pixman = !state_.clip.mask && solidForPixman(paint, solid);
  pixman_image_t* source = pixman ? solidImage(solid) : nullptr;
  if (source && !box.isEmpty() && compositeNamedMasks(source, masks)) {
    pixman_image_unref(source);
    return;
  }
  std::vector<float> row;
  for (const CGPixelMask& m : masks) {
    // The part of the mask inside the clip box.
    const int x0 = std::max(m.x, box.x0), x1 = std::min(m.x + m.width, box.x1);
    const int y0 = std::max(m.y, box.y0), y1 = std::min(m.y + m.height, box.y1);
    if (x1 <= x0 || y1 <= y0 || !m.coverage) continue;
    if (pixman && m.stride % 4 == 0 && reinterpret_cast<uintptr_t>(m.coverage) % 4 == 0) {
      if (pixman_image_t* maskImage = maskImages().imageFor(m)) {
        pixman_image_composite32(PIXMAN_OP_OVER, source, maskImage, target_, 0, 0, x0 - m.x,
                                 y0 - m.y, x0, y0, x1 - x0, y1 - y0);
        continue;
      }
    }
    const uint8_t* first = m.coverage + size_t(y0 - m.y) * size_t(m.stride) + (x0 - m.x);
    row.resize(size_t(x1 - x0));
    for (int y = y0; y < y1; ++y) {
      const uint8_t* in = first + size_t(y - y0) * size_t(m.stride);
      for (int i = 0; i < x1 - x0; ++i) row[size_t(i)] = in[i] * (1.0f / 255);
      paintRow(y, x0, x1, row.data(), paint);
    }
  }
  if (source) pixman_image_unref(source);
}

namespace {

// The clip box of a rectangular clip that lies on whole pixels (once
// snapped to them when not antialiasing), else nothing: such a clip needs no
// mask.
std::optional<CGPixelBox> WholePixelClipBox(std::optional<CGRect> box, bool antialias) {
  if (!box) return std::nullopt;
  if (!antialias) {
    box = CGRectMake(std::round(box->origin.x), std::round(box->origin.y),
                     std::round(CGRectGetMaxX(*box)) - std::round(box->origin.x),
                     std::round(CGRectGetMaxY(*box)) - std::round(box->origin.y));
  }
  auto integral = [](double v) { return v == std::floor(v); };
  if (!integral(box->origin.x) || !integral(box->origin.y) || !integral(CGRectGetMaxX(*box)) ||
      !integral(CGRectGetMaxY(*box))) {
    return std::nullopt;
  }
  auto lim = [](double v) { return static_cast<int>(std::clamp(v, -1e7, 1e7)); };
  return CGPixelBox{lim(box->origin.x), lim(box->origin.y), lim(CGRectGetMaxX(*box)),
                    lim(CGRectGetMaxY(*box))};
}

// What identifies a clip shape's mask over `box`: the rule, antialiasing and
// the points relative to the box. Empty when a point is not finite.
std::vector<int64_t> MaskShapeKey(const std::vector<CGPolygon>& polygons, CGFillRule rule,
                                  bool antialias, const CGPixelBox& box) {
  std::vector<int64_t> key = {int64_t(rule), antialias ? 1 : 0};
  // A 4096th of a pixel changes no coverage level. Rounded half away from
  // zero in line (a call a coordinate costs as much as the rest of the
  // key); beyond ±2^52 4096ths every point is off the bitmap alike.
  constexpr double kLimit = double(int64_t(1) << 52);
  auto quantum = [&](double v) {
    v = std::clamp(v * 4096, -kLimit, kLimit);
    return static_cast<int64_t>(v + (v < 0 ? -0.5 : 0.5));
  };
  size_t size = key.size();
  for (const CGPolygon& polygon : polygons) size += 1 + 2 * polygon.points.size();
  key.reserve(size);
  for (const CGPolygon& polygon : polygons) {
    key.push_back(int64_t(polygon.points.size()));
    for (const CGPoint& p : polygon.points) {
      if (!std::isfinite(p.x) || !std::isfinite(p.y)) return {};
      key.push_back(quantum(p.x - box.x0));
      key.push_back(quantum(p.y - box.y0));
    }
  }
  return key;
}

// Fills the coverage of `polygons` over `box` into `mask` (one byte a pixel,
// rows of the box's width), times the coverage `previousRow(y, x)` of the
// clip before it when there is one, and notes each row's first run of full
// coverage in `spans`.
template <typename PreviousRow>
void FillClipMask(const std::vector<CGPolygon>& polygons, CGFillRule rule, const CGPixelBox& box,
                  bool antialias, PreviousRow previousRow, std::vector<uint8_t>& mask,
                  std::vector<std::pair<int, int>>& spans) {
  const size_t maskWidth = size_t(box.x1 - box.x0);
  CGRasterizer::fill(polygons, rule, box, antialias, [&](int y, int x0, int x1, const float* cov) {
    uint8_t* out = mask.data() + size_t(y - box.y0) * maskWidth;
    const uint8_t* previous = previousRow(y, x0);
    int full0 = x1, full1 = x1;  // the first run of full coverage
    for (int x = x0; x < x1; ++x) {
      float c = cov[x - x0] * 255;
      if (previous) c = c * previous[x - x0] * (1.0f / 255);
      uint8_t v = static_cast<uint8_t>(c + 0.5f);
      out[x - box.x0] = v;
      if (v == 255 && full1 == x1) {
        if (full0 == x1) full0 = x;
      } else if (full0 != x1 && full1 == x1) {
        full1 = x;
      }
    }
    spans[size_t(y - box.y0)] = {full0 - box.x0, full1 - box.x0};
  });
}

}  // namespace

void CGContext::intersectClip(const std::vector<CGPolygon>& polygons, CGFillRule rule) {
  Clip& clip = state_.clip;
  if (auto whole = WholePixelClipBox(axisAlignedBox(polygons), antialias())) {
    clip.box = clip.box.intersect(*whole);
    return;
  }
  // The mask covers only what stays paintable, so small clips stay cheap.
  const CGPixelBox shapeBox = CGRasterizer::bounds(polygons);
  CGPixelBox box2 = clip.box.intersect(shapeBox);
  if (box2.isEmpty()) {
    clip.box = {};
    clip.mask.reset();
    return;
  }
  // A shape wholly inside an unmasked clip has a mask of its own, which a
  // shape differing only by whole pixels shares.
  std::vector<int64_t> key;
  const bool shareable = !clip.mask && box2.x0 == shapeBox.x0 && box2.y0 == shapeBox.y0 &&
                         box2.x1 == shapeBox.x1 && box2.y1 == shapeBox.y1 &&
                         size_t(box2.x1 - box2.x0) * size_t(box2.y1 - box2.y0) <= kMaxSharedMask;
  if (shareable) key = MaskShapeKey(polygons, rule, antialias(), box2);
  for (auto it = maskShapes_.begin(); !key.empty() && it != maskShapes_.end(); ++it) {
    if (it->key != key || it->width != box2.x1 - box2.x0 || it->height != box2.y1 - box2.y0) {
      continue;
    }
    std::rotate(maskShapes_.begin(), it, it + 1);
    const MaskShape& shape = maskShapes_.front();
    clip.box = clip.maskBox = box2;
    clip.mask = shape.mask;
    clip.fullSpans = shape.fullSpans;
    return;
  }
  const size_t rows = size_t(box2.y1 - box2.y0);
  auto mask = std::make_shared<std::vector<uint8_t>>(size_t(box2.x1 - box2.x0) * rows, 0);
  auto spans = std::make_shared<std::vector<std::pair<int, int>>>(rows);
  const Clip old = clip;
  FillClipMask(
      polygons, rule, box2, antialias(),
      [&old](int y, int x) { return old.mask ? old.maskRow(y, x) : nullptr; }, *mask, *spans);
  clip.box = box2;
  clip.mask = std::move(mask);
  clip.fullSpans = std::move(spans);
  clip.maskBox = box2;
  if (!key.empty()) {
    maskShapes_.insert(maskShapes_.begin(), {std::move(key), box2.x1 - box2.x0,
                                             box2.y1 - box2.y0, clip.mask, clip.fullSpans});
    if (maskShapes_.size() > kSharedMasks) maskShapes_.pop_back();
  }
}

void CGContext::clip(CGFillRule rule) {
  auto polygons = pixelPolygons(*path_);
  path_->clear();
  if (polygons.empty()) {
    state_.clip.box = {};  // clipping to nothing leaves nothing paintable
    return;
  }
  intersectClip(polygons, rule);
}

void CGContext::clipToRect(CGRect rect) {
  if (CGRectIsNull(rect)) {
    state_.clip.box = {};
    return;
  }
  intersectClip(rectPolygon(rect, userToPixel()), CGFillRule::NonZero);
}

CGRect CGContext::clipBoundingBox() const {
  const CGPixelBox& b = state_.clip.box;
  if (b.isEmpty()) return CGRectNull;
  CGRect pixels = CGRectMake(b.x0, b.y0, b.x1 - b.x0, b.y1 - b.y0);
  return CGRectApplyAffineTransform(pixels, CGAffineTransformInvert(userToPixel()));
}

// --- The platform's function names. ---

CGContextRef CGBitmapContextCreate(void* data, size_t width, size_t height, size_t bitsPerComponent,
                                   size_t bytesPerRow, const CGColorSpaceRef& space,
                                   uint32_t bitmapInfo) {
  return CGContext::createBitmap(data, width, height, bitsPerComponent, bytesPerRow, space,
                                 bitmapInfo);
}

CGImageRef CGBitmapContextCreateImage(const CGContextRef& c) {
  return c ? c->makeImage() : nullptr;
}
void* CGBitmapContextGetData(const CGContextRef& c) { return c ? c->data() : nullptr; }
size_t CGBitmapContextGetWidth(const CGContextRef& c) { return c ? c->width() : 0; }
size_t CGBitmapContextGetHeight(const CGContextRef& c) { return c ? c->height() : 0; }
size_t CGBitmapContextGetBytesPerRow(const CGContextRef& c) { return c ? c->bytesPerRow() : 0; }
size_t CGBitmapContextGetBitsPerComponent(const CGContextRef& c) { return c ? 8 : 0; }
size_t CGBitmapContextGetBitsPerPixel(const CGContextRef& c) { return c ? 32 : 0; }
uint32_t CGBitmapContextGetBitmapInfo(const CGContextRef& c) { return c ? c->bitmapInfo() : 0; }
CGImageAlphaInfo CGBitmapContextGetAlphaInfo(const CGContextRef& c) {
  return c ? static_cast<CGImageAlphaInfo>(c->bitmapInfo() & kCGBitmapAlphaInfoMask)
           : kCGImageAlphaNone;
}
CGColorSpaceRef CGBitmapContextGetColorSpace(const CGContextRef& c) {
  return c ? c->colorSpace() : nullptr;
}

void CGContextSaveGState(const CGContextRef& c) {
  if (c) c->saveGState();
}
void CGContextRestoreGState(const CGContextRef& c) {
  if (c) c->restoreGState();
}
CGAffineTransform CGContextGetCTM(const CGContextRef& c) {
  return c ? c->ctm() : CGAffineTransformIdentity;
}
void CGContextConcatCTM(const CGContextRef& c, const CGAffineTransform& t) {
  if (c) c->concatCTM(t);
}
void CGContextTranslateCTM(const CGContextRef& c, double tx, double ty) {
  CGContextConcatCTM(c, CGAffineTransformMakeTranslation(tx, ty));
}
void CGContextScaleCTM(const CGContextRef& c, double sx, double sy) {
  CGContextConcatCTM(c, CGAffineTransformMakeScale(sx, sy));
}
void CGContextRotateCTM(const CGContextRef& c, double angle) {
  CGContextConcatCTM(c, CGAffineTransformMakeRotation(angle));
}
void CGContextSetAlpha(const CGContextRef& c, double alpha) {
  if (c) c->setAlpha(alpha);
}
void CGContextSetBlendMode(const CGContextRef& c, CGBlendMode mode) {
  if (c) c->setBlendMode(mode);
}
void CGContextSetInterpolationQuality(const CGContextRef& c, CGInterpolationQuality quality) {
  if (c) c->setInterpolationQuality(quality);
}
CGInterpolationQuality CGContextGetInterpolationQuality(const CGContextRef& c) {
  return c ? c->interpolationQuality() : kCGInterpolationDefault;
}
void CGContextSetShouldAntialias(const CGContextRef& c, bool on) {
  if (c) c->setShouldAntialias(on);
}
void CGContextSetAllowsAntialiasing(const CGContextRef& c, bool on) {
  if (c) c->setAllowsAntialiasing(on);
}
void CGContextSetRGBFillColor(const CGContextRef& c, double r, double g, double b, double a) {
  const double rgba[4] = {r, g, b, a};
  if (c) c->setFillColor(rgba);
}
void CGContextSetRGBStrokeColor(const CGContextRef& c, double r, double g, double b, double a) {
  const double rgba[4] = {r, g, b, a};
  if (c) c->setStrokeColor(rgba);
}
void CGContextSetGrayFillColor(const CGContextRef& c, double gray, double a) {
  CGContextSetRGBFillColor(c, gray, gray, gray, a);
}
void CGContextSetFillColorWithColor(const CGContextRef& c, const CGColorRef& color) {
  if (!c || !color) return;
  double rgba[4];
  color->getRGBA(rgba);
  c->setFillColor(rgba);
}
void CGContextSetStrokeColorWithColor(const CGContextRef& c, const CGColorRef& color) {
  if (!c || !color) return;
  double rgba[4];
  color->getRGBA(rgba);
  c->setStrokeColor(rgba);
}
void CGContextSetLineWidth(const CGContextRef& c, double width) {
  if (c) c->setLineWidth(width);
}
void CGContextSetLineCap(const CGContextRef& c, CGLineCap cap) {
  if (c) c->setLineCap(cap);
}
void CGContextSetLineJoin(const CGContextRef& c, CGLineJoin join) {
  if (c) c->setLineJoin(join);
}
void CGContextSetMiterLimit(const CGContextRef& c, double limit) {
  if (c) c->setMiterLimit(limit);
}

void CGContextBeginPath(const CGContextRef& c) {
  if (c) c->beginPath();
}
void CGContextMoveToPoint(const CGContextRef& c, double x, double y) {
  if (c) c->devicePath()->moveTo(c->devicePoint({x, y}));
}
void CGContextAddLineToPoint(const CGContextRef& c, double x, double y) {
  if (c) c->devicePath()->lineTo(c->devicePoint({x, y}));
}
void CGContextAddQuadCurveToPoint(const CGContextRef& c, double cx, double cy, double x, double y) {
  if (c) c->devicePath()->quadTo(c->devicePoint({cx, cy}), c->devicePoint({x, y}));
}
void CGContextAddCurveToPoint(const CGContextRef& c, double c1x, double c1y, double c2x, double c2y,
                              double x, double y) {
  if (c)
    c->devicePath()->curveTo(c->devicePoint({c1x, c1y}), c->devicePoint({c2x, c2y}),
                             c->devicePoint({x, y}));
}
void CGContextAddArc(const CGContextRef& c, double x, double y, double radius, double startAngle,
                     double endAngle, bool clockwise) {
  if (!c) return;
  CGAffineTransform ctm = c->ctm();
  CGPathAddArc(c->devicePath(), &ctm, x, y, radius, startAngle, endAngle, clockwise);
}
void CGContextAddRect(const CGContextRef& c, CGRect rect) {
  if (!c) return;
  CGAffineTransform ctm = c->ctm();
  CGPathAddRect(c->devicePath(), &ctm, rect);
}
void CGContextAddEllipseInRect(const CGContextRef& c, CGRect rect) {
  if (!c) return;
  CGAffineTransform ctm = c->ctm();
  CGPathAddEllipseInRect(c->devicePath(), &ctm, rect);
}
void CGContextAddPath(const CGContextRef& c, const CGPathRef& path) {
  if (c && path) c->addPath(*path);
}
void CGContextClosePath(const CGContextRef& c) {
  if (c) c->devicePath()->close();
}
bool CGContextIsPathEmpty(const CGContextRef& c) { return !c || c->devicePath()->isEmpty(); }
CGRect CGContextGetPathBoundingBox(const CGContextRef& c) {
  if (CGContextIsPathEmpty(c)) return CGRectNull;
  return CGRectApplyAffineTransform(CGPathGetPathBoundingBox(c->devicePath()),
                                    CGAffineTransformInvert(c->ctm()));
}
CGPathRef CGContextCopyPath(const CGContextRef& c) {
  auto path = CGPathCreateMutable();
  if (c) path->append(*c->devicePath(), CGAffineTransformInvert(c->ctm()));
  return path;
}

void CGContextFillPath(const CGContextRef& c) {
  if (c) c->fillPath(CGFillRule::NonZero);
}
void CGContextEOFillPath(const CGContextRef& c) {
  if (c) c->fillPath(CGFillRule::EvenOdd);
}
void CGContextStrokePath(const CGContextRef& c) {
  if (c) c->strokePath();
}
void CGContextDrawPath(const CGContextRef& c, CGPathDrawingMode mode) {
  if (!c) return;
  if (mode == kCGPathStroke) return c->strokePath();
  CGPath saved;
  saved.append(*c->devicePath(), CGAffineTransformIdentity);
  c->fillPath(mode == kCGPathEOFill || mode == kCGPathEOFillStroke ? CGFillRule::EvenOdd
                                                                   : CGFillRule::NonZero);
  if (mode == kCGPathFillStroke || mode == kCGPathEOFillStroke) {
    c->devicePath()->append(saved, CGAffineTransformIdentity);
    c->strokePath();
  }
}
void CGContextFillRect(const CGContextRef& c, CGRect rect) {
  if (c) c->fillRect(rect);
}
void CGContextStrokeRect(const CGContextRef& c, CGRect rect) {
  if (!c) return;
  c->beginPath();
  CGContextAddRect(c, rect);
  c->strokePath();
}
void CGContextStrokeRectWithWidth(const CGContextRef& c, CGRect rect, double width) {
  if (!c) return;
  c->saveGState();
  c->setLineWidth(width);
  CGContextStrokeRect(c, rect);
  c->restoreGState();
}
void CGContextClearRect(const CGContextRef& c, CGRect rect) {
  if (c) c->clearRect(rect);
}
void CGContextFillEllipseInRect(const CGContextRef& c, CGRect rect) {
  if (!c) return;
  c->beginPath();
  CGContextAddEllipseInRect(c, rect);
  c->fillPath(CGFillRule::NonZero);
}
void CGContextStrokeEllipseInRect(const CGContextRef& c, CGRect rect) {
  if (!c) return;
  c->beginPath();
  CGContextAddEllipseInRect(c, rect);
  c->strokePath();
}
void CGContextDrawImage(const CGContextRef& c, CGRect rect, const CGImageRef& image) {
  if (c && image) c->drawImage(rect, *image);
}

void CGContextClip(const CGContextRef& c) {
  if (c) c->clip(CGFillRule::NonZero);
}
void CGContextEOClip(const CGContextRef& c) {
  if (c) c->clip(CGFillRule::EvenOdd);
}
void CGContextClipToRect(const CGContextRef& c, CGRect rect) {
  if (c) c->clipToRect(rect);
}
CGRect CGContextGetClipBoundingBox(const CGContextRef& c) {
  return c ? c->clipBoundingBox() : CGRectNull;
}
