#include <gtest/gtest.h>

#include <cstring>

#include "ImageIOTestSupport.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/ImageDecoder.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/imageio/internal/PNGBandWriter.h"
#include "support/TestEnvironment.h"

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

}  // namespace
