#pragma once

// Test images made through the raw libraries, and the raw libraries' own
// decodes to compare ours with.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/coregraphics/CGImage.h"
#include "platform/foundation/ValueFwd.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageBitmap.h"

struct GifFileType;

namespace imageio_test {

// Deterministic pattern: gradients plus a checker, alpha varying when asked.
ImageBitmap Pattern(uint32_t w, uint32_t h, bool alpha, uint32_t seed = 0);
ImageBitmap Solid(uint32_t w, uint32_t h, uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255);

Bytes RawEncodeJPEG(const ImageBitmap& b, int quality, bool progressive,
                    const Bytes& app1Exif = {});
ImageBitmap RawDecodeJPEG(const Bytes& data);
Bytes RawEncodePNG(const ImageBitmap& b);  // RGBA or RGB by hasAlpha
ImageBitmap RawDecodePNG(const Bytes& data);
Bytes RawEncodeWebP(const ImageBitmap& b, bool lossless);
ImageBitmap RawDecodeWebP(const Bytes& data);

// Pixels of a CGImage as straight RGBA.
ImageBitmap Pixels(const CGImageRef& image);
std::shared_ptr<const Bytes> Shared(Bytes b);
CGImageRef MakeImage(const ImageBitmap& b);
// A source over a copy of the bytes.
CGImageSourceRef SourceOf(const Bytes& data, const Value& options = NullValue());
// Largest difference of any channel.
int MaxDifference(const ImageBitmap& a, const ImageBitmap& b);

// PNG chunk writer for hand-made (animated) streams.
void AppendChunk(Bytes& out, const char* type, const Bytes& data);
Bytes ZlibRows(const ImageBitmap& b);  // RGBA rows with filter 0, deflated
Bytes BE32(uint32_t v);

// giflib output function appending to the Bytes its UserData points at.
int GifAppendToBytes(GifFileType* gif, const uint8_t* data, int length);

struct GifFrame {
  int x, y, w, h;
  int disposal;  // giflib's DISPOSE_...
  int delay;     // centiseconds, -1: no graphic control
  int transparent;
  std::vector<uint8_t> indices;
};

// A GIF on a four-colour table (0 black, 1 red, 2 green, 3 blue); `loops`
// -1 writes no loop count.
Bytes MakeGif(int w, int h, const std::vector<GifFrame>& frames, int loops);

}  // namespace imageio_test
