#pragma once

// The pixel buffer every decoder produces and every encoder takes: 8-bit RGBA,
// straight (not premultiplied) alpha, rows packed at width * 4 bytes. Opaque
// images carry alpha 255 and say so through `hasAlpha`.
//
// The limits below apply to every untrusted image: a side of more than
// kImageMaxDimension pixels, more than kImageMaxPixels pixels in one frame or
// more than kImageMaxFrames frames is refused before anything is allocated.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr uint32_t kImageMaxDimension = 16384;
inline constexpr uint64_t kImageMaxPixels = 64ull * 1024 * 1024;
inline constexpr size_t kImageMaxFrames = 10000;

bool ImageSizeAllowed(uint64_t width, uint64_t height);

// What a still image whose format gives its rows in order (JPEG, PNG, still
// WebP) may declare: it can always be read scaled down, its rows folded into
// the output as they are decoded, so only its bitmaps (the full-size one, a
// thumbnail) are held to the limits above.
inline constexpr uint32_t kImageMaxSourceDimension = 65535;
inline constexpr uint64_t kImageMaxSourcePixels = 1ull << 30;

bool ImageSourceSizeAllowed(uint64_t width, uint64_t height);

// The size a still image that declares width x height is decoded at when
// its whole bitmap is asked for. The limits are judged by what will be
// decoded, not by what the file declares: a bitmap within them is decoded at
// full size; a larger one that can be read scaled down is decoded at the
// largest size of the same aspect that keeps within them. False when the
// image cannot be decoded at all.
bool ImageDecodedSize(uint64_t width, uint64_t height, uint32_t& outWidth, uint32_t& outHeight);

struct ImageBitmap {
  uint32_t width = 0;
  uint32_t height = 0;
  bool hasAlpha = false;
  std::vector<uint8_t> pixels;

  // Sizes the buffer (zeroed: transparent black); false when the size is
  // refused by the limits.
  bool allocate(uint32_t w, uint32_t h);
  bool empty() const { return width == 0 || height == 0; }
  size_t bytesPerRow() const { return size_t(width) * 4; }
  uint8_t* row(uint32_t y) { return pixels.data() + size_t(y) * bytesPerRow(); }
  const uint8_t* row(uint32_t y) const { return pixels.data() + size_t(y) * bytesPerRow(); }
  // True when any pixel is not fully opaque.
  bool anyTranslucentPixel() const;
};

// The bitmap turned upright for an EXIF orientation (1 to 8; others leave it).
ImageBitmap ImageBitmapApplyingOrientation(const ImageBitmap& src, int exifOrientation);

// Resampled to exactly width x height: area averaging when shrinking, bilinear
// when growing, both on premultiplied values so transparent pixels do not
// bleed their colour.
ImageBitmap ImageBitmapResized(const ImageBitmap& src, uint32_t width, uint32_t height);

// Size that fits `maxPixelSize` on the longer side with the aspect ratio kept,
// never larger than the source (at least 1x1).
void ImageBitmapFitSize(uint32_t width, uint32_t height, double maxPixelSize, uint32_t& outWidth,
                        uint32_t& outHeight);

// Turns premultiplied pixels straight; transparent and opaque ones stay as
// they are.
void ImageBitmapUnpremultiply(ImageBitmap& bitmap);

// Replaces every translucent pixel by itself drawn over an opaque colour.
void ImageBitmapFlattenOnto(ImageBitmap& bitmap, uint8_t r, uint8_t g, uint8_t b);

// Conversions to and from the platform bitmap. The bitmap wraps the pixels as
// straight RGBA (alpha last, or skipped when opaque); reading a CGImage takes
// any 8-bit layout (RGBA/BGRA/ARGB/ABGR, premultiplied or straight, with or
// without alpha; 24-bit RGB) back to straight RGBA.
#include <memory>
class CGImage;
std::shared_ptr<CGImage> ImageBitmapMakeCGImage(ImageBitmap bitmap, const std::string& type);
bool ImageBitmapFromCGImage(const std::shared_ptr<CGImage>& image, ImageBitmap& out);
uint32_t ImageBitmapInfo(bool hasAlpha);
