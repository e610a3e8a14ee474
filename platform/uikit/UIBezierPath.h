#pragma once

// UIKit's path object: a Core Graphics path with its own stroke settings,
// drawn into the current UIKit context. Arcs take "clockwise" as seen on a
// screen, whose y axis points down.

#include <memory>

#include "platform/coregraphics/CGContext.h"

enum UIRectCorner : uint64_t {
  UIRectCornerTopLeft = 1 << 0,
  UIRectCornerTopRight = 1 << 1,
  UIRectCornerBottomLeft = 1 << 2,
  UIRectCornerBottomRight = 1 << 3,
  UIRectCornerAllCorners = ~0ull,
};

class UIBezierPath;
using UIBezierPathPtr = std::shared_ptr<UIBezierPath>;

class UIBezierPath : public NSObject {
 public:
  UIBezierPath();

  static UIBezierPathPtr bezierPath();
  static UIBezierPathPtr bezierPathWithRect(CGRect rect);
  static UIBezierPathPtr bezierPathWithOvalInRect(CGRect rect);
  // Radius clamped to half the shorter side.
  static UIBezierPathPtr bezierPathWithRoundedRect(CGRect rect, double cornerRadius);
  // Only the given corners rounded, each with radii clamped to half the sides.
  static UIBezierPathPtr bezierPathWithRoundedRect(CGRect rect, uint64_t corners,
                                                   CGSize cornerRadii);
  static UIBezierPathPtr bezierPathWithArcCenter(CGPoint center, double radius, double startAngle,
                                                 double endAngle, bool clockwise);
  static UIBezierPathPtr bezierPathWithCGPath(const CGPathRef& path);

  void moveToPoint(CGPoint point);
  void addLineToPoint(CGPoint point);
  void addCurveToPoint(CGPoint end, CGPoint control1, CGPoint control2);
  void addQuadCurveToPoint(CGPoint end, CGPoint control);
  void addArcWithCenter(CGPoint center, double radius, double startAngle, double endAngle,
                        bool clockwise);
  void closePath();
  void removeAllPoints();
  void appendPath(const UIBezierPath& other);
  void applyTransform(const CGAffineTransform& transform);

  const CGMutablePathRef& CGPath() const { return path_; }
  bool isEmpty() const { return path_->isEmpty(); }
  CGRect bounds() const { return CGPathGetPathBoundingBox(path_); }
  CGPoint currentPoint() const { return path_->currentPoint(); }
  bool containsPoint(CGPoint point) const;

  double lineWidth() const { return lineWidth_; }
  void setLineWidth(double width) { lineWidth_ = width; }
  CGLineCap lineCapStyle() const { return lineCap_; }
  void setLineCapStyle(CGLineCap cap) { lineCap_ = cap; }
  CGLineJoin lineJoinStyle() const { return lineJoin_; }
  void setLineJoinStyle(CGLineJoin join) { lineJoin_ = join; }
  double miterLimit() const { return miterLimit_; }
  void setMiterLimit(double limit) { miterLimit_ = limit; }
  bool usesEvenOddFillRule() const { return evenOdd_; }
  void setUsesEvenOddFillRule(bool on) { evenOdd_ = on; }

  // With the current context's fill or stroke colour.
  void fill() const;
  void fillWithBlendMode(CGBlendMode mode, double alpha) const;
  void stroke() const;
  void strokeWithBlendMode(CGBlendMode mode, double alpha) const;
  // Intersects the current context's clip with the path.
  void addClip() const;

  std::string className() const override { return "UIBezierPath"; }

 private:
  CGMutablePathRef path_;
  double lineWidth_ = 1;
  CGLineCap lineCap_ = kCGLineCapButt;
  CGLineJoin lineJoin_ = kCGLineJoinMiter;
  double miterLimit_ = 10;
  bool evenOdd_ = false;
};
