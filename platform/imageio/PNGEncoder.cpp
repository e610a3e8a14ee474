// Still PNG through libpng; animated PNG assembled here from per-frame
// streams that libpng compresses (their IDAT data becomes the first frame's
// IDAT and the later frames' fdAT chunks). Every frame covers the canvas and
// replaces it (dispose none, blend source), so no frame depends on another.

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstring>

#include "platform/foundation/Value.h"
#include "platform/imageio/ExifMetadata.h"
#include "platform/imageio/ImageDecoder.h"
#include "platform/imageio/internal/ImageEncoder.h"
#include "platform/imageio/internal/PNGBandWriter.h"
#include "platform/imageio/PNGDecoder.h"

namespace {

void WriteToBytes(png_structp png, png_bytep data, size_t length) {
  auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}
void Flush(png_structp) {}
void OnError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void OnWarning(png_structp, png_const_charp) {}

uint32_t PixelsPerMetre(double dpi) { return png_uint_32(std::lround(dpi / 0.0254)); }

bool WriteBands(const PNGBandWriterRows& rows, bool alpha, const EncodeSettings* settings, Bytes& out) {
  PNGBandWriterHead head;
  head.alpha = alpha;
  Bytes exif;
  if (settings) {
    if (settings->dpiWidth > 0 && settings->dpiHeight > 0) {
      head.dpmX = PixelsPerMetre(settings->dpiWidth);
      head.dpmY = PixelsPerMetre(settings->dpiHeight);
    }
    exif = ExifWrite(settings->metadata, settings->orientation);
    head.exif = &exif;
  }
  return PNGBandWriterWrite(rows, head, out);
}

// One PNG stream; `extra` chunks (eXIf) are written when given.
bool WritePNG(const ImageBitmap& bitmap, bool alpha, const EncodeSettings* settings, Bytes& out) {
  if (uint64_t(bitmap.width) * bitmap.height >= kPNGBandWriterMinPixels) {
    return WriteBands({bitmap.width, bitmap.height, bitmap.pixels.data(), bitmap.bytesPerRow()}, alpha,
                      settings, out);
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, OnError, OnWarning);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  Bytes exif;
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, &out, WriteToBytes, Flush);
  png_set_IHDR(png, info, bitmap.width, bitmap.height, 8,
               alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, 6);
  if (settings) {
    if (settings->dpiWidth > 0 && settings->dpiHeight > 0) {
      png_set_pHYs(png, info, PixelsPerMetre(settings->dpiWidth),
                   PixelsPerMetre(settings->dpiHeight), PNG_RESOLUTION_METER);
    }
    exif = ExifWrite(settings->metadata, settings->orientation);
    if (!exif.empty()) png_set_eXIf_1(png, info, png_uint_32(exif.size()), exif.data());
  }
  png_write_info(png, info);
  if (!alpha) png_set_filler(png, 0, PNG_FILLER_AFTER);  // drop the fourth byte
  for (uint32_t y = 0; y < bitmap.height; ++y) {
    png_write_row(png, const_cast<uint8_t*>(bitmap.row(y)));
  }
  // Everything was written before the image data; handing libpng the info
  // again here would repeat the eXIf chunk, which the format allows once.
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

void PutChunk(Bytes& out, const char* type, const Bytes& data) {
  AppendPNGChunk(out, type, data.data(), data.size());
}

// Chunks of one stream: (type, data), in order.
std::vector<std::pair<std::string, Bytes>> Chunks(const Bytes& png) {
  std::vector<std::pair<std::string, Bytes>> out;
  for (size_t pos = 8; pos + 12 <= png.size();) {
    const uint32_t len = ReadBE32(&png[pos]);
    out.emplace_back(std::string(reinterpret_cast<const char*>(&png[pos + 4]), 4),
                     Bytes(png.begin() + pos + 8, png.begin() + pos + 8 + len));
    pos += 12 + len;
  }
  return out;
}

// Delay as a fraction: in the finest of milliseconds, hundredths, tenths or
// seconds that holds it (longer ones are held to 65535 seconds).
void DelayFraction(double seconds, uint16_t& num, uint16_t& den) {
  den = 1000;
  while (den > 1 && seconds * den > 65535) den /= 10;
  num = uint16_t(EncodeDelayUnits(seconds, den, 65535));
}

bool WriteAPNG(const std::vector<EncodeFrame>& frames, const EncodeSettings& settings, bool alpha,
               Bytes& out) {
  const uint32_t w = frames[0].bitmap.width, h = frames[0].bitmap.height;
  Bytes first;
  if (!WritePNG(frames[0].bitmap, alpha, &settings, first)) return false;
  auto head = Chunks(first);
  out.assign(first.begin(), first.begin() + 8);
  uint32_t sequence = 0;
  auto frameControl = [&](const EncodeFrame& f) {
    Bytes fc;
    AppendBE32(fc, sequence++);
    AppendBE32(fc, w);
    AppendBE32(fc, h);
    AppendBE32(fc, 0);
    AppendBE32(fc, 0);
    uint16_t num = 0, den = 0;
    DelayFraction(f.delay, num, den);
    AppendBE16(fc, num);
    AppendBE16(fc, den);
    fc.push_back(0);  // dispose: none
    fc.push_back(0);  // blend: source
    PutChunk(out, "fcTL", fc);
  };
  bool wroteControl = false;
  for (const auto& [type, data] : head) {
    if (type == "IEND") continue;
    if (type == "IDAT" && !wroteControl) {
      Bytes actl;
      AppendBE32(actl, uint32_t(frames.size()));
      AppendBE32(actl, settings.loopCount.value_or(0));
      PutChunk(out, "acTL", actl);
      frameControl(frames[0]);
      wroteControl = true;
    }
    PutChunk(out, type.c_str(), data);
  }
  for (size_t i = 1; i < frames.size(); ++i) {
    const ImageBitmap& b = frames[i].bitmap;
    if (b.width != w || b.height != h) return false;
    Bytes stream;
    if (!WritePNG(b, alpha, nullptr, stream)) return false;
    frameControl(frames[i]);
    for (const auto& [type, data] : Chunks(stream)) {
      if (type != "IDAT") continue;
      Bytes fd;
      AppendBE32(fd, sequence++);
      fd.insert(fd.end(), data.begin(), data.end());
      PutChunk(out, "fdAT", fd);
    }
  }
  PutChunk(out, "IEND", {});
  return true;
}

}  // namespace

bool EncodePNG(const std::vector<EncodeFrame>& frames, const EncodeSettings& settings, Bytes& out) {
  if (frames.size() == 1 && frames[0].rows) {
    const EncodeFrame& f = frames[0];
    if (!f.rows->data) return false;
    return WriteBands({f.bitmap.width, f.bitmap.height, f.rows->data->data(), f.rows->stride},
                      f.bitmap.hasAlpha, &settings, out);
  }
  const bool alpha = std::any_of(frames.begin(), frames.end(),
                                 [](const EncodeFrame& f) { return f.bitmap.hasAlpha; });
  if (frames.size() == 1) return WritePNG(frames[0].bitmap, alpha, &settings, out);
  return WriteAPNG(frames, settings, alpha, out);
}
