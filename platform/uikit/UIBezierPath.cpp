#include "platform/uikit/UIBezierPath.h"

#include <algorithm>
#include <cmath>

#include "platform/uikit/UIGraphics.h"

UIBezierPath::UIBezierPath() : path_(CGPathCreateMutable()) {}

UIBezierPathPtr UIBezierPath::bezierPath() { return std::make_shared<UIBezierPath>(); }

UIBezierPathPtr UIBezierPath::bezierPathWithRect(CGRect rect) {
  auto path = bezierPath();
  CGPathAddRect(path->path_, nullptr, rect);
  return path;
}

UIBezierPathPtr UIBezierPath::bezierPathWithOvalInRect(CGRect rect) {
  auto path = bezierPath();
  CGPathAddEllipseInRect(path->path_, nullptr, rect);
  return path;
}

UIBezierPathPtr UIBezierPath::bezierPathWithRoundedRect(CGRect rect, double cornerRadius) {
  return bezierPathWithRoundedRect(rect, UIRectCornerAllCorners,
                                   CGSizeMake(cornerRadius, cornerRadius));
}

UIBezierPathPtr UIBezierPath::bezierPathWithRoundedRect(CGRect rect, uint64_t corners,
                                                        CGSize cornerRadii) {
  auto path = bezierPath();
  if (CGRectIsNull(rect)) return path;
  CGRect r = CGRectStandardize(rect);
  double rx = std::clamp(cornerRadii.width, 0.0, r.size.width / 2);
  double ry = std::clamp(cornerRadii.height, 0.0, r.size.height / 2);
  double x0 = r.origin.x, y0 = r.origin.y, x1 = x0 + r.size.width, y1 = y0 + r.size.height;
  // Screen coordinates: y grows downwards, so the top edge is at y0.
  auto radius = [&](uint64_t corner) {
    return (corners & corner) ? CGSizeMake(rx, ry) : CGSizeZero;
  };
  CGSize tl = radius(UIRectCornerTopLeft), tr = radius(UIRectCornerTopRight);
  CGSize br = radius(UIRectCornerBottomRight), bl = radius(UIRectCornerBottomLeft);
  const double k = 0.5522847498307936;  // cubic approximation of a quarter ellipse
  ::CGPath& p = *path->path_;
  p.moveTo({x0 + tl.width, y0});
  p.lineTo({x1 - tr.width, y0});
  if (tr.width > 0)
    p.curveTo({x1 - tr.width + tr.width * k, y0}, {x1, y0 + tr.height - tr.height * k},
              {x1, y0 + tr.height});
  p.lineTo({x1, y1 - br.height});
  if (br.width > 0)
    p.curveTo({x1, y1 - br.height + br.height * k}, {x1 - br.width + br.width * k, y1},
              {x1 - br.width, y1});
  p.lineTo({x0 + bl.width, y1});
  if (bl.width > 0)
    p.curveTo({x0 + bl.width - bl.width * k, y1}, {x0, y1 - bl.height + bl.height * k},
              {x0, y1 - bl.height});
  p.lineTo({x0, y0 + tl.height});
  if (tl.width > 0)
    p.curveTo({x0, y0 + tl.height - tl.height * k}, {x0 + tl.width - tl.width * k, y0},
              {x0 + tl.width, y0});
  p.close();
  return path;
}

UIBezierPathPtr UIBezierPath::bezierPathWithArcCenter(CGPoint center, double radius,
                                                      double startAngle, double endAngle,
                                                      bool clockwise) {
  auto path = bezierPath();
  path->addArcWithCenter(center, radius, startAngle, endAngle, clockwise);
  return path;
}

UIBezierPathPtr UIBezierPath::bezierPathWithCGPath(const CGPathRef& cgPath) {
  auto path = bezierPath();
  CGPathAddPath(path->path_, nullptr, cgPath);
  return path;
}

void UIBezierPath::moveToPoint(CGPoint point) { path_->moveTo(point); }
void UIBezierPath::addLineToPoint(CGPoint point) { path_->lineTo(point); }
void UIBezierPath::addCurveToPoint(CGPoint end, CGPoint control1, CGPoint control2) {
  path_->curveTo(control1, control2, end);
}
void UIBezierPath::addQuadCurveToPoint(CGPoint end, CGPoint control) {
  path_->quadTo(control, end);
}

void UIBezierPath::addArcWithCenter(CGPoint center, double radius, double startAngle,
                                    double endAngle, bool clockwise) {
  // Clockwise on a y-down screen is anticlockwise in the path's own terms.
  CGPathAddArc(path_, nullptr, center.x, center.y, radius, startAngle, endAngle, !clockwise);
}

void UIBezierPath::closePath() { path_->close(); }
void UIBezierPath::removeAllPoints() { path_->clear(); }
void UIBezierPath::appendPath(const UIBezierPath& other) {
  path_->append(*other.path_, CGAffineTransformIdentity);
}

void UIBezierPath::applyTransform(const CGAffineTransform& transform) {
  auto moved = CGPathCreateMutable();
  moved->append(*path_, transform);
  path_ = moved;
}

bool UIBezierPath::containsPoint(CGPoint point) const {
  return CGPathContainsPoint(path_, nullptr, point, evenOdd_);
}

void UIBezierPath::fill() const { fillWithBlendMode(kCGBlendModeNormal, 1); }

void UIBezierPath::fillWithBlendMode(CGBlendMode mode, double alpha) const {
  CGContextRef c = UIGraphicsGetCurrentContext();
  if (!c) return;
  CGContextSaveGState(c);
  CGContextSetBlendMode(c, mode);
  CGContextSetAlpha(c, alpha);
  CGContextBeginPath(c);
  CGContextAddPath(c, path_);
  if (evenOdd_)
    CGContextEOFillPath(c);
  else
    CGContextFillPath(c);
  CGContextRestoreGState(c);
}

void UIBezierPath::stroke() const { strokeWithBlendMode(kCGBlendModeNormal, 1); }

void UIBezierPath::strokeWithBlendMode(CGBlendMode mode, double alpha) const {
  CGContextRef c = UIGraphicsGetCurrentContext();
  if (!c) return;
  CGContextSaveGState(c);
  CGContextSetBlendMode(c, mode);
  CGContextSetAlpha(c, alpha);
  CGContextSetLineWidth(c, lineWidth_);
  CGContextSetLineCap(c, lineCap_);
  CGContextSetLineJoin(c, lineJoin_);
  CGContextSetMiterLimit(c, miterLimit_);
  CGContextBeginPath(c);
  CGContextAddPath(c, path_);
  CGContextStrokePath(c);
  CGContextRestoreGState(c);
}

void UIBezierPath::addClip() const {
  CGContextRef c = UIGraphicsGetCurrentContext();
  if (!c) return;
  CGContextBeginPath(c);
  CGContextAddPath(c, path_);
  if (evenOdd_)
    CGContextEOClip(c);
  else
    CGContextClip(c);
}
