// Rarely taken paths of the format readers: run-length bitmaps, channel
// scaling, TIFF alpha layouts, odd animation fields.

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstring>

#include "ImageIOTestSupport.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageDecoder.h"
#include "platform/imageio/ImageIOProperties.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

namespace format_details_test {

using namespace imageio_test;

namespace {

using Px = std::vector<int>;
const Px kClear = {0, 0, 0, 0}, kRed = {255, 0, 0, 255}, kGreen = {0, 255, 0, 255},
         kBlue = {0, 0, 255, 255};

Px At(const ImageBitmap& b, uint32_t x, uint32_t y) {
  const uint8_t* p = b.row(y) + x * 4;
  return {p[0], p[1], p[2], p[3]};
}

ImageBitmap Decoded(const Bytes& data, size_t index = 0) {
  return Pixels(CGImageSourceCreateImageAtIndex(SourceOf(data), index));
}

// A bitmap file: 40-byte header, palette black, red, green, blue.
Bytes Bitmap(int32_t w, int32_t h, uint16_t bits, uint32_t compression, const Bytes& pixels,
             const Bytes& masks = {}) {
  const bool paletted = bits <= 8;
  const uint32_t offset = 14 + 40 + uint32_t(masks.size()) + (paletted ? 16 : 0);
  Bytes b = {'B', 'M'};
  AppendLE32(b, offset + uint32_t(pixels.size()));
  AppendLE32(b, 0);
  AppendLE32(b, offset);
  AppendLE32(b, 40);
  AppendLE32(b, uint32_t(w));
  AppendLE32(b, uint32_t(h));
  AppendLE16(b, 1);
  AppendLE16(b, bits);
  AppendLE32(b, compression);
  AppendLE32(b, uint32_t(pixels.size()));
  for (int i = 0; i < 2; ++i) AppendLE32(b, 2835);
  AppendLE32(b, paletted ? 4 : 0);
  AppendLE32(b, 0);
  b.insert(b.end(), masks.begin(), masks.end());
  if (paletted) b.insert(b.end(), {0, 0, 0, 0, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0});
  b.insert(b.end(), pixels.begin(), pixels.end());
  return b;
}

}  // namespace

using FormatDetailsTest = PlatformTest;

TEST_F(FormatDetailsTest, RunLengthBitmapsFollowLiteralsDeltasAndRowEnds) {
  // 8 bits, 6x4, rows from the bottom. Row 0: a literal run of three (odd,
  // so padded), two blue. Row 1: a delta two right, one up. Row 2 (reached by
  // the delta): one red, then a run of eight that overflows the row and must
  // not spill into the next. Row 3: nothing before the end of the bitmap.
  const Bytes rle8 = {0, 3, 1, 2, 1, 0, 2, 3, 0, 0,  // row 0
                      0, 2, 2, 1,                    // delta (2, 1)
                      1, 1, 8, 2, 0, 0,              // row 2
                      0, 1};
  const ImageBitmap a = Decoded(Bitmap(6, 4, 8, 1, rle8));
  ASSERT_EQ(a.height, 4u);
  const std::vector<Px> row0 = {kRed, kGreen, kRed, kBlue, kBlue, kClear};
  for (uint32_t x = 0; x < 6; ++x) {
    EXPECT_EQ(At(a, x, 3), row0[x]) << x;
    EXPECT_EQ(At(a, x, 2), kClear) << "skipped by the delta, " << x;
    EXPECT_EQ(At(a, x, 1), x < 2 ? kClear : x == 2 ? kRed : kGreen) << x;
    EXPECT_EQ(At(a, x, 0), kClear) << "a run never wraps to the next row, " << x;
  }

  // 4 bits, 5x2. Row 0: a run of four alternating nibbles (red, blue). Row 1:
  // a literal of five nibbles, three bytes padded to four.
  const Bytes rle4 = {4, 0x13, 0, 0, 0, 5, 0x12, 0x31, 0x20, 0, 0, 1};
  const ImageBitmap b = Decoded(Bitmap(5, 2, 4, 2, rle4));
  ASSERT_EQ(b.width, 5u);
  const std::vector<Px> bottom = {kRed, kBlue, kRed, kBlue, kClear};
  const std::vector<Px> top = {kRed, kGreen, kBlue, kRed, kGreen};
  for (uint32_t x = 0; x < 5; ++x) {
    EXPECT_EQ(At(b, x, 1), bottom[x]) << x;
    EXPECT_EQ(At(b, x, 0), top[x]) << x;
  }
}

TEST_F(FormatDetailsTest, NarrowBitmapChannelsAreScaledWithRounding) {
  // 16 bits: 5-5-5 by default (16 of 31 is 131.6 of 255), and 5-6-5 masks
  // (32 of 63 is 129.5).
  const ImageBitmap rgb555 = Decoded(Bitmap(1, 1, 16, 0, {0x10, 0x42, 0, 0}));
  EXPECT_EQ(At(rgb555, 0, 0), (Px{132, 132, 132, 255}));
  Bytes masks;
  for (uint32_t m : {0xF800u, 0x07E0u, 0x001Fu}) AppendLE32(masks, m);
  const ImageBitmap rgb565 = Decoded(Bitmap(1, 1, 16, 3, {0x10, 0x84, 0, 0}, masks));
  EXPECT_EQ(At(rgb565, 0, 0), (Px{132, 130, 132, 255}));
}

namespace {

struct TiffPage {
  uint16_t photometric, bits, samples, extra;
  bool tiled = false, separate = false;
  std::vector<uint16_t> values;  // one pixel's samples, repeated over 16x16
};

Bytes WriteTiff(const TiffPage& p) {
  TempFolder folder;
  const std::string path = folder.path() + "/page.tiff";
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  const uint32_t size = 16;
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, size);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, size);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, p.bits);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, p.samples);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, p.photometric);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, p.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &p.extra);
  const size_t bytes = p.bits / 8;
  auto fill = [&](uint8_t* out, size_t pixels, int plane) {
    for (size_t i = 0; i < pixels; ++i) {
      for (uint16_t s = 0; s < p.samples; ++s) {
        if (plane >= 0 && s != plane) continue;
        const uint16_t v = p.values[s];
        uint8_t* d = out + (plane >= 0 ? i : i * p.samples + s) * bytes;
        if (bytes == 1) {
          *d = uint8_t(v);
        } else {
          std::memcpy(d, &v, 2);
        }
      }
    }
  };
  const int planes = p.separate ? p.samples : 1;
  if (p.tiled) {
    TIFFSetField(tif, TIFFTAG_TILEWIDTH, 16);
    TIFFSetField(tif, TIFFTAG_TILELENGTH, 16);
    std::vector<uint8_t> tile(size_t(TIFFTileSize(tif)));
    for (int plane = 0; plane < planes; ++plane) {
      fill(tile.data(), size * size, p.separate ? plane : -1);
      TIFFWriteTile(tif, tile.data(), 0, 0, 0, uint16_t(plane));
    }
  } else {
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 4);
    std::vector<uint8_t> row(size_t(TIFFScanlineSize(tif)));
    for (int plane = 0; plane < planes; ++plane) {
      fill(row.data(), size, p.separate ? plane : -1);
      for (uint32_t y = 0; y < size; ++y) TIFFWriteScanline(tif, row.data(), y, uint16_t(plane));
    }
  }
  TIFFClose(tif);
  Bytes data;
  EXPECT_TRUE(ReadFileContents(path, data));
  return data;
}

}  // namespace

TEST_F(FormatDetailsTest, TIFFAlphaIsReadStraightInEveryLayout) {
  struct Case {
    const char* what;
    TiffPage page;
    Px expected;
  };
  const uint16_t kStraight = EXTRASAMPLE_UNASSALPHA, kAssociated = EXTRASAMPLE_ASSOCALPHA;
  const std::vector<Case> cases = {
      {"grey, straight", {PHOTOMETRIC_MINISBLACK, 8, 2, kStraight, false, false, {200, 30}},
       {200, 200, 200, 30}},
      {"grey, associated", {PHOTOMETRIC_MINISBLACK, 8, 2, kAssociated, false, false, {100, 128}},
       {199, 199, 199, 128}},
      {"white is zero", {PHOTOMETRIC_MINISWHITE, 8, 2, kStraight, false, false, {55, 90}},
       {200, 200, 200, 90}},
      {"16-bit grey", {PHOTOMETRIC_MINISBLACK, 16, 2, kStraight, false, false, {40000, 20000}},
       {156, 156, 156, 78}},
      {"rgb, tiled, low alpha", {PHOTOMETRIC_RGB, 8, 4, kStraight, true, false, {200, 100, 50, 3}},
       {200, 100, 50, 3}},
      {"rgb, planes", {PHOTOMETRIC_RGB, 8, 4, kStraight, false, true, {10, 250, 90, 2}},
       {10, 250, 90, 2}},
      {"16-bit rgb, tiled planes",
       {PHOTOMETRIC_RGB, 16, 4, kStraight, true, true, {65535, 0, 32896, 771}},
       {255, 0, 128, 3}},
  };
  for (const Case& c : cases) {
    const ImageBitmap b = Decoded(WriteTiff(c.page));
    ASSERT_EQ(b.width, 16u) << c.what;
    EXPECT_EQ(At(b, 0, 0), c.expected) << c.what;
    EXPECT_EQ(At(b, 15, 15), c.expected) << c.what;
  }
}

TEST_F(FormatDetailsTest, AnimatedPNGDelayWithoutDenominatorIsInHundredths) {
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr, actl;
  AppendBE32(ihdr, 1);
  AppendBE32(ihdr, 1);
  ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
  AppendChunk(png, "IHDR", ihdr);
  AppendBE32(actl, 1);
  AppendBE32(actl, 0);
  AppendChunk(png, "acTL", actl);
  Bytes fctl;
  for (uint32_t v : {0u, 1u, 1u, 0u, 0u}) AppendBE32(fctl, v);
  fctl.insert(fctl.end(), {0, 37, 0, 0, 0, 0});  // 37 / 0
  AppendChunk(png, "fcTL", fctl);
  AppendChunk(png, "IDAT", ZlibRows(Solid(1, 1, 9, 9, 9)));
  AppendChunk(png, "IEND", {});
  const Value props = CGImageSourceCopyPropertiesAtIndex(SourceOf(png), 0);
  const Value* dict = props.find(kCGImagePropertyPNGDictionary);
  ASSERT_TRUE(dict);
  EXPECT_DOUBLE_EQ(dict->find(kCGImagePropertyAPNGUnclampedDelayTime)->asDouble(), 0.37);
  EXPECT_DOUBLE_EQ(dict->find(kCGImagePropertyAPNGDelayTime)->asDouble(), 0.37);
}

TEST_F(FormatDetailsTest, GIFFrameOutsideTheCanvasShowsNothing) {
  // 4x4 canvas; a 2x2 red frame placed at x, on a two-colour table.
  auto gif = [](uint8_t x) {
    Bytes b = {'G', 'I', 'F', '8', '9', 'a', 4, 0, 4, 0, 0x80, 0, 0, 0, 0, 0, 255, 0, 0};
    b.insert(b.end(), {0x2C, x, 0, 0, 0, 2, 0, 2, 0, 0});
    // Code size 2; a clear code before each pixel keeps the codes 3 bits wide.
    b.insert(b.end(), {2, 4, 0x0C, 0xC3, 0x30, 0x05, 0, 0x3B});
    return b;
  };
  const ImageBitmap inside = Decoded(gif(1));
  ASSERT_EQ(inside.width, 4u);
  EXPECT_EQ(At(inside, 1, 1), kRed);
  EXPECT_EQ(At(inside, 0, 0), kClear);
  for (uint8_t x : {3, 4, 10}) {
    const ImageBitmap b = Decoded(gif(x));
    ASSERT_EQ(b.width, 4u) << int(x);
    EXPECT_EQ(At(b, 3, 0), x == 3 ? kRed : kClear) << int(x);
    EXPECT_EQ(At(b, 0, 0), kClear) << int(x);
  }
}

}  // namespace format_details_test
