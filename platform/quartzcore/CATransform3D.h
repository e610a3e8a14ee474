#pragma once

// Layer transforms: 4x4 matrices acting on row vectors, as the platform
// defines them (a point p maps to p · M). Rendering is flat, so only the
// affine part (m11 m12 m21 m22 m41 m42) reaches the pixels.

#include "platform/coregraphics/CGGeometry.h"

struct CATransform3D {
  double m11 = 1, m12 = 0, m13 = 0, m14 = 0;
  double m21 = 0, m22 = 1, m23 = 0, m24 = 0;
  double m31 = 0, m32 = 0, m33 = 1, m34 = 0;
  double m41 = 0, m42 = 0, m43 = 0, m44 = 1;
  bool operator==(const CATransform3D&) const = default;
};

inline constexpr CATransform3D CATransform3DIdentity{};

bool CATransform3DIsIdentity(const CATransform3D& t);
bool CATransform3DEqualToTransform(const CATransform3D& a, const CATransform3D& b);
CATransform3D CATransform3DMakeTranslation(double tx, double ty, double tz);
CATransform3D CATransform3DMakeScale(double sx, double sy, double sz);
// Rotation by `angle` radians about the axis (x, y, z).
CATransform3D CATransform3DMakeRotation(double angle, double x, double y, double z);
// a then b.
CATransform3D CATransform3DConcat(const CATransform3D& a, const CATransform3D& b);
CATransform3D CATransform3DTranslate(const CATransform3D& t, double tx, double ty, double tz);
CATransform3D CATransform3DScale(const CATransform3D& t, double sx, double sy, double sz);
CATransform3D CATransform3DRotate(const CATransform3D& t, double angle, double x, double y,
                                  double z);
// The singular matrix comes back unchanged, as the platform does.
CATransform3D CATransform3DInvert(const CATransform3D& t);
CATransform3D CATransform3DMakeAffineTransform(const CGAffineTransform& m);
bool CATransform3DIsAffine(const CATransform3D& t);
CGAffineTransform CATransform3DGetAffineTransform(const CATransform3D& t);
