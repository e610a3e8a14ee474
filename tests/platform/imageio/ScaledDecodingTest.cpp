// Decoding scaled down: the resampler that folds rows in as they come,
// thumbnails of images too large to hold whole, and flat images whose data
// is tiny for their size.

#include <gtest/gtest.h>

// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on
#include <zlib.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "AllocationCounter.h"
#include "ImageIOTestSupport.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageDecoder.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/imageio/internal/ImageRowResampler.h"
#include "support/FlatJPEG.h"
#include "support/TestEnvironment.h"

namespace scaled_decoding_test {

using namespace imageio_test;

namespace {

// Area averaging done the plain way, in doubles, on premultiplied values.
ImageBitmap ReferenceShrink(const ImageBitmap& src, uint32_t w, uint32_t h) {
  ImageBitmap out;
  out.allocate(w, h);
  const double sx = double(src.width) / w, sy = double(src.height) / h;
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      double acc[4] = {0, 0, 0, 0};
      for (uint32_t v = uint32_t(y * sy); v < std::min<double>(src.height, std::ceil((y + 1) * sy));
           ++v) {
        const double wy = std::min<double>(v + 1, (y + 1) * sy) - std::max<double>(v, y * sy);
        for (uint32_t u = uint32_t(x * sx);
             u < std::min<double>(src.width, std::ceil((x + 1) * sx)); ++u) {
          const double wx = std::min<double>(u + 1, (x + 1) * sx) - std::max<double>(u, x * sx);
          const uint8_t* p = src.row(v) + u * 4;
          const double a = p[3] / 255.0;
          for (int c = 0; c < 3; ++c) acc[c] += p[c] * a * wx * wy;
          acc[3] += p[3] * wx * wy;
        }
      }
      uint8_t* d = out.row(y) + x * 4;
      const double area = sx * sy, alpha = acc[3] / area;
      for (int c = 0; c < 3; ++c) {
        d[c] = alpha > 0 ? uint8_t(std::lround(std::clamp(acc[c] / area * 255 / alpha, 0.0, 255.0)))
                         : 0;
      }
      d[3] = uint8_t(std::lround(alpha));
    }
  }
  return out;
}

// Smooth gradients, as photos mostly are (a checker's edges are where the
// DCT's own scaling and averaging differ most).
ImageBitmap Smooth(uint32_t w, uint32_t h) {
  ImageBitmap b;
  b.allocate(w, h);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t* p = b.row(y) + x * 4;
      p[0] = uint8_t(128 + 100 * std::sin(x * 0.02));
      p[1] = uint8_t(128 + 100 * std::cos(y * 0.03));
      p[2] = uint8_t((x + y) * 255 / (w + h));
      p[3] = 255;
    }
  }
  return b;
}

// Left third warm, the rest cool; a row at a time (too wide for a bitmap).
void TwoColoursRow(uint32_t width, uint8_t* rgb, int channels) {
  for (uint32_t x = 0; x < width; ++x, rgb += channels) {
    const bool warm = x < width / 3;
    rgb[0] = warm ? 200 : 20;
    rgb[1] = warm ? 30 : 40;
    rgb[2] = warm ? 10 : 220;
    if (channels == 4) rgb[3] = 255;
  }
}

Bytes WideJPEG(uint32_t w, uint32_t h, bool progressive) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = w;
  c.image_height = h;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 90, TRUE);
  if (progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  std::vector<uint8_t> row(size_t(w) * 3);
  TwoColoursRow(w, row.data(), 3);
  while (c.next_scanline < h) {
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  Bytes bytes(out, out + size);
  std::free(out);
  return bytes;
}

// A PNG of 8-bit RGB (colour type 2) or RGBA (6) rows written here, for
// sizes no bitmap may have and for the layout RawEncodePNG never writes.
Bytes PNGOfRows(uint32_t w, uint32_t h, int channels,
                const std::function<void(uint32_t y, uint8_t* row)>& fill) {
  Bytes raw;
  std::vector<uint8_t> row(size_t(w) * channels);
  for (uint32_t y = 0; y < h; ++y) {
    fill(y, row.data());
    raw.push_back(0);
    raw.insert(raw.end(), row.begin(), row.end());
  }
  uLongf size = compressBound(uLong(raw.size()));
  Bytes deflated(size);
  compress2(deflated.data(), &size, raw.data(), uLong(raw.size()), 6);
  deflated.resize(size);
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr = BE32(w);
  const Bytes height = BE32(h);
  ihdr.insert(ihdr.end(), height.begin(), height.end());
  ihdr.insert(ihdr.end(), {8, uint8_t(channels == 3 ? 2 : 6), 0, 0, 0});
  AppendChunk(png, "IHDR", ihdr);
  AppendChunk(png, "IDAT", deflated);
  AppendChunk(png, "IEND", {});
  return png;
}

Bytes WidePNG(uint32_t w, uint32_t h, int channels) {
  return PNGOfRows(w, h, channels,
                   [w, channels](uint32_t, uint8_t* row) { TwoColoursRow(w, row, channels); });
}

Bytes RGBPNG(const ImageBitmap& b) {
  return PNGOfRows(b.width, b.height, 3, [&b](uint32_t y, uint8_t* row) {
    for (uint32_t x = 0; x < b.width; ++x) std::memcpy(row + x * 3, b.row(y) + x * 4, 3);
  });
}

const uint8_t* PixelAt(const ImageBitmap& b, uint32_t x, uint32_t y) { return b.row(y) + x * 4; }

Value ThumbnailOptions(double maxPixelSize) {
  return Value::map({{kCGImageSourceCreateThumbnailFromImageAlways, true},
                     {kCGImageSourceThumbnailMaxPixelSize, maxPixelSize}});
}

}  // namespace

using ScaledDecodingTest = PlatformTest;

TEST_F(ScaledDecodingTest, RowResamplerAveragesAreasLikeThePlainWay) {
  const ImageBitmap opaque = Pattern(97, 61, false, 5);
  const ImageBitmap translucent = Pattern(97, 61, true, 9);
  // Whole factors, fractions, one row or column, the same height, a wider one.
  const std::pair<uint32_t, uint32_t> sizes[] = {{97, 61}, {48, 30}, {10, 7},  {33, 61},
                                                 {1, 1},   {97, 1},  {1, 61},  {40, 59}};
  for (const ImageBitmap* src : {&opaque, &translucent}) {
    for (const auto& [w, h] : sizes) {
      ImageRowResampler resampler(src->width, src->height, w, h, src->hasAlpha);
      ASSERT_TRUE(resampler.valid());
      for (uint32_t y = 0; y < src->height; ++y) {
        EXPECT_FALSE(resampler.done());
        resampler.addRow(src->row(y));
      }
      EXPECT_TRUE(resampler.done());
      const ImageBitmap out = resampler.take();
      ASSERT_EQ(out.width, w);
      ASSERT_EQ(out.height, h);
      EXPECT_LE(MaxDifference(out, ReferenceShrink(*src, w, h)), 1)
          << w << "x" << h << (src->hasAlpha ? " translucent" : " opaque");
      // ImageBitmapResized shrinks the same way (at the same size it is the
      // source itself, transparent pixels' colour and all).
      if (w != src->width || h != src->height) {
        EXPECT_EQ(MaxDifference(ImageBitmapResized(*src, w, h), out), 0) << w << "x" << h;
      }
    }
  }
  // Wider than the source interpolates (the ends keep the end pixels).
  ImageRowResampler wider(2, 4, 4, 2, false);
  const uint8_t rows[4][8] = {{0, 0, 0, 255, 200, 200, 200, 255},
                              {0, 0, 0, 255, 200, 200, 200, 255},
                              {0, 0, 0, 255, 200, 200, 200, 255},
                              {0, 0, 0, 255, 200, 200, 200, 255}};
  for (const auto& row : rows) wider.addRow(row);
  const ImageBitmap widened = wider.take();
  EXPECT_EQ(PixelAt(widened, 0, 1)[0], 0);
  EXPECT_EQ(PixelAt(widened, 1, 1)[0], 50);
  EXPECT_EQ(PixelAt(widened, 3, 1)[0], 200);
  // Rows that never came stay transparent; taller than the source cannot be
  // made row by row.
  ImageRowResampler partial(4, 8, 2, 4, false);
  for (int i = 0; i < 4; ++i) partial.addRow(rows[0]);
  const ImageBitmap half = partial.take();
  EXPECT_EQ(PixelAt(half, 0, 1)[3], 255);
  EXPECT_EQ(PixelAt(half, 0, 2)[3], 0);
  EXPECT_FALSE(ImageRowResampler(4, 4, 4, 5, false).valid());
  EXPECT_FALSE(ImageRowResampler(0, 4, 1, 1, false).valid());
}

TEST_F(ScaledDecodingTest, ScaledDecodesMatchAWholeDecodeResized) {
  const ImageBitmap photo = Smooth(640, 420);
  const ImageBitmap translucent = Pattern(300, 200, true, 4);
  struct Case {
    const char* what;
    Bytes data;
    ImageBitmap original;
    int tolerance;  // the DCT scaling and libwebp's own scaler differ a little
  };
  const Case cases[] = {
      {"baseline jpeg", RawEncodeJPEG(photo, 92, false), photo, 6},
      {"progressive jpeg", RawEncodeJPEG(photo, 92, true), photo, 6},
      {"png", RawEncodePNG(Pattern(640, 420, false, 3)), photo, 1},
      {"rgb png", RGBPNG(Pattern(640, 420, false, 3)), photo, 1},
      {"png with alpha", RawEncodePNG(translucent), translucent, 1},
      {"webp", RawEncodeWebP(photo, true), photo, 6},
  };
  for (const Case& c : cases) {
    CGImageSourceStatus status;
    auto decoder = ImageDecoderCreate(Shared(c.data), true, status);
    ASSERT_TRUE(decoder) << c.what;
    ImageBitmap full;
    ASSERT_TRUE(decoder->decodeFrame(0, full)) << c.what;
    for (const auto& [w, h] : {std::pair<uint32_t, uint32_t>{c.original.width / 5,
                                                             c.original.height / 5},
                               {c.original.width * 2 / 3, c.original.height * 2 / 3},
                               {c.original.width, c.original.height},
                               {c.original.width * 3 / 2, c.original.height * 5 / 4}}) {
      ImageBitmap scaled;
      ASSERT_TRUE(decoder->decodeFrameScaled(0, w, h, scaled)) << c.what << " " << w;
      ASSERT_EQ(scaled.width, w) << c.what;
      ASSERT_EQ(scaled.height, h) << c.what;
      EXPECT_EQ(scaled.hasAlpha, full.hasAlpha) << c.what;
      EXPECT_LE(MaxDifference(scaled, ImageBitmapResized(full, w, h)), c.tolerance)
          << c.what << " at " << w << "x" << h;
    }
    ImageBitmap none;
    EXPECT_FALSE(decoder->decodeFrameScaled(0, 0, 5, none)) << c.what;
  }
}

TEST_F(ScaledDecodingTest, ImagesBeyondTheFullSizeLimitsStillGiveThumbnails) {
  // Wider than any full-size bitmap may be: left third warm, the rest cool.
  const uint32_t w = kImageMaxDimension + 100, h = 300;
  const size_t fullBytes = size_t(w) * h * 4;
  for (const auto& [what, data] :
       {std::pair<const char*, Bytes>{"jpeg", WideJPEG(w, h, false)},
        {"progressive jpeg", WideJPEG(w, h, true)},
        {"png", WidePNG(w, h, 4)},
        {"rgb png", WidePNG(w, h, 3)}}) {
    CGImageSourceRef source = SourceOf(data);
    ASSERT_TRUE(source) << what;
    const Value props = CGImageSourceCopyPropertiesAtIndex(source, 0);
    EXPECT_EQ(props.find(kCGImagePropertyPixelWidth)->asInt64(), int64_t(w)) << what;
    // The full-size bitmap is never made: the whole image comes at the
    // widest size the limits allow...
    CGImageRef whole = CGImageSourceCreateImageAtIndex(source, 0);
    ASSERT_TRUE(whole) << what;
    EXPECT_EQ(CGImageGetWidth(whole), kImageMaxDimension) << what;
    EXPECT_EQ(CGImageGetHeight(whole), 298u) << what;
    // A band cut from it has the scaled picture's rows: warm on the left,
    // cool on the right, however far down.
    const ImageBitmap band = Pixels(CGImageCreateWithImageInRect(whole, CGRectMake(0, 250, w, 40)));
    ASSERT_EQ(band.width, kImageMaxDimension) << what;
    EXPECT_NEAR(PixelAt(band, 50, 39)[0], 200, 12) << what;
    EXPECT_NEAR(PixelAt(band, 5600, 39)[2], 220, 12) << what;
    EXPECT_FALSE(CGImageSourceCreateThumbnailAtIndex(source, 0, ThumbnailOptions(0))) << what;
    // ...but a thumbnail is made without it ever existing.
    AllocationCounter counter;
    CGImageRef thumbnail = CGImageSourceCreateThumbnailAtIndex(source, 0, ThumbnailOptions(330));
    ASSERT_TRUE(thumbnail) << what;
    EXPECT_LT(counter.peakBytes(), fullBytes / 8) << what;
    const ImageBitmap pixels = Pixels(thumbnail);
    ASSERT_EQ(pixels.width, 330u) << what;
    ASSERT_EQ(pixels.height, 6u) << what;
    EXPECT_NEAR(PixelAt(pixels, 50, 3)[0], 200, 6) << what;
    EXPECT_NEAR(PixelAt(pixels, 50, 3)[2], 10, 6) << what;
    EXPECT_NEAR(PixelAt(pixels, 300, 3)[0], 20, 6) << what;
    EXPECT_NEAR(PixelAt(pixels, 300, 3)[2], 220, 6) << what;
  }
  // Animated images are drawn on a canvas of their size: still refused.
  Bytes apng = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr = BE32(w);
  const Bytes height = BE32(2);
  ihdr.insert(ihdr.end(), height.begin(), height.end());
  ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
  AppendChunk(apng, "IHDR", ihdr);
  Bytes actl = BE32(1);
  actl.resize(8, 0);
  AppendChunk(apng, "acTL", actl);
  Bytes fctl = BE32(0);  // sequence 0: the default image is the one frame
  for (uint32_t v : {w, 2u, 0u, 0u}) {
    const Bytes b = BE32(v);
    fctl.insert(fctl.end(), b.begin(), b.end());
  }
  fctl.insert(fctl.end(), {0, 1, 0, 100, 0, 0});
  AppendChunk(apng, "fcTL", fctl);
  const Bytes still = WidePNG(w, 2, 4);
  // The still image's data chunk, after its header.
  const size_t idat = 8 + 25;
  const uint32_t idatLength = ReadBE32(&still[idat]);
  AppendChunk(apng, "IDAT", Bytes(still.begin() + idat + 8, still.begin() + idat + 8 + idatLength));
  AppendChunk(apng, "IEND", {});
  EXPECT_FALSE(SourceOf(apng));
  EXPECT_TRUE(SourceOf(still));
  // The same animation on a canvas that can be held is one.
  const Bytes narrowStill = WidePNG(300, 2, 4);
  const uint32_t narrowLength = ReadBE32(&narrowStill[idat]);
  Bytes narrow(apng.begin(), apng.begin() + 8);
  Bytes narrowHeader = BE32(300);
  narrowHeader.insert(narrowHeader.end(), height.begin(), height.end());
  narrowHeader.insert(narrowHeader.end(), {8, 6, 0, 0, 0});
  AppendChunk(narrow, "IHDR", narrowHeader);
  AppendChunk(narrow, "acTL", actl);
  const Bytes narrowWidth = BE32(300);
  std::copy(narrowWidth.begin(), narrowWidth.end(), fctl.begin() + 4);
  AppendChunk(narrow, "fcTL", fctl);
  AppendChunk(narrow, "IDAT", Bytes(narrowStill.begin() + idat + 8,
                                    narrowStill.begin() + idat + 8 + narrowLength));
  AppendChunk(narrow, "IEND", {});
  CGImageSourceRef animated = SourceOf(narrow);
  ASSERT_TRUE(animated);
  EXPECT_EQ(CGImageSourceGetCount(animated), 1u);
}

TEST_F(ScaledDecodingTest, FlatLossyWebPIsAnImageAndImpossibleClaimsAreNot) {
  // A flat photo: a few kilobytes for over a megapixel, far more pixels
  // a byte than lossless data is allowed, yet what lossy data really does.
  const ImageBitmap flat = Solid(1280, 960, 90, 140, 200);
  const Bytes lossy = RawEncodeWebP(flat, false);
  ASSERT_LT(lossy.size(), 4096u);
  ASSERT_GT(uint64_t(1280) * 960 * 4, lossy.size() * kImageMaxRawBytesPerByte + kImageRawBytesSlack);
  CGImageSourceRef source = SourceOf(lossy);
  ASSERT_TRUE(source);
  const ImageBitmap whole = Pixels(CGImageSourceCreateImageAtIndex(source, 0));
  ASSERT_EQ(whole.width, 1280u);
  EXPECT_LE(MaxDifference(whole, flat), 6);
  const ImageBitmap thumbnail =
      Pixels(CGImageSourceCreateThumbnailAtIndex(source, 0, ThumbnailOptions(160)));
  ASSERT_EQ(thumbnail.width, 160u);
  ASSERT_EQ(thumbnail.height, 120u);
  EXPECT_LE(MaxDifference(thumbnail, Solid(160, 120, 90, 140, 200)), 6);
  // The same data claiming 16383 x 16383 pixels cannot be lossy data: each
  // 16x16 block takes more than a bit and a half.
  ASSERT_EQ(std::memcmp(&lossy[12], "VP8 ", 4), 0);
  Bytes claim = lossy;
  for (size_t at : {26u, 28u}) {
    claim[at] = 0xFF;
    claim[at + 1] = 0x3F;
  }
  EXPECT_FALSE(SourceOf(claim));
  // Near the bound, both ways: 2,000 pixels a byte cannot be; 1,000 can.
  for (const auto& [perByte, possible] : {std::pair<double, bool>{2000, false}, {1000, true}}) {
    const uint32_t side = uint32_t(std::sqrt(double(lossy.size()) * perByte));
    Bytes near = lossy;
    for (size_t at : {26u, 28u}) {
      near[at] = uint8_t(side);
      near[at + 1] = uint8_t(side >> 8);
    }
    EXPECT_EQ(bool(SourceOf(near)), possible) << perByte << " pixels a byte";
  }
  // Flat lossless pictures of a few megapixels are images too.
  const Bytes lossless = RawEncodeWebP(Solid(2000, 1500, 9, 9, 9), true);
  ASSERT_LT(lossless.size(), 4096u);
  EXPECT_TRUE(SourceOf(lossless));
}

TEST_F(ScaledDecodingTest, WholeImagesAreHeldToTheLimitsBySizeTheyAreDecodedAt) {
  // Flat grey photos at the pixel limit and past it. Up to the limit the
  // whole image is decoded at full size; past it, at the largest size of the
  // same aspect within the limit, read scaled down and never held whole.
  struct Case {
    const char* what;
    uint16_t width, height;
    uint32_t decodedWidth, decodedHeight;
  };
  for (const Case& c : {Case{"exactly at the limit", 8192, 8192, 8192, 8192},
                        Case{"one row past", 8192, 8193, 8191, 8192},
                        Case{"a 108 megapixel camera photo", 12000, 9000, 9459, 7094},
                        Case{"too wide to hold", 16385, 8, 16384, 7}}) {
    CGImageSourceRef source = SourceOf(FlatGreyJPEG(c.width, c.height));
    ASSERT_TRUE(source) << c.what;
    CGImageRef image = CGImageSourceCreateImageAtIndex(source, 0);
    ASSERT_TRUE(image) << c.what;
    EXPECT_EQ(CGImageGetWidth(image), c.decodedWidth) << c.what;
    EXPECT_EQ(CGImageGetHeight(image), c.decodedHeight) << c.what;
    EXPECT_LE(uint64_t(CGImageGetWidth(image)) * CGImageGetHeight(image), kImageMaxPixels);
  }
  // The camera photo's pixels, read without its full-size bitmap.
  CGImageRef photo = CGImageSourceCreateImageAtIndex(SourceOf(FlatGreyJPEG(12000, 9000)), 0);
  AllocationCounter counter;
  photo->pixelData();
  EXPECT_LT(counter.peakBytes(), size_t(9459) * 7094 * 4 + (size_t(8) << 20));
  const ImageBitmap pixels = Pixels(photo);
  for (const auto& [x, y] : {std::pair<uint32_t, uint32_t>{0, 0}, {9458, 7093}, {4000, 3000}}) {
    EXPECT_NEAR(PixelAt(pixels, x, y)[0], 128, 1);
    EXPECT_EQ(PixelAt(pixels, x, y)[3], 255);
  }
}

// Progressive thumbnails at 1/8 never read the luma AC scans (here made
// unreadable); they must be the very pixels libjpeg gives for the whole file
// at that scale, however the scans are laid out, and whatever follows the
// last DC scan. At 2/8 every scan counts.
TEST_F(ScaledDecodingTest, ProgressiveEighthScaleThumbnailsMatchLibjpegOnTheWholeFile) {
  const uint32_t w = 250, h = 141;  // edge blocks part filled
  const ImageBitmap picture = Pattern(w, h, false, 9);
  // Each component's DC alone, in two passes, the refinement last of all.
  static const jpeg_scan_info kSeparateDC[] = {
      {1, {0}, 0, 0, 0, 1},  {1, {1}, 0, 0, 0, 1},  {1, {2}, 0, 0, 0, 1},
      {1, {0}, 1, 63, 0, 0}, {1, {1}, 1, 63, 0, 0}, {1, {2}, 1, 63, 0, 0},
      {1, {0}, 0, 0, 1, 0},  {1, {1}, 0, 0, 1, 0},  {1, {2}, 0, 0, 1, 0}};
  auto encode = [&](int restartRows, bool separate, bool gray) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &buf, &size);
    c.image_width = w;
    c.image_height = h;
    c.input_components = 4;
    c.in_color_space = JCS_EXT_RGBX;
    jpeg_set_defaults(&c);
    if (gray) jpeg_set_colorspace(&c, JCS_GRAYSCALE);
    jpeg_simple_progression(&c);
    if (separate) {
      c.scan_info = kSeparateDC;
      c.num_scans = 9;
    }
    c.restart_in_rows = restartRows;
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < h) {
      JSAMPROW row = const_cast<uint8_t*>(picture.row(c.next_scanline));
      jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    Bytes out(buf, buf + size);
    std::free(buf);
    return out;
  };
  auto libjpegScaled = [](const Bytes& data, int eighths) {
    jpeg_decompress_struct d;
    jpeg_error_mgr err;
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, data.data(), data.size());
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_EXT_RGBA;
    d.scale_num = eighths;
    d.scale_denom = 8;
    jpeg_start_decompress(&d);
    ImageBitmap out;
    out.allocate(d.output_width, d.output_height);
    while (d.output_scanline < d.output_height) {
      JSAMPROW row = out.row(d.output_scanline);
      jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return out;
  };
  struct Case {
    const char* what;
    Bytes data;
    size_t cut;  // bytes dropped from the end (inside the last, AC, scan)
  };
  const Bytes interleaved = encode(0, false, false);
  const Case cases[] = {
      {"interleaved DC, refined after the AC scans", interleaved, 0},
      {"restart markers in every scan", encode(1, false, false), 0},
      {"each component's DC on its own", encode(0, true, false), 0},
      {"grey", encode(2, false, true), 0},
      {"the last AC scan cut short", interleaved, 40},
  };
  for (const Case& c : cases) {
    const ImageBitmap expected = libjpegScaled(c.data, 1);
    ASSERT_EQ(expected.width, (w + 7) / 8) << c.what;
    Bytes data(c.data.begin(), c.data.end() - long(c.cut));
    // Luma AC scans (one component, id 1, Ss > 0) claim coefficients past
    // the 64th, which libjpeg refuses.
    for (size_t i = 0; i + 9 < data.size(); ++i) {
      if (data[i] == 0xFF && data[i + 1] == 0xDA && data[i + 4] == 1 && data[i + 5] == 1 &&
          data[i + 7] > 0) {
        data[i + 8] = 70;
      }
    }
    CGImageSourceStatus status;
    auto decoder = ImageDecoderCreate(Shared(data), true, status);
    ASSERT_TRUE(decoder) << c.what;
    ImageBitmap thumbnail;
    ASSERT_TRUE(decoder->decodeFrameScaled(0, expected.width, expected.height, thumbnail))
        << c.what;
    EXPECT_EQ(MaxDifference(thumbnail, expected), 0) << c.what;
    const ImageBitmap quarter = libjpegScaled(c.data, 2);
    decoder = ImageDecoderCreate(Shared(c.data), true, status);
    ASSERT_TRUE(decoder->decodeFrameScaled(0, quarter.width, quarter.height, thumbnail));
    EXPECT_EQ(MaxDifference(thumbnail, quarter), 0) << c.what;
  }
  // Data ending one byte short of a table that follows the first scan: the
  // table is not read past the data's end (valgrind and the sanitizers would
  // say), and the first DC scan still gives a picture close to the whole.
  size_t table = 0;
  for (size_t i = 2, scans = 0; i + 4 < interleaved.size() && !table; ++i) {
    if (interleaved[i] != 0xFF) continue;
    scans += interleaved[i + 1] == 0xDA;
    if (scans == 1 && interleaved[i + 1] == 0xC4) table = i;
  }
  ASSERT_NE(table, 0u);
  const Bytes shortTable(interleaved.begin(),
                         interleaved.begin() + long(table + 1 + ReadBE16(&interleaved[table + 2])));
  CGImageSourceStatus status;
  auto decoder = ImageDecoderCreate(Shared(shortTable), true, status);
  ASSERT_TRUE(decoder);
  const ImageBitmap expected = libjpegScaled(interleaved, 1);
  ImageBitmap thumbnail;
  ASSERT_TRUE(decoder->decodeFrameScaled(0, expected.width, expected.height, thumbnail));
  EXPECT_LE(MaxDifference(thumbnail, expected), 40);
}

// JPEG thumbnails are averaged in YCbCr and converted at the end: colours at
// the edges of the RGB cube (where conversion clamps) come out as libjpeg's
// own conversion gives them.
TEST_F(ScaledDecodingTest, JPEGThumbnailsConvertColoursAsLibjpegDoes) {
  const uint8_t colours[][3] = {{255, 0, 0},     {0, 255, 0},   {0, 0, 255}, {255, 255, 0},
                                {0, 255, 255},   {255, 0, 255}, {0, 0, 0},   {255, 255, 255},
                                {128, 128, 128}, {200, 30, 10}, {1, 2, 254}};
  for (const auto& rgb : colours) {
    const Bytes data = RawEncodeJPEG(Solid(64, 48, rgb[0], rgb[1], rgb[2]), 95, false);
    const ImageBitmap reference = RawDecodeJPEG(data);
    CGImageSourceStatus status;
    auto decoder = ImageDecoderCreate(Shared(data), true, status);
    ASSERT_TRUE(decoder);
    ImageBitmap thumbnail;
    ASSERT_TRUE(decoder->decodeFrameScaled(0, 7, 5, thumbnail));  // the 1/8 decode is 8x6
    for (int c = 0; c < 4; ++c) {
      EXPECT_EQ(PixelAt(thumbnail, 3, 2)[c], PixelAt(reference, 30, 20)[c])
          << int(rgb[0]) << "," << int(rgb[1]) << "," << int(rgb[2]) << " channel " << c;
    }
  }
  // Cut in its first third: libjpeg decodes the rest as flat grey, which
  // stays grey.
  const Bytes whole = RawEncodeJPEG(Pattern(160, 160, false, 2), 90, false);
  const Bytes cut(whole.begin(), whole.begin() + long(whole.size() / 3));
  CGImageSourceStatus status;
  auto decoder = ImageDecoderCreate(Shared(cut), true, status);
  ASSERT_TRUE(decoder);
  ImageBitmap thumbnail;
  ASSERT_TRUE(decoder->decodeFrameScaled(0, 15, 15, thumbnail));
  for (int c = 0; c < 4; ++c) EXPECT_EQ(PixelAt(thumbnail, 7, 14)[c], c < 3 ? 128 : 255);
}

}  // namespace scaled_decoding_test
