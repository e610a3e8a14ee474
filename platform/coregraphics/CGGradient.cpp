#include "platform/coregraphics/CGGradient.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>

CGGradient::CGGradient(std::vector<Stop> stops) : stops_(std::move(stops)) {
  std::stable_sort(stops_.begin(), stops_.end(),
                   [](const Stop& a, const Stop& b) { return a.location < b.location; });
}

void CGGradient::colorAt(double t, double rgba[4]) const {
  const Stop* lo = &stops_.front();
  const Stop* hi = &stops_.back();
  if (t <= lo->location) {
    std::copy(lo->rgba, lo->rgba + 4, rgba);
    return;
  }
  if (t >= hi->location) {
    std::copy(hi->rgba, hi->rgba + 4, rgba);
    return;
  }
  for (size_t i = 1; i < stops_.size(); ++i) {
    if (t <= stops_[i].location) {
      lo = &stops_[i - 1];
      hi = &stops_[i];
      break;
    }
  }
  double span = hi->location - lo->location;
  double f = span > 0 ? (t - lo->location) / span : 1;
  for (int k = 0; k < 4; ++k) rgba[k] = lo->rgba[k] + (hi->rgba[k] - lo->rgba[k]) * f;
}

CGGradientRef CGGradientCreateWithColorComponents(const CGColorSpaceRef&, const double* components,
                                                  const double* locations, size_t count) {
  if (!components || count == 0) return nullptr;
  std::vector<CGGradient::Stop> stops(count);
  for (size_t i = 0; i < count; ++i) {
    stops[i].location = locations ? locations[i] : count > 1 ? double(i) / double(count - 1) : 0;
    std::copy(components + 4 * i, components + 4 * i + 4, stops[i].rgba);
  }
  return std::make_shared<CGGradient>(std::move(stops));
}

CGGradientRef CGGradientCreateWithColors(const CGColorSpaceRef& space,
                                         const std::vector<CGColorRef>& colors,
                                         const double* locations) {
  std::vector<double> components;
  for (const auto& c : colors) {
    double rgba[4] = {0, 0, 0, 0};
    if (c) c->getRGBA(rgba);
    components.insert(components.end(), rgba, rgba + 4);
  }
  return CGGradientCreateWithColorComponents(space, components.data(), locations, colors.size());
}

namespace {

// Paints every device pixel the clip still reaches with the colour of the
// gradient parameter `paramAt(user point)` (nullopt leaves it unpainted),
// through an image drawn 1:1 in device space so the clip applies.
void shade(const CGContextRef& c, const CGGradient& g,
           const std::function<std::optional<double>(CGPoint)>& paramAt) {
  CGAffineTransform ctm = CGContextGetCTM(c);
  CGRect box = CGRectIntersection(
      CGRectIntegral(CGRectApplyAffineTransform(CGContextGetClipBoundingBox(c), ctm)),
      CGRectMake(0, 0, double(c->width()), double(c->height())));
  if (CGRectIsNull(box) || CGRectIsEmpty(box)) return;
  size_t w = size_t(box.size.width), h = size_t(box.size.height);
  auto image = CGBitmapContextCreate(nullptr, w, h, 8, 0, CGColorSpaceCreateDeviceRGB(),
                                     kCGImageAlphaPremultipliedLast);
  if (!image) return;
  CGAffineTransform toUser = CGAffineTransformInvert(ctm);
  uint8_t* data = static_cast<uint8_t*>(CGBitmapContextGetData(image));
  size_t stride = CGBitmapContextGetBytesPerRow(image);
  for (size_t row = 0; row < h; ++row) {
    // The first row in memory is the top of the box: device y grows upwards.
    double dy = box.origin.y + double(h - 1 - row) + 0.5;
    for (size_t x = 0; x < w; ++x) {
      CGPoint user = CGPointApplyAffineTransform(CGPointMake(box.origin.x + double(x) + 0.5, dy),
                                                 toUser);
      auto t = paramAt(user);
      if (!t) continue;
      double rgba[4];
      g.colorAt(*t, rgba);
      uint8_t* px = data + row * stride + x * 4;
      double a = std::clamp(rgba[3], 0.0, 1.0);
      for (int k = 0; k < 3; ++k) px[k] = uint8_t(std::lround(std::clamp(rgba[k], 0.0, 1.0) * a * 255));
      px[3] = uint8_t(std::lround(a * 255));
    }
  }
  CGContextSaveGState(c);
  CGContextConcatCTM(c, toUser);
  CGContextSetInterpolationQuality(c, kCGInterpolationNone);
  CGContextDrawImage(c, box, CGBitmapContextCreateImage(image));
  CGContextRestoreGState(c);
}

std::optional<double> extend(double t, uint32_t options) {
  if (t < 0 && !(options & kCGGradientDrawsBeforeStartLocation)) return std::nullopt;
  if (t > 1 && !(options & kCGGradientDrawsAfterEndLocation)) return std::nullopt;
  return std::clamp(t, 0.0, 1.0);
}

}  // namespace

void CGContextDrawLinearGradient(const CGContextRef& c, const CGGradientRef& gradient,
                                 CGPoint start, CGPoint end, uint32_t options) {
  if (!c || !gradient) return;
  double dx = end.x - start.x, dy = end.y - start.y, len2 = dx * dx + dy * dy;
  shade(c, *gradient, [&](CGPoint p) -> std::optional<double> {
    double t = len2 > 0 ? ((p.x - start.x) * dx + (p.y - start.y) * dy) / len2 : 0;
    return extend(t, options);
  });
}

void CGContextDrawRadialGradient(const CGContextRef& c, const CGGradientRef& gradient,
                                 CGPoint c0, double r0, CGPoint c1, double r1, uint32_t options) {
  if (!c || !gradient) return;
  // The largest t whose circle, centred and sized between the two, holds p.
  shade(c, *gradient, [&](CGPoint p) -> std::optional<double> {
    double cdx = c1.x - c0.x, cdy = c1.y - c0.y, dr = r1 - r0;
    double pdx = p.x - c0.x, pdy = p.y - c0.y;
    double a = cdx * cdx + cdy * cdy - dr * dr;
    double b = pdx * cdx + pdy * cdy + r0 * dr;
    double cc = pdx * pdx + pdy * pdy - r0 * r0;
    double t;
    if (std::fabs(a) < 1e-12) {
      if (std::fabs(b) < 1e-12) return std::nullopt;
      t = cc / (2 * b);
    } else {
      double disc = b * b - a * cc;
      if (disc < 0) return std::nullopt;
      t = (b + std::sqrt(disc)) / a;
      if (r0 + t * dr < 0) t = (b - std::sqrt(disc)) / a;
    }
    if (r0 + t * dr < 0) return std::nullopt;
    return extend(t, options);
  });
}
