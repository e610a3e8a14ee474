#include "platform/coregraphics/CGCompositor.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

// --- Separable blend functions on straight colour values (0...1). ---

float hardLight(float cb, float cs) {
  return cs <= 0.5f ? cb * 2 * cs : cb + (2 * cs - 1) - cb * (2 * cs - 1);
}

float softLight(float cb, float cs) {
  if (cs <= 0.5f) return cb - (1 - 2 * cs) * cb * (1 - cb);
  float d = cb <= 0.25f ? ((16 * cb - 12) * cb + 4) * cb : std::sqrt(cb);
  return cb + (2 * cs - 1) * (d - cb);
}

float separable(CGBlendMode mode, float cb, float cs) {
  switch (mode) {
    case kCGBlendModeMultiply:
      return cb * cs;
    case kCGBlendModeScreen:
      return cb + cs - cb * cs;
    case kCGBlendModeOverlay:
      return hardLight(cs, cb);
    case kCGBlendModeDarken:
      return std::min(cb, cs);
    case kCGBlendModeLighten:
      return std::max(cb, cs);
    case kCGBlendModeColorDodge:
      if (cb == 0) return 0;
      return cs >= 1 ? 1 : std::min(1.0f, cb / (1 - cs));
    case kCGBlendModeColorBurn:
      if (cb >= 1) return 1;
      return cs <= 0 ? 0 : 1 - std::min(1.0f, (1 - cb) / cs);
    case kCGBlendModeHardLight:
      return hardLight(cb, cs);
    case kCGBlendModeSoftLight:
      return softLight(cb, cs);
    case kCGBlendModeDifference:
      return std::fabs(cb - cs);
    case kCGBlendModeExclusion:
      return cb + cs - 2 * cb * cs;
    default:
      return cs;
  }
}

// --- Non-separable modes (hue, saturation, colour, luminosity). ---

float lum(const float c[3]) { return 0.3f * c[0] + 0.59f * c[1] + 0.11f * c[2]; }

void clipColor(float c[3]) {
  float l = lum(c);
  float n = std::min({c[0], c[1], c[2]}), x = std::max({c[0], c[1], c[2]});
  for (int i = 0; i < 3; ++i) {
    if (n < 0 && l - n > 0) c[i] = l + (c[i] - l) * l / (l - n);
    if (x > 1 && x - l > 0) c[i] = l + (c[i] - l) * (1 - l) / (x - l);
  }
}

void setLum(float c[3], float l) {
  float d = l - lum(c);
  for (int i = 0; i < 3; ++i) c[i] += d;
  clipColor(c);
}

float sat(const float c[3]) { return std::max({c[0], c[1], c[2]}) - std::min({c[0], c[1], c[2]}); }

void setSat(float c[3], float s) {
  int mx = 0, mn = 0;
  for (int i = 1; i < 3; ++i) {
    if (c[i] > c[mx]) mx = i;
    if (c[i] < c[mn]) mn = i;
  }
  if (mx == mn) {
    c[0] = c[1] = c[2] = 0;
    return;
  }
  int mid = 3 - mx - mn;
  c[mid] = (c[mid] - c[mn]) * s / (c[mx] - c[mn]);
  c[mx] = s;
  c[mn] = 0;
}

void nonSeparable(CGBlendMode mode, const float cb[3], const float cs[3], float out[3]) {
  float r[3] = {cs[0], cs[1], cs[2]};
  switch (mode) {
    case kCGBlendModeHue:
      setSat(r, sat(cb));
      setLum(r, lum(cb));
      break;
    case kCGBlendModeSaturation:
      r[0] = cb[0], r[1] = cb[1], r[2] = cb[2];
      setSat(r, sat(cs));
      setLum(r, lum(cb));
      break;
    case kCGBlendModeColor:
      setLum(r, lum(cb));
      break;
    default:  // luminosity
      r[0] = cb[0], r[1] = cb[1], r[2] = cb[2];
      setLum(r, lum(cs));
      break;
  }
  out[0] = r[0], out[1] = r[1], out[2] = r[2];
}

// The unused byte of a pixel without alpha.
inline int skipOffset(const CGPixelLayout& l) { return 6 - l.r - l.g - l.b; }

inline void load(const uint8_t* p, const CGPixelLayout& l, float out[4]) {
  constexpr float k = 1.0f / 255;
  float a = l.a >= 0 ? p[l.a] * k : 1.0f;
  float r = p[l.r] * k, g = p[l.g] * k, b = p[l.b] * k;
  if (!l.premultiplied) r *= a, g *= a, b *= a;
  out[0] = r, out[1] = g, out[2] = b, out[3] = a;
}

inline uint8_t to8(float v) {
  return static_cast<uint8_t>(std::lrint(std::clamp(v, 0.0f, 1.0f) * 255));
}

inline void store(uint8_t* p, const CGPixelLayout& l, const float c[4]) {
  float a = std::clamp(c[3], 0.0f, 1.0f);
  float r = c[0], g = c[1], b = c[2];
  if (l.a < 0) {
    p[l.r] = to8(r), p[l.g] = to8(g), p[l.b] = to8(b);
    p[skipOffset(l)] = 255;
    return;
  }
  if (!l.premultiplied) {
    if (a > 0)
      r /= a, g /= a, b /= a;
    else
      r = g = b = 0;
  }
  p[l.r] = to8(r), p[l.g] = to8(g), p[l.b] = to8(b), p[l.a] = to8(a);
}

// Source over in 8-bit integers: the common case, kept tight.
void normalRow(uint8_t* dst, const CGPixelLayout& l, const uint8_t* src, int stride,
               const uint8_t* cov, int n) {
  const int skip = skipOffset(l);
  for (int i = 0; i < n; ++i, dst += 4, src += stride) {
    uint32_t c = cov[i];
    if (c == 0) continue;
    uint32_t sr = src[0], sg = src[1], sb = src[2], sa = src[3];
    if (c == 255 && sa == 255) {  // opaque source over anything: a plain store
      dst[l.r] = static_cast<uint8_t>(sr), dst[l.g] = static_cast<uint8_t>(sg);
      dst[l.b] = static_cast<uint8_t>(sb);
      dst[l.a >= 0 ? l.a : skip] = 255;
      continue;
    }
    if (c != 255) {
      sr = CGMulDiv255(sr, c), sg = CGMulDiv255(sg, c), sb = CGMulDiv255(sb, c);
      sa = CGMulDiv255(sa, c);
    }
    if (sa == 0 && sr == 0 && sg == 0 && sb == 0) continue;
    uint32_t inv = 255 - sa;
    if (l.a < 0) {
      dst[l.r] = static_cast<uint8_t>(sr + CGMulDiv255(dst[l.r], inv));
      dst[l.g] = static_cast<uint8_t>(sg + CGMulDiv255(dst[l.g], inv));
      dst[l.b] = static_cast<uint8_t>(sb + CGMulDiv255(dst[l.b], inv));
      dst[skip] = 255;
    } else if (l.premultiplied) {
      dst[l.r] = static_cast<uint8_t>(std::min<uint32_t>(255, sr + CGMulDiv255(dst[l.r], inv)));
      dst[l.g] = static_cast<uint8_t>(std::min<uint32_t>(255, sg + CGMulDiv255(dst[l.g], inv)));
      dst[l.b] = static_cast<uint8_t>(std::min<uint32_t>(255, sb + CGMulDiv255(dst[l.b], inv)));
      dst[l.a] = static_cast<uint8_t>(sa + CGMulDiv255(dst[l.a], inv));
    } else {
      float s[4] = {sr / 255.0f, sg / 255.0f, sb / 255.0f, sa / 255.0f}, d[4], o[4];
      load(dst, l, d);
      for (int k = 0; k < 4; ++k) o[k] = s[k] + d[k] * (1 - s[3]);
      store(dst, l, o);
    }
  }
}

// Source over with full coverage into a destination whose colour is
// premultiplied or has no alpha: opaque source pixels are plain stores.
void normalRowFull(uint8_t* dst, const CGPixelLayout& l, const uint8_t* src, int stride, int n) {
  const int alphaAt = l.a >= 0 ? l.a : skipOffset(l);
  // The pixel as one word, built in registers (byte stores read back as a
  // word stall the store buffer).
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "byte k of a word is bits 8k...");
  const int shiftR = 8 * l.r, shiftG = 8 * l.g, shiftB = 8 * l.b;
  const uint32_t alphaBits = 255u << (8 * alphaAt);
  auto pack = [=](const uint8_t* s) {
    return uint32_t(s[0]) << shiftR | uint32_t(s[1]) << shiftG | uint32_t(s[2]) << shiftB |
           alphaBits;
  };
  if (stride == 0 && src[3] == 255) {
    const uint32_t word = pack(src);
    for (int i = 0; i < n; ++i) std::memcpy(dst + i * 4, &word, 4);
    return;
  }
  for (int i = 0; i < n; ++i, dst += 4, src += stride) {
    uint32_t sa = src[3];
    if (sa == 255) {
      const uint32_t word = pack(src);
      std::memcpy(dst, &word, 4);
      continue;
    }
    if (sa == 0 && src[0] == 0 && src[1] == 0 && src[2] == 0) continue;
    uint32_t inv = 255 - sa;
    dst[l.r] = static_cast<uint8_t>(std::min<uint32_t>(255, src[0] + CGMulDiv255(dst[l.r], inv)));
    dst[l.g] = static_cast<uint8_t>(std::min<uint32_t>(255, src[1] + CGMulDiv255(dst[l.g], inv)));
    dst[l.b] = static_cast<uint8_t>(std::min<uint32_t>(255, src[2] + CGMulDiv255(dst[l.b], inv)));
    dst[alphaAt] = l.a >= 0 ? static_cast<uint8_t>(sa + CGMulDiv255(dst[l.a], inv)) : 255;
  }
}

}  // namespace

void CGCompositor::overRowSameLayout(uint8_t* dst, const CGPixelLayout& l, const uint8_t* src,
                                     bool sourceOpaque, int n) {
  const int alphaAt = l.a >= 0 ? l.a : skipOffset(l);
  const uint32_t alphaBits = 255u << (8 * alphaAt);
  if (sourceOpaque) {
    for (int i = 0; i < n; ++i) {
      uint32_t word;
      std::memcpy(&word, src + i * 4, 4);
      word |= alphaBits;
      std::memcpy(dst + i * 4, &word, 4);
    }
    return;
  }
  int i = 0;
  while (i < n) {
    // Four pixels at a time while all four are opaque (a plain copy) or all
    // four clear (nothing to do).
    if (i + 4 <= n) {
      uint32_t w[4];
      std::memcpy(w, src + i * 4, 16);
      if (((w[0] & w[1] & w[2] & w[3]) & alphaBits) == alphaBits) {
        std::memcpy(dst + i * 4, w, 16);
        i += 4;
        continue;
      }
      if ((w[0] | w[1] | w[2] | w[3]) == 0) {
        i += 4;
        continue;
      }
    }
    const int end = std::min(n, i + 4);
    for (; i < end; ++i) {
      const uint8_t* s = src + i * 4;
      uint8_t* d = dst + i * 4;
      const uint32_t sa = s[alphaAt];
      if (sa == 255) {
        std::memcpy(d, s, 4);
        continue;
      }
      if (sa == 0 && s[l.r] == 0 && s[l.g] == 0 && s[l.b] == 0) continue;
      const uint32_t inv = 255 - sa;
      d[l.r] = static_cast<uint8_t>(std::min<uint32_t>(255, s[l.r] + CGMulDiv255(d[l.r], inv)));
      d[l.g] = static_cast<uint8_t>(std::min<uint32_t>(255, s[l.g] + CGMulDiv255(d[l.g], inv)));
      d[l.b] = static_cast<uint8_t>(std::min<uint32_t>(255, s[l.b] + CGMulDiv255(d[l.b], inv)));
      d[alphaAt] = l.a >= 0 ? static_cast<uint8_t>(sa + CGMulDiv255(d[alphaAt], inv)) : 255;
    }
  }
}

void CGCompositor::blend(CGBlendMode mode, const float s[4], const float d[4], float out[4]) {
  float sa = s[3], da = d[3];
  switch (mode) {
    case kCGBlendModeNormal:
      for (int k = 0; k < 4; ++k) out[k] = s[k] + d[k] * (1 - sa);
      return;
    case kCGBlendModeClear:
      for (int k = 0; k < 4; ++k) out[k] = 0;
      return;
    case kCGBlendModeCopy:
      for (int k = 0; k < 4; ++k) out[k] = s[k];
      return;
    case kCGBlendModeSourceIn:
      for (int k = 0; k < 4; ++k) out[k] = s[k] * da;
      return;
    case kCGBlendModeSourceOut:
      for (int k = 0; k < 4; ++k) out[k] = s[k] * (1 - da);
      return;
    case kCGBlendModeSourceAtop:
      for (int k = 0; k < 4; ++k) out[k] = s[k] * da + d[k] * (1 - sa);
      return;
    case kCGBlendModeDestinationOver:
      for (int k = 0; k < 4; ++k) out[k] = s[k] * (1 - da) + d[k];
      return;
    case kCGBlendModeDestinationIn:
      for (int k = 0; k < 4; ++k) out[k] = d[k] * sa;
      return;
    case kCGBlendModeDestinationOut:
      for (int k = 0; k < 4; ++k) out[k] = d[k] * (1 - sa);
      return;
    case kCGBlendModeDestinationAtop:
      for (int k = 0; k < 4; ++k) out[k] = s[k] * (1 - da) + d[k] * sa;
      return;
    case kCGBlendModeXOR:
      for (int k = 0; k < 4; ++k) out[k] = s[k] * (1 - da) + d[k] * (1 - sa);
      return;
    case kCGBlendModePlusLighter:
      for (int k = 0; k < 4; ++k) out[k] = std::min(1.0f, s[k] + d[k]);
      return;
    case kCGBlendModePlusDarker: {
      float a = std::min(1.0f, sa + da);
      for (int k = 0; k < 3; ++k) out[k] = std::max(0.0f, a - ((sa - s[k]) + (da - d[k])));
      out[3] = a;
      return;
    }
    default:
      break;
  }
  // Blend modes proper: mix the blended colour in where both are present.
  float cs[3], cb[3], bl[3];
  for (int k = 0; k < 3; ++k) {
    cs[k] = sa > 0 ? s[k] / sa : 0;
    cb[k] = da > 0 ? d[k] / da : 0;
  }
  if (mode >= kCGBlendModeHue && mode <= kCGBlendModeLuminosity) {
    nonSeparable(mode, cb, cs, bl);
  } else {
    for (int k = 0; k < 3; ++k) bl[k] = separable(mode, cb[k], cs[k]);
  }
  for (int k = 0; k < 3; ++k) out[k] = s[k] * (1 - da) + d[k] * (1 - sa) + sa * da * bl[k];
  out[3] = sa + da - sa * da;
}

void CGCompositor::compositeRow(uint8_t* dst, const CGPixelLayout& layout, const uint8_t* src,
                                int srcStride, const uint8_t* coverage, int n, CGBlendMode mode) {
  static const std::vector<uint8_t> kFull(4096, 255);
  if (!coverage) {
    if (mode == kCGBlendModeNormal && (layout.premultiplied || layout.a < 0)) {
      return normalRowFull(dst, layout, src, srcStride, n);
    }
    // Rare: other modes take the general path in slices of full coverage.
    const int slice = static_cast<int>(kFull.size());
    for (int done = 0; done < n; done += slice) {
      compositeRow(dst + done * 4, layout, src + done * srcStride, srcStride, kFull.data(),
                   std::min(slice, n - done), mode);
    }
    return;
  }
  if (mode == kCGBlendModeNormal) return normalRow(dst, layout, src, srcStride, coverage, n);
  constexpr float k = 1.0f / 255;
  const bool premultipliedDst = layout.premultiplied || layout.a < 0;
  for (int i = 0; i < n; ++i, dst += 4, src += srcStride) {
    uint32_t c = coverage[i];
    if (c == 0) continue;
    if (mode == kCGBlendModeCopy && c == 255 && premultipliedDst) {
      dst[layout.r] = src[0], dst[layout.g] = src[1], dst[layout.b] = src[2];
      dst[layout.a >= 0 ? layout.a : skipOffset(layout)] = layout.a >= 0 ? src[3] : 255;
      continue;
    }
    float s[4] = {src[0] * k, src[1] * k, src[2] * k, src[3] * k}, d[4], o[4];
    load(dst, layout, d);
    blend(mode, s, d, o);
    if (c != 255) {
      float f = c * k;
      for (int j = 0; j < 4; ++j) o[j] = d[j] + (o[j] - d[j]) * f;
    }
    store(dst, layout, o);
  }
}
