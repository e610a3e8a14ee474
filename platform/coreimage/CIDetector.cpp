#include "platform/coreimage/CIDetector.h"

#include <algorithm>
#include <cmath>

#include "platform/coregraphics/CGPixelLayout.h"
#include "platform/coreimage/internal/CIQRCodeScanner.h"
#include "platform/foundation/OSLog.h"
#include "platform/foundation/Value.h"

namespace {

struct Luma {
  std::vector<uint8_t> pixels;
  size_t width = 0, height = 0;
  size_t factor = 1;  // source pixels per luma pixel, each way
};

// The smallest whole factor that brings the image within `limit` pixels.
size_t ScaleFactor(size_t width, size_t height, size_t limit) {
  double area = double(width) * double(height);
  size_t factor = std::max<size_t>(1, size_t(std::sqrt(area / double(limit))));
  while (double(width / factor) * double(height / factor) > double(limit)) ++factor;
  return std::min(factor, std::max<size_t>(1, std::min(width, height)));
}

// Luminance of the pixel over white paper: a transparent background reads
// as light, as a printed code's paper does. The weights sum to 256, so paper
// showing through (255 - a on every channel) adds 255 - a to the luminance.
inline uint32_t Weighted(uint32_t r, uint32_t g, uint32_t b) {
  return (77 * r + 150 * g + 29 * b + 128) >> 8;
}

inline uint32_t LumaOf(const uint8_t* p, const CGPixelLayout& layout) {
  uint32_t y = Weighted(p[layout.r], p[layout.g], p[layout.b]);
  if (layout.a < 0) return y;
  uint32_t a = p[layout.a];
  if (!layout.premultiplied) y = CGMulDiv255(y, a);
  return std::min(255u, y + 255 - a);
}

// Where the rows come from: the whole bitmap, or bands decoded on their own
// for images too large to hold whole.
class RowSource {
 public:
  explicit RowSource(const CGImage& image) : image_(image) {}

  bool open() {
    const size_t pixels = image_.width() * image_.height();
    CGPixelLayout own = CGPixelLayout::forBitmapInfo(image_.bitmapInfo());
    if (pixels > CIDetector::kMaxSourcePixels && image_.isLazy()) {
      if (own.valid && image_.bitsPerComponent() == 8 && image_.bitsPerPixel() == 32) {
        banded_ = true;
        layout_ = own;
        stride_ = image_.bytesPerRow();
        return true;
      }
      NSLog("CIDetector: an image of " + std::to_string(image_.width()) + "x" +
            std::to_string(image_.height()) +
            " pixels is too large to read whole and cannot be read in bands; no features");
      return false;
    }
    CGPixelSource whole = CGPixelSource::of(image_);
    if (!whole.pixels || !whole.layout.valid) {
      NSLog("CIDetector: the image's pixel layout cannot be read; no features");
      return false;
    }
    whole_ = whole.pixels;
    layout_ = whole.layout;
    stride_ = whole.bytesPerRow;
    return true;
  }

  // Rows [first, first + count) packed at stride(); null when the band
  // cannot be decoded.
  const uint8_t* rows(size_t first, size_t count) {
    if (!banded_) return whole_->data() + first * stride_;
    band_ = image_.rowPixelData(first, count);
    return band_ ? band_->data() : nullptr;
  }
  size_t stride() const { return stride_; }
  const CGPixelLayout& layout() const { return layout_; }
  bool banded() const { return banded_; }

 private:
  const CGImage& image_;
  bool banded_ = false;
  std::shared_ptr<const Bytes> whole_, band_;
  CGPixelLayout layout_;
  size_t stride_ = 0;
};

void ConvertRow(const uint8_t* row, const CGPixelLayout& layout, size_t width, uint8_t* out) {
  const int r = layout.r, g = layout.g, b = layout.b;
  if (layout.a < 0) {
    for (size_t x = 0; x < width; ++x, row += 4) out[x] = uint8_t(Weighted(row[r], row[g], row[b]));
  } else if (layout.premultiplied) {
    const int a = layout.a;
    for (size_t x = 0; x < width; ++x, row += 4) {
      out[x] = uint8_t(std::min(255u, Weighted(row[r], row[g], row[b]) + 255 - row[a]));
    }
  } else {
    for (size_t x = 0; x < width; ++x, row += 4) out[x] = uint8_t(LumaOf(row, layout));
  }
}

// Averages `factor` rows of `factor`-wide boxes into one luma row.
void ShrinkRows(const uint8_t* rows, size_t stride, const CGPixelLayout& layout, size_t factor,
                size_t outWidth, std::vector<uint32_t>& sums, uint8_t* out) {
  std::fill(sums.begin(), sums.end(), 0);
  for (size_t dy = 0; dy < factor; ++dy) {
    const uint8_t* p = rows + dy * stride;
    for (size_t x = 0; x < outWidth; ++x) {
      uint32_t sum = 0;
      for (size_t dx = 0; dx < factor; ++dx, p += 4) sum += LumaOf(p, layout);
      sums[x] += sum;
    }
  }
  const uint32_t area = uint32_t(factor * factor);
  for (size_t x = 0; x < outWidth; ++x) out[x] = uint8_t((sums[x] + area / 2) / area);
}

std::optional<Luma> ReadLuma(const CGImage& image, size_t limit) {
  RowSource source(image);
  if (!source.open()) return std::nullopt;
  Luma luma;
  luma.factor = ScaleFactor(image.width(), image.height(), limit);
  luma.width = std::max<size_t>(1, image.width() / luma.factor);
  luma.height = std::max<size_t>(1, image.height() / luma.factor);
  luma.pixels.resize(luma.width * luma.height);
  std::vector<uint32_t> sums(luma.width);
  // Bands of whole luma rows, a few hundred source rows each.
  const size_t rowsPerBand = std::max<size_t>(1, 256 / luma.factor);
  for (size_t y = 0; y < luma.height; y += rowsPerBand) {
    const size_t count = std::min(rowsPerBand, luma.height - y);
    const uint8_t* band = source.rows(y * luma.factor, count * luma.factor);
    if (!band) {
      NSLog("CIDetector: rows from " + std::to_string(y * luma.factor) +
            " of the image could not be decoded; no features");
      return std::nullopt;
    }
    for (size_t i = 0; i < count; ++i) {
      const uint8_t* rows = band + i * luma.factor * source.stride();
      uint8_t* out = luma.pixels.data() + (y + i) * luma.width;
      if (luma.factor == 1) {
        ConvertRow(rows, source.layout(), luma.width, out);
      } else {
        ShrinkRows(rows, source.stride(), source.layout(), luma.factor, luma.width, sums, out);
      }
    }
  }
  return luma;
}

bool IsUTF8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const size_t extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : 4;
    if (extra == 4 || extra >= s.size() - i) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += extra + 1;
  }
  return true;
}

// The code's bytes as text: UTF-8 when they are, else ISO 8859-1 (the
// format's own default for bytes). Bytes with control characters other
// than line breaks and tabs are data, not text.
std::optional<std::string> MessageText(const std::string& bytes) {
  for (unsigned char c : bytes) {
    if ((c < 0x20 && c != '\n' && c != '\r' && c != '\t') || c == 0x7F) return std::nullopt;
  }
  if (IsUTF8(bytes)) return bytes;
  std::string text;
  for (unsigned char c : bytes) {
    if (c >= 0x80 && c < 0xA0) return std::nullopt;
    if (c < 0x80) {
      text += char(c);
    } else {
      text += char(0xC0 | (c >> 6));
      text += char(0x80 | (c & 0x3F));
    }
  }
  return text;
}

}  // namespace

std::shared_ptr<CIDetector> CIDetector::detectorOfType(const std::string& type,
                                                       const CIContextRef&,
                                                       const Value& options) {
  if (type != CIDetectorTypeQRCode) return nullptr;
  Accuracy accuracy = Accuracy::High;
  if (const Value* v = options.isMap() ? options.find(CIDetectorAccuracy) : nullptr) {
    if (v->isString() && v->asString() == CIDetectorAccuracyLow) accuracy = Accuracy::Low;
  }
  return std::make_shared<CIDetector>(accuracy);
}

std::vector<CIFeatureRef> CIDetector::featuresInImage(const CIImageRef& image) const {
  std::vector<CIFeatureRef> features;
  if (!image || !image->cgImage()) return features;
  const CGImage& bitmap = *image->cgImage();
  if (bitmap.width() == 0 || bitmap.height() == 0) return features;
  auto luma = ReadLuma(bitmap, accuracy_ == Accuracy::Low ? kLowAccuracyPixels
                                                          : kHighAccuracyPixels);
  if (!luma) return features;
  auto symbols =
      CIQRCodeScanner::defaultScanner()->scan(luma->pixels.data(), luma->width, luma->height);
  const CGRect extent = image->extent();
  const double f = double(luma->factor);
  // Scanned pixels (y down from the top row) to Core Image's y-up space.
  auto toImage = [&](CGPoint p) {
    return CGPointMake(extent.origin.x + p.x * f,
                       extent.origin.y + double(bitmap.height()) - p.y * f);
  };
  for (auto& symbol : symbols) {
    if (symbol.corners.empty()) continue;
    std::vector<CGPoint> c;
    for (const auto& p : symbol.corners) c.push_back(toImage(p));
    double minX = c[0].x, maxX = c[0].x, minY = c[0].y, maxY = c[0].y;
    for (const auto& p : c) {
      minX = std::min(minX, p.x), maxX = std::max(maxX, p.x);
      minY = std::min(minY, p.y), maxY = std::max(maxY, p.y);
    }
    while (c.size() < 4) c.push_back(c.back());
    std::optional<std::string> message = MessageText(symbol.message);
    features.push_back(std::make_shared<CIQRCodeFeature>(
        CGRectMake(minX, minY, maxX - minX, maxY - minY), c[0], c[3], c[1], c[2],
        std::move(message)));
  }
  return features;
}
