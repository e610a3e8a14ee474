#include "ImageIOTestSupport.h"

// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on
#include <gif_lib.h>
#include <png.h>
#include <webp/decode.h>
#include <webp/encode.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/imageio/ImageBitmap.h"

namespace imageio_test {

ImageBitmap Pattern(uint32_t w, uint32_t h, bool alpha, uint32_t seed) {
  ImageBitmap b;
  b.allocate(w, h);
  b.hasAlpha = alpha;
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t* p = b.row(y) + x * 4;
      p[0] = uint8_t((x * 255) / std::max(1u, w - 1) + seed);
      p[1] = uint8_t((y * 255) / std::max(1u, h - 1));
      p[2] = uint8_t(((x / 4 + y / 4) % 2) * 200 + seed * 3);
      p[3] = alpha ? uint8_t((x + y) * 7 % 256) : 255;
    }
  }
  return b;
}

ImageBitmap Solid(uint32_t w, uint32_t h, uint8_t r, uint8_t g, uint8_t bl, uint8_t a) {
  ImageBitmap b;
  b.allocate(w, h);
  b.hasAlpha = a != 255;
  for (size_t i = 0; i < b.pixels.size(); i += 4) {
    b.pixels[i] = r;
    b.pixels[i + 1] = g;
    b.pixels[i + 2] = bl;
    b.pixels[i + 3] = a;
  }
  return b;
}

Bytes RawEncodeJPEG(const ImageBitmap& b, int quality, bool progressive, const Bytes& exif) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buf, &size);
  c.image_width = b.width;
  c.image_height = b.height;
  c.input_components = 4;
  c.in_color_space = JCS_EXT_RGBX;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, quality, TRUE);
  if (progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  if (!exif.empty()) {
    Bytes app1 = {'E', 'x', 'i', 'f', 0, 0};
    app1.insert(app1.end(), exif.begin(), exif.end());
    jpeg_write_marker(&c, JPEG_APP0 + 1, app1.data(), unsigned(app1.size()));
  }
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(b.row(c.next_scanline));
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  Bytes out(buf, buf + size);
  std::free(buf);
  return out;
}

ImageBitmap RawDecodeJPEG(const Bytes& data) {
  jpeg_decompress_struct d;
  jpeg_error_mgr err;
  d.err = jpeg_std_error(&err);
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, data.data(), data.size());
  jpeg_read_header(&d, TRUE);
  d.out_color_space = JCS_EXT_RGBA;
  jpeg_start_decompress(&d);
  ImageBitmap b;
  b.allocate(d.output_width, d.output_height);
  while (d.output_scanline < d.output_height) {
    JSAMPROW row = b.row(d.output_scanline);
    jpeg_read_scanlines(&d, &row, 1);
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  return b;
}

Bytes RawEncodePNG(const ImageBitmap& b) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = b.width;
  image.height = b.height;
  image.format = PNG_FORMAT_RGBA;
  png_alloc_size_t size = 0;
  png_image_write_get_memory_size(image, size, 0, b.pixels.data(), 0, nullptr);
  Bytes out(size);
  png_image_write_to_memory(&image, out.data(), &size, 0, b.pixels.data(), 0, nullptr);
  out.resize(size);
  return out;
}

ImageBitmap RawDecodePNG(const Bytes& data) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  ImageBitmap b;
  if (!png_image_begin_read_from_memory(&image, data.data(), data.size())) return b;
  image.format = PNG_FORMAT_RGBA;
  b.allocate(image.width, image.height);
  png_image_finish_read(&image, nullptr, b.pixels.data(), 0, nullptr);
  return b;
}

Bytes RawEncodeWebP(const ImageBitmap& b, bool lossless) {
  uint8_t* out = nullptr;
  size_t size = lossless ? WebPEncodeLosslessRGBA(b.pixels.data(), int(b.width), int(b.height),
                                                  int(b.bytesPerRow()), &out)
                         : WebPEncodeRGBA(b.pixels.data(), int(b.width), int(b.height),
                                          int(b.bytesPerRow()), 80, &out);
  Bytes bytes(out, out + size);
  WebPFree(out);
  return bytes;
}

ImageBitmap RawDecodeWebP(const Bytes& data) {
  int w = 0, h = 0;
  uint8_t* p = WebPDecodeRGBA(data.data(), data.size(), &w, &h);
  ImageBitmap b;
  if (!p) return b;
  b.allocate(w, h);
  std::memcpy(b.pixels.data(), p, b.pixels.size());
  WebPFree(p);
  return b;
}

ImageBitmap Pixels(const CGImageRef& image) {
  ImageBitmap b;
  ImageBitmapFromCGImage(image, b);
  return b;
}

std::shared_ptr<const Bytes> Shared(Bytes b) { return std::make_shared<const Bytes>(std::move(b)); }

CGImageRef MakeImage(const ImageBitmap& b) { return ImageBitmapMakeCGImage(b, ""); }

CGImageSourceRef SourceOf(const Bytes& data, const Value& options) {
  return CGImageSourceCreateWithBytes(Shared(data), options);
}

int MaxDifference(const ImageBitmap& a, const ImageBitmap& b) {
  if (a.width != b.width || a.height != b.height) return 1000;
  int m = 0;
  for (size_t i = 0; i < a.pixels.size(); ++i) m = std::max(m, std::abs(a.pixels[i] - b.pixels[i]));
  return m;
}

Bytes BE32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

void AppendChunk(Bytes& out, const char* type, const Bytes& data) {
  Bytes len = BE32(uint32_t(data.size()));
  out.insert(out.end(), len.begin(), len.end());
  const size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  Bytes crc = BE32(uint32_t(crc32(0, out.data() + start, uInt(data.size() + 4))));
  out.insert(out.end(), crc.begin(), crc.end());
}

Bytes ZlibRows(const ImageBitmap& b) {
  Bytes raw;
  for (uint32_t y = 0; y < b.height; ++y) {
    raw.push_back(0);
    raw.insert(raw.end(), b.row(y), b.row(y) + b.bytesPerRow());
  }
  uLongf size = compressBound(uLong(raw.size()));
  Bytes out(size);
  compress(out.data(), &size, raw.data(), uLong(raw.size()));
  out.resize(size);
  return out;
}

int GifAppendToBytes(GifFileType* gif, const uint8_t* data, int length) {
  auto* out = static_cast<Bytes*>(gif->UserData);
  out->insert(out->end(), data, data + length);
  return length;
}

Bytes MakeGif(int w, int h, const std::vector<GifFrame>& frames, int loops) {
  Bytes out;
  int err = 0;
  GifFileType* gif = EGifOpen(&out, GifAppendToBytes, &err);
  EGifSetGifVersion(gif, true);
  GifColorType colors[4] = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
  ColorMapObject* map = GifMakeMapObject(4, colors);
  EGifPutScreenDesc(gif, w, h, 2, 0, map);
  if (loops >= 0) {
    GifByteType block[3] = {1, GifByteType(loops & 0xFF), GifByteType(loops >> 8)};
    EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE);
    EGifPutExtensionBlock(gif, 11, "NETSCAPE2.0");
    EGifPutExtensionBlock(gif, 3, block);
    EGifPutExtensionTrailer(gif);
  }
  for (const GifFrame& f : frames) {
    if (f.delay >= 0) {
      GraphicsControlBlock gcb{f.disposal, false, f.delay, f.transparent};
      GifByteType ext[4];
      EGifGCBToExtension(&gcb, ext);
      EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, ext);
    }
    EGifPutImageDesc(gif, f.x, f.y, f.w, f.h, false, nullptr);
    for (int r = 0; r < f.h; ++r) {
      EGifPutLine(gif, const_cast<uint8_t*>(&f.indices[size_t(r) * f.w]), f.w);
    }
  }
  EGifCloseFile(gif, &err);
  GifFreeMapObject(map);
  return out;
}

}  // namespace imageio_test
