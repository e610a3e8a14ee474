#include "platform/quartzcore/CALayerRendering.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "platform/coregraphics/CGBoxBlur.h"

namespace CALayerRendering {

CGRect visibleDeviceBox(const CGContextRef& context) {
  CGRect clip = CGRectApplyAffineTransform(CGContextGetClipBoundingBox(context),
                                           CGContextGetCTM(context));
  CGRect bitmap = CGRectMake(0, 0, double(CGBitmapContextGetWidth(context)),
                             double(CGBitmapContextGetHeight(context)));
  CGRect box = CGRectIntersection(CGRectIntegral(clip), bitmap);
  return CGRectIsNull(box) ? CGRectZero : box;
}

Offscreen makeOffscreen(const CGContextRef& destination, const CGRect& deviceBox) {
  if (CGRectIsEmpty(deviceBox)) return {};
  auto context = CGBitmapContextCreate(nullptr, size_t(deviceBox.size.width),
                                       size_t(deviceBox.size.height), 8, 0,
                                       CGColorSpaceCreateDeviceRGB(), kCGImageAlphaPremultipliedLast);
  if (!context) return {};
  CGContextConcatCTM(context, CGAffineTransformConcat(
                                  CGContextGetCTM(destination),
                                  CGAffineTransformMakeTranslation(-deviceBox.origin.x,
                                                                   -deviceBox.origin.y)));
  return {context, deviceBox};
}

namespace {

// Draws the image over `deviceBox` of the destination's device space.
void compositeImage(const CGImageRef& image, const CGRect& deviceBox,
                    const CGContextRef& destination, double alpha) {
  if (!image || alpha <= 0) return;
  CGContextSaveGState(destination);
  CGContextConcatCTM(destination, CGAffineTransformInvert(CGContextGetCTM(destination)));
  CGContextSetAlpha(destination, alpha);
  CGContextSetInterpolationQuality(destination, kCGInterpolationNone);
  CGContextDrawImage(destination, deviceBox, image);
  CGContextRestoreGState(destination);
}

// The widths of three box blurs that together come close to a Gaussian.
std::array<int, 3> gaussianBoxes(double sigma) {
  const int n = 3;
  double ideal = std::sqrt(12 * sigma * sigma / n + 1);
  int lower = int(std::floor(ideal));
  if (lower % 2 == 0) --lower;
  int upper = lower + 2;
  double m = (12 * sigma * sigma - n * lower * lower - 4 * n * lower - 3 * n) / (-4 * lower - 4);
  std::array<int, 3> sizes{};
  for (int i = 0; i < n; ++i) sizes[i] = i < std::lround(m) ? lower : upper;
  return sizes;
}

}  // namespace

void composite(const Offscreen& offscreen, const CGContextRef& destination, double alpha) {
  if (!offscreen.context) return;
  compositeImage(CGBitmapContextCreateImage(offscreen.context), offscreen.deviceBox, destination,
                 alpha);
}

CGRect outsetDeviceBox(const CGRect& box, double margin) {
  return CGRectInset(box, -std::ceil(margin), -std::ceil(margin));
}

void drawShadow(const Offscreen& silhouette, const CGContextRef& destination,
                const double rgba[4], CGPoint offset, double sigma, double alpha) {
  if (!silhouette.context || alpha <= 0 || rgba[3] <= 0) return;
  const size_t sw = CGBitmapContextGetWidth(silhouette.context);
  const size_t sh = CGBitmapContextGetHeight(silhouette.context);
  const size_t stride = CGBitmapContextGetBytesPerRow(silhouette.context);
  const uint8_t* src = static_cast<const uint8_t*>(CGBitmapContextGetData(silhouette.context));
  const size_t pad = sigma > 0 ? size_t(std::ceil(3 * sigma)) : 0;
  const size_t w = sw + 2 * pad, h = sh + 2 * pad;
  std::vector<uint8_t> plane(w * h, 0);
  for (size_t y = 0; y < sh; ++y) {
    for (size_t x = 0; x < sw; ++x) plane[(y + pad) * w + x + pad] = src[y * stride + x * 4 + 3];
  }
  if (sigma > 0) {
    std::vector<int> radii;
    for (int size : gaussianBoxes(sigma)) radii.push_back((size - 1) / 2);
    CGBoxBlur(plane.data(), w, h, w, 1, radii, CGBlurEdge::Transparent);
  }
  auto pixels = std::make_shared<Bytes>(w * h * 4);
  uint8_t* out = pixels->data();
  for (size_t i = 0; i < w * h; ++i, out += 4) {
    double a = rgba[3] * plane[i] / 255.0;
    for (int k = 0; k < 3; ++k) out[k] = uint8_t(std::lround(rgba[k] * a * 255));
    out[3] = uint8_t(std::lround(a * 255));
  }
  auto image = CGImage::create(w, h, 8, 32, w * 4, kCGImageAlphaPremultipliedLast,
                               std::move(pixels));
  CGRect box = outsetDeviceBox(silhouette.deviceBox, double(pad));
  compositeImage(image, CGRectOffset(box, std::round(offset.x), std::round(offset.y)),
                 destination, alpha);
}

namespace {
template <typename F>
void forEachPixel(const Offscreen& o, F f) {
  uint8_t* data = static_cast<uint8_t*>(CGBitmapContextGetData(o.context));
  size_t w = CGBitmapContextGetWidth(o.context), h = CGBitmapContextGetHeight(o.context);
  size_t stride = CGBitmapContextGetBytesPerRow(o.context);
  for (size_t y = 0; y < h; ++y) {
    for (size_t x = 0; x < w; ++x) f(data + y * stride + x * 4, y * stride + x * 4);
  }
}

uint8_t scaled(uint8_t v, double f) {
  return static_cast<uint8_t>(std::lround(std::clamp(v * f, 0.0, 255.0)));
}
}  // namespace

void applyMask(const Offscreen& content, const Offscreen& mask) {
  if (!content.context) return;
  const uint8_t* m =
      mask.context ? static_cast<const uint8_t*>(CGBitmapContextGetData(mask.context)) : nullptr;
  forEachPixel(content, [m](uint8_t* px, size_t offset) {
    double f = m ? m[offset + 3] / 255.0 : 0.0;
    for (int i = 0; i < 4; ++i) px[i] = scaled(px[i], f);
  });
}

void tint(const Offscreen& content, const double rgba[4]) {
  if (!content.context) return;
  forEachPixel(content, [rgba](uint8_t* px, size_t) {
    for (int i = 0; i < 4; ++i) px[i] = scaled(px[i], rgba[i]);
  });
}

CGPathRef roundedRectPath(const CGRect& rect, double radius) {
  if (radius <= 0) return CGPathCreateWithRect(rect, nullptr);
  return CGPathCreateWithRoundedRect(rect, radius, radius, nullptr);
}

namespace {

// Device coordinates a hair off a whole pixel are taken as on it.
double snapped(double v) {
  double whole = std::round(v);
  return std::fabs(v - whole) < 1e-6 ? whole : v;
}

// The premultiplied bitmap info whose channels sit where the destination's do.
uint32_t premultipliedLike(uint32_t info) {
  uint32_t order = info & kCGBitmapByteOrderMask;
  switch (info & kCGBitmapAlphaInfoMask) {
    case kCGImageAlphaPremultipliedFirst:
    case kCGImageAlphaFirst:
    case kCGImageAlphaNoneSkipFirst:
      return order | kCGImageAlphaPremultipliedFirst;
    default:
      return order | kCGImageAlphaPremultipliedLast;
  }
}

}  // namespace

void ContentsStore::clear() {
  image_.reset();
  drawn_.reset();
}

void ContentsStore::draw(const CGContextRef& context, const CGRect& rect,
                         const CGImageRef& image) {
  const CGAffineTransform ctm = CGContextGetCTM(context);
  if (!image || CGRectIsEmpty(rect) || ctm.b != 0 || ctm.c != 0) {
    clear();
    return drawImageFlipped(context, rect, image);
  }
  const CGRect device = CGRectApplyAffineTransform(rect, ctm);
  const double x0 = std::floor(snapped(device.origin.x));
  const double y0 = std::floor(snapped(device.origin.y));
  const double phaseX = snapped(device.origin.x) - x0, phaseY = snapped(device.origin.y) - y0;
  const CGInterpolationQuality quality = CGContextGetInterpolationQuality(context);
  const bool same = image_ == image && scaleX_ == ctm.a && scaleY_ == ctm.d &&
                    width_ == rect.size.width && height_ == rect.size.height &&
                    std::fabs(phaseX_ - phaseX) < 1e-6 && std::fabs(phaseY_ - phaseY) < 1e-6 &&
                    quality_ == quality;
  if (!same) {
    // Drawn once alike: only a second time alike makes keeping it pay
    // (contents that change every frame never do).
    clear();
    image_ = image;
    scaleX_ = ctm.a, scaleY_ = ctm.d, width_ = rect.size.width, height_ = rect.size.height;
    phaseX_ = phaseX, phaseY_ = phaseY, quality_ = quality;
    return drawImageFlipped(context, rect, image);
  }
  if (!drawn_) {
    const double w = std::ceil(snapped(x0 + phaseX + device.size.width)) - x0;
    const double h = std::ceil(snapped(y0 + phaseY + device.size.height)) - y0;
    const double limit = double(CGBitmapContextGetWidth(context)) *
                         double(CGBitmapContextGetHeight(context));
    if (!(w >= 1 && h >= 1) || w * h > limit) return drawImageFlipped(context, rect, image);
    const size_t width = size_t(w), height = size_t(h);
    auto pixels = std::make_shared<Bytes>(width * height * 4, 0);
    const uint32_t info = premultipliedLike(CGBitmapContextGetBitmapInfo(context));
    auto offscreen = CGBitmapContextCreate(pixels->data(), width, height, 8, width * 4,
                                           CGBitmapContextGetColorSpace(context), info);
    if (!offscreen) return drawImageFlipped(context, rect, image);
    CGContextConcatCTM(offscreen,
                       CGAffineTransformConcat(ctm, CGAffineTransformMakeTranslation(-x0, -y0)));
    CGContextSetInterpolationQuality(offscreen, quality);
    drawImageFlipped(offscreen, rect, image);
    drawn_ = CGImage::create(width, height, 8, 32, width * 4, info, std::move(pixels));
    if (!drawn_) return drawImageFlipped(context, rect, image);
  }
  // One stored pixel to one device pixel.
  CGContextSaveGState(context);
  CGContextConcatCTM(context, CGAffineTransformInvert(ctm));
  CGContextSetInterpolationQuality(context, kCGInterpolationNone);
  CGContextDrawImage(context,
                     CGRectMake(x0, y0, double(drawn_->width()), double(drawn_->height())),
                     drawn_);
  CGContextRestoreGState(context);
}

void drawImageFlipped(const CGContextRef& context, const CGRect& rect, const CGImageRef& image) {
  CGContextSaveGState(context);
  CGContextTranslateCTM(context, rect.origin.x, rect.origin.y + rect.size.height);
  CGContextScaleCTM(context, 1, -1);
  CGContextDrawImage(context, CGRectMake(0, 0, rect.size.width, rect.size.height), image);
  CGContextRestoreGState(context);
}

}  // namespace CALayerRendering
