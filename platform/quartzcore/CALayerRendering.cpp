#include "platform/quartzcore/CALayerRendering.h"

#include <algorithm>
#include <cmath>

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

void composite(const Offscreen& offscreen, const CGContextRef& destination, double alpha) {
  if (!offscreen.context || alpha <= 0) return;
  CGContextSaveGState(destination);
  CGContextConcatCTM(destination, CGAffineTransformInvert(CGContextGetCTM(destination)));
  CGContextSetAlpha(destination, alpha);
  CGContextSetInterpolationQuality(destination, kCGInterpolationNone);
  CGContextDrawImage(destination, offscreen.deviceBox,
                     CGBitmapContextCreateImage(offscreen.context));
  CGContextRestoreGState(destination);
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

void drawImageFlipped(const CGContextRef& context, const CGRect& rect, const CGImageRef& image) {
  CGContextSaveGState(context);
  CGContextTranslateCTM(context, rect.origin.x, rect.origin.y + rect.size.height);
  CGContextScaleCTM(context, 1, -1);
  CGContextDrawImage(context, CGRectMake(0, 0, rect.size.width, rect.size.height), image);
  CGContextRestoreGState(context);
}

}  // namespace CALayerRendering
