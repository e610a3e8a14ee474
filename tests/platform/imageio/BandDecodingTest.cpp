// Row-range decoding: bands of a still JPEG or PNG decoded on their own equal
// the same rows of a full decode, and cutting a large lazy image into bands
// never costs its whole bitmap.

#include <gtest/gtest.h>

#include <cstring>

#include "AllocationCounter.h"
#include "ImageIOTestSupport.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageDecoder.h"
#include "platform/imageio/ImageRowReader.h"
#include "support/TestEnvironment.h"

namespace band_decoding_test {

using namespace imageio_test;

namespace {

std::unique_ptr<ImageDecoder> Parsed(const Bytes& data) {
  CGImageSourceStatus status;
  return ImageDecoderCreate(Shared(data), true, status);
}

// Rows [first, first + count) of a full bitmap.
bool SameRows(const ImageBitmap& band, const ImageBitmap& full, uint32_t first) {
  return band.width == full.width &&
         std::memcmp(band.pixels.data(), full.row(first), band.pixels.size()) == 0;
}

Bytes InterlacedPNGHeaderOnly(uint32_t side) {
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr;
  AppendBE32(ihdr, side);
  AppendBE32(ihdr, side);
  ihdr.insert(ihdr.end(), {8, 6, 0, 0, 1});
  AppendChunk(png, "IHDR", ihdr);
  AppendChunk(png, "IDAT", ZlibRows(Solid(side, side, 1, 2, 3)));
  AppendChunk(png, "IEND", {});
  return png;
}

}  // namespace

using BandDecodingTest = PlatformTest;

TEST_F(BandDecodingTest, BandsEqualTheRowsOfAFullDecodeInAnyOrder) {
  const ImageBitmap pattern = Pattern(301, 257, false, 7);
  const ImageBitmap translucent = Pattern(301, 257, true, 3);
  const std::pair<const char*, Bytes> files[] = {
      {"baseline jpeg", RawEncodeJPEG(pattern, 90, false)},
      {"progressive jpeg", RawEncodeJPEG(pattern, 90, true)},
      {"png", RawEncodePNG(pattern)},
      {"png with alpha", RawEncodePNG(translucent)},
  };
  // Forward with overlaps (as the scale-down path asks), a skip ahead, a
  // step back into the kept tail, and a jump back to the top.
  const std::pair<uint32_t, uint32_t> bands[] = {{0, 40},   {38, 40}, {76, 3},   {150, 60},
                                                 {205, 52}, {0, 10},  {120, 137}};
  for (const auto& [name, data] : files) {
    auto decoder = Parsed(data);
    ASSERT_TRUE(decoder) << name;
    ASSERT_TRUE(decoder->canDecodeRows(0)) << name;
    ImageBitmap full;
    ASSERT_TRUE(decoder->decodeFrame(0, full)) << name;
    for (const auto& [first, count] : bands) {
      auto band = decoder->decodeRows(0, first, count);
      ASSERT_TRUE(band) << name << " " << first;
      EXPECT_EQ(band->height, count);
      EXPECT_EQ(band->hasAlpha, full.hasAlpha) << name;
      EXPECT_TRUE(SameRows(*band, full, first)) << name << " rows from " << first;
    }
    EXPECT_FALSE(decoder->decodeRows(0, 250, 8)) << name;  // past the last row
    EXPECT_FALSE(decoder->decodeRows(0, 0, 0)) << name;
    EXPECT_FALSE(decoder->decodeRows(1, 0, 8)) << name;  // no such frame
  }
}

TEST_F(BandDecodingTest, FormatsThatCannotDecodeRowsSaySo) {
  const ImageBitmap pattern = Pattern(64, 48, false);
  const Bytes jpeg = RawEncodeJPEG(pattern, 90, false);
  CGImageSourceStatus status;
  // Data still arriving decodes whole (what is missing shows as missing).
  auto partial = ImageDecoderCreate(Shared(Bytes(jpeg.begin(), jpeg.begin() + jpeg.size() / 2)),
                                    false, status);
  ASSERT_TRUE(partial);
  EXPECT_FALSE(partial->canDecodeRows(0));
  // Interlaced rows come in passes, so a band needs the whole image.
  auto interlaced = Parsed(InterlacedPNGHeaderOnly(32));
  ASSERT_TRUE(interlaced);
  EXPECT_FALSE(interlaced->canDecodeRows(0));
  EXPECT_FALSE(interlaced->decodeRows(0, 0, 4));
  auto webp = Parsed(RawEncodeWebP(pattern, true));
  ASSERT_TRUE(webp);
  EXPECT_FALSE(webp->canDecodeRows(0));
  // A file cut short gives the same rows in bands as whole.
  auto cut = Parsed(Bytes(jpeg.begin(), jpeg.begin() + jpeg.size() / 2));
  ASSERT_TRUE(cut);
  ImageBitmap full;
  ASSERT_TRUE(cut->decodeFrame(0, full));
  auto band = cut->decodeRows(0, 40, 8);
  ASSERT_TRUE(band);
  EXPECT_TRUE(SameRows(*band, full, 40));
}

TEST_F(BandDecodingTest, CuttingALazyImageIntoBandsNeverCostsItsWholeBitmap) {
  constexpr uint32_t kWidth = 2400, kHeight = 1800;
  constexpr size_t kFullBytes = size_t(kWidth) * kHeight * 4;  // 17 MB
  constexpr uint32_t kBandRows = 150;
  constexpr size_t kBandBytes = size_t(kWidth) * kBandRows * 4;  // 1.4 MB
  for (const auto& [name, data] :
       {std::pair<const char*, Bytes>{"jpeg",
                                      RawEncodeJPEG(Pattern(kWidth, kHeight, false), 85, false)},
        {"png", RawEncodePNG(Pattern(kWidth, kHeight, false))}}) {
    CGImageSourceRef source = SourceOf(data);
    ASSERT_TRUE(source) << name;
    CGImageRef image = CGImageSourceCreateImageAtIndex(source, 0);
    ASSERT_TRUE(image && image->isLazy()) << name;
    AllocationCounter counter;
    uint64_t checksum = 0;
    for (uint32_t y = 0; y < kHeight; y += kBandRows - 2) {  // overlapping bands
      CGImageRef band = CGImageCreateWithImageInRect(image, CGRectMake(0, y, kWidth, kBandRows));
      ASSERT_TRUE(band);
      auto pixels = band->pixelData();
      checksum += (*pixels)[pixels->size() / 2 + 4 * kWidth / 2];  // red of a middle pixel
    }
    // A band, the decoder's tail and state: far from the whole bitmap.
    EXPECT_LT(counter.peakBytes(), 2 * kBandBytes + (1 << 20)) << name;
    EXPECT_LT(counter.peakBytes(), kFullBytes / 4) << name;
    EXPECT_TRUE(image->isLazy()) << name;  // the whole image was never decoded
    EXPECT_GT(checksum, 0u);
  }
}

namespace {

// A format whose rows are numbered (each byte of row y is y % 251), counting
// how often decoding starts from the top and how many rows it decodes.
class CountingRows : public ImageRowReader {
 public:
  CountingRows(uint32_t width, uint32_t height, uint32_t rowsPerStep)
      : ImageRowReader(width, height, false), rowsPerStep_(rowsPerStep) {}
  int restarts = 0;
  uint64_t decoded = 0;

 protected:
  bool restart() override {
    ++restarts;
    return true;
  }
  bool decodeMore() override {
    // Like PNG, sometimes a few rows past the band per step.
    for (uint32_t i = 0; i < rowsPerStep_ && nextRow() < height(); ++i) {
      row_.assign(size_t(width()) * 4, uint8_t(nextRow() % 251));
      emitRow(row_.data());
      ++decoded;
    }
    return true;
  }

 private:
  const uint32_t rowsPerStep_;
  std::vector<uint8_t> row_;
};

bool RowsNumbered(const ImageBitmap& band, uint32_t first) {
  for (uint32_t y = 0; y < band.height; ++y) {
    for (size_t i = 0; i < band.bytesPerRow(); ++i) {
      if (band.row(y)[i] != uint8_t((first + y) % 251)) return false;
    }
  }
  return true;
}

}  // namespace

// Scaling down by 10 or more asks for short bands that overlap the last one
// by more rows than they advance: the reader must read on, never from the top.
TEST_F(BandDecodingTest, OverlappingBandsOfAnyShrinkDecodeEachRowOnce) {
  for (uint32_t step : {1u, 5u}) {
    CountingRows reader(8, 3000, step);
    // Ten rows further each time, thirty rows each (shrink 10, the
    // scale-down path's seam overlap of 20 rows).
    for (uint32_t first = 0; first + 30 <= 3000; first += 10) {
      auto band = reader.readRows(first, 30);
      ASSERT_TRUE(band) << first;
      ASSERT_EQ(band->height, 30u);
      ASSERT_TRUE(RowsNumbered(*band, first)) << "step " << step << " band at " << first;
    }
    EXPECT_EQ(reader.restarts, 1) << step;
    EXPECT_LE(reader.decoded, 3000u) << step;
    // A band starting within the last one reads on; one before it starts over.
    auto again = reader.readRows(2970, 30);
    ASSERT_TRUE(again);
    EXPECT_TRUE(RowsNumbered(*again, 2970));
    EXPECT_EQ(reader.restarts, 1);
    auto top = reader.readRows(2000, 4);
    ASSERT_TRUE(top);
    EXPECT_TRUE(RowsNumbered(*top, 2000));
    EXPECT_EQ(reader.restarts, 2);
  }
  // Skipping ahead (a format that cannot skip decodes and drops the rows
  // before the band, three at a time here, so it decodes a row past it):
  // the next band, within the last one and past it, reads on correctly.
  CountingRows reader(8, 300, 3);
  for (const auto& [first, count] : {std::pair<uint32_t, uint32_t>{0, 10}, {100, 10}, {105, 10},
                                     {200, 7}, {204, 30}}) {
    auto band = reader.readRows(first, count);
    ASSERT_TRUE(band) << first;
    EXPECT_TRUE(RowsNumbered(*band, first)) << "band at " << first;
  }
  EXPECT_EQ(reader.restarts, 1);
}

}  // namespace band_decoding_test
