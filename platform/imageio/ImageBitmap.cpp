#include "platform/imageio/ImageBitmap.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "platform/coregraphics/CGImage.h"
#include "platform/imageio/internal/ImageRowResampler.h"

bool ImageSizeAllowed(uint64_t width, uint64_t height) {
  return width > 0 && height > 0 && width <= kImageMaxDimension && height <= kImageMaxDimension &&
         width * height <= kImageMaxPixels;
}

bool ImageSourceSizeAllowed(uint64_t width, uint64_t height) {
  return width > 0 && height > 0 && width <= kImageMaxSourceDimension &&
         height <= kImageMaxSourceDimension && width * height <= kImageMaxSourcePixels;
}

bool ImageDecodedSize(uint64_t width, uint64_t height, uint32_t& outWidth, uint32_t& outHeight) {
  if (ImageSizeAllowed(width, height)) {
    outWidth = uint32_t(width);
    outHeight = uint32_t(height);
    return true;
  }
  if (!ImageSourceSizeAllowed(width, height)) return false;
  const double w = double(width), h = double(height);
  double scale = std::sqrt(double(kImageMaxPixels) / (w * h));
  scale = std::min({scale, kImageMaxDimension / w, kImageMaxDimension / h});
  // A side scaled to exactly the largest dimension must not round below it.
  uint64_t fitWidth = std::max<uint64_t>(1, uint64_t(w * scale + 1e-6));
  uint64_t fitHeight = std::max<uint64_t>(1, uint64_t(h * scale + 1e-6));
  // Rounding may leave the product a little over: shave the longer side.
  while (!ImageSizeAllowed(fitWidth, fitHeight)) {
    if (fitWidth >= fitHeight) {
      --fitWidth;
    } else {
      --fitHeight;
    }
  }
  outWidth = uint32_t(fitWidth);
  outHeight = uint32_t(fitHeight);
  return true;
}

bool ImageBitmap::allocate(uint32_t w, uint32_t h) {
  if (!ImageSizeAllowed(w, h)) return false;
  width = w;
  height = h;
  pixels.assign(size_t(w) * h * 4, 0);
  return true;
}

bool ImageBitmap::anyTranslucentPixel() const {
  for (size_t i = 3; i < pixels.size(); i += 4) {
    if (pixels[i] != 255) return true;
  }
  return false;
}

ImageBitmap ImageBitmapApplyingOrientation(const ImageBitmap& src, int orientation) {
  if (orientation < 2 || orientation > 8 || src.empty()) return src;
  const bool swap = orientation >= 5;
  ImageBitmap out;
  out.hasAlpha = src.hasAlpha;
  out.width = swap ? src.height : src.width;
  out.height = swap ? src.width : src.height;
  out.pixels.resize(src.pixels.size());
  const uint32_t W = src.width, H = src.height;
  for (uint32_t y = 0; y < H; ++y) {
    const uint32_t* in = reinterpret_cast<const uint32_t*>(src.row(y));
    for (uint32_t x = 0; x < W; ++x) {
      uint32_t dx = 0, dy = 0;
      switch (orientation) {
        case 2:
          dx = W - 1 - x;
          dy = y;
          break;  // mirrored horizontally
        case 3:
          dx = W - 1 - x;
          dy = H - 1 - y;
          break;  // rotated 180
        case 4:
          dx = x;
          dy = H - 1 - y;
          break;  // mirrored vertically
        case 5:
          dx = y;
          dy = x;
          break;  // transposed
        case 6:
          dx = H - 1 - y;
          dy = x;
          break;  // rotated 90 clockwise
        case 7:
          dx = H - 1 - y;
          dy = W - 1 - x;
          break;  // transversed
        case 8:
          dx = y;
          dy = W - 1 - x;
          break;  // rotated 90 counter-clockwise
      }
      reinterpret_cast<uint32_t*>(out.row(dy))[dx] = in[x];
    }
  }
  return out;
}

namespace {

// Premultiplied float copy of a bitmap, one row at a time, for resampling.
void PremultipliedRow(const ImageBitmap& src, uint32_t y, float* out) {
  const uint8_t* p = src.row(y);
  for (uint32_t x = 0; x < src.width; ++x, p += 4, out += 4) {
    float a = p[3] / 255.0f;
    out[0] = p[0] * a;
    out[1] = p[1] * a;
    out[2] = p[2] * a;
    out[3] = p[3];
  }
}

void StorePixel(const float* acc, uint8_t* dst) {
  float a = acc[3];
  if (a <= 0.0f) {
    dst[0] = dst[1] = dst[2] = dst[3] = 0;
    return;
  }
  float inv = 255.0f / a;
  for (int c = 0; c < 3; ++c) {
    dst[c] = static_cast<uint8_t>(std::clamp(std::lround(acc[c] * inv), 0L, 255L));
  }
  dst[3] = static_cast<uint8_t>(std::clamp(std::lround(a), 0L, 255L));
}

// Weights of the source samples that cover each destination sample along one
// axis, for area averaging (shrinking) or linear interpolation (growing).
struct AxisTap {
  uint32_t first = 0;
  std::vector<float> weights;
};

std::vector<AxisTap> AxisTaps(uint32_t srcLen, uint32_t dstLen) {
  std::vector<AxisTap> taps(dstLen);
  const double scale = double(srcLen) / dstLen;
  for (uint32_t i = 0; i < dstLen; ++i) {
    AxisTap& t = taps[i];
    if (scale >= 1.0) {
      double start = i * scale, end = start + scale;
      uint32_t s = static_cast<uint32_t>(start);
      uint32_t e = std::min<uint32_t>(srcLen, static_cast<uint32_t>(std::ceil(end)));
      t.first = s;
      for (uint32_t k = s; k < e; ++k) {
        double w = std::min<double>(k + 1, end) - std::max<double>(k, start);
        t.weights.push_back(static_cast<float>(w / scale));
      }
    } else {
      double center = (i + 0.5) * scale - 0.5;
      double c = std::clamp(center, 0.0, double(srcLen - 1));
      uint32_t s = static_cast<uint32_t>(c);
      uint32_t e = std::min(s + 1, srcLen - 1);
      float f = static_cast<float>(c - s);
      t.first = s;
      t.weights = {1.0f - f};
      if (e != s) t.weights.push_back(f);
    }
  }
  return taps;
}

}  // namespace

ImageBitmap ImageBitmapResized(const ImageBitmap& src, uint32_t width, uint32_t height) {
  if (src.empty() || width == 0 || height == 0) return ImageBitmap();
  if (width == src.width && height == src.height) return src;
  if (height <= src.height) {
    // Shrinking (the common case): one pass over the rows, no copy of them.
    ImageRowResampler resampler(src.width, src.height, width, height,
                                src.hasAlpha || src.anyTranslucentPixel());
    if (!resampler.valid()) return ImageBitmap();
    for (uint32_t y = 0; y < src.height; ++y) resampler.addRow(src.row(y));
    ImageBitmap out = resampler.take();
    out.hasAlpha = src.hasAlpha;
    return out;
  }
  ImageBitmap out;
  if (!out.allocate(width, height)) return ImageBitmap();
  out.hasAlpha = src.hasAlpha;
  const auto xt = AxisTaps(src.width, width);
  const auto yt = AxisTaps(src.height, height);
  // Horizontal pass per needed source row, then the vertical sum; rows of the
  // source are converted once each.
  std::vector<float> srcRow(size_t(src.width) * 4);
  std::vector<std::vector<float>> hRows(src.height);
  std::vector<float> acc(size_t(width) * 4);
  auto horizontal = [&](uint32_t y) -> const std::vector<float>& {
    auto& r = hRows[y];
    if (!r.empty()) return r;
    PremultipliedRow(src, y, srcRow.data());
    r.assign(size_t(width) * 4, 0.0f);
    for (uint32_t x = 0; x < width; ++x) {
      const AxisTap& t = xt[x];
      float* d = &r[size_t(x) * 4];
      for (size_t k = 0; k < t.weights.size(); ++k) {
        const float* s = &srcRow[size_t(t.first + k) * 4];
        for (int c = 0; c < 4; ++c) d[c] += s[c] * t.weights[k];
      }
    }
    return r;
  };
  uint32_t released = 0;
  for (uint32_t y = 0; y < height; ++y) {
    const AxisTap& t = yt[y];
    std::fill(acc.begin(), acc.end(), 0.0f);
    for (size_t k = 0; k < t.weights.size(); ++k) {
      const auto& r = horizontal(t.first + uint32_t(k));
      for (size_t i = 0; i < acc.size(); ++i) acc[i] += r[i] * t.weights[k];
    }
    // Rows above this tap are never needed again.
    for (; released < t.first; ++released) std::vector<float>().swap(hRows[released]);
    uint8_t* d = out.row(y);
    for (uint32_t x = 0; x < width; ++x) StorePixel(&acc[size_t(x) * 4], d + size_t(x) * 4);
  }
  return out;
}

void ImageBitmapFitSize(uint32_t width, uint32_t height, double maxPixelSize, uint32_t& outWidth,
                        uint32_t& outHeight) {
  outWidth = width;
  outHeight = height;
  const uint32_t longer = std::max(width, height);
  if (longer == 0 || !(maxPixelSize > 0) || maxPixelSize >= longer) return;
  const double s = maxPixelSize / longer;
  outWidth = std::max<uint32_t>(1, static_cast<uint32_t>(std::lround(width * s)));
  outHeight = std::max<uint32_t>(1, static_cast<uint32_t>(std::lround(height * s)));
}

void ImageBitmapUnpremultiply(ImageBitmap& bitmap) {
  for (size_t i = 0; i < bitmap.pixels.size(); i += 4) {
    uint8_t* px = &bitmap.pixels[i];
    if (px[3] == 255 || px[3] == 0) continue;
    for (int c = 0; c < 3; ++c) px[c] = uint8_t(std::min(255, (px[c] * 255 + px[3] / 2) / px[3]));
  }
}

void ImageBitmapFlattenOnto(ImageBitmap& bitmap, uint8_t r, uint8_t g, uint8_t b) {
  const uint8_t bg[3] = {r, g, b};
  for (size_t i = 0; i < bitmap.pixels.size(); i += 4) {
    uint8_t* p = &bitmap.pixels[i];
    const unsigned a = p[3];
    if (a == 255) continue;
    for (int c = 0; c < 3; ++c)
      p[c] = static_cast<uint8_t>((p[c] * a + bg[c] * (255 - a) + 127) / 255);
    p[3] = 255;
  }
  bitmap.hasAlpha = false;
}

uint32_t ImageBitmapInfo(bool hasAlpha) {
  return (hasAlpha ? kCGImageAlphaLast : kCGImageAlphaNoneSkipLast) | kCGBitmapByteOrderDefault;
}

std::shared_ptr<CGImage> ImageBitmapMakeCGImage(ImageBitmap bitmap, const std::string& type) {
  if (bitmap.empty()) return nullptr;
  const size_t w = bitmap.width, h = bitmap.height;
  auto pixels = std::make_shared<const Bytes>(std::move(bitmap.pixels));
  auto image = CGImage::create(w, h, 8, 32, w * 4, ImageBitmapInfo(bitmap.hasAlpha), pixels);
  if (image) image->setUTType(type);
  return image;
}

namespace {

// Where a CGImage's pixel keeps each channel, and what its alpha means.
struct PixelLayout {
  size_t bpp;  // bytes per pixel: 3 or 4
  int r = 0, g = 1, b = 2, a = 3;  // byte positions within one pixel in memory
  bool little, first, hasAlpha, premultiplied;
};

PixelLayout PixelLayoutOf(const CGImage& image) {
  const CGImageAlphaInfo alpha = image.alphaInfo();
  PixelLayout p;
  p.bpp = image.bitsPerPixel() / 8;
  p.little = image.byteOrder() == kCGBitmapByteOrder32Little && p.bpp == 4;
  p.first = alpha == kCGImageAlphaPremultipliedFirst || alpha == kCGImageAlphaFirst ||
            alpha == kCGImageAlphaNoneSkipFirst;
  p.hasAlpha = alpha == kCGImageAlphaPremultipliedLast || alpha == kCGImageAlphaPremultipliedFirst ||
               alpha == kCGImageAlphaLast || alpha == kCGImageAlphaFirst;
  p.premultiplied =
      alpha == kCGImageAlphaPremultipliedLast || alpha == kCGImageAlphaPremultipliedFirst;
  if (p.bpp == 4 && p.first) {
    p.a = 0;
    p.r = 1;
    p.g = 2;
    p.b = 3;
  }
  if (p.little) {
    p.r = 3 - p.r;
    p.g = 3 - p.g;
    p.b = 3 - p.b;
    p.a = 3 - p.a;
  }
  return p;
}

// The layout this module produces (RGBA in memory, straight or opaque) needs
// no per-channel work: rows are copied, and alpha made opaque when there is
// none.
void CopyRGBARows(const Bytes& data, size_t bpr, bool hasAlpha, ImageBitmap& out) {
  const size_t total = size_t(out.width) * out.height * 4;
  if (bpr == out.bytesPerRow()) {
    out.pixels.assign(data.begin(), data.begin() + total);
  } else {
    out.pixels.resize(total);
    for (uint32_t y = 0; y < out.height; ++y) {
      std::memcpy(out.row(y), data.data() + size_t(y) * bpr, out.bytesPerRow());
    }
  }
  if (!hasAlpha) {
    // Whole words, so the compiler vectorises it: the fourth byte is alpha.
    static_assert(std::endian::native == std::endian::little);
    uint32_t* words = reinterpret_cast<uint32_t*>(out.pixels.data());
    const size_t count = out.pixels.size() / 4;
    for (size_t i = 0; i < count; ++i) words[i] |= 0xFF000000u;
  }
}

// Any other layout, pixel by pixel: channels reordered, alpha made straight.
void ConvertRows(const Bytes& data, size_t bpr, const PixelLayout& p, ImageBitmap& out) {
  out.pixels.resize(size_t(out.width) * out.height * 4);
  for (uint32_t y = 0; y < out.height; ++y) {
    const uint8_t* s = data.data() + size_t(y) * bpr;
    uint8_t* d = out.row(y);
    for (uint32_t x = 0; x < out.width; ++x, s += p.bpp, d += 4) {
      const uint8_t av = p.hasAlpha ? s[p.a] : 255;
      d[0] = s[p.r];
      d[1] = s[p.g];
      d[2] = s[p.b];
      d[3] = av;
      if (p.premultiplied && av != 255) {
        for (int c = 0; c < 3; ++c) {
          d[c] = av == 0 ? 0 : uint8_t(std::min(255, (d[c] * 255 + av / 2) / av));
        }
      }
    }
  }
}

}  // namespace

bool ImageBitmapFromCGImage(const std::shared_ptr<CGImage>& image, ImageBitmap& out) {
  if (!image || image->bitsPerComponent() != 8 ||
      (image->bitsPerPixel() != 32 && image->bitsPerPixel() != 24) ||
      !ImageSizeAllowed(image->width(), image->height())) {
    return false;
  }
  out.width = uint32_t(image->width());
  out.height = uint32_t(image->height());
  const auto data = image->pixelData();
  const size_t bpr = image->bytesPerRow();
  if (!data || data->size() < CGImage::requiredBytes(image->height(), image->bitsPerPixel(),
                                                     image->width(), bpr)) {
    return false;
  }
  if (image->alphaInfo() == kCGImageAlphaOnly) return false;
  const PixelLayout layout = PixelLayoutOf(*image);
  out.hasAlpha = layout.hasAlpha;
  if (layout.bpp == 4 && !layout.little && !layout.first && !layout.premultiplied) {
    CopyRGBARows(*data, bpr, layout.hasAlpha, out);
  } else {
    ConvertRows(*data, bpr, layout, out);
  }
  return true;
}
