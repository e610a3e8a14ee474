#include "platform/coregraphics/CGPath.h"

#include <algorithm>
#include <cmath>

namespace {

CGPoint apply(const CGAffineTransform* m, double x, double y) {
  return m ? CGPointApplyAffineTransform({x, y}, *m) : CGPoint{x, y};
}

CGPoint lerp(CGPoint a, CGPoint b, double t) {
  return {a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t};
}

double length(CGPoint v) { return std::hypot(v.x, v.y); }

// Segments needed so a cubic strays at most `tolerance` from its chords: the
// deviation of n uniform steps is bounded by (3/4)·|second difference|/n².
int cubicSteps(CGPoint p0, CGPoint p1, CGPoint p2, CGPoint p3, double tolerance) {
  double ddx = std::max(std::fabs(p0.x - 2 * p1.x + p2.x), std::fabs(p1.x - 2 * p2.x + p3.x));
  double ddy = std::max(std::fabs(p0.y - 2 * p1.y + p2.y), std::fabs(p1.y - 2 * p2.y + p3.y));
  double dd = std::hypot(ddx, ddy);
  double n = std::ceil(std::sqrt(dd * 0.75 / std::max(tolerance, 1e-6)));
  if (!std::isfinite(n)) return 1;
  return static_cast<int>(std::clamp(n, 1.0, 1000.0));
}

CGPoint cubicAt(CGPoint p0, CGPoint p1, CGPoint p2, CGPoint p3, double t) {
  double u = 1 - t;
  double a = u * u * u, b = 3 * u * u * t, c = 3 * u * t * t, d = t * t * t;
  return {a * p0.x + b * p1.x + c * p2.x + d * p3.x, a * p0.y + b * p1.y + c * p2.y + d * p3.y};
}

double signedArea(const std::vector<CGPoint>& pts) {
  double area = 0;
  for (size_t i = 0, n = pts.size(); i < n; ++i) {
    const CGPoint& a = pts[i];
    const CGPoint& b = pts[(i + 1) % n];
    area += a.x * b.y - b.x * a.y;
  }
  return area / 2;
}

}  // namespace

void CGPath::moveTo(CGPoint p) {
  elements_.push_back({kCGPathElementMoveToPoint, {p}});
  current_ = subpathStart_ = p;
}

void CGPath::lineTo(CGPoint p) {
  if (elements_.empty()) return moveTo(p);
  elements_.push_back({kCGPathElementAddLineToPoint, {p}});
  current_ = p;
}

void CGPath::quadTo(CGPoint c, CGPoint p) {
  if (elements_.empty()) moveTo(c);
  elements_.push_back({kCGPathElementAddQuadCurveToPoint, {c, p}});
  current_ = p;
}

void CGPath::curveTo(CGPoint c1, CGPoint c2, CGPoint p) {
  if (elements_.empty()) moveTo(c1);
  elements_.push_back({kCGPathElementAddCurveToPoint, {c1, c2, p}});
  current_ = p;
}

void CGPath::close() {
  if (elements_.empty() || elements_.back().type == kCGPathElementCloseSubpath) return;
  elements_.push_back({kCGPathElementCloseSubpath, {}});
  current_ = subpathStart_;
}

void CGPath::append(const CGPath& other, const CGAffineTransform& t) {
  for (const CGPathElement& e : other.elements_) {
    CGPoint p[3];
    for (int i = 0; i < 3; ++i) p[i] = CGPointApplyAffineTransform(e.points[i], t);
    switch (e.type) {
      case kCGPathElementMoveToPoint:
        moveTo(p[0]);
        break;
      case kCGPathElementAddLineToPoint:
        lineTo(p[0]);
        break;
      case kCGPathElementAddQuadCurveToPoint:
        quadTo(p[0], p[1]);
        break;
      case kCGPathElementAddCurveToPoint:
        curveTo(p[0], p[1], p[2]);
        break;
      case kCGPathElementCloseSubpath:
        close();
        break;
    }
  }
}

void CGPath::clear() {
  elements_.clear();
  current_ = subpathStart_ = CGPointZero;
}

std::vector<CGPolygon> CGPath::flatten(const CGAffineTransform& t, double tolerance) const {
  std::vector<CGPolygon> out;
  CGPoint start{}, last{};
  bool open = false;
  auto begin = [&](CGPoint p) {
    out.push_back({{p}, false});
    start = last = p;
    open = true;
  };
  auto add = [&](CGPoint p) {
    if (!open) begin(start);  // drawing on after a close starts a new sub-path
    out.back().points.push_back(p);
    last = p;
  };
  for (const CGPathElement& e : elements_) {
    CGPoint p0 = CGPointApplyAffineTransform(e.points[0], t);
    switch (e.type) {
      case kCGPathElementMoveToPoint:
        begin(p0);
        break;
      case kCGPathElementAddLineToPoint:
        add(p0);
        break;
      case kCGPathElementAddQuadCurveToPoint:
      case kCGPathElementAddCurveToPoint: {
        if (!open) begin(start);
        CGPoint a = last, b, c, d;
        if (e.type == kCGPathElementAddQuadCurveToPoint) {
          CGPoint q = p0, end = CGPointApplyAffineTransform(e.points[1], t);
          b = lerp(a, q, 2.0 / 3);
          c = lerp(end, q, 2.0 / 3);
          d = end;
        } else {
          b = p0;
          c = CGPointApplyAffineTransform(e.points[1], t);
          d = CGPointApplyAffineTransform(e.points[2], t);
        }
        int n = cubicSteps(a, b, c, d, tolerance);
        for (int i = 1; i < n; ++i) add(cubicAt(a, b, c, d, static_cast<double>(i) / n));
        add(d);
        break;
      }
      case kCGPathElementCloseSubpath:
        if (open) out.back().closed = true;
        open = false;
        last = start;
        break;
    }
  }
  return out;
}

bool CGPath::isEqual(const NSObject& other) const {
  auto* path = dynamic_cast<const CGPath*>(&other);
  if (!path || path->elements_.size() != elements_.size()) return false;
  for (size_t i = 0; i < elements_.size(); ++i) {
    const CGPathElement &a = elements_[i], &b = path->elements_[i];
    if (a.type != b.type) return false;
    for (int k = 0; k < 3; ++k)
      if (!(a.points[k] == b.points[k])) return false;
  }
  return true;
}

CGMutablePathRef CGPathCreateMutable() { return std::make_shared<CGPath>(); }

CGMutablePathRef CGPathCreateMutableCopy(const CGPathRef& path) {
  auto copy = std::make_shared<CGPath>();
  if (path) copy->append(*path, CGAffineTransformIdentity);
  return copy;
}

CGPathRef CGPathCreateCopy(const CGPathRef& path) { return CGPathCreateMutableCopy(path); }

CGPathRef CGPathCreateWithRect(CGRect rect, const CGAffineTransform* m) {
  auto path = CGPathCreateMutable();
  CGPathAddRect(path, m, rect);
  return path;
}

CGPathRef CGPathCreateWithEllipseInRect(CGRect rect, const CGAffineTransform* m) {
  auto path = CGPathCreateMutable();
  CGPathAddEllipseInRect(path, m, rect);
  return path;
}

CGPathRef CGPathCreateWithRoundedRect(CGRect rect, double cornerWidth, double cornerHeight,
                                      const CGAffineTransform* m) {
  auto path = CGPathCreateMutable();
  CGPathAddRoundedRect(path, m, rect, cornerWidth, cornerHeight);
  return path;
}

void CGPathMoveToPoint(const CGMutablePathRef& path, const CGAffineTransform* m, double x,
                       double y) {
  if (path) path->moveTo(apply(m, x, y));
}

void CGPathAddLineToPoint(const CGMutablePathRef& path, const CGAffineTransform* m, double x,
                          double y) {
  if (path) path->lineTo(apply(m, x, y));
}

void CGPathAddQuadCurveToPoint(const CGMutablePathRef& path, const CGAffineTransform* m, double cx,
                               double cy, double x, double y) {
  if (path) path->quadTo(apply(m, cx, cy), apply(m, x, y));
}

void CGPathAddCurveToPoint(const CGMutablePathRef& path, const CGAffineTransform* m, double c1x,
                           double c1y, double c2x, double c2y, double x, double y) {
  if (path) path->curveTo(apply(m, c1x, c1y), apply(m, c2x, c2y), apply(m, x, y));
}

void CGPathCloseSubpath(const CGMutablePathRef& path) {
  if (path) path->close();
}

void CGPathAddRect(const CGMutablePathRef& path, const CGAffineTransform* m, CGRect rect) {
  if (!path || CGRectIsNull(rect)) return;
  CGRect r = CGRectStandardize(rect);
  double x0 = r.origin.x, y0 = r.origin.y, x1 = x0 + r.size.width, y1 = y0 + r.size.height;
  path->moveTo(apply(m, x0, y0));
  path->lineTo(apply(m, x1, y0));
  path->lineTo(apply(m, x1, y1));
  path->lineTo(apply(m, x0, y1));
  path->close();
}

namespace {

// Quarter turns of an ellipse of radii (rx, ry) around (cx, cy), each one
// cubic, from angle index `from` (0 = +x, 1 = +y, 2 = -x, 3 = -y).
void addEllipseQuarter(CGPath& path, const CGAffineTransform* m, double cx, double cy, double rx,
                       double ry, int from) {
  static const double kappa = 0.5522847498307936;  // 4/3·(√2 − 1)
  static const int dx[] = {1, 0, -1, 0};
  static const int dy[] = {0, 1, 0, -1};
  int to = (from + 1) % 4;
  CGPoint a{cx + dx[from] * rx, cy + dy[from] * ry};
  CGPoint b{cx + dx[to] * rx, cy + dy[to] * ry};
  CGPoint c1{a.x + dx[to] * rx * kappa, a.y + dy[to] * ry * kappa};
  CGPoint c2{b.x + dx[from] * rx * kappa, b.y + dy[from] * ry * kappa};
  path.curveTo(apply(m, c1.x, c1.y), apply(m, c2.x, c2.y), apply(m, b.x, b.y));
}

}  // namespace

void CGPathAddEllipseInRect(const CGMutablePathRef& path, const CGAffineTransform* m, CGRect rect) {
  if (!path || CGRectIsNull(rect)) return;
  CGRect r = CGRectStandardize(rect);
  double rx = r.size.width / 2, ry = r.size.height / 2;
  double cx = r.origin.x + rx, cy = r.origin.y + ry;
  path->moveTo(apply(m, cx + rx, cy));
  for (int q = 0; q < 4; ++q) addEllipseQuarter(*path, m, cx, cy, rx, ry, q);
  path->close();
}

void CGPathAddRoundedRect(const CGMutablePathRef& path, const CGAffineTransform* m, CGRect rect,
                          double cornerWidth, double cornerHeight) {
  if (!path || CGRectIsNull(rect)) return;
  CGRect r = CGRectStandardize(rect);
  double rx = std::clamp(cornerWidth, 0.0, r.size.width / 2);
  double ry = std::clamp(cornerHeight, 0.0, r.size.height / 2);
  if (rx == 0 || ry == 0) return CGPathAddRect(path, m, r);
  double x0 = r.origin.x, y0 = r.origin.y, x1 = x0 + r.size.width, y1 = y0 + r.size.height;
  path->moveTo(apply(m, x1 - rx, y0));
  addEllipseQuarter(*path, m, x1 - rx, y0 + ry, rx, ry, 3);
  path->lineTo(apply(m, x1, y1 - ry));
  addEllipseQuarter(*path, m, x1 - rx, y1 - ry, rx, ry, 0);
  path->lineTo(apply(m, x0 + rx, y1));
  addEllipseQuarter(*path, m, x0 + rx, y1 - ry, rx, ry, 1);
  path->lineTo(apply(m, x0, y0 + ry));
  addEllipseQuarter(*path, m, x0 + rx, y0 + ry, rx, ry, 2);
  path->close();
}

void CGPathAddArc(const CGMutablePathRef& path, const CGAffineTransform* m, double x, double y,
                  double radius, double startAngle, double endAngle, bool clockwise) {
  if (!path || !(radius >= 0) || !std::isfinite(startAngle) || !std::isfinite(endAngle)) return;
  const double twoPi = 2 * M_PI;
  double sweep = endAngle - startAngle;
  // A full turn or more draws the whole circle once; less is taken modulo a
  // turn in the asked direction.
  if (clockwise) {
    sweep = sweep <= -twoPi ? -twoPi : -std::fmod(std::fmod(-sweep, twoPi) + twoPi, twoPi);
  } else {
    sweep = sweep >= twoPi ? twoPi : std::fmod(std::fmod(sweep, twoPi) + twoPi, twoPi);
  }
  CGPoint start{x + radius * std::cos(startAngle), y + radius * std::sin(startAngle)};
  if (path->hasCurrentPoint())
    path->lineTo(apply(m, start.x, start.y));
  else
    path->moveTo(apply(m, start.x, start.y));
  int n = std::max(1, static_cast<int>(std::ceil(std::fabs(sweep) / (M_PI / 2) - 1e-9)));
  double step = sweep / n;
  double k = 4.0 / 3.0 * std::tan(step / 4) * radius;
  double a0 = startAngle;
  for (int i = 0; i < n && sweep != 0; ++i) {
    double a1 = a0 + step;
    double c0 = std::cos(a0), s0 = std::sin(a0), c1 = std::cos(a1), s1 = std::sin(a1);
    CGPoint p0{x + radius * c0, y + radius * s0};
    CGPoint p3{x + radius * c1, y + radius * s1};
    path->curveTo(apply(m, p0.x - k * s0, p0.y + k * c0), apply(m, p3.x + k * s1, p3.y - k * c1),
                  apply(m, p3.x, p3.y));
    a0 = a1;
  }
}

void CGPathAddPath(const CGMutablePathRef& path, const CGAffineTransform* m,
                   const CGPathRef& other) {
  if (path && other) path->append(*other, m ? *m : CGAffineTransformIdentity);
}

bool CGPathIsEmpty(const CGPathRef& path) { return !path || path->isEmpty(); }

CGPoint CGPathGetCurrentPoint(const CGPathRef& path) {
  return path ? path->currentPoint() : CGPointZero;
}

namespace {

CGRect boundsOf(const std::vector<CGPoint>& pts) {
  if (pts.empty()) return CGRectNull;
  double x0 = pts[0].x, x1 = x0, y0 = pts[0].y, y1 = y0;
  for (const CGPoint& p : pts) {
    x0 = std::min(x0, p.x);
    x1 = std::max(x1, p.x);
    y0 = std::min(y0, p.y);
    y1 = std::max(y1, p.y);
  }
  return CGRectMake(x0, y0, x1 - x0, y1 - y0);
}

}  // namespace

CGRect CGPathGetPathBoundingBox(const CGPathRef& path) {
  if (CGPathIsEmpty(path)) return CGRectNull;
  std::vector<CGPoint> all;
  for (const CGPolygon& poly : path->flatten(CGAffineTransformIdentity, 1e-3))
    all.insert(all.end(), poly.points.begin(), poly.points.end());
  return boundsOf(all);
}

CGRect CGPathGetBoundingBox(const CGPathRef& path) {
  if (CGPathIsEmpty(path)) return CGRectNull;
  std::vector<CGPoint> all;
  for (const CGPathElement& e : path->elements()) {
    int n = e.type == kCGPathElementCloseSubpath          ? 0
            : e.type == kCGPathElementAddCurveToPoint     ? 3
            : e.type == kCGPathElementAddQuadCurveToPoint ? 2
                                                          : 1;
    all.insert(all.end(), e.points, e.points + n);
  }
  return boundsOf(all);
}

bool CGPathContainsPoint(const CGPathRef& path, const CGAffineTransform* m, CGPoint point,
                         bool eoFill) {
  if (CGPathIsEmpty(path)) return false;
  int winding = 0, crossings = 0;
  for (const CGPolygon& poly : path->flatten(m ? *m : CGAffineTransformIdentity, 1e-3)) {
    const auto& pts = poly.points;
    for (size_t i = 0, n = pts.size(); i < n && n > 1; ++i) {
      CGPoint a = pts[i], b = pts[(i + 1) % n];  // fills close every sub-path
      if ((a.y <= point.y) == (b.y <= point.y)) continue;
      double x = a.x + (point.y - a.y) / (b.y - a.y) * (b.x - a.x);
      if (x > point.x) {
        winding += b.y > a.y ? 1 : -1;
        ++crossings;
      }
    }
  }
  return eoFill ? (crossings & 1) != 0 : winding != 0;
}

bool CGPathEqualToPath(const CGPathRef& a, const CGPathRef& b) {
  if (!a || !b) return a == b;
  return a->isEqual(*b);
}

namespace {

struct Stroker {
  double hw;
  CGLineJoin join;
  double miterLimit;
  double tolerance;
  std::vector<CGPolygon> out;

  void emit(std::vector<CGPoint> pts) {
    double area = signedArea(pts);
    if (!(std::fabs(area) > 1e-12)) return;
    if (area < 0) std::reverse(pts.begin(), pts.end());
    out.push_back({std::move(pts), true});
  }

  void disc(CGPoint c) {
    double step = std::acos(std::clamp(1 - tolerance / hw, -1.0, 1.0)) * 2;
    int n = std::clamp(static_cast<int>(std::ceil(2 * M_PI / std::max(step, 1e-3))), 8, 256);
    std::vector<CGPoint> pts(n);
    for (int i = 0; i < n; ++i) {
      double a = 2 * M_PI * i / n;
      pts[i] = {c.x + hw * std::cos(a), c.y + hw * std::sin(a)};
    }
    emit(std::move(pts));
  }

  void segment(CGPoint a, CGPoint b, double extendStart, double extendEnd) {
    CGPoint d{b.x - a.x, b.y - a.y};
    double len = length(d);
    d = {d.x / len, d.y / len};
    CGPoint n{-d.y * hw, d.x * hw};
    a = {a.x - d.x * extendStart, a.y - d.y * extendStart};
    b = {b.x + d.x * extendEnd, b.y + d.y * extendEnd};
    emit({{a.x + n.x, a.y + n.y},
          {b.x + n.x, b.y + n.y},
          {b.x - n.x, b.y - n.y},
          {a.x - n.x, a.y - n.y}});
  }

  void joinAt(CGPoint prev, CGPoint v, CGPoint next) {
    CGPoint d1{v.x - prev.x, v.y - prev.y}, d2{next.x - v.x, next.y - v.y};
    double l1 = length(d1), l2 = length(d2);
    d1 = {d1.x / l1, d1.y / l1};
    d2 = {d2.x / l2, d2.y / l2};
    double cross = d1.x * d2.y - d1.y * d2.x;
    double dot = d1.x * d2.x + d1.y * d2.y;
    if (std::fabs(cross) < 1e-12 && dot > 0) return;  // straight on
    if (join == kCGLineJoinRound) return disc(v);
    double s = cross > 0 ? -1 : 1;  // the outer side of the turn
    CGPoint n1{-d1.y, d1.x}, n2{-d2.y, d2.x};
    CGPoint o1{v.x + s * n1.x * hw, v.y + s * n1.y * hw};
    CGPoint o2{v.x + s * n2.x * hw, v.y + s * n2.y * hw};
    CGPoint bis{n1.x + n2.x, n1.y + n2.y};
    double c = length(bis) / 2;  // sine of half the angle between the segments
    if (join == kCGLineJoinMiter && c > 1e-9 && 1 / c <= miterLimit) {
      double dist = hw / c;
      CGPoint m{v.x + s * bis.x / (2 * c) * dist, v.y + s * bis.y / (2 * c) * dist};
      emit({v, o1, m, o2});
    } else {
      emit({v, o1, o2});
    }
  }

  void polyline(std::vector<CGPoint> pts, bool closed, CGLineCap cap) {
    std::vector<CGPoint> clean;
    for (const CGPoint& p : pts)
      if (clean.empty() || length({p.x - clean.back().x, p.y - clean.back().y}) > 1e-9)
        clean.push_back(p);
    if (closed && clean.size() > 1 &&
        length({clean.front().x - clean.back().x, clean.front().y - clean.back().y}) <= 1e-9)
      clean.pop_back();
    if (clean.size() < 2) {
      if (!clean.empty() && cap == kCGLineCapRound) disc(clean[0]);
      if (!clean.empty() && cap == kCGLineCapSquare) {
        CGPoint c = clean[0];
        emit({{c.x - hw, c.y - hw},
              {c.x + hw, c.y - hw},
              {c.x + hw, c.y + hw},
              {c.x - hw, c.y + hw}});
      }
      return;
    }
    size_t n = clean.size();
    size_t segments = closed ? n : n - 1;
    for (size_t i = 0; i < segments; ++i) {
      bool first = !closed && i == 0, last = !closed && i == segments - 1;
      double ext = cap == kCGLineCapSquare ? hw : 0;
      segment(clean[i], clean[(i + 1) % n], first ? ext : 0, last ? ext : 0);
    }
    for (size_t i = closed ? 0 : 1; i < (closed ? n : n - 1); ++i)
      joinAt(clean[(i + n - 1) % n], clean[i], clean[(i + 1) % n]);
    if (!closed && cap == kCGLineCapRound) {
      disc(clean.front());
      disc(clean.back());
    }
  }
};

}  // namespace

std::vector<CGPolygon> CGStrokePolygons(const std::vector<CGPolygon>& lines, double lineWidth,
                                        CGLineCap cap, CGLineJoin join, double miterLimit,
                                        double tolerance) {
  if (!(lineWidth > 0) || !std::isfinite(lineWidth)) return {};
  Stroker stroker{lineWidth / 2, join, miterLimit, std::max(tolerance, 1e-4), {}};
  for (const CGPolygon& line : lines) stroker.polyline(line.points, line.closed, cap);
  return std::move(stroker.out);
}

CGPathRef CGPathCreateCopyByStrokingPath(const CGPathRef& path, const CGAffineTransform* m,
                                         double lineWidth, CGLineCap cap, CGLineJoin join,
                                         double miterLimit) {
  auto result = CGPathCreateMutable();
  if (CGPathIsEmpty(path)) return result;
  auto lines = path->flatten(CGAffineTransformIdentity, 0.01);
  for (const CGPolygon& poly : CGStrokePolygons(lines, lineWidth, cap, join, miterLimit, 0.01)) {
    result->moveTo(apply(m, poly.points[0].x, poly.points[0].y));
    for (size_t i = 1; i < poly.points.size(); ++i)
      result->lineTo(apply(m, poly.points[i].x, poly.points[i].y));
    result->close();
  }
  return result;
}
