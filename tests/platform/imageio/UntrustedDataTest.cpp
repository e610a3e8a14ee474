#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "ImageIOTestSupport.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageIOProperties.h"
#include "support/TestEnvironment.h"

namespace untrusted_data_test {

using namespace imageio_test;

namespace {

const Value kNow = Value::map({{kCGImageSourceShouldCacheImmediately, true}});

Bytes Encoded(const std::string& type, size_t frames, const Value& props = Value()) {
  auto data = std::make_shared<Bytes>();
  auto dest = CGImageDestinationCreateWithData(data, type, frames);
  CGImageDestinationSetProperties(dest, Value::map({{"{GIF}", Value::map({{"LoopCount", 0}})},
                                                    {"{PNG}", Value::map({{"LoopCount", 0}})}}));
  for (size_t i = 0; i < frames; ++i) {
    CGImageDestinationAddImage(dest, MakeImage(Pattern(37, 23, i % 2 == 1, uint32_t(i * 60))),
                               props);
  }
  EXPECT_TRUE(CGImageDestinationFinalize(dest)) << type;
  return *data;
}

std::vector<Bytes> Samples() {
  std::vector<Bytes> s = {Encoded("public.png", 1),
                          Encoded("public.png", 3),
                          Encoded("com.compuserve.gif", 3),
                          Encoded("org.webmproject.webp", 1),
                          Encoded("org.webmproject.webp", 2),
                          Encoded("public.tiff", 2),
                          Encoded("com.microsoft.bmp", 1),
                          Encoded("public.jpeg", 1, Value::map({{kCGImagePropertyOrientation, 3}})),
                          RawEncodeJPEG(Pattern(37, 23, false), 80, true)};
  return s;
}

// Everything a reader would do with a source; must never crash or overread.
void Exercise(const CGImageSourceRef& source) {
  if (!source) return;
  CGImageSourceCopyProperties(source);
  const size_t n = std::min<size_t>(CGImageSourceGetCount(source), 4);
  for (size_t i = 0; i < n; ++i) {
    CGImageSourceCopyPropertiesAtIndex(source, i);
    if (auto image = CGImageSourceCreateImageAtIndex(source, i, kNow)) image->pixelData();
    CGImageSourceCreateThumbnailAtIndex(
        source, i,
        Value::map({{kCGImageSourceCreateThumbnailFromImageAlways, true},
                    {kCGImageSourceThumbnailMaxPixelSize, 8},
                    {kCGImageSourceCreateThumbnailWithTransform, true}}));
  }
}

}  // namespace

using UntrustedDataTest = PlatformTest;

TEST_F(UntrustedDataTest, IncrementalDecodingEndsEqualToOneShot) {
  std::mt19937 rng(7);
  for (const Bytes& sample : Samples()) {
    auto whole = SourceOf(sample);
    ASSERT_TRUE(whole);
    const size_t frames = CGImageSourceGetCount(whole);
    auto source = CGImageSourceCreateIncremental();
    EXPECT_EQ(CGImageSourceGetStatus(source), kCGImageStatusReadingHeader);
    size_t given = 0;
    while (given < sample.size()) {
      given = std::min(sample.size(), given + 1 + rng() % (sample.size() / 5 + 1));
      const bool final = given == sample.size();
      CGImageSourceUpdateBytes(source, Shared(Bytes(sample.begin(), sample.begin() + given)),
                               final);
      if (!final) {
        const auto status = CGImageSourceGetStatus(source);
        EXPECT_TRUE(status == kCGImageStatusIncomplete || status == kCGImageStatusReadingHeader)
            << CGImageSourceGetType(whole) << " status " << status << " at " << given;
        EXPECT_LE(CGImageSourceGetCount(source), frames);
        Exercise(source);
      }
    }
    EXPECT_EQ(CGImageSourceGetStatus(source), kCGImageStatusComplete);
    ASSERT_EQ(CGImageSourceGetCount(source), frames);
    EXPECT_EQ(CGImageSourceGetType(source), CGImageSourceGetType(whole));
    for (size_t i = 0; i < frames; ++i) {
      EXPECT_EQ(MaxDifference(Pixels(CGImageSourceCreateImageAtIndex(source, i)),
                              Pixels(CGImageSourceCreateImageAtIndex(whole, i))),
                0)
          << CGImageSourceGetType(whole) << " frame " << i;
    }
    // Data after the final update is ignored.
    CGImageSourceUpdateBytes(source, Shared(Bytes(10, 0)), true);
    EXPECT_EQ(CGImageSourceGetCount(source), frames);
  }
}

TEST_F(UntrustedDataTest, PartialFirstFrameShowsWhatHasArrived) {
  const Bytes png = RawEncodePNG(Pattern(64, 64, false));
  auto source = CGImageSourceCreateIncremental();
  CGImageSourceUpdateBytes(source, Shared(Bytes(png.begin(), png.begin() + png.size() / 2)), false);
  EXPECT_EQ(CGImageSourceGetStatus(source), kCGImageStatusIncomplete);
  ASSERT_EQ(CGImageSourceGetCount(source), 1u);
  auto partial = CGImageSourceCreateImageAtIndex(source, 0, kNow);
  ASSERT_TRUE(partial);
  const ImageBitmap b = Pixels(partial);
  const ImageBitmap full = Pattern(64, 64, false);
  EXPECT_EQ(std::vector<uint8_t>(b.row(0), b.row(0) + 64 * 4),
            std::vector<uint8_t>(full.row(0), full.row(0) + 64 * 4));
}

TEST_F(UntrustedDataTest, TruncatedAndCorruptedFilesNeverCrash) {
  std::mt19937 rng(11);
  for (const Bytes& sample : Samples()) {
    for (int i = 0; i < 40; ++i) {
      Bytes cut(sample.begin(), sample.begin() + rng() % sample.size());
      Exercise(SourceOf(cut));
      Bytes flipped = sample;
      for (int k = 0; k < 1 + int(rng() % 4); ++k)
        flipped[rng() % flipped.size()] ^= uint8_t(1 + rng() % 255);
      Exercise(SourceOf(flipped));
    }
  }
}

TEST_F(UntrustedDataTest, OversizedAndBombImagesAreRefused) {
  // PNG claiming 16384 x 4000 pixels from a few bytes of data.
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr = BE32(16384);
  Bytes h = BE32(4000);
  ihdr.insert(ihdr.end(), h.begin(), h.end());
  ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
  AppendChunk(png, "IHDR", ihdr);
  AppendChunk(png, "IDAT", ZlibRows(Solid(1, 1, 0, 0, 0)));
  AppendChunk(png, "IEND", {});
  EXPECT_FALSE(SourceOf(png));
  // Larger than any side allows.
  Bytes huge = png;
  huge[16] = 0x00;
  huge[17] = 0x01;  // width 65536 + ...
  EXPECT_FALSE(SourceOf(huge));
  // GIF with a 16000 x 16000 canvas and one pixel of data.
  Bytes gif = {'G', 'I', 'F', '8', '9', 'a', 0x80, 0x3E, 0x80, 0x3E, 0,    0,    0, 0x2C, 0,
               0,   0,   0,   1,   0,   1,   0,    0,    2,    2,    0x44, 0x01, 0, 0x3B};
  EXPECT_FALSE(SourceOf(gif));
  // JPEG whose frame header claims 16000 x 16000 pixels.
  Bytes jpeg = RawEncodeJPEG(Pattern(8, 8, false), 50, false);
  for (size_t i = 2; i + 9 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
      jpeg[i + 5] = 0x3E;
      jpeg[i + 6] = 0x80;
      jpeg[i + 7] = 0x3E;
      jpeg[i + 8] = 0x80;
      break;
    }
  }
  EXPECT_FALSE(SourceOf(jpeg));
  // BMP claiming 16000 x 16000 pixels of 24 bits with no pixel data.
  Bytes bmp = {'B',  'M',  0, 0, 0,    0,    0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0,
               0x80, 0x3E, 0, 0, 0x80, 0x3E, 0, 0, 1, 0, 24, 0, 0, 0, 0,  0, 0, 0,
               0,    0,    0, 0, 0,    0,    0, 0, 0, 0, 0,  0, 0, 0, 0,  0, 0, 0};
  EXPECT_FALSE(SourceOf(bmp));
  // Random bytes behind every signature.
  std::mt19937 rng(3);
  for (const Bytes& magic :
       {Bytes{0xFF, 0xD8, 0xFF}, Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'},
        Bytes{'G', 'I', 'F', '8', '9', 'a'}, Bytes{'I', 'I', 42, 0}, Bytes{'B', 'M'},
        Bytes{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B', 'P'},
        Bytes{0, 0, 0, 24, 'f', 't', 'y', 'p', 'h', 'e', 'i', 'c'}}) {
    for (int i = 0; i < 30; ++i) {
      Bytes data = magic;
      for (int k = 0; k < 64; ++k) data.push_back(uint8_t(rng()));
      Exercise(SourceOf(data));
    }
  }
}

namespace {

// The data with a side of `side` pixels written at both offsets.
Bytes Square(Bytes data, size_t widthAt, size_t heightAt, uint16_t side, bool bigEndian) {
  for (size_t at : {widthAt, heightAt}) {
    data[at] = uint8_t(bigEndian ? side >> 8 : side);
    data[at + 1] = uint8_t(bigEndian ? side : side >> 8);
  }
  return data;
}

}  // namespace

TEST_F(UntrustedDataTest, BombChecksRefuseWhatTheSizeCapsAllow) {
  // 8000 x 8000 is within every size cap: only the data being far too small
  // for the pixels refuses these. At 1000 x 1000 the same data is accepted.
  const Bytes gif = {'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0, 0,    0,    0, 0x2C, 0,
                     0,   0,   0,   1,   0,   1,   0, 0, 2, 2, 0x44, 0x01, 0, 0x3B};
  Bytes jpeg = RawEncodeJPEG(Pattern(8, 8, false), 50, false);
  size_t sof = 2;
  while (!(jpeg[sof] == 0xFF && jpeg[sof + 1] == 0xC0)) ++sof;
  Bytes bmp = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 0, 0, 0, 0, 0, 0,
               0,   0,   1, 0, 24, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
               0,   0,   0, 0, 0,  0};
  bmp.resize(bmp.size() + 64, 0x80);  // the first pixels
  const std::vector<std::pair<const char*, std::function<Bytes(uint16_t)>>> cases = {
      {"gif", [&](uint16_t s) { return Square(gif, 6, 8, s, false); }},
      {"jpeg", [&](uint16_t s) { return Square(jpeg, sof + 5, sof + 7, s, true); }},
      {"bmp", [&](uint16_t s) { return Square(bmp, 18, 22, s, false); }},
  };
  for (const auto& [name, sized] : cases) {
    EXPECT_TRUE(ImageSizeAllowed(8000, 8000));
    EXPECT_FALSE(SourceOf(sized(8000))) << name;
    EXPECT_TRUE(SourceOf(sized(1000))) << name;
  }
}

}  // namespace untrusted_data_test
