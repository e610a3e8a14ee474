#include "platform/quartzcore/internal/CAGradientLayer.h"

#include <cmath>

#include "platform/coregraphics/CGGradient.h"
#include "platform/foundation/ThreadChecks.h"

const char* const kCAGradientLayerAxial = "axial";
const char* const kCAGradientLayerRadial = "radial";

std::shared_ptr<CALayer> CAGradientLayer::makeCopy() const {
  return std::shared_ptr<CALayer>(new CAGradientLayer(*this));
}

void CAGradientLayer::setColors(std::vector<CGColorRef> colors) {
  QX_DCHECK_MAIN_THREAD();
  colors_ = std::move(colors);
}

void CAGradientLayer::setLocations(std::vector<double> locations) {
  QX_DCHECK_MAIN_THREAD();
  locations_ = std::move(locations);
}

void CAGradientLayer::setStartPoint(CGPoint p) {
  QX_DCHECK_MAIN_THREAD();
  startPoint_ = p;
}

void CAGradientLayer::setEndPoint(CGPoint p) {
  QX_DCHECK_MAIN_THREAD();
  endPoint_ = p;
}

void CAGradientLayer::setType(std::string type) {
  QX_DCHECK_MAIN_THREAD();
  type_ = std::move(type);
}

CAValue CAGradientLayer::valueForKeyPath(const std::string& keyPath) const {
  if (keyPath == "startPoint") return startPoint_;
  if (keyPath == "endPoint") return endPoint_;
  return CALayer::valueForKeyPath(keyPath);
}

bool CAGradientLayer::setValueForKeyPath(const std::string& keyPath, const CAValue& value) {
  if (auto p = std::get_if<CGPoint>(&value)) {
    if (keyPath == "startPoint") return startPoint_ = *p, true;
    if (keyPath == "endPoint") return endPoint_ = *p, true;
  }
  return CALayer::setValueForKeyPath(keyPath, value);
}

void CAGradientLayer::renderContent(const CGContextRef& context, double time) const {
  CALayer::renderContent(context, time);
  if (colors_.empty()) return;
  auto gradient = CGGradientCreateWithColors(
      CGColorSpaceCreateDeviceRGB(), colors_,
      locations_.size() == colors_.size() ? locations_.data() : nullptr);
  CGRect b = bounds();
  auto at = [&b](CGPoint unit) {
    return CGPointMake(b.origin.x + unit.x * b.size.width, b.origin.y + unit.y * b.size.height);
  };
  const uint32_t both = kCGGradientDrawsBeforeStartLocation | kCGGradientDrawsAfterEndLocation;
  CGContextSaveGState(context);
  CGContextClipToRect(context, b);
  if (type_ == kCAGradientLayerRadial) {
    CGPoint c = at(startPoint_), e = at(endPoint_);
    double rx = std::fabs(e.x - c.x), ry = std::fabs(e.y - c.y);
    if (rx > 0 && ry > 0) {
      CGContextTranslateCTM(context, c.x, c.y);
      CGContextScaleCTM(context, rx, ry);
      CGContextDrawRadialGradient(context, gradient, CGPointZero, 0, CGPointZero, 1,
                                  kCGGradientDrawsAfterEndLocation);
    }
  } else {
    CGContextDrawLinearGradient(context, gradient, at(startPoint_), at(endPoint_), both);
  }
  CGContextRestoreGState(context);
}
