#include "platform/coregraphics/CGImageSampler.h"

#include <algorithm>
#include <cmath>
#include <vector>

CGImageSampler::CGImageSampler(const CGImage& image, const CGAffineTransform& pixelToImage,
                               CGInterpolationQuality quality)
    : source_(CGPixelSource::of(image)),
      width_(static_cast<int>(image.width())),
      height_(static_cast<int>(image.height())),
      map_(pixelToImage) {
  switch (quality) {
    case kCGInterpolationNone: filter_ = Filter::Nearest; break;
    case kCGInterpolationLow: filter_ = Filter::Bilinear; break;
    case kCGInterpolationHigh: filter_ = Filter::Bicubic; break;
    default: filter_ = Filter::Bilinear; break;
  }
  if (!isValid() || filter_ == Filter::Nearest || quality == kCGInterpolationLow) return;
  // Source pixels per destination pixel along each image axis.
  double stepU = std::hypot(map_.a, map_.c), stepV = std::hypot(map_.b, map_.d);
  int factorU = static_cast<int>(std::clamp(std::floor(stepU), 1.0, 65536.0));
  int factorV = static_cast<int>(std::clamp(std::floor(stepV), 1.0, 65536.0));
  if (factorU >= 2 || factorV >= 2) boxReduce(factorU, factorV);
}

void CGImageSampler::boxReduce(int factorU, int factorV) {
  int ow = std::max(1, width_ / factorU), oh = std::max(1, height_ / factorV);
  auto out = std::make_shared<Bytes>(static_cast<size_t>(ow) * oh * 4);
  const CGPixelLayout& l = source_.layout;
  std::vector<int> colStart(ow + 1);
  for (int i = 0; i <= ow; ++i) colStart[i] = static_cast<int>(int64_t(i) * width_ / ow);
  std::vector<uint32_t> sums(static_cast<size_t>(ow) * 4);
  for (int j = 0; j < oh; ++j) {
    int y0 = static_cast<int>(int64_t(j) * height_ / oh);
    int y1 = static_cast<int>(int64_t(j + 1) * height_ / oh);
    std::fill(sums.begin(), sums.end(), 0);
    for (int y = y0; y < y1; ++y) {
      const uint8_t* row = source_.pixels->data() + y * source_.bytesPerRow;
      for (int i = 0; i < ow; ++i) {
        uint32_t r = 0, g = 0, b = 0, a = 0;
        for (int x = colStart[i]; x < colStart[i + 1]; ++x) {
          const uint8_t* p = row + x * 4;
          r += p[l.r], g += p[l.g], b += p[l.b];
          a += l.a >= 0 ? p[l.a] : 255;
        }
        uint32_t* s = &sums[i * 4];
        s[0] += r, s[1] += g, s[2] += b, s[3] += a;
      }
    }
    uint8_t* o = out->data() + static_cast<size_t>(j) * ow * 4;
    for (int i = 0; i < ow; ++i) {
      uint32_t count = static_cast<uint32_t>((colStart[i + 1] - colStart[i]) * (y1 - y0));
      for (int k = 0; k < 4; ++k) o[i * 4 + k] = static_cast<uint8_t>((sums[i * 4 + k] + count / 2) / count);
    }
  }
  // Rescale the map into the reduced image.
  double su = static_cast<double>(ow) / width_, sv = static_cast<double>(oh) / height_;
  map_ = CGAffineTransformConcat(map_, CGAffineTransformMakeScale(su, sv));
  source_.pixels = out;
  source_.bytesPerRow = static_cast<size_t>(ow) * 4;
  source_.layout = CGPixelLayout::premultipliedRGBA();
  width_ = ow;
  height_ = oh;
}

namespace {

// Keeps coordinates far outside the image finite and inside int range.
inline double clampCoord(double v, int size) {
  return std::clamp(v, -2.0, static_cast<double>(size) + 2.0);
}

}  // namespace

void CGImageSampler::sampleRow(int x0, int y, int n, uint8_t* out) const {
  double px = x0 + 0.5, py = y + 0.5;
  double u = map_.a * px + map_.c * py + map_.tx;
  double v = map_.b * px + map_.d * py + map_.ty;
  switch (filter_) {
    case Filter::Nearest: return nearestRow(u, v, n, out);
    case Filter::Bilinear: return bilinearRow(u, v, n, out);
    case Filter::Bicubic: return bicubicRow(u, v, n, out);
  }
}

void CGImageSampler::nearestRow(double u, double v, int n, uint8_t* out) const {
  const CGPixelLayout& l = source_.layout;
  const uint8_t* base = source_.pixels->data();
  for (int i = 0; i < n; ++i, u += map_.a, v += map_.b, out += 4) {
    int x = std::clamp(static_cast<int>(std::floor(clampCoord(u, width_))), 0, width_ - 1);
    int y = std::clamp(static_cast<int>(std::floor(clampCoord(v, height_))), 0, height_ - 1);
    const uint8_t* p = base + y * source_.bytesPerRow + x * 4;
    out[0] = p[l.r], out[1] = p[l.g], out[2] = p[l.b], out[3] = l.a >= 0 ? p[l.a] : 255;
  }
}

void CGImageSampler::bilinearRow(double u, double v, int n, uint8_t* out) const {
  const CGPixelLayout& l = source_.layout;
  const uint8_t* base = source_.pixels->data();
  const size_t stride = source_.bytesPerRow;
  const int lr = l.r, lg = l.g, lb = l.b, la = l.a;
  for (int i = 0; i < n; ++i, u += map_.a, v += map_.b, out += 4) {
    double fu = clampCoord(u, width_) - 0.5, fv = clampCoord(v, height_) - 0.5;
    double flu = std::floor(fu), flv = std::floor(fv);
    int iu = static_cast<int>(flu), iv = static_cast<int>(flv);
    uint32_t wx = static_cast<uint32_t>((fu - flu) * 256 + 0.5);
    uint32_t wy = static_cast<uint32_t>((fv - flv) * 256 + 0.5);
    int x0 = std::clamp(iu, 0, width_ - 1), x1 = std::clamp(iu + 1, 0, width_ - 1);
    int y0 = std::clamp(iv, 0, height_ - 1), y1 = std::clamp(iv + 1, 0, height_ - 1);
    const uint8_t* r0 = base + y0 * stride;
    const uint8_t* r1 = base + y1 * stride;
    const uint8_t *p00 = r0 + x0 * 4, *p10 = r0 + x1 * 4, *p01 = r1 + x0 * 4, *p11 = r1 + x1 * 4;
    uint32_t w00 = (256 - wx) * (256 - wy), w10 = wx * (256 - wy), w01 = (256 - wx) * wy,
             w11 = wx * wy;
    auto mix = [&](int o) {
      return static_cast<uint8_t>(
          (p00[o] * w00 + p10[o] * w10 + p01[o] * w01 + p11[o] * w11 + 32768) >> 16);
    };
    out[0] = mix(lr), out[1] = mix(lg), out[2] = mix(lb);
    out[3] = la >= 0 ? mix(la) : 255;
  }
}

namespace {

inline void catmullRom(float t, float w[4]) {
  float t2 = t * t, t3 = t2 * t;
  w[0] = -0.5f * t3 + t2 - 0.5f * t;
  w[1] = 1.5f * t3 - 2.5f * t2 + 1;
  w[2] = -1.5f * t3 + 2 * t2 + 0.5f * t;
  w[3] = 0.5f * t3 - 0.5f * t2;
}

}  // namespace

void CGImageSampler::bicubicRow(double u, double v, int n, uint8_t* out) const {
  const CGPixelLayout& l = source_.layout;
  const uint8_t* base = source_.pixels->data();
  const size_t stride = source_.bytesPerRow;
  const int offsets[4] = {l.r, l.g, l.b, l.a};
  for (int i = 0; i < n; ++i, u += map_.a, v += map_.b, out += 4) {
    double fu = clampCoord(u, width_) - 0.5, fv = clampCoord(v, height_) - 0.5;
    double flu = std::floor(fu), flv = std::floor(fv);
    int iu = static_cast<int>(flu), iv = static_cast<int>(flv);
    float wx[4], wy[4];
    catmullRom(static_cast<float>(fu - flu), wx);
    catmullRom(static_cast<float>(fv - flv), wy);
    int xs[4], ys[4];
    for (int k = 0; k < 4; ++k) {
      xs[k] = std::clamp(iu - 1 + k, 0, width_ - 1) * 4;
      ys[k] = std::clamp(iv - 1 + k, 0, height_ - 1);
    }
    float acc[4] = {0, 0, 0, 0};
    for (int ky = 0; ky < 4; ++ky) {
      const uint8_t* row = base + ys[ky] * stride;
      for (int kx = 0; kx < 4; ++kx) {
        const uint8_t* p = row + xs[kx];
        float w = wx[kx] * wy[ky];
        for (int c = 0; c < 3; ++c) acc[c] += p[offsets[c]] * w;
        acc[3] += (offsets[3] >= 0 ? p[offsets[3]] : 255) * w;
      }
    }
    float a = std::clamp(acc[3], 0.0f, 255.0f);
    out[3] = static_cast<uint8_t>(a + 0.5f);
    for (int c = 0; c < 3; ++c)
      out[c] = static_cast<uint8_t>(std::clamp(acc[c], 0.0f, static_cast<float>(out[3])) + 0.5f);
  }
}
