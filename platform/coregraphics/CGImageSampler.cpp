#include "platform/coregraphics/internal/CGImageSampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Channel offsets of the source and whether its colour still needs
// multiplying by alpha.
struct Texels {
  const uint8_t* base;
  size_t stride;
  int r, g, b, a;
  bool straight;

  explicit Texels(const CGPixelSource& s)
      : base(s.pixels->data()),
        stride(s.bytesPerRow),
        r(s.layout.r),
        g(s.layout.g),
        b(s.layout.b),
        a(s.layout.a),
        straight(!s.layout.premultiplied && s.layout.a >= 0) {}

  // Premultiplied RGBA of pixel (x, y).
  inline void read(int x, int y, uint32_t out[4]) const {
    const uint8_t* p = base + y * stride + x * 4;
    uint32_t alpha = a >= 0 ? p[a] : 255;
    if (straight) {
      out[0] = CGMulDiv255(p[r], alpha);
      out[1] = CGMulDiv255(p[g], alpha);
      out[2] = CGMulDiv255(p[b], alpha);
    } else {
      out[0] = p[r], out[1] = p[g], out[2] = p[b];
    }
    out[3] = alpha;
  }
};

// Coordinates far outside the image are held just outside it; sampling
// extends the edges, so nothing changes and integers stay in range.
inline double clampCoord(double v, int size) {
  return std::clamp(v, -2.0, static_cast<double>(size) + 2.0);
}

constexpr double kFixedOne = 4294967296.0;  // 32.32 fixed point

}  // namespace

CGImageSampler::CGImageSampler(const CGImage& image, const CGAffineTransform& pixelToImage,
                               CGInterpolationQuality quality)
    : source_(CGPixelSource::of(image)),
      width_(static_cast<int>(image.width())),
      height_(static_cast<int>(image.height())),
      map_(pixelToImage) {
  switch (quality) {
    case kCGInterpolationNone:
      filter_ = Filter::Nearest;
      break;
    case kCGInterpolationHigh:
      filter_ = Filter::Bicubic;
      break;
    default:
      filter_ = Filter::Bilinear;
      break;
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
  Texels src(source_);
  std::vector<int> colStart(ow + 1);
  for (int i = 0; i <= ow; ++i) colStart[i] = static_cast<int>(int64_t(i) * width_ / ow);
  std::vector<uint32_t> sums(static_cast<size_t>(ow) * 4);
  for (int j = 0; j < oh; ++j) {
    int y0 = static_cast<int>(int64_t(j) * height_ / oh);
    int y1 = static_cast<int>(int64_t(j + 1) * height_ / oh);
    std::fill(sums.begin(), sums.end(), 0);
    for (int y = y0; y < y1; ++y) {
      uint32_t* s = sums.data();
      for (int i = 0; i < ow; ++i, s += 4) {
        uint32_t px[4];
        for (int x = colStart[i]; x < colStart[i + 1]; ++x) {
          src.read(x, y, px);
          s[0] += px[0], s[1] += px[1], s[2] += px[2], s[3] += px[3];
        }
      }
    }
    uint8_t* o = out->data() + static_cast<size_t>(j) * ow * 4;
    for (int i = 0; i < ow; ++i) {
      uint32_t count = static_cast<uint32_t>((colStart[i + 1] - colStart[i]) * (y1 - y0));
      for (int k = 0; k < 4; ++k)
        o[i * 4 + k] = static_cast<uint8_t>((sums[i * 4 + k] + count / 2) / count);
    }
  }
  double su = static_cast<double>(ow) / width_, sv = static_cast<double>(oh) / height_;
  map_ = CGAffineTransformConcat(map_, CGAffineTransformMakeScale(su, sv));
  source_.pixels = out;
  source_.bytesPerRow = static_cast<size_t>(ow) * 4;
  source_.layout = CGPixelLayout::premultipliedRGBA();
  width_ = ow;
  height_ = oh;
}

void CGImageSampler::sampleRow(int x0, int y, int n, uint8_t* out) const {
  double px = x0 + 0.5, py = y + 0.5;
  double u = map_.a * px + map_.c * py + map_.tx;
  double v = map_.b * px + map_.d * py + map_.ty;
  // One destination pixel per source pixel on the grid: a plain copy.
  if (map_.a == 1 && map_.b == 0) {
    double fu = u - 0.5, fv = v - 0.5;
    if (fu == std::floor(fu) && fv == std::floor(fv) && std::fabs(fu) < 1e9 && std::fabs(fv) < 1e9)
      return copyRow(static_cast<int>(fu), static_cast<int>(fv), n, out);
  }
  switch (filter_) {
    case Filter::Nearest:
      return nearestRow(u, v, n, out);
    case Filter::Bilinear:
      if (axisAligned(u, v, n)) return bilinearAxisRow(u, v, n, out, false);
      return bilinearRow(u, v, n, out);
    case Filter::Bicubic:
      return bicubicRow(u, v, n, out);
  }
}

bool CGImageSampler::axisAligned(double u, double v, int n) const {
  return map_.b == 0 && map_.c == 0 && (source_.layout.premultiplied || source_.layout.a < 0) &&
         std::fabs(u) < 1e8 && std::fabs(u + map_.a * n) < 1e8 && std::fabs(v) < 1e8;
}

bool CGImageSampler::sampleRowInSourceOrder(int x0, int y, int n, uint8_t* out) const {
  double px = x0 + 0.5, py = y + 0.5;
  double u = map_.a * px + map_.c * py + map_.tx;
  double v = map_.b * px + map_.d * py + map_.ty;
  if (filter_ != Filter::Bilinear || (map_.a == 1 && map_.b == 0) || !axisAligned(u, v, n)) {
    return false;
  }
  bilinearAxisRow(u, v, n, out, true);
  return true;
}

const uint8_t* CGImageSampler::directRow(int x0, int y, int n) const {
  if (map_.a != 1 || map_.b != 0 || !(source_.layout.premultiplied || source_.layout.a < 0)) {
    return nullptr;
  }
  double u = map_.a * (x0 + 0.5) + map_.c * (y + 0.5) + map_.tx - 0.5;
  double v = map_.b * (x0 + 0.5) + map_.d * (y + 0.5) + map_.ty - 0.5;
  if (!(u >= 0 && v >= 0 && u + n <= width_ && v < height_)) return nullptr;
  if (u != std::floor(u) || v != std::floor(v)) return nullptr;
  return source_.pixels->data() + size_t(v) * source_.bytesPerRow + size_t(u) * 4;
}

bool CGImageSampler::onGrid(Grid& out) const {
  if (map_.a != 1 || map_.b != 0 || map_.c != 0 || map_.d != 1) return false;
  if (!(source_.layout.premultiplied || source_.layout.a < 0)) return false;
  const double du = map_.tx, dv = map_.ty;
  if (du != std::floor(du) || dv != std::floor(dv) || std::fabs(du) > 1e7 || std::fabs(dv) > 1e7) {
    return false;
  }
  out = {int(du), int(dv), source_.pixels->data(), source_.bytesPerRow};
  return true;
}

void CGImageSampler::copyRow(int u, int v, int n, uint8_t* out) const {
  Texels src(source_);
  int y = std::clamp(v, 0, height_ - 1);
  uint32_t px[4];
  for (int i = 0; i < n; ++i, out += 4) {
    src.read(std::clamp(u + i, 0, width_ - 1), y, px);
    out[0] = uint8_t(px[0]), out[1] = uint8_t(px[1]), out[2] = uint8_t(px[2]);
    out[3] = uint8_t(px[3]);
  }
}

void CGImageSampler::nearestRow(double u, double v, int n, uint8_t* out) const {
  Texels src(source_);
  uint32_t px[4];
  for (int i = 0; i < n; ++i, u += map_.a, v += map_.b, out += 4) {
    int x = std::clamp(static_cast<int>(std::floor(clampCoord(u, width_))), 0, width_ - 1);
    int y = std::clamp(static_cast<int>(std::floor(clampCoord(v, height_))), 0, height_ - 1);
    src.read(x, y, px);
    out[0] = uint8_t(px[0]), out[1] = uint8_t(px[1]), out[2] = uint8_t(px[2]);
    out[3] = uint8_t(px[3]);
  }
}

void CGImageSampler::bilinearRow(double u, double v, int n, uint8_t* out) const {
  Texels src(source_);
  // Fixed point 32.32 from the first to the last sample; rows that would
  // leave the range fall back to per-pixel clamping in doubles.
  double u0 = u - 0.5, v0 = v - 0.5;
  double u1 = u0 + map_.a * n, v1 = v0 + map_.b * n;
  bool fixed =
      std::fabs(u0) < 1e8 && std::fabs(v0) < 1e8 && std::fabs(u1) < 1e8 && std::fabs(v1) < 1e8;
  int64_t U = fixed ? std::llround(u0 * kFixedOne) : 0;
  int64_t V = fixed ? std::llround(v0 * kFixedOne) : 0;
  const int64_t dU = fixed ? std::llround(map_.a * kFixedOne) : 0;
  const int64_t dV = fixed ? std::llround(map_.b * kFixedOne) : 0;
  const int maxX = width_ - 1, maxY = height_ - 1;
  uint32_t p00[4], p10[4], p01[4], p11[4];
  for (int i = 0; i < n; ++i, out += 4) {
    int iu, iv;
    uint32_t wx, wy;
    if (fixed) {
      iu = static_cast<int>(U >> 32), iv = static_cast<int>(V >> 32);
      wx = static_cast<uint32_t>((U >> 24) & 0xFF), wy = static_cast<uint32_t>((V >> 24) & 0xFF);
      U += dU, V += dV;
    } else {
      double fu = clampCoord(u + map_.a * i, width_) - 0.5;
      double fv = clampCoord(v + map_.b * i, height_) - 0.5;
      double flu = std::floor(fu), flv = std::floor(fv);
      iu = static_cast<int>(flu), iv = static_cast<int>(flv);
      wx = static_cast<uint32_t>((fu - flu) * 256), wy = static_cast<uint32_t>((fv - flv) * 256);
    }
    int x0 = std::clamp(iu, 0, maxX), x1 = std::clamp(iu + 1, 0, maxX);
    int y0 = std::clamp(iv, 0, maxY), y1 = std::clamp(iv + 1, 0, maxY);
    src.read(x0, y0, p00);
    src.read(x1, y0, p10);
    src.read(x0, y1, p01);
    src.read(x1, y1, p11);
    uint32_t w00 = (256 - wx) * (256 - wy), w10 = wx * (256 - wy), w01 = (256 - wx) * wy,
             w11 = wx * wy;
    for (int k = 0; k < 4; ++k)
      out[k] = static_cast<uint8_t>(
          (p00[k] * w00 + p10[k] * w10 + p01[k] * w01 + p11[k] * w11 + 32768) >> 16);
  }
}

void CGImageSampler::bilinearAxisRow(double u, double v, int n, uint8_t* out,
                                     bool sourceOrder) const {
  const CGPixelLayout& l = source_.layout;
  const uint8_t* base = source_.pixels->data();
  const int maxX = width_ - 1, maxY = height_ - 1;
  double fv = clampCoord(v, height_) - 0.5, flv = std::floor(fv);
  const int iv = static_cast<int>(flv);
  const uint32_t wy = static_cast<uint32_t>((fv - flv) * 256);
  const uint8_t* row0 = base + std::clamp(iv, 0, maxY) * source_.bytesPerRow;
  const uint8_t* row1 = base + std::clamp(iv + 1, 0, maxY) * source_.bytesPerRow;
  int64_t U = std::llround((u - 0.5) * kFixedOne);
  const int64_t dU = std::llround(map_.a * kFixedOne);
  // The source columns the row reads, blended between the two source rows
  // once each, scaled by 128 (15 bits, so the horizontal pass can multiply
  // and add pairs of signed 16-bit values), in the source's byte order.
  const int64_t last = U + dU * (n - 1);
  const int first = std::clamp(static_cast<int>(std::min(U, last) >> 32), 0, maxX);
  const int end = std::clamp(static_cast<int>(std::max(U, last) >> 32) + 1, 0, maxX);
  const size_t values = static_cast<size_t>(end - first + 1) * 4;
  columns_.resize(values);
  uint16_t* col = columns_.data();
  const uint8_t* p0 = row0 + first * 4;
  const uint8_t* p1 = row1 + first * 4;
  size_t j = 0;
#if defined(__SSE2__)
  const __m128i w0 = _mm_set1_epi16(static_cast<short>(256 - wy));
  const __m128i w1 = _mm_set1_epi16(static_cast<short>(wy));
  const __m128i zero = _mm_setzero_si128();
  for (; j + 8 <= values; j += 8) {
    __m128i a = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p0 + j)), zero);
    __m128i b = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p1 + j)), zero);
    // At most 255 × 256: the sum fits 16 unsigned bits.
    __m128i sum = _mm_add_epi16(_mm_mullo_epi16(a, w0), _mm_mullo_epi16(b, w1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(col + j), _mm_srli_epi16(sum, 1));
  }
#endif
  for (; j < values; ++j) col[j] = static_cast<uint16_t>((p0[j] * (256 - wy) + p1[j] * wy) >> 1);
  const int alphaAt = l.a >= 0 ? l.a : 6 - l.r - l.g - l.b;
  if (l.a < 0) {
    for (j = size_t(alphaAt); j < values; j += 4) col[j] = 255 * 128;
  }
  const bool asIs = sourceOrder || (l.r == 0 && l.g == 1 && l.b == 2);
  const uint16_t* cols = columns_.data();
  for (int i = 0; i < n; ++i, out += 4, U += dU) {
    const int iu = static_cast<int>(U >> 32);
    const uint32_t wx = static_cast<uint32_t>((U >> 24) & 0xFF);
    const uint16_t* c0 = cols + (std::clamp(iu, 0, maxX) - first) * 4;
    const uint16_t* c1 = cols + (std::clamp(iu + 1, 0, maxX) - first) * 4;
#if defined(__SSE2__)
    // [c0 r, c1 r, c0 g, c1 g, ...] times [256 - wx, wx] pairwise, summed.
    __m128i pairs = _mm_unpacklo_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(c0)),
                                       _mm_loadl_epi64(reinterpret_cast<const __m128i*>(c1)));
    __m128i weights = _mm_set1_epi32(static_cast<int>((wx << 16) | (256 - wx)));
    __m128i sum = _mm_add_epi32(_mm_madd_epi16(pairs, weights), _mm_set1_epi32(1 << 14));
    __m128i words = _mm_packs_epi32(_mm_srli_epi32(sum, 15), _mm_setzero_si128());
    int packed = _mm_cvtsi128_si32(_mm_packus_epi16(words, words));
    uint8_t px[4];
    std::memcpy(px, &packed, 4);
#else
    uint8_t px[4];
    for (int k = 0; k < 4; ++k) {
      px[k] = static_cast<uint8_t>((c0[k] * (256 - wx) + c1[k] * wx + (1 << 14)) >> 15);
    }
#endif
    if (asIs) {
      std::memcpy(out, px, 4);
    } else {
      out[0] = px[l.r], out[1] = px[l.g], out[2] = px[l.b], out[3] = px[alphaAt];
    }
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
  Texels src(source_);
  uint32_t px[4];
  for (int i = 0; i < n; ++i, u += map_.a, v += map_.b, out += 4) {
    double fu = clampCoord(u, width_) - 0.5, fv = clampCoord(v, height_) - 0.5;
    double flu = std::floor(fu), flv = std::floor(fv);
    int iu = static_cast<int>(flu), iv = static_cast<int>(flv);
    float wx[4], wy[4];
    catmullRom(static_cast<float>(fu - flu), wx);
    catmullRom(static_cast<float>(fv - flv), wy);
    int xs[4];
    for (int k = 0; k < 4; ++k) xs[k] = std::clamp(iu - 1 + k, 0, width_ - 1);
    float acc[4] = {0, 0, 0, 0};
    for (int ky = 0; ky < 4; ++ky) {
      int y = std::clamp(iv - 1 + ky, 0, height_ - 1);
      float row[4] = {0, 0, 0, 0};
      for (int kx = 0; kx < 4; ++kx) {
        src.read(xs[kx], y, px);
        for (int c = 0; c < 4; ++c) row[c] += px[c] * wx[kx];
      }
      for (int c = 0; c < 4; ++c) acc[c] += row[c] * wy[ky];
    }
    float a = std::clamp(acc[3], 0.0f, 255.0f);
    out[3] = static_cast<uint8_t>(a + 0.5f);
    for (int c = 0; c < 3; ++c)
      out[c] = static_cast<uint8_t>(std::clamp(acc[c], 0.0f, static_cast<float>(out[3])) + 0.5f);
  }
}
