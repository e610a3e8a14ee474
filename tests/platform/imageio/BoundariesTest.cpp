// Rounding and limit boundaries of the image I/O stand-in: thumbnail sizes,
// the size and frame limits that refuse a file, resolutions and delays as
// written and read back, the encoder's quality and background colour, and
// the alpha at which a GIF pixel turns transparent.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ImageIOTestSupport.h"
#include "platform/coregraphics/CGColor.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/ImageIOProperties.h"
#include "support/TestEnvironment.h"

namespace boundaries_test {

using namespace imageio_test;

namespace {

class ImageIOBoundariesTest : public PlatformTest {};

Bytes Encode(const std::string& type, const ImageBitmap& bitmap, const Value& props = Value()) {
  auto data = std::make_shared<Bytes>();
  auto dest = CGImageDestinationCreateWithData(data, type, 1);
  EXPECT_TRUE(dest) << type;
  if (!dest) return {};
  CGImageDestinationAddImage(dest, MakeImage(bitmap), props);
  EXPECT_TRUE(CGImageDestinationFinalize(dest)) << type;
  return *data;
}

Bytes PNGSignature() { return {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}; }

Bytes IHDR(uint32_t w, uint32_t h) {
  Bytes ihdr = BE32(w);
  const Bytes hb = BE32(h);
  ihdr.insert(ihdr.end(), hb.begin(), hb.end());
  ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});  // 8-bit RGBA
  return ihdr;
}

// The bytes of the first JPEG segment of `marker` (0xDB: quantisation tables).
Bytes Segment(const Bytes& jpeg, uint8_t marker) {
  for (size_t i = 2; i + 4 <= jpeg.size() && jpeg[i] == 0xFF;) {
    const size_t length = size_t(jpeg[i + 2]) << 8 | jpeg[i + 3];
    if (i + 2 + length > jpeg.size()) break;
    if (jpeg[i + 1] == marker) return Bytes(jpeg.begin() + i, jpeg.begin() + i + 2 + length);
    i += 2 + length;
  }
  return {};
}

TEST_F(ImageIOBoundariesTest, ThumbnailSidesAreRoundedToTheNearestPixel) {
  struct Row {
    uint32_t w, h;
    double maxSize;
    uint32_t outW, outH;
  } rows[] = {
      {30, 20, 16, 16, 11},  // 10.67 rounds up
      {30, 20, 17, 17, 11},  // 11.33 rounds down
      {30, 20, 15, 15, 10}, {20, 30, 16, 11, 16},
      {30, 20, 30, 30, 20},  // exactly the longer side: unchanged
      {30, 20, 29, 29, 19},  // one less: 19.33
      {100, 1, 10, 10, 1},   // never below one pixel
  };
  for (const Row& r : rows) {
    auto source = SourceOf(RawEncodePNG(Solid(r.w, r.h, 10, 200, 30)));
    auto thumb = CGImageSourceCreateThumbnailAtIndex(
        source, 0,
        Value::map({{kCGImageSourceCreateThumbnailFromImageAlways, true},
                    {kCGImageSourceThumbnailMaxPixelSize, r.maxSize}}));
    ASSERT_TRUE(thumb) << r.w << "x" << r.h << " " << r.maxSize;
    EXPECT_EQ(thumb->width(), r.outW) << r.w << "x" << r.h << " " << r.maxSize;
    EXPECT_EQ(thumb->height(), r.outH) << r.w << "x" << r.h << " " << r.maxSize;
  }
}

TEST_F(ImageIOBoundariesTest, SourceSizeLimitsRefuseOnePastTheLargestSide) {
  struct Row {
    uint32_t w, h;
    bool accepted;
  } rows[] = {
      {65535, 1, true},      {65536, 1, false},    {1, 65535, true},
      {1, 65536, false},     {32768, 32768, true},  // exactly 2^30 pixels
      {32768, 32769, false},
  };
  for (const Row& r : rows) {
    Bytes png = PNGSignature();
    AppendChunk(png, "IHDR", IHDR(r.w, r.h));
    auto source = SourceOf(png);
    EXPECT_EQ(source && CGImageSourceGetStatus(source) != kCGImageStatusInvalidData, r.accepted)
        << r.w << "x" << r.h;
  }
}

// A GIF of `frames` one-pixel frames, alternating red and black.
Bytes TinyFramesGIF(int frames) {
  Bytes gif = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 0, 0, 0, 255, 0, 0};
  for (int i = 0; i < frames; ++i) {
    gif.insert(gif.end(), {0x21, 0xF9, 4, 4, 10, 0, 0, 0});
    gif.insert(gif.end(), {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0});
    gif.insert(gif.end(), {2, 2, uint8_t(i % 2 ? 0x44 : 0x4C), 0x01, 0});
  }
  gif.push_back(0x3B);
  return gif;
}

// `bytes` little-endian bytes of `v`, zeros past its four.
void PutLE(Bytes& b, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b.push_back(i < 4 ? uint8_t(v >> (8 * i)) : 0);
}

// An animated WebP of `frames` one-pixel frames, each the lossless image of a
// still WebP.
Bytes TinyFramesWebP(uint32_t frames) {
  const Bytes still = RawEncodeWebP(Solid(1, 1, 255, 0, 0), true);
  const Bytes vp8l(still.begin() + 12, still.end());  // its "VP8L" chunk
  Bytes body = {'W', 'E', 'B', 'P', 'V', 'P', '8', 'X'};
  PutLE(body, 10, 4);
  PutLE(body, 0x02, 4);  // animated
  PutLE(body, 0, 3);     // canvas 1 x 1
  PutLE(body, 0, 3);
  body.insert(body.end(), {'A', 'N', 'I', 'M'});
  PutLE(body, 6, 4);
  PutLE(body, 0, 6);
  for (uint32_t i = 0; i < frames; ++i) {
    body.insert(body.end(), {'A', 'N', 'M', 'F'});
    PutLE(body, uint32_t(16 + vp8l.size()), 4);
    PutLE(body, 0, 12);   // at 0, 0, one pixel
    PutLE(body, 100, 3);  // 0.1 s
    body.push_back(0);
    body.insert(body.end(), vp8l.begin(), vp8l.end());
  }
  Bytes riff = {'R', 'I', 'F', 'F'};
  PutLE(riff, uint32_t(body.size()), 4);
  riff.insert(riff.end(), body.begin(), body.end());
  return riff;
}

TEST_F(ImageIOBoundariesTest, FrameLimitsStopAtTenThousandFrames) {
  struct Row {
    uint32_t frames;
    size_t gifCount;
    bool declaredAccepted;  // animated PNG and WebP
  } rows[] = {{9999, 9999, true}, {10000, 10000, true}, {10001, 10000, false}};
  for (const Row& r : rows) {
    EXPECT_EQ(CGImageSourceGetCount(SourceOf(TinyFramesGIF(int(r.frames)))), r.gifCount)
        << r.frames;
    // An animated PNG that declares that many frames.
    Bytes png = PNGSignature();
    AppendChunk(png, "IHDR", IHDR(1, 1));
    Bytes actl = BE32(r.frames);
    const Bytes plays = BE32(0);
    actl.insert(actl.end(), plays.begin(), plays.end());
    AppendChunk(png, "acTL", actl);
    auto source = SourceOf(png);
    EXPECT_EQ(source && CGImageSourceGetStatus(source) != kCGImageStatusInvalidData,
              r.declaredAccepted)
        << r.frames;
    auto webp = SourceOf(TinyFramesWebP(r.frames));
    EXPECT_EQ(webp && CGImageSourceGetStatus(webp) != kCGImageStatusInvalidData, r.declaredAccepted)
        << r.frames;
    if (r.declaredAccepted) {
      EXPECT_EQ(CGImageSourceGetCount(webp), r.frames);
    }
  }
}

TEST_F(ImageIOBoundariesTest, ResolutionsRoundTripToTheNearestUnit) {
  struct Row {
    const char* type;
    double dpiWritten, dpiRead;
  } rows[] = {
      // PNG keeps whole pixels per metre and reads back hundredths of a dpi.
      {"public.png", 72, 72.01},  // 2834.6 -> 2835 -> 72.009
      {"public.png", 96, 96.01},  // 3779.5 -> 3780 -> 96.012
      {"public.png", 300, 300},   // 11811.02 -> 11811 -> 299.9994
      {"public.jpeg", 72.5, 73},  // JFIF keeps whole dpi
      {"public.jpeg", 72.4, 72},
  };
  for (const Row& r : rows) {
    const Bytes data = Encode(r.type, Solid(2, 2, 1, 2, 3),
                              Value::map({{kCGImagePropertyDPIWidth, r.dpiWritten},
                                          {kCGImagePropertyDPIHeight, r.dpiWritten}}));
    const Value props = CGImageSourceCopyPropertiesAtIndex(SourceOf(data), 0);
    const Value* dpi = props.find(kCGImagePropertyDPIWidth);
    ASSERT_TRUE(dpi) << r.type << " " << r.dpiWritten;
    EXPECT_DOUBLE_EQ(dpi->asDouble(), r.dpiRead) << r.type << " " << r.dpiWritten;
  }
}

// A 1x1 BMP whose header gives `ppm` pixels per metre on both axes.
Bytes BMPWithResolution(uint32_t ppm) {
  auto le32 = [](Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
  };
  Bytes b = {'B', 'M'};
  le32(b, 14 + 40 + 4);
  le32(b, 0);
  le32(b, 14 + 40);
  le32(b, 40);
  le32(b, 1);
  le32(b, 1);
  b.insert(b.end(), {1, 0, 24, 0});  // one plane, 24 bits
  le32(b, 0);
  le32(b, 4);
  le32(b, ppm);
  le32(b, ppm);
  le32(b, 0);
  le32(b, 0);
  b.insert(b.end(), {0, 0, 255, 0});  // one red pixel and its row padding
  return b;
}

TEST_F(ImageIOBoundariesTest, BMPResolutionIsTheNearestWholeDpi) {
  struct Row {
    uint32_t ppm;
    double dpi;
  } rows[] = {{2835, 72}, {3779, 96}, {3760, 96}, {3740, 95}};
  for (const Row& r : rows) {
    const Value props = CGImageSourceCopyPropertiesAtIndex(SourceOf(BMPWithResolution(r.ppm)), 0);
    const Value* dpi = props.find(kCGImagePropertyDPIWidth);
    ASSERT_TRUE(dpi) << r.ppm;
    EXPECT_EQ(dpi->asDouble(), r.dpi) << r.ppm;
  }
}

TEST_F(ImageIOBoundariesTest, GIFDelaysAreWrittenInNearestHundredths) {
  struct Row {
    double written, read;
  } rows[] = {{0.056, 0.06}, {0.054, 0.05}, {0.5, 0.5}, {655.35, 655.35}, {700, 655.35}};
  for (const Row& r : rows) {
    auto data = std::make_shared<Bytes>();
    auto dest = CGImageDestinationCreateWithData(data, "com.compuserve.gif", 2);
    const Value delay = Value::map(
        {{kCGImagePropertyGIFDictionary, Value::map({{kCGImagePropertyGIFDelayTime, r.written}})}});
    CGImageDestinationAddImage(dest, MakeImage(Solid(1, 1, 255, 0, 0)), delay);
    CGImageDestinationAddImage(dest, MakeImage(Solid(1, 1, 0, 0, 255)), delay);
    ASSERT_TRUE(CGImageDestinationFinalize(dest));
    const Value props = CGImageSourceCopyPropertiesAtIndex(SourceOf(*data), 0);
    const Value* gif = props.find(kCGImagePropertyGIFDictionary);
    ASSERT_TRUE(gif && gif->find(kCGImagePropertyGIFDelayTime)) << r.written;
    EXPECT_NEAR(gif->find(kCGImagePropertyGIFDelayTime)->asDouble(), r.read, 1e-9) << r.written;
  }
}

TEST_F(ImageIOBoundariesTest, JPEGQualityIsTheNearestWholePercent) {
  auto tables = [](double quality) {
    return Segment(Encode("public.jpeg", Pattern(16, 16, false),
                          Value::map({{kCGImageDestinationLossyCompressionQuality, quality}})),
                   0xDB);
  };
  struct Row {
    double quality, sameAs;
  } rows[] = {{0.4375, 0.44}, {0.4325, 0.43}, {0.004, 0.01}, {0.0, 0.01}, {1.5, 1.0}};
  for (const Row& r : rows) {
    const Bytes got = tables(r.quality);
    ASSERT_FALSE(got.empty()) << r.quality;
    EXPECT_EQ(got, tables(r.sameAs)) << r.quality;
  }
  EXPECT_NE(tables(0.44), tables(0.43));  // the tables tell neighbours apart
}

TEST_F(ImageIOBoundariesTest, BackgroundColourIsTheNearestByte) {
  struct Row {
    double grey;
    int byte;
  } rows[] = {{0.5, 128}, {0.498, 127}, {1.0, 255}, {0.0, 0}};
  for (const Row& r : rows) {
    const Bytes jpeg =
        Encode("public.jpeg", Solid(8, 8, 0, 0, 0, 0),
               Value::map({{kCGImageDestinationLossyCompressionQuality, 1.0},
                           {kCGImageDestinationBackgroundColor,
                            Value(CGColorCreateGenericRGB(r.grey, r.grey, r.grey, 1))}}));
    const ImageBitmap decoded = RawDecodeJPEG(jpeg);
    ASSERT_EQ(decoded.width, 8u) << r.grey;
    EXPECT_EQ(decoded.pixels[0], r.byte) << r.grey;
  }
}

TEST_F(ImageIOBoundariesTest, GIFPixelsTurnTransparentBelowHalfAlpha) {
  ImageBitmap b = Solid(3, 1, 255, 0, 0);
  b.hasAlpha = true;
  const uint8_t alphas[] = {127, 128, 129};
  for (int i = 0; i < 3; ++i) b.pixels[i * 4 + 3] = alphas[i];
  const ImageBitmap decoded =
      Pixels(CGImageSourceCreateImageAtIndex(SourceOf(Encode("com.compuserve.gif", b)), 0));
  ASSERT_EQ(decoded.width, 3u);
  const int expected[] = {0, 255, 255};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(decoded.pixels[i * 4 + 3], expected[i]) << int(alphas[i]);
}

}  // namespace

}  // namespace boundaries_test
