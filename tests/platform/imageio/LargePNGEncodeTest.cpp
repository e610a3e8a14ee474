#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "AllocationCounter.h"
#include "ImageIOTestSupport.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/ImageDecoder.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/imageio/internal/PNGBandWriter.h"
#include "support/TestEnvironment.h"

namespace large_png_encode_test {

using namespace imageio_test;

namespace {

Bytes EncodePNG(const ImageBitmap& bitmap, const Value& props) {
  auto data = std::make_shared<Bytes>();
  auto dest = CGImageDestinationCreateWithData(data, "public.png", 1);
  if (!dest) return {};
  CGImageDestinationAddImage(dest, MakeImage(bitmap), props);
  if (!CGImageDestinationFinalize(dest)) return {};
  return *data;
}

// The pattern with pseudo-random noise on every channel, so that each byte's
// filter prediction matters.
ImageBitmap Noisy(ImageBitmap b) {
  uint32_t seed = 7;
  for (size_t i = 0; i < b.pixels.size(); ++i) {
    seed = seed * 1103515245 + 12345;
    if (i % 4 == 3 && !b.hasAlpha) continue;
    b.pixels[i] = uint8_t(b.pixels[i] + (seed >> 24) % 9);
  }
  return b;
}

struct Chunk {
  std::string type;
  const uint8_t* data;
  uint32_t length;
};

std::vector<Chunk> Chunks(const Bytes& png) {
  std::vector<Chunk> out;
  for (size_t pos = 8; pos + 12 <= png.size(); pos += 12 + ReadBE32(&png[pos])) {
    out.push_back({std::string(reinterpret_cast<const char*>(&png[pos + 4]), 4), &png[pos + 8],
                   ReadBE32(&png[pos])});
  }
  return out;
}

// The compression level the zlib header of the image data declares
// (0 fastest ... 3 best).
int DeclaredLevel(const Bytes& png) {
  for (const Chunk& c : Chunks(png)) {
    if (c.type == "IDAT" && c.length >= 2) return c.data[1] >> 6;
  }
  return -1;
}

using LargePNGEncodeTest = PlatformTest;

TEST_F(LargePNGEncodeTest, LargeImagesAreWrittenInFastBandsWithTheSamePixels) {
  // 2048 rows of 2048: the smallest image the band writer takes, cut into
  // bands whose last one is short.
  ASSERT_EQ(uint64_t{2048} * 2048, kPNGBandWriterMinPixels);
  for (bool alpha : {false, true}) {
    const ImageBitmap image = Noisy(Pattern(2048, 2048, alpha, 5));
    const Value props = Value::map({{kCGImagePropertyOrientation, 6},
                                    {kCGImagePropertyDPIWidth, 144.0},
                                    {kCGImagePropertyDPIHeight, 72.0}});
    const Bytes png = EncodePNG(image, props);
    ASSERT_FALSE(png.empty()) << alpha;
    EXPECT_EQ(DeclaredLevel(png), 0) << alpha;
    // libpng reads every byte back (checksums of the chunks and of the
    // joined deflate stream included), and so does our own decoder.
    EXPECT_EQ(MaxDifference(RawDecodePNG(png), image), 0) << alpha;
    auto source = SourceOf(png);
    ASSERT_TRUE(source);
    EXPECT_EQ(MaxDifference(Pixels(CGImageSourceCreateImageAtIndex(source, 0)), image), 0);
    const Value read = CGImageSourceCopyPropertiesAtIndex(source, 0);
    EXPECT_EQ(read.find(kCGImagePropertyOrientation)->asInt64(), 6);
    EXPECT_NEAR(read.find(kCGImagePropertyDPIWidth)->asDouble(), 144, 0.05);
    EXPECT_NEAR(read.find(kCGImagePropertyDPIHeight)->asDouble(), 72, 0.05);
    EXPECT_EQ(read.find(kCGImagePropertyHasAlpha)->asBool(), alpha);
    const auto chunks = Chunks(png);
    EXPECT_EQ(chunks.front().type, "IHDR");
    EXPECT_EQ(chunks.back().type, "IEND");
    EXPECT_EQ(std::count_if(chunks.begin(), chunks.end(),
                            [](const Chunk& c) { return c.type == "eXIf"; }),
              1);
  }
  // One row fewer keeps libpng's smaller output at its usual level.
  const Bytes small = EncodePNG(Pattern(2048, 2047, false), Value());
  EXPECT_EQ(DeclaredLevel(small), 2);
  EXPECT_EQ(MaxDifference(RawDecodePNG(small), Pattern(2048, 2047, false)), 0);
}

TEST_F(LargePNGEncodeTest, ALargeOpaqueImageIsReadInPlaceNotCopied) {
  // Rows with room after them, and a fourth byte of noise that must be
  // neither copied nor written: the PNG is opaque RGB.
  constexpr uint32_t kSide = 2048;
  constexpr size_t kStride = kSide * 4 + 64;
  const ImageBitmap rgb = Noisy(Pattern(kSide, kSide, false, 3));
  auto pixels = std::make_shared<Bytes>(kStride * kSide);
  uint32_t seed = 11;
  for (uint32_t y = 0; y < kSide; ++y) {
    uint8_t* row = pixels->data() + y * kStride;
    std::memcpy(row, rgb.row(y), rgb.bytesPerRow());
    for (uint32_t x = 0; x < kSide; ++x) {
      seed = seed * 1103515245 + 12345;
      row[x * 4 + 3] = uint8_t(seed >> 24);
    }
  }
  CGImageRef image = CGImage::create(kSide, kSide, 8, 32, kStride,
                                     kCGImageAlphaNoneSkipLast | kCGBitmapByteOrder32Big, pixels);
  ASSERT_TRUE(image);
  auto data = std::make_shared<Bytes>();
  auto dest = CGImageDestinationCreateWithData(data, "public.png", 1);
  {
    AllocationCounter counter;
    CGImageDestinationAddImage(dest, image, Value());
    EXPECT_LT(counter.peakBytes(), pixels->size() / 8) << "the frame was copied";
  }
  ASSERT_TRUE(CGImageDestinationFinalize(dest));
  EXPECT_EQ(DeclaredLevel(*data), 0);
  EXPECT_EQ(MaxDifference(RawDecodePNG(*data), rgb), 0);

  // The same pixels the other way round in memory (X, B, G, R) are not
  // read in place, and come out the same.
  auto reversed = std::make_shared<Bytes>(*pixels);
  for (size_t i = 0; i + 4 <= reversed->size(); i += 4) std::reverse(&(*reversed)[i], &(*reversed)[i + 4]);
  auto littleData = std::make_shared<Bytes>();
  auto little = CGImageDestinationCreateWithData(littleData, "public.png", 1);
  CGImageDestinationAddImage(little,
                             CGImage::create(kSide, kSide, 8, 32, kStride,
                                             kCGImageAlphaNoneSkipLast | kCGBitmapByteOrder32Little, reversed),
                             Value());
  ASSERT_TRUE(CGImageDestinationFinalize(little));
  EXPECT_EQ(MaxDifference(RawDecodePNG(*littleData), rgb), 0);

  // Frames of an animation are copied as before: both come out whole.
  auto animatedData = std::make_shared<Bytes>();
  auto animated = CGImageDestinationCreateWithData(animatedData, "public.png", 2);
  CGImageDestinationAddImage(animated, image, Value());
  CGImageDestinationAddImage(animated, image, Value());
  ASSERT_TRUE(CGImageDestinationFinalize(animated));
  auto frames = SourceOf(*animatedData);
  ASSERT_EQ(CGImageSourceGetCount(frames), 2u);
  EXPECT_EQ(MaxDifference(Pixels(CGImageSourceCreateImageAtIndex(frames, 1)), rgb), 0);

  // Asked for a smaller size, the pixels are copied and scaled as before.
  auto scaled = std::make_shared<Bytes>();
  auto small = CGImageDestinationCreateWithData(scaled, "public.png", 1);
  CGImageDestinationAddImage(small, image, Value::map({{kCGImageDestinationImageMaxPixelSize, 512}}));
  ASSERT_TRUE(CGImageDestinationFinalize(small));
  EXPECT_EQ(MaxDifference(RawDecodePNG(*scaled), ImageBitmapResized(rgb, 512, 512)), 0);
}

// A decoded canvas (RGBA, straight alpha) is read in place too and keeps its
// alpha; premultiplied rows are copied and come out straight.
TEST_F(LargePNGEncodeTest, AStraightAlphaCanvasIsReadInPlacePremultipliedRowsAreNot) {
  constexpr uint32_t kSide = 2048;
  const ImageBitmap straight = Noisy(Pattern(kSide, kSide, true, 9));
  for (const CGImageAlphaInfo alpha : {kCGImageAlphaLast, kCGImageAlphaPremultipliedLast}) {
    const bool inPlace = alpha == kCGImageAlphaLast;
    SCOPED_TRACE(inPlace ? "straight" : "premultiplied");
    auto pixels = std::make_shared<Bytes>(straight.pixels);
    if (!inPlace) {
      for (size_t i = 0; i < pixels->size(); i += 4) {
        for (int c = 0; c < 3; ++c)
          (*pixels)[i + c] = uint8_t((*pixels)[i + c] * (*pixels)[i + 3] / 255);
      }
    }
    CGImageRef image =
        CGImage::create(kSide, kSide, 8, 32, kSide * 4, alpha | kCGBitmapByteOrder32Big, pixels);
    ImageBitmap expected;
    ASSERT_TRUE(ImageBitmapFromCGImage(image, expected));
    ASSERT_TRUE(expected.hasAlpha);
    auto data = std::make_shared<Bytes>();
    auto dest = CGImageDestinationCreateWithData(data, "public.png", 1);
    {
      AllocationCounter counter;
      CGImageDestinationAddImage(dest, image, Value());
      EXPECT_EQ(counter.peakBytes() < pixels->size() / 8, inPlace);
    }
    ASSERT_TRUE(CGImageDestinationFinalize(dest));
    EXPECT_EQ(DeclaredLevel(*data), 0);
    EXPECT_EQ(MaxDifference(RawDecodePNG(*data), expected), 0);
  }
}

// While bands are deflated on every core, each finished band keeps its
// deflated bytes only, not room for its bound: a large image that deflates
// to little is written in little more memory than the bands in flight.
TEST_F(LargePNGEncodeTest, FinishedBandsKeepOnlyTheirDeflatedBytes) {
  const ImageBitmap image = Solid(8192, 4096, 40, 90, 200, 128);
  auto data = std::make_shared<Bytes>();
  auto dest = CGImageDestinationCreateWithData(data, "public.png", 1);
  CGImageDestinationAddImage(dest, MakeImage(image), Value());
  AllocationCounter counter;
  ASSERT_TRUE(CGImageDestinationFinalize(dest));
  // A band in flight holds its filtered rows and their deflate bound, about
  // 2 MiB each, and zlib's state.
  const size_t inFlight = size_t(std::max(1u, std::thread::hardware_concurrency())) * (5 << 20);
  EXPECT_LT(counter.peakBytes(), inFlight + image.pixels.size() / 8);
  EXPECT_EQ(MaxDifference(RawDecodePNG(*data), image), 0);
}

}  // namespace

}  // namespace large_png_encode_test
