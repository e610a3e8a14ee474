#include "platform/quartzcore/CAValue.h"

#include <cmath>

namespace {

double lerp(double a, double b, double t) { return a + (b - a) * t; }

// Visits the numeric components of two values of one kind.
template <typename F>
CAValue combine(const CAValue& a, const CAValue& b, F f) {
  if (a.index() != b.index()) return CAValue{};
  if (auto x = std::get_if<double>(&a)) return f(*x, std::get<double>(b));
  if (auto p = std::get_if<CGPoint>(&a)) {
    const auto& q = std::get<CGPoint>(b);
    return CGPointMake(f(p->x, q.x), f(p->y, q.y));
  }
  if (auto s = std::get_if<CGSize>(&a)) {
    const auto& q = std::get<CGSize>(b);
    return CGSizeMake(f(s->width, q.width), f(s->height, q.height));
  }
  if (auto r = std::get_if<CGRect>(&a)) {
    const auto& q = std::get<CGRect>(b);
    return CGRectMake(f(r->origin.x, q.origin.x), f(r->origin.y, q.origin.y),
                      f(r->size.width, q.size.width), f(r->size.height, q.size.height));
  }
  if (auto m = std::get_if<CATransform3D>(&a)) {
    const auto& n = std::get<CATransform3D>(b);
    CATransform3D out;
    const double* pa = &m->m11;
    const double* pb = &n.m11;
    double* po = &out.m11;
    for (int i = 0; i < 16; ++i) po[i] = f(pa[i], pb[i]);
    return out;
  }
  if (auto c = std::get_if<CGColorRef>(&a)) {
    const auto& d = std::get<CGColorRef>(b);
    if (!*c || !d) return CAValue{};
    double ca[4], cb[4];
    (*c)->getRGBA(ca);
    d->getRGBA(cb);
    return CGColorCreateSRGB(f(ca[0], cb[0]), f(ca[1], cb[1]), f(ca[2], cb[2]), f(ca[3], cb[3]));
  }
  return CAValue{};
}

}  // namespace

CAValue CAValueInterpolate(const CAValue& from, const CAValue& to, double t) {
  if (from.index() != to.index() || CAValueIsNil(from)) return t < 0.5 ? from : to;
  auto out = combine(from, to, [t](double a, double b) { return lerp(a, b, t); });
  return CAValueIsNil(out) ? (t < 0.5 ? from : to) : out;
}

CAValue CAValueAdd(const CAValue& a, const CAValue& b, double sign) {
  if (auto m = std::get_if<CATransform3D>(&a); m && std::holds_alternative<CATransform3D>(b)) {
    const auto& n = std::get<CATransform3D>(b);
    return sign > 0 ? CATransform3DConcat(n, *m) : CATransform3DConcat(CATransform3DInvert(n), *m);
  }
  auto out = combine(a, b, [sign](double x, double y) { return x + sign * y; });
  return CAValueIsNil(out) ? a : out;
}

double CAValueDistance(const CAValue& a, const CAValue& b) {
  double sum = 0;
  combine(a, b, [&sum](double x, double y) {
    sum += (x - y) * (x - y);
    return 0.0;
  });
  return std::sqrt(sum);
}
