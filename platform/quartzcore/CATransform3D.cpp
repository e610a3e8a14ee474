#include "platform/quartzcore/CATransform3D.h"

#include <cmath>

namespace {

using Rows = double[4][4];

void toRows(const CATransform3D& t, Rows r) {
  const double v[16] = {t.m11, t.m12, t.m13, t.m14, t.m21, t.m22, t.m23, t.m24,
                        t.m31, t.m32, t.m33, t.m34, t.m41, t.m42, t.m43, t.m44};
  for (int i = 0; i < 16; ++i) r[i / 4][i % 4] = v[i];
}

CATransform3D fromRows(const Rows r) {
  return {r[0][0], r[0][1], r[0][2], r[0][3], r[1][0], r[1][1], r[1][2], r[1][3],
          r[2][0], r[2][1], r[2][2], r[2][3], r[3][0], r[3][1], r[3][2], r[3][3]};
}

}  // namespace

bool CATransform3DIsIdentity(const CATransform3D& t) { return t == CATransform3DIdentity; }

bool CATransform3DEqualToTransform(const CATransform3D& a, const CATransform3D& b) {
  return a == b;
}

CATransform3D CATransform3DMakeTranslation(double tx, double ty, double tz) {
  CATransform3D t;
  t.m41 = tx;
  t.m42 = ty;
  t.m43 = tz;
  return t;
}

CATransform3D CATransform3DMakeScale(double sx, double sy, double sz) {
  CATransform3D t;
  t.m11 = sx;
  t.m22 = sy;
  t.m33 = sz;
  return t;
}

CATransform3D CATransform3DMakeRotation(double angle, double x, double y, double z) {
  double len = std::sqrt(x * x + y * y + z * z);
  if (len == 0) return CATransform3DIdentity;
  x /= len;
  y /= len;
  z /= len;
  double c = std::cos(angle), s = std::sin(angle), k = 1 - c;
  CATransform3D t;
  t.m11 = x * x * k + c;
  t.m12 = x * y * k + z * s;
  t.m13 = x * z * k - y * s;
  t.m21 = y * x * k - z * s;
  t.m22 = y * y * k + c;
  t.m23 = y * z * k + x * s;
  t.m31 = z * x * k + y * s;
  t.m32 = z * y * k - x * s;
  t.m33 = z * z * k + c;
  return t;
}

CATransform3D CATransform3DConcat(const CATransform3D& a, const CATransform3D& b) {
  Rows ra, rb, r;
  toRows(a, ra);
  toRows(b, rb);
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      double sum = 0;
      for (int k = 0; k < 4; ++k) sum += ra[i][k] * rb[k][j];
      r[i][j] = sum;
    }
  }
  return fromRows(r);
}

CATransform3D CATransform3DTranslate(const CATransform3D& t, double tx, double ty, double tz) {
  return CATransform3DConcat(CATransform3DMakeTranslation(tx, ty, tz), t);
}

CATransform3D CATransform3DScale(const CATransform3D& t, double sx, double sy, double sz) {
  return CATransform3DConcat(CATransform3DMakeScale(sx, sy, sz), t);
}

CATransform3D CATransform3DRotate(const CATransform3D& t, double angle, double x, double y,
                                  double z) {
  return CATransform3DConcat(CATransform3DMakeRotation(angle, x, y, z), t);
}

CATransform3D CATransform3DInvert(const CATransform3D& t) {
  // Gauss-Jordan elimination with partial pivoting.
  Rows m, inv;
  toRows(t, m);
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) inv[i][j] = i == j ? 1 : 0;
  }
  for (int col = 0; col < 4; ++col) {
    int pivot = col;
    for (int r = col + 1; r < 4; ++r) {
      if (std::fabs(m[r][col]) > std::fabs(m[pivot][col])) pivot = r;
    }
    if (std::fabs(m[pivot][col]) < 1e-12) return t;
    for (int j = 0; j < 4; ++j) {
      std::swap(m[col][j], m[pivot][j]);
      std::swap(inv[col][j], inv[pivot][j]);
    }
    double p = m[col][col];
    for (int j = 0; j < 4; ++j) {
      m[col][j] /= p;
      inv[col][j] /= p;
    }
    for (int r = 0; r < 4; ++r) {
      if (r == col) continue;
      double f = m[r][col];
      for (int j = 0; j < 4; ++j) {
        m[r][j] -= f * m[col][j];
        inv[r][j] -= f * inv[col][j];
      }
    }
  }
  return fromRows(inv);
}

CATransform3D CATransform3DMakeAffineTransform(const CGAffineTransform& m) {
  CATransform3D t;
  t.m11 = m.a;
  t.m12 = m.b;
  t.m21 = m.c;
  t.m22 = m.d;
  t.m41 = m.tx;
  t.m42 = m.ty;
  return t;
}

bool CATransform3DIsAffine(const CATransform3D& t) {
  return t.m13 == 0 && t.m14 == 0 && t.m23 == 0 && t.m24 == 0 && t.m31 == 0 && t.m32 == 0 &&
         t.m33 == 1 && t.m34 == 0 && t.m43 == 0 && t.m44 == 1;
}

CGAffineTransform CATransform3DGetAffineTransform(const CATransform3D& t) {
  return CGAffineTransformMake(t.m11, t.m12, t.m21, t.m22, t.m41, t.m42);
}
