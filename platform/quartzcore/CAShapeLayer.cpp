#include "platform/quartzcore/CAShapeLayer.h"

#include <algorithm>
#include <cmath>

#include "platform/foundation/ThreadChecks.h"

const char* const kCAFillRuleNonZero = "non-zero";
const char* const kCAFillRuleEvenOdd = "even-odd";
const char* const kCALineCapButt = "butt";
const char* const kCALineCapRound = "round";
const char* const kCALineCapSquare = "square";
const char* const kCALineJoinMiter = "miter";
const char* const kCALineJoinRound = "round";
const char* const kCALineJoinBevel = "bevel";

std::shared_ptr<CALayer> CAShapeLayer::makeCopy() const {
  return std::shared_ptr<CALayer>(new CAShapeLayer(*this));
}

void CAShapeLayer::setPath(CGPathRef path) {
  QX_DCHECK_MAIN_THREAD();
  path_ = std::move(path);
}

void CAShapeLayer::setFillColor(CGColorRef color) {
  QX_DCHECK_MAIN_THREAD();
  fillColor_ = std::move(color);
}

void CAShapeLayer::setStrokeColor(CGColorRef color) {
  QX_DCHECK_MAIN_THREAD();
  strokeColor_ = std::move(color);
}

void CAShapeLayer::setFillRule(std::string rule) {
  QX_DCHECK_MAIN_THREAD();
  fillRule_ = std::move(rule);
}

void CAShapeLayer::setLineWidth(double width) {
  QX_DCHECK_MAIN_THREAD();
  lineWidth_ = std::max(0.0, width);
}

void CAShapeLayer::setLineDashPattern(std::vector<double> pattern) {
  QX_DCHECK_MAIN_THREAD();
  dashPattern_ = std::move(pattern);
}

void CAShapeLayer::setLineDashPhase(double phase) {
  QX_DCHECK_MAIN_THREAD();
  dashPhase_ = phase;
}

void CAShapeLayer::setLineCap(std::string cap) {
  QX_DCHECK_MAIN_THREAD();
  lineCap_ = std::move(cap);
}

void CAShapeLayer::setLineJoin(std::string join) {
  QX_DCHECK_MAIN_THREAD();
  lineJoin_ = std::move(join);
}

void CAShapeLayer::setMiterLimit(double limit) {
  QX_DCHECK_MAIN_THREAD();
  miterLimit_ = limit;
}

void CAShapeLayer::setStrokeStart(double f) {
  QX_DCHECK_MAIN_THREAD();
  strokeStart_ = std::clamp(f, 0.0, 1.0);
}

void CAShapeLayer::setStrokeEnd(double f) {
  QX_DCHECK_MAIN_THREAD();
  strokeEnd_ = std::clamp(f, 0.0, 1.0);
}

CAValue CAShapeLayer::valueForKeyPath(const std::string& keyPath) const {
  if (keyPath == "fillColor") return fillColor_;
  if (keyPath == "strokeColor") return strokeColor_;
  if (keyPath == "lineWidth") return lineWidth_;
  if (keyPath == "lineDashPhase") return dashPhase_;
  if (keyPath == "strokeStart") return strokeStart_;
  if (keyPath == "strokeEnd") return strokeEnd_;
  if (keyPath == "miterLimit") return miterLimit_;
  return CALayer::valueForKeyPath(keyPath);
}

bool CAShapeLayer::setValueForKeyPath(const std::string& keyPath, const CAValue& value) {
  if (keyPath == "fillColor" || keyPath == "strokeColor") {
    auto color = std::get_if<CGColorRef>(&value);
    if (!color && !CAValueIsNil(value)) return false;
    (keyPath == "fillColor" ? fillColor_ : strokeColor_) = color ? *color : nullptr;
    return true;
  }
  auto number = std::get_if<double>(&value);
  if (number) {
    if (keyPath == "lineWidth") return lineWidth_ = std::max(0.0, *number), true;
    if (keyPath == "lineDashPhase") return dashPhase_ = *number, true;
    if (keyPath == "strokeStart") return strokeStart_ = std::clamp(*number, 0.0, 1.0), true;
    if (keyPath == "strokeEnd") return strokeEnd_ = std::clamp(*number, 0.0, 1.0), true;
    if (keyPath == "miterLimit") return miterLimit_ = *number, true;
  }
  return CALayer::setValueForKeyPath(keyPath, value);
}

namespace {

// Polylines with closed ones repeated back to their start.
std::vector<std::vector<CGPoint>> openPolylines(const std::vector<CGPolygon>& polygons) {
  std::vector<std::vector<CGPoint>> lines;
  for (const auto& p : polygons) {
    if (p.points.empty()) continue;
    auto pts = p.points;
    if (p.closed) pts.push_back(pts.front());
    lines.push_back(std::move(pts));
  }
  return lines;
}

double segmentLength(CGPoint a, CGPoint b) { return std::hypot(b.x - a.x, b.y - a.y); }

CGPoint along(CGPoint a, CGPoint b, double t) { return {a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t}; }

// Adds the part of the polylines between distances `from` and `to` along
// them; a part crossing from one polyline to the next breaks there.
void addStretch(const std::vector<std::vector<CGPoint>>& lines, double from, double to,
                const CGMutablePathRef& out) {
  double at = 0;
  for (const auto& line : lines) {
    bool open = false;
    for (size_t i = 1; i < line.size() && at < to; ++i) {
      double len = segmentLength(line[i - 1], line[i]);
      double lo = std::max(from, at), hi = std::min(to, at + len);
      if (hi > lo) {
        if (!open) out->moveTo(along(line[i - 1], line[i], (lo - at) / len));
        out->lineTo(along(line[i - 1], line[i], (hi - at) / len));
        open = true;
      }
      at += len;
    }
  }
}

}  // namespace

CGPathRef CAShapeLayer::strokedPart(double tolerance) const {
  auto lines = openPolylines(path_->flatten(CGAffineTransformIdentity, tolerance));
  double total = 0;
  for (const auto& l : lines) {
    for (size_t i = 1; i < l.size(); ++i) total += segmentLength(l[i - 1], l[i]);
  }
  const double from = strokeStart_ * total, to = strokeEnd_ * total;
  auto out = CGPathCreateMutable();
  double sum = 0;
  for (double d : dashPattern_) sum += std::max(0.0, d);
  if (sum <= 0) {
    addStretch(lines, from, to, out);
    return out;
  }
  // Dashes alternate on and off from the phase, cut to [from, to].
  double phase = std::fmod(dashPhase_, sum);
  double at = -(phase < 0 ? phase + sum : phase);
  bool on = true;
  for (size_t i = 0; at < to; ++i, on = !on) {
    double len = std::max(0.0, dashPattern_[i % dashPattern_.size()]);
    if (on && std::min(at + len, to) > std::max(at, from)) {
      addStretch(lines, std::max(at, from), std::min(at + len, to), out);
    }
    at += len;
  }
  return out;
}

void CAShapeLayer::renderContent(const CGContextRef& context, double time) const {
  CALayer::renderContent(context, time);
  if (!path_ || path_->isEmpty()) return;
  if (fillColor_ && fillColor_->alpha() > 0) {
    CGContextBeginPath(context);
    CGContextAddPath(context, path_);
    CGContextSetFillColorWithColor(context, fillColor_);
    if (fillRule_ == kCAFillRuleEvenOdd) {
      CGContextEOFillPath(context);
    } else {
      CGContextFillPath(context);
    }
  }
  if (!strokeColor_ || strokeColor_->alpha() <= 0 || lineWidth_ <= 0) return;
  if (strokeStart_ >= strokeEnd_) return;
  bool whole = dashPattern_.empty() && strokeStart_ <= 0 && strokeEnd_ >= 1;
  CGAffineTransform ctm = CGContextGetCTM(context);
  double scale = std::sqrt(std::fabs(ctm.a * ctm.d - ctm.b * ctm.c));
  CGContextSaveGState(context);
  CGContextBeginPath(context);
  CGContextAddPath(context, whole ? path_ : strokedPart(0.1 / std::max(scale, 1e-6)));
  CGContextSetStrokeColorWithColor(context, strokeColor_);
  CGContextSetLineWidth(context, lineWidth_);
  CGContextSetLineCap(context, lineCap_ == kCALineCapRound    ? kCGLineCapRound
                               : lineCap_ == kCALineCapSquare ? kCGLineCapSquare
                                                              : kCGLineCapButt);
  CGContextSetLineJoin(context, lineJoin_ == kCALineJoinRound   ? kCGLineJoinRound
                                : lineJoin_ == kCALineJoinBevel ? kCGLineJoinBevel
                                                                : kCGLineJoinMiter);
  CGContextSetMiterLimit(context, miterLimit_);
  CGContextStrokePath(context);
  CGContextRestoreGState(context);
}
