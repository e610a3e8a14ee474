// The decoder layer under the image sources: hostile files refused before
// their pixels cost anything.

#include <gtest/gtest.h>
#include <zlib.h>

#include "ImageIOTestSupport.h"
#include "platform/imageio/ImageDecoder.h"

using namespace imageio_test;

namespace {

std::unique_ptr<ImageDecoder> Create(const Bytes& data, bool complete,
                                     CGImageSourceStatus& status) {
  return ImageDecoderCreate(Shared(data), complete, status);
}

// Two kilobytes of deflated zeros.
Bytes DeflatedZeros() {
  const Bytes zeros(2 << 20, 0);
  uLongf size = compressBound(uLong(zeros.size()));
  Bytes out(size);
  compress(out.data(), &size, zeros.data(), uLong(zeros.size()));
  out.resize(size);
  return out;
}

// A PNG declaring `side` x `side` RGBA pixels, with or without its end chunk.
Bytes PNGOf(uint32_t side, bool withEnd, const Bytes& idat = DeflatedZeros()) {
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr;
  AppendBE32(ihdr, side);
  AppendBE32(ihdr, side);
  ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
  AppendChunk(png, "IHDR", ihdr);
  AppendChunk(png, "IDAT", idat);
  if (withEnd) AppendChunk(png, "IEND", {});
  return png;
}

// A lossless WebP whose header declares width x height, padded to `size`.
Bytes WebPBomb(uint32_t width, uint32_t height, size_t size) {
  Bytes body = {0x2F};
  const uint32_t bits = (width - 1) | ((height - 1) << 14);  // no alpha, version 0
  AppendLE32(body, bits);
  body.resize(size - 20, 0);
  Bytes webp = {'R', 'I', 'F', 'F'};
  AppendLE32(webp, uint32_t(4 + 8 + body.size()));
  webp.insert(webp.end(), {'W', 'E', 'B', 'P', 'V', 'P', '8', 'L'});
  AppendLE32(webp, uint32_t(body.size()));
  webp.insert(webp.end(), body.begin(), body.end());
  return webp;
}

}  // namespace

TEST(DecoderLayerTest, SmallPNGAndWebPBombsAreRefusedBeforeDecoding) {
  // Whole files: refused while parsing, which reads headers only.
  struct Case {
    const char* what;
    Bytes data;
  };
  const std::vector<Case> bombs = {{"png", PNGOf(8192, true)},
                                   {"png without its end", PNGOf(8192, false)},
                                   {"webp", WebPBomb(16383, 4096, 2600)}};
  for (const Case& c : bombs) {
    ASSERT_LT(c.data.size(), 4096u) << c.what;
    CGImageSourceStatus status = kCGImageStatusComplete;
    EXPECT_EQ(Create(c.data, true, status), nullptr) << c.what;
    EXPECT_EQ(status, kCGImageStatusInvalidData) << c.what;
  }
  // The same data still arriving: the frame is announced, but decoding it is
  // refused without a pixel buffer until the data could fill it.
  CGImageSourceStatus status = kCGImageStatusComplete;
  auto arriving = Create(PNGOf(8192, false), false, status);
  ASSERT_TRUE(arriving);
  EXPECT_EQ(status, kCGImageStatusIncomplete);
  ImageBitmap out;
  EXPECT_FALSE(arriving->decodeFrame(0, out));
  EXPECT_EQ(out.pixels.capacity(), 0u);
  // The checks are about proportion: small images with the same data decode.
  const Bytes rows = ZlibRows(Pattern(256, 256, true));
  for (bool withEnd : {false, true}) {
    auto small = Create(PNGOf(256, withEnd, rows), true, status);
    ASSERT_TRUE(small);
    ASSERT_TRUE(small->decodeFrame(0, out));
    EXPECT_EQ(MaxDifference(out, Pattern(256, 256, true)), 0);
  }
  EXPECT_TRUE(Create(WebPBomb(256, 256, 2600), true, status));
}

namespace {

// A progressive grey JPEG of side x side whose scans hold nothing but one
// run of empty blocks each (a few bytes that make the decoder visit every
// block).
Bytes EmptyScans(uint16_t side, int scans) {
  Bytes j = {0xFF, 0xD8, 0xFF, 0xDB, 0, 67, 0};
  j.insert(j.end(), 64, 1);
  j.insert(j.end(), {0xFF, 0xC2, 0, 11, 8});
  AppendBE16(j, side);
  AppendBE16(j, side);
  j.insert(j.end(), {1, 1, 0x11, 0});
  // AC table 0: one code, "0", for a run of 2^14 or more empty blocks.
  j.insert(j.end(), {0xFF, 0xC4, 0, 20, 0x10, 1});
  j.insert(j.end(), 15, 0);
  j.push_back(0xE0);
  const uint32_t blocks = uint32_t(side / 8) * (side / 8);
  for (int s = 0; s < scans; ++s) {
    j.insert(j.end(), {0xFF, 0xDA, 0, 8, 1, 1, 0x00, 1, 63, 0});
    // Runs of 2^14 + 14 extra bits, as many as the blocks need.
    uint64_t bits = 0;
    int count = 0;
    for (uint32_t left = blocks; left > 0;) {
      const uint32_t run = std::min<uint32_t>(left, 32767);
      bits = (bits << 15) | (run - 16384);
      count += 15;
      left -= run;
    }
    const int pad = (8 - count % 8) % 8;
    bits = (bits << pad) | ((1u << pad) - 1);
    for (int b = (count + pad) / 8 - 1; b >= 0; --b) j.push_back(uint8_t(bits >> (b * 8)));
  }
  j.insert(j.end(), {0xFF, 0xD9});
  return j;
}

}  // namespace

TEST(DecoderLayerTest, ProgressiveScanWorkIsBoundedByTheData) {
  // 1024 x 1024 is 16384 blocks a scan. Forty scans are work the data and the
  // slack cover; three hundred of a dozen bytes each are not.
  CGImageSourceStatus status = kCGImageStatusComplete;
  ImageBitmap out;
  auto few = Create(EmptyScans(1024, 40), true, status);
  ASSERT_TRUE(few);
  EXPECT_TRUE(few->decodeFrame(0, out));
  EXPECT_EQ(out.width, 1024u);
  const Bytes many = EmptyScans(1024, 300);
  EXPECT_LT(many.size(), 4000u);
  auto hostile = Create(many, true, status);
  ASSERT_TRUE(hostile);
  EXPECT_FALSE(hostile->decodeFrame(0, out));
}
