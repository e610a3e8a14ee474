// Decoding and encoding the same images through our image sources and
// destinations and through the raw libraries, in one run, to see what the
// layer costs over the library doing the work.

#include <benchmark/benchmark.h>
#include <gif_lib.h>
// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on
#include <png.h>
#include <webp/decode.h>
#include <webp/encode.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/foundation/Value.h"
#include "platform/imageio/ColorQuantizer.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/imageio/PNGDecoder.h"

namespace {

constexpr uint32_t kWidth = 640, kHeight = 480;

// A photo-like image: smooth gradients with some texture.
const ImageBitmap& Photo() {
  static const ImageBitmap b = [] {
    ImageBitmap p;
    p.allocate(kWidth, kHeight);
    for (uint32_t y = 0; y < kHeight; ++y) {
      for (uint32_t x = 0; x < kWidth; ++x) {
        uint8_t* px = p.row(y) + x * 4;
        px[0] = uint8_t(128 + 100 * std::sin(x * 0.02) + (x * y % 7));
        px[1] = uint8_t(128 + 100 * std::cos(y * 0.03) + ((x ^ y) % 5));
        px[2] = uint8_t((x + y) / 5);
        px[3] = 255;
      }
    }
    return p;
  }();
  return b;
}

// The same with 64 colours, for GIF.
const ImageBitmap& FewColours() {
  static const ImageBitmap b = [] {
    ImageBitmap p = Photo();
    for (size_t i = 0; i < p.pixels.size(); i += 4) {
      for (int c = 0; c < 3; ++c) p.pixels[i + c] &= 0xC0;
    }
    return p;
  }();
  return b;
}

Bytes Encode(const std::string& type, const ImageBitmap& b, double quality) {
  auto data = std::make_shared<Bytes>();
  auto dest = CGImageDestinationCreateWithData(data, type, 1);
  CGImageDestinationAddImage(dest, ImageBitmapMakeCGImage(b, ""),
                             Value::map({{kCGImageDestinationLossyCompressionQuality, quality}}));
  CGImageDestinationFinalize(dest);
  return *data;
}

const Bytes& Sample(const std::string& type) {
  static const Bytes jpeg = Encode("public.jpeg", Photo(), 0.85);
  static const Bytes png = Encode("public.png", Photo(), 1);
  static const Bytes gif = Encode("com.compuserve.gif", FewColours(), 1);
  static const Bytes webp = Encode("org.webmproject.webp", Photo(), 0.85);
  return type == "public.jpeg"          ? jpeg
         : type == "public.png"         ? png
         : type == "com.compuserve.gif" ? gif
                                        : webp;
}

void OursDecode(benchmark::State& state, const std::string& type) {
  auto data = std::make_shared<const Bytes>(Sample(type));
  const Value now = Value::map({{kCGImageSourceShouldCacheImmediately, true}});
  for (auto _ : state) {
    auto source = CGImageSourceCreateWithBytes(data);
    auto image = CGImageSourceCreateImageAtIndex(source, 0, now);
    benchmark::DoNotOptimize(image->pixelData()->data());
  }
}

void RawDecodeJPEG(benchmark::State& state) {
  const Bytes& data = Sample("public.jpeg");
  std::vector<uint8_t> pixels;
  for (auto _ : state) {
    jpeg_decompress_struct d;
    jpeg_error_mgr err;
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, data.data(), data.size());
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_EXT_RGBA;
    jpeg_start_decompress(&d);
    pixels.assign(size_t(d.output_width) * d.output_height * 4, 0);
    while (d.output_scanline < d.output_height) {
      JSAMPROW row = &pixels[size_t(d.output_scanline) * d.output_width * 4];
      jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    benchmark::DoNotOptimize(pixels.data());
  }
}

void RawDecodePNG(benchmark::State& state) {
  const Bytes& data = Sample("public.png");
  std::vector<uint8_t> pixels;
  for (auto _ : state) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    png_image_begin_read_from_memory(&image, data.data(), data.size());
    image.format = PNG_FORMAT_RGBA;
    pixels.assign(PNG_IMAGE_SIZE(image), 0);
    png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr);
    benchmark::DoNotOptimize(pixels.data());
  }
}

struct Reader {
  const Bytes* data;
  size_t pos;
};

int ReadGif(GifFileType* gif, GifByteType* out, int n) {
  auto* r = static_cast<Reader*>(gif->UserData);
  const int count = int(std::min<size_t>(size_t(n), r->data->size() - r->pos));
  std::memcpy(out, r->data->data() + r->pos, size_t(count));
  r->pos += size_t(count);
  return count;
}

void RawDecodeGIF(benchmark::State& state) {
  const Bytes& data = Sample("com.compuserve.gif");
  std::vector<uint8_t> pixels;
  for (auto _ : state) {
    Reader reader{&data, 0};
    int err = 0;
    GifFileType* gif = DGifOpen(&reader, ReadGif, &err);
    DGifSlurp(gif);
    const SavedImage& frame = gif->SavedImages[0];
    const ColorMapObject* map =
        frame.ImageDesc.ColorMap ? frame.ImageDesc.ColorMap : gif->SColorMap;
    pixels.assign(size_t(gif->SWidth) * gif->SHeight * 4, 0);
    const size_t n = size_t(frame.ImageDesc.Width) * frame.ImageDesc.Height;
    for (size_t i = 0; i < n; ++i) {
      const GifColorType& c = map->Colors[frame.RasterBits[i]];
      uint8_t* p = &pixels[i * 4];
      p[0] = c.Red;
      p[1] = c.Green;
      p[2] = c.Blue;
      p[3] = 255;
    }
    DGifCloseFile(gif, &err);
    benchmark::DoNotOptimize(pixels.data());
  }
}

void RawDecodeWebP(benchmark::State& state) {
  const Bytes& data = Sample("org.webmproject.webp");
  std::vector<uint8_t> pixels(size_t(kWidth) * kHeight * 4);
  for (auto _ : state) {
    WebPDecodeRGBAInto(data.data(), data.size(), pixels.data(), pixels.size(), int(kWidth * 4));
    benchmark::DoNotOptimize(pixels.data());
  }
}

void OursEncode(benchmark::State& state, const std::string& type) {
  const ImageBitmap& b = type == "com.compuserve.gif" ? FewColours() : Photo();
  auto image = ImageBitmapMakeCGImage(b, "");
  const Value props = Value::map({{kCGImageDestinationLossyCompressionQuality, 0.85}});
  for (auto _ : state) {
    auto data = std::make_shared<Bytes>();
    auto dest = CGImageDestinationCreateWithData(data, type, 1);
    CGImageDestinationAddImage(dest, image, props);
    CGImageDestinationFinalize(dest);
    benchmark::DoNotOptimize(data->data());
  }
}

void RawEncodeJPEG(benchmark::State& state) {
  const ImageBitmap& b = Photo();
  for (auto _ : state) {
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
    jpeg_set_quality(&c, 85, TRUE);
    c.optimize_coding = TRUE;
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
      JSAMPROW row = const_cast<uint8_t*>(b.row(c.next_scanline));
      jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    benchmark::DoNotOptimize(buf);
    std::free(buf);
  }
}

void RawEncodePNG(benchmark::State& state) {
  const ImageBitmap& b = Photo();
  std::vector<uint8_t> rgb(size_t(b.width) * b.height * 3);
  for (size_t i = 0, j = 0; i < b.pixels.size(); i += 4, j += 3)
    std::memcpy(&rgb[j], &b.pixels[i], 3);
  for (auto _ : state) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = b.width;
    image.height = b.height;
    image.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = rgb.size() * 2;
    std::vector<uint8_t> out(size);
    png_image_write_to_memory(&image, out.data(), &size, 0, rgb.data(), 0, nullptr);
    benchmark::DoNotOptimize(out.data());
  }
}

int WriteGif(GifFileType*, const GifByteType*, int n) { return n; }

// giflib alone: the 64-colour image already as palette indices.
void RawEncodeGIF(benchmark::State& state) {
  const ImageBitmap& b = FewColours();
  std::vector<uint8_t> indices(size_t(b.width) * b.height);
  GifColorType colors[64];
  for (int i = 0; i < 64; ++i) {
    colors[i] = {GifByteType((i >> 4) << 6), GifByteType(((i >> 2) & 3) << 6),
                 GifByteType((i & 3) << 6)};
  }
  for (size_t i = 0; i < indices.size(); ++i) {
    const uint8_t* p = &b.pixels[i * 4];
    indices[i] = uint8_t(((p[0] >> 6) << 4) | ((p[1] >> 6) << 2) | (p[2] >> 6));
  }
  for (auto _ : state) {
    int err = 0;
    GifFileType* gif = EGifOpen(nullptr, WriteGif, &err);
    ColorMapObject* map = GifMakeMapObject(64, colors);
    EGifPutScreenDesc(gif, int(b.width), int(b.height), 8, 0, nullptr);
    EGifPutImageDesc(gif, 0, 0, int(b.width), int(b.height), false, map);
    for (uint32_t y = 0; y < b.height; ++y)
      EGifPutLine(gif, &indices[size_t(y) * b.width], int(b.width));
    EGifCloseFile(gif, &err);
    GifFreeMapObject(map);
  }
}

// giflib with the same colour quantisation our encoder does, since giflib has
// none: the difference to ours is the cost of our layer alone.
void RawEncodeGIFQuantizing(benchmark::State& state) {
  const ImageBitmap& b = FewColours();
  for (auto _ : state) {
    QuantizedImage q = ColorQuantize(b);
    const int count = int(q.palette.size() / 3);
    int mapSize = 2;
    while (mapSize < count) mapSize *= 2;
    std::vector<GifColorType> colors(size_t(mapSize), GifColorType{0, 0, 0});
    for (int i = 0; i < count; ++i) {
      colors[size_t(i)] = {q.palette[size_t(i) * 3], q.palette[size_t(i) * 3 + 1],
                           q.palette[size_t(i) * 3 + 2]};
    }
    int err = 0;
    GifFileType* gif = EGifOpen(nullptr, WriteGif, &err);
    ColorMapObject* map = GifMakeMapObject(mapSize, colors.data());
    EGifPutScreenDesc(gif, int(b.width), int(b.height), 8, 0, nullptr);
    EGifPutImageDesc(gif, 0, 0, int(b.width), int(b.height), false, map);
    for (uint32_t y = 0; y < b.height; ++y)
      EGifPutLine(gif, &q.indices[size_t(y) * b.width], int(b.width));
    EGifCloseFile(gif, &err);
    GifFreeMapObject(map);
  }
}

void RawEncodeWebP(benchmark::State& state) {
  const ImageBitmap& b = Photo();
  for (auto _ : state) {
    uint8_t* out = nullptr;
    const size_t size = WebPEncodeRGBA(b.pixels.data(), int(b.width), int(b.height),
                                       int(b.bytesPerRow()), 85, &out);
    benchmark::DoNotOptimize(size);
    WebPFree(out);
  }
}

// ---- Hostile files: each must be refused, or decoded, well within a second.

Bytes PNGChunk(const char* type, const Bytes& data) {
  Bytes out;
  AppendPNGChunk(out, type, data.data(), data.size());
  return out;
}

Bytes Deflated(const Bytes& raw) {
  uLongf size = compressBound(uLong(raw.size()));
  Bytes out(size);
  compress2(out.data(), &size, raw.data(), uLong(raw.size()), 9);
  out.resize(size);
  return out;
}

Bytes PNGHeader(uint32_t w, uint32_t h) {
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr;
  AppendBE32(ihdr, w);
  AppendBE32(ihdr, h);
  ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
  const Bytes c = PNGChunk("IHDR", ihdr);
  png.insert(png.end(), c.begin(), c.end());
  return png;
}

// 8192 x 8192 RGBA declared, two kilobytes of image data, no end chunk.
Bytes PNGWithoutEnd() {
  Bytes png = PNGHeader(8192, 8192);
  const Bytes idat = PNGChunk("IDAT", Deflated(Bytes(2 << 20, 0)));
  png.insert(png.end(), idat.begin(), idat.end());
  return png;
}

// A real lossless WebP of 16383 x 4096 pixels of one colour.
Bytes LosslessWebPOfOneColour() {
  const int w = 16383, h = 4096;
  std::vector<uint8_t> rgba(size_t(w) * h * 4, 0x7F);
  uint8_t* out = nullptr;
  const size_t size = WebPEncodeLosslessRGBA(rgba.data(), w, h, w * 4, &out);
  Bytes bytes(out, out + size);
  WebPFree(out);
  return bytes;
}

// A progressive grey 16384 x 4096 JPEG of about 230 KB whose scans each hold
// one run of empty blocks over the whole image.
Bytes JPEGOfEmptyScans() {
  const uint16_t w = 16384, h = 4096;
  Bytes j = {0xFF, 0xD8, 0xFF, 0xDB, 0, 67, 0};
  for (int i = 0; i < 64; ++i) j.push_back(1);
  j.insert(j.end(), {0xFF, 0xC2, 0, 11, 8});
  AppendBE16(j, h);
  AppendBE16(j, w);
  j.insert(j.end(), {1, 1, 0x11, 0, 0xFF, 0xC4, 0, 20, 0x10, 1});
  for (int i = 0; i < 15; ++i) j.push_back(0);
  j.push_back(0xE0);  // one code: a run of 2^14 or more empty blocks
  const uint32_t blocks = uint32_t(w / 8) * (h / 8);
  while (j.size() < 230 * 1024) {
    j.insert(j.end(), {0xFF, 0xDA, 0, 8, 1, 1, 0x00, 1, 63, 0});
    uint32_t acc = 0;
    int bits = 0;
    auto put = [&](uint32_t v, int n) {
      acc = (acc << n) | v;
      bits += n;
      while (bits >= 8) {
        j.push_back(uint8_t(acc >> (bits - 8)));
        bits -= 8;
      }
    };
    // Runs of exactly 2^14 blocks: code "0" and fourteen extra bits of 0.
    for (uint32_t left = blocks; left > 0; left -= 16384) put(0, 15);
    if (bits) put((1u << (8 - bits)) - 1, 8 - bits);
  }
  j.insert(j.end(), {0xFF, 0xD9});
  return j;
}

// Bitmap-family bombs at 8000 x 8000, which every size cap allows.
Bytes GIFBomb() {
  return {'G', 'I', 'F', '8', '9', 'a', 0x40, 0x1F, 0x40, 0x1F, 0,    0,    0, 0x2C, 0,
          0,   0,   0,   1,   0,   1,   0,    0,    2,    2,    0x44, 0x01, 0, 0x3B};
}

Bytes BMPBomb() {
  const uint8_t header[] = {'B', 'M', 0,    0,    0, 0, 0,    0,    0, 0, 54, 0, 0, 0,
                            40,  0,   0,    0,    0x40, 0x1F, 0, 0, 0x40, 0x1F, 0, 0, 1, 0, 24};
  Bytes b(54 + 64, 0x80);  // the first pixels follow the header
  std::memset(b.data(), 0, 54);
  std::memcpy(b.data(), header, sizeof header);
  return b;
}

// A frame wholly right of its canvas.
Bytes GIFFrameBesideCanvas() {
  return {'G', 'I', 'F', '8', '9', 'a', 4, 0, 4,    0,    0x80, 0,    0,    0,   0,   0,   255,
          0,   0,   0x2C, 10, 0, 0,  0,  2, 0,    2,    0,    0,    2,    4,   0x0C, 0xC3, 0x30,
          0x05, 0,  0x3B};
}

void HostileDecode(benchmark::State& state, Bytes (*make)()) {
  auto data = std::make_shared<const Bytes>(make());
  const Value now = Value::map({{kCGImageSourceShouldCacheImmediately, true}});
  for (auto _ : state) {
    auto source = CGImageSourceCreateWithBytes(data);
    const size_t n = CGImageSourceGetCount(source);
    for (size_t i = 0; i < n; ++i) {
      auto image = CGImageSourceCreateImageAtIndex(source, i, now);
      benchmark::DoNotOptimize(image.get());
    }
  }
  state.counters["bytes"] = double(data->size());
}

// An animation on a 64-megapixel canvas: a full first frame, then 16 x 16
// frames wandering over it. Each iteration shows the next frame, the
// previous frame's image released as a player would.
Bytes AnimationOnLargeCanvas(uint32_t frames) {
  const uint32_t side = 8192;
  Bytes png = PNGHeader(side, side);
  Bytes actl;
  AppendBE32(actl, frames);
  AppendBE32(actl, 0);
  const Bytes a = PNGChunk("acTL", actl);
  png.insert(png.end(), a.begin(), a.end());
  uint32_t seq = 0;
  auto control = [&](uint32_t x, uint32_t y, uint32_t w) {
    Bytes fc;
    for (uint32_t v : {seq++, w, w, x, y}) AppendBE32(fc, v);
    fc.insert(fc.end(), {0, 4, 0, 100, 0, 1});
    const Bytes c = PNGChunk("fcTL", fc);
    png.insert(png.end(), c.begin(), c.end());
  };
  auto rows = [](uint32_t w, uint8_t value) {
    Bytes raw;
    for (uint32_t y = 0; y < w; ++y) {
      raw.push_back(0);
      raw.insert(raw.end(), size_t(w) * 4, value);
    }
    return Deflated(raw);
  };
  control(0, 0, side);
  const Bytes idat = PNGChunk("IDAT", rows(side, 0xFF));
  png.insert(png.end(), idat.begin(), idat.end());
  const Bytes small = rows(16, 0x80);
  for (uint32_t i = 1; i < frames; ++i) {
    control((i * 977) % (side - 16), (i * 613) % (side - 16), 16);
    Bytes fd;
    AppendBE32(fd, seq++);
    fd.insert(fd.end(), small.begin(), small.end());
    const Bytes c = PNGChunk("fdAT", fd);
    png.insert(png.end(), c.begin(), c.end());
  }
  const Bytes end = PNGChunk("IEND", {});
  png.insert(png.end(), end.begin(), end.end());
  return png;
}

constexpr uint32_t kAnimationFrames = 41;

void AnimationFrameStep(benchmark::State& state) {
  auto data = std::make_shared<const Bytes>(AnimationOnLargeCanvas(kAnimationFrames));
  const Value now = Value::map({{kCGImageSourceShouldCacheImmediately, true}});
  auto source = CGImageSourceCreateWithBytes(data);
  CGImageSourceCreateImageAtIndex(source, 0, now);
  size_t next = 1;
  for (auto _ : state) {
    auto image = CGImageSourceCreateImageAtIndex(source, next++, now);
    benchmark::DoNotOptimize(image.get());
  }
}

}  // namespace

BENCHMARK_CAPTURE(HostileDecode, PNGWithoutEnd, &PNGWithoutEnd)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(HostileDecode, LosslessWebP, &LosslessWebPOfOneColour)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(HostileDecode, JPEGEmptyScans, &JPEGOfEmptyScans)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(HostileDecode, GIFBomb, &GIFBomb)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(HostileDecode, BMPBomb, &BMPBomb)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(HostileDecode, GIFFrameBesideCanvas, &GIFFrameBesideCanvas)
    ->Unit(benchmark::kMillisecond);
// Each frame once, in order, after the first.
BENCHMARK(AnimationFrameStep)->Iterations(kAnimationFrames - 1)->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(OursDecode, JPEG, std::string("public.jpeg"))->Unit(benchmark::kMillisecond);
BENCHMARK(RawDecodeJPEG)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(OursDecode, PNG, std::string("public.png"))->Unit(benchmark::kMillisecond);
BENCHMARK(RawDecodePNG)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(OursDecode, GIF, std::string("com.compuserve.gif"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(RawDecodeGIF)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(OursDecode, WebP, std::string("org.webmproject.webp"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(RawDecodeWebP)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(OursEncode, JPEG, std::string("public.jpeg"))->Unit(benchmark::kMillisecond);
BENCHMARK(RawEncodeJPEG)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(OursEncode, PNG, std::string("public.png"))->Unit(benchmark::kMillisecond);
BENCHMARK(RawEncodePNG)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(OursEncode, GIF, std::string("com.compuserve.gif"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(RawEncodeGIF)->Unit(benchmark::kMillisecond);
BENCHMARK(RawEncodeGIFQuantizing)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(OursEncode, WebP, std::string("org.webmproject.webp"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(RawEncodeWebP)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
