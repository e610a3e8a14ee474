#pragma once

// Test images made through the raw libraries, and the raw libraries' own
// decodes to compare ours with.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/coregraphics/CGImage.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageBitmap.h"

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
CGImageSourceRef SourceOf(const Bytes& data, const Value& options = Value());
// Largest difference of any channel.
int MaxDifference(const ImageBitmap& a, const ImageBitmap& b);

// PNG chunk writer for hand-made (animated) streams.
void AppendChunk(Bytes& out, const char* type, const Bytes& data);
Bytes ZlibRows(const ImageBitmap& b);  // RGBA rows with filter 0, deflated
Bytes BE32(uint32_t v);

}  // namespace imageio_test
