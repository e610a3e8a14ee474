#pragma once

// Points, sizes, rectangles and affine transforms as plain values (CGFloat is
// double). Rectangles may have negative sizes; the functions that care
// standardize them first, as the platform does.

#include <cmath>
#include <limits>
#include <string>

struct CGPoint {
  double x = 0;
  double y = 0;
  bool operator==(const CGPoint&) const = default;
};

struct CGSize {
  double width = 0;
  double height = 0;
  bool operator==(const CGSize&) const = default;
};

struct CGRect {
  CGPoint origin;
  CGSize size;
  bool operator==(const CGRect&) const = default;
};

inline constexpr CGPoint CGPointZero{};
inline constexpr CGSize CGSizeZero{};
inline constexpr CGRect CGRectZero{};
// The rectangle that answers true to CGRectIsNull: the empty intersection.
inline constexpr CGRect CGRectNull{
    {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()}, {0, 0}};

inline CGPoint CGPointMake(double x, double y) { return {x, y}; }
inline CGSize CGSizeMake(double w, double h) { return {w, h}; }
inline CGRect CGRectMake(double x, double y, double w, double h) { return {{x, y}, {w, h}}; }

bool CGRectIsNull(const CGRect& r);
bool CGRectIsEmpty(const CGRect& r);
bool CGRectIsInfinite(const CGRect& r);
CGRect CGRectStandardize(const CGRect& r);
double CGRectGetMinX(const CGRect& r);
double CGRectGetMidX(const CGRect& r);
double CGRectGetMaxX(const CGRect& r);
double CGRectGetMinY(const CGRect& r);
double CGRectGetMidY(const CGRect& r);
double CGRectGetMaxY(const CGRect& r);
double CGRectGetWidth(const CGRect& r);
double CGRectGetHeight(const CGRect& r);
bool CGRectEqualToRect(const CGRect& a, const CGRect& b);
bool CGPointEqualToPoint(const CGPoint& a, const CGPoint& b);
bool CGSizeEqualToSize(const CGSize& a, const CGSize& b);
CGRect CGRectIntersection(const CGRect& a, const CGRect& b);
CGRect CGRectUnion(const CGRect& a, const CGRect& b);
// Smallest rectangle with integral coordinates that contains r.
CGRect CGRectIntegral(const CGRect& r);
CGRect CGRectInset(const CGRect& r, double dx, double dy);
CGRect CGRectOffset(const CGRect& r, double dx, double dy);
bool CGRectContainsPoint(const CGRect& r, const CGPoint& p);
bool CGRectContainsRect(const CGRect& outer, const CGRect& inner);
bool CGRectIntersectsRect(const CGRect& a, const CGRect& b);

std::string NSStringFromCGPoint(const CGPoint& p);
std::string NSStringFromCGSize(const CGSize& s);
std::string NSStringFromCGRect(const CGRect& r);

// Maps (x, y) to (a*x + c*y + tx, b*x + d*y + ty).
struct CGAffineTransform {
  double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
  bool operator==(const CGAffineTransform&) const = default;
};

inline constexpr CGAffineTransform CGAffineTransformIdentity{};

CGAffineTransform CGAffineTransformMake(double a, double b, double c, double d, double tx,
                                        double ty);
CGAffineTransform CGAffineTransformMakeTranslation(double tx, double ty);
CGAffineTransform CGAffineTransformMakeScale(double sx, double sy);
CGAffineTransform CGAffineTransformMakeRotation(double angle);
bool CGAffineTransformIsIdentity(const CGAffineTransform& t);
bool CGAffineTransformEqualToTransform(const CGAffineTransform& a, const CGAffineTransform& b);
// t1 then t2.
CGAffineTransform CGAffineTransformConcat(const CGAffineTransform& t1, const CGAffineTransform& t2);
// The transformation is applied before t (as the platform's "translate t").
CGAffineTransform CGAffineTransformTranslate(const CGAffineTransform& t, double tx, double ty);
CGAffineTransform CGAffineTransformScale(const CGAffineTransform& t, double sx, double sy);
CGAffineTransform CGAffineTransformRotate(const CGAffineTransform& t, double angle);
// A singular transform is returned unchanged, as the platform does.
CGAffineTransform CGAffineTransformInvert(const CGAffineTransform& t);
CGPoint CGPointApplyAffineTransform(const CGPoint& p, const CGAffineTransform& t);
CGSize CGSizeApplyAffineTransform(const CGSize& s, const CGAffineTransform& t);
// Bounding box of the transformed corners.
CGRect CGRectApplyAffineTransform(const CGRect& r, const CGAffineTransform& t);
