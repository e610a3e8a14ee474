#include "platform/coregraphics/CGGeometry.h"

#include <algorithm>
#include <cstdio>

bool CGRectIsNull(const CGRect& r) {
  return std::isinf(r.origin.x) && r.origin.x > 0 && std::isinf(r.origin.y) && r.origin.y > 0;
}

bool CGRectIsEmpty(const CGRect& r) {
  return CGRectIsNull(r) || r.size.width == 0 || r.size.height == 0 || std::isnan(r.size.width) ||
         std::isnan(r.size.height);
}

bool CGRectIsInfinite(const CGRect& r) {
  return std::isinf(r.size.width) && std::isinf(r.size.height);
}

CGRect CGRectStandardize(const CGRect& r) {
  CGRect s = r;
  if (s.size.width < 0) {
    s.origin.x += s.size.width;
    s.size.width = -s.size.width;
  }
  if (s.size.height < 0) {
    s.origin.y += s.size.height;
    s.size.height = -s.size.height;
  }
  return s;
}

double CGRectGetMinX(const CGRect& r) { return CGRectStandardize(r).origin.x; }
double CGRectGetMinY(const CGRect& r) { return CGRectStandardize(r).origin.y; }
double CGRectGetMaxX(const CGRect& r) {
  CGRect s = CGRectStandardize(r);
  return s.origin.x + s.size.width;
}
double CGRectGetMaxY(const CGRect& r) {
  CGRect s = CGRectStandardize(r);
  return s.origin.y + s.size.height;
}
double CGRectGetMidX(const CGRect& r) { return (CGRectGetMinX(r) + CGRectGetMaxX(r)) / 2; }
double CGRectGetMidY(const CGRect& r) { return (CGRectGetMinY(r) + CGRectGetMaxY(r)) / 2; }
double CGRectGetWidth(const CGRect& r) { return std::fabs(r.size.width); }
double CGRectGetHeight(const CGRect& r) { return std::fabs(r.size.height); }

bool CGRectEqualToRect(const CGRect& a, const CGRect& b) {
  if (CGRectIsNull(a) || CGRectIsNull(b)) return CGRectIsNull(a) && CGRectIsNull(b);
  return CGRectStandardize(a) == CGRectStandardize(b);
}
bool CGPointEqualToPoint(const CGPoint& a, const CGPoint& b) { return a == b; }
bool CGSizeEqualToSize(const CGSize& a, const CGSize& b) { return a == b; }

CGRect CGRectIntersection(const CGRect& a, const CGRect& b) {
  if (CGRectIsNull(a) || CGRectIsNull(b)) return CGRectNull;
  double x0 = std::max(CGRectGetMinX(a), CGRectGetMinX(b));
  double y0 = std::max(CGRectGetMinY(a), CGRectGetMinY(b));
  double x1 = std::min(CGRectGetMaxX(a), CGRectGetMaxX(b));
  double y1 = std::min(CGRectGetMaxY(a), CGRectGetMaxY(b));
  if (x1 < x0 || y1 < y0) return CGRectNull;
  return CGRectMake(x0, y0, x1 - x0, y1 - y0);
}

CGRect CGRectUnion(const CGRect& a, const CGRect& b) {
  if (CGRectIsNull(a)) return CGRectStandardize(b);
  if (CGRectIsNull(b)) return CGRectStandardize(a);
  double x0 = std::min(CGRectGetMinX(a), CGRectGetMinX(b));
  double y0 = std::min(CGRectGetMinY(a), CGRectGetMinY(b));
  double x1 = std::max(CGRectGetMaxX(a), CGRectGetMaxX(b));
  double y1 = std::max(CGRectGetMaxY(a), CGRectGetMaxY(b));
  return CGRectMake(x0, y0, x1 - x0, y1 - y0);
}

CGRect CGRectIntegral(const CGRect& r) {
  if (CGRectIsNull(r)) return r;
  double x0 = std::floor(CGRectGetMinX(r));
  double y0 = std::floor(CGRectGetMinY(r));
  double x1 = std::ceil(CGRectGetMaxX(r));
  double y1 = std::ceil(CGRectGetMaxY(r));
  return CGRectMake(x0, y0, x1 - x0, y1 - y0);
}

CGRect CGRectInset(const CGRect& r, double dx, double dy) {
  CGRect s = CGRectStandardize(r);
  s.origin.x += dx;
  s.origin.y += dy;
  s.size.width -= 2 * dx;
  s.size.height -= 2 * dy;
  if (s.size.width < 0 || s.size.height < 0) return CGRectNull;
  return s;
}

CGRect CGRectOffset(const CGRect& r, double dx, double dy) {
  if (CGRectIsNull(r)) return r;
  CGRect s = CGRectStandardize(r);
  s.origin.x += dx;
  s.origin.y += dy;
  return s;
}

bool CGRectContainsPoint(const CGRect& r, const CGPoint& p) {
  if (CGRectIsNull(r)) return false;
  return p.x >= CGRectGetMinX(r) && p.x < CGRectGetMaxX(r) && p.y >= CGRectGetMinY(r) &&
         p.y < CGRectGetMaxY(r);
}

bool CGRectContainsRect(const CGRect& outer, const CGRect& inner) {
  if (CGRectIsNull(outer) || CGRectIsNull(inner)) return false;
  return CGRectGetMinX(inner) >= CGRectGetMinX(outer) &&
         CGRectGetMinY(inner) >= CGRectGetMinY(outer) &&
         CGRectGetMaxX(inner) <= CGRectGetMaxX(outer) &&
         CGRectGetMaxY(inner) <= CGRectGetMaxY(outer);
}

bool CGRectIntersectsRect(const CGRect& a, const CGRect& b) {
  CGRect i = CGRectIntersection(a, b);
  return !CGRectIsNull(i) && i.size.width > 0 && i.size.height > 0;
}

static std::string formatNumber(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

std::string NSStringFromCGPoint(const CGPoint& p) {
  return "{" + formatNumber(p.x) + ", " + formatNumber(p.y) + "}";
}
std::string NSStringFromCGSize(const CGSize& s) {
  return "{" + formatNumber(s.width) + ", " + formatNumber(s.height) + "}";
}
std::string NSStringFromCGRect(const CGRect& r) {
  return "{" + NSStringFromCGPoint(r.origin) + ", " + NSStringFromCGSize(r.size) + "}";
}

CGAffineTransform CGAffineTransformMake(double a, double b, double c, double d, double tx,
                                        double ty) {
  return {a, b, c, d, tx, ty};
}
CGAffineTransform CGAffineTransformMakeTranslation(double tx, double ty) {
  return {1, 0, 0, 1, tx, ty};
}
CGAffineTransform CGAffineTransformMakeScale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }

CGAffineTransform CGAffineTransformMakeRotation(double angle) {
  double c = std::cos(angle);
  double s = std::sin(angle);
  // Exact quarter turns keep images on the pixel grid.
  if (std::fabs(c) < 1e-15) c = 0;
  if (std::fabs(s) < 1e-15) s = 0;
  return {c, s, -s, c, 0, 0};
}

bool CGAffineTransformIsIdentity(const CGAffineTransform& t) {
  return t == CGAffineTransformIdentity;
}
bool CGAffineTransformEqualToTransform(const CGAffineTransform& a, const CGAffineTransform& b) {
  return a == b;
}

CGAffineTransform CGAffineTransformConcat(const CGAffineTransform& t1,
                                          const CGAffineTransform& t2) {
  return {t1.a * t2.a + t1.b * t2.c,           t1.a * t2.b + t1.b * t2.d,
          t1.c * t2.a + t1.d * t2.c,           t1.c * t2.b + t1.d * t2.d,
          t1.tx * t2.a + t1.ty * t2.c + t2.tx, t1.tx * t2.b + t1.ty * t2.d + t2.ty};
}

CGAffineTransform CGAffineTransformTranslate(const CGAffineTransform& t, double tx, double ty) {
  return CGAffineTransformConcat(CGAffineTransformMakeTranslation(tx, ty), t);
}
CGAffineTransform CGAffineTransformScale(const CGAffineTransform& t, double sx, double sy) {
  return CGAffineTransformConcat(CGAffineTransformMakeScale(sx, sy), t);
}
CGAffineTransform CGAffineTransformRotate(const CGAffineTransform& t, double angle) {
  return CGAffineTransformConcat(CGAffineTransformMakeRotation(angle), t);
}

CGAffineTransform CGAffineTransformInvert(const CGAffineTransform& t) {
  double det = t.a * t.d - t.b * t.c;
  if (det == 0 || !std::isfinite(det)) return t;
  double a = t.d / det, b = -t.b / det, c = -t.c / det, d = t.a / det;
  return {a, b, c, d, -(t.tx * a + t.ty * c), -(t.tx * b + t.ty * d)};
}

CGPoint CGPointApplyAffineTransform(const CGPoint& p, const CGAffineTransform& t) {
  return {t.a * p.x + t.c * p.y + t.tx, t.b * p.x + t.d * p.y + t.ty};
}

CGSize CGSizeApplyAffineTransform(const CGSize& s, const CGAffineTransform& t) {
  return {t.a * s.width + t.c * s.height, t.b * s.width + t.d * s.height};
}

CGRect CGRectApplyAffineTransform(const CGRect& r, const CGAffineTransform& t) {
  if (CGRectIsNull(r)) return r;
  CGRect s = CGRectStandardize(r);
  CGPoint p[4] = {
      CGPointApplyAffineTransform(s.origin, t),
      CGPointApplyAffineTransform({s.origin.x + s.size.width, s.origin.y}, t),
      CGPointApplyAffineTransform({s.origin.x, s.origin.y + s.size.height}, t),
      CGPointApplyAffineTransform({s.origin.x + s.size.width, s.origin.y + s.size.height}, t)};
  double x0 = p[0].x, x1 = p[0].x, y0 = p[0].y, y1 = p[0].y;
  for (const CGPoint& q : p) {
    x0 = std::min(x0, q.x);
    x1 = std::max(x1, q.x);
    y0 = std::min(y0, q.y);
    y1 = std::max(y1, q.y);
  }
  return CGRectMake(x0, y0, x1 - x0, y1 - y0);
}
