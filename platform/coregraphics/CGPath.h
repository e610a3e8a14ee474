#pragma once

// Paths: sub-paths of lines and Bézier curves. Arcs, rectangles, ellipses and
// rounded rectangles are stored as the lines and cubic curves that trace them,
// as the platform does. The optional transform of each call is applied to the
// points as they are added.

#include <memory>
#include <vector>

#include "platform/coregraphics/CGGeometry.h"
#include "platform/coregraphics/CGTypes.h"
#include "platform/foundation/NSObject.h"

enum CGPathElementType : int32_t {
  kCGPathElementMoveToPoint = 0,
  kCGPathElementAddLineToPoint = 1,
  kCGPathElementAddQuadCurveToPoint = 2,
  kCGPathElementAddCurveToPoint = 3,
  kCGPathElementCloseSubpath = 4,
};


struct CGPathElement {
  CGPathElementType type;
  CGPoint points[3];  // 1 for move/line, 2 for quad, 3 for cubic, 0 for close
};

// A polygon of a flattened path, in the coordinates it was flattened into.
struct CGPolygon {
  std::vector<CGPoint> points;
  bool closed = false;
};

class CGPath : public NSObject {
 public:
  const std::vector<CGPathElement>& elements() const { return elements_; }
  bool isEmpty() const { return elements_.empty(); }
  // The end point of the last element; CGPointZero when empty.
  CGPoint currentPoint() const { return current_; }
  bool hasCurrentPoint() const { return !elements_.empty(); }

  void moveTo(CGPoint p);
  void lineTo(CGPoint p);
  void quadTo(CGPoint c, CGPoint p);
  void curveTo(CGPoint c1, CGPoint c2, CGPoint p);
  void close();
  // Every point mapped through t (used when a context stores its path in
  // device space, and for the transform argument of the platform functions).
  void append(const CGPath& other, const CGAffineTransform& t);
  void clear();

  // Lines approximating the path after mapping it through t, no point further
  // than tolerance from the true curve.
  std::vector<CGPolygon> flatten(const CGAffineTransform& t, double tolerance) const;

  bool isEqual(const NSObject& other) const override;
  std::string className() const override { return "CGPath"; }

 private:
  std::vector<CGPathElement> elements_;
  CGPoint current_;
  CGPoint subpathStart_;
};


CGMutablePathRef CGPathCreateMutable();
CGMutablePathRef CGPathCreateMutableCopy(const CGPathRef& path);
CGPathRef CGPathCreateCopy(const CGPathRef& path);
CGPathRef CGPathCreateWithRect(CGRect rect, const CGAffineTransform* m);
CGPathRef CGPathCreateWithEllipseInRect(CGRect rect, const CGAffineTransform* m);
CGPathRef CGPathCreateWithRoundedRect(CGRect rect, double cornerWidth, double cornerHeight,
                                      const CGAffineTransform* m);

void CGPathMoveToPoint(const CGMutablePathRef& path, const CGAffineTransform* m, double x,
                       double y);
void CGPathAddLineToPoint(const CGMutablePathRef& path, const CGAffineTransform* m, double x,
                          double y);
void CGPathAddQuadCurveToPoint(const CGMutablePathRef& path, const CGAffineTransform* m, double cx,
                               double cy, double x, double y);
void CGPathAddCurveToPoint(const CGMutablePathRef& path, const CGAffineTransform* m, double c1x,
                           double c1y, double c2x, double c2y, double x, double y);
void CGPathCloseSubpath(const CGMutablePathRef& path);
void CGPathAddRect(const CGMutablePathRef& path, const CGAffineTransform* m, CGRect rect);
void CGPathAddEllipseInRect(const CGMutablePathRef& path, const CGAffineTransform* m, CGRect rect);
// Corner sizes are clamped to half the rectangle's sides.
void CGPathAddRoundedRect(const CGMutablePathRef& path, const CGAffineTransform* m, CGRect rect,
                          double cornerWidth, double cornerHeight);
// Angles in radians from the positive x axis towards positive y; clockwise
// means decreasing angles. A line joins the current point to the arc's start.
void CGPathAddArc(const CGMutablePathRef& path, const CGAffineTransform* m, double x, double y,
                  double radius, double startAngle, double endAngle, bool clockwise);
void CGPathAddPath(const CGMutablePathRef& path, const CGAffineTransform* m,
                   const CGPathRef& other);

bool CGPathIsEmpty(const CGPathRef& path);
CGPoint CGPathGetCurrentPoint(const CGPathRef& path);
// Smallest rectangle holding every point of the path, control points excluded.
CGRect CGPathGetPathBoundingBox(const CGPathRef& path);
// Holding control points too.
CGRect CGPathGetBoundingBox(const CGPathRef& path);
bool CGPathContainsPoint(const CGPathRef& path, const CGAffineTransform* m, CGPoint point,
                         bool eoFill);
bool CGPathEqualToPath(const CGPathRef& a, const CGPathRef& b);

// The outline of a stroke of the given width as closed polygons that, filled
// with the non-zero rule, cover what the stroke paints.
CGPathRef CGPathCreateCopyByStrokingPath(const CGPathRef& path, const CGAffineTransform* m,
                                         double lineWidth, CGLineCap cap, CGLineJoin join,
                                         double miterLimit);

// Internal to drawing: the stroke outline of already flattened polylines.
// Round parts are flattened to within tolerance.
std::vector<CGPolygon> CGStrokePolygons(const std::vector<CGPolygon>& lines, double lineWidth,
                                        CGLineCap cap, CGLineJoin join, double miterLimit,
                                        double tolerance);
