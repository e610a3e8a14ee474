#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "AllocationCounter.h"
#include "ImageIOTestSupport.h"
#include "platform/coregraphics/CGColor.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/ExifMetadata.h"
#include "platform/imageio/ImageDecoder.h"
#include "platform/imageio/ImageIOProperties.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

namespace image_destination_test {

using namespace imageio_test;

namespace {

Bytes Encode(const std::string& type, const std::vector<ImageBitmap>& frames,
             const Value& frameProps = Value(), const Value& container = Value()) {
  auto data = std::make_shared<Bytes>();
  auto dest = CGImageDestinationCreateWithData(data, type, frames.size());
  EXPECT_TRUE(dest) << type;
  if (!dest) return {};
  CGImageDestinationSetProperties(dest, container);
  for (const auto& f : frames) CGImageDestinationAddImage(dest, MakeImage(f), frameProps);
  EXPECT_TRUE(CGImageDestinationFinalize(dest)) << type;
  return *data;
}

double MeanDifference(const ImageBitmap& a, const ImageBitmap& b) {
  if (a.pixels.size() != b.pixels.size() || a.pixels.empty()) return 1e9;
  double sum = 0;
  for (size_t i = 0; i < a.pixels.size(); ++i) sum += std::abs(a.pixels[i] - b.pixels[i]);
  return sum / double(a.pixels.size());
}

ImageBitmap FewColours(uint32_t w, uint32_t h, uint32_t seed, bool alpha) {
  ImageBitmap b = Pattern(w, h, false, seed);
  for (size_t i = 0; i < b.pixels.size(); i += 4) {
    for (int c = 0; c < 3; ++c) b.pixels[i + c] = uint8_t(b.pixels[i + c] & 0xC0);
    if (alpha && (i / 4) % 7 == 0)
      b.pixels[i] = b.pixels[i + 1] = b.pixels[i + 2] = b.pixels[i + 3] = 0;
  }
  b.hasAlpha = alpha;
  return b;
}

}  // namespace

using ImageDestinationTest = PlatformTest;

TEST_F(ImageDestinationTest, LosslessFormatsRoundTripExactly) {
  const ImageBitmap alpha = Pattern(31, 19, true);
  for (const char* type :
       {"public.png", "public.tiff", "com.microsoft.bmp", "org.webmproject.webp"}) {
    const Value props = Value::map({{kCGImageDestinationLossyCompressionQuality, 1.0}});
    const Bytes data = Encode(type, {alpha}, props);
    auto source = SourceOf(data);
    ASSERT_TRUE(source) << type;
    EXPECT_EQ(CGImageSourceGetType(source), type);
    EXPECT_EQ(MaxDifference(Pixels(CGImageSourceCreateImageAtIndex(source, 0)), alpha), 0) << type;
  }
  // A GIF of few colours with transparency keeps every pixel.
  const ImageBitmap few = FewColours(20, 12, 0, true);
  auto gif = SourceOf(Encode("com.compuserve.gif", {few}));
  ASSERT_TRUE(gif);
  EXPECT_EQ(MaxDifference(Pixels(CGImageSourceCreateImageAtIndex(gif, 0)), few), 0);
}

TEST_F(ImageDestinationTest, LossyQualityAndRequestedFileSize) {
  const ImageBitmap b = Pattern(120, 90, false);
  const Bytes high =
      Encode("public.jpeg", {b}, Value::map({{kCGImageDestinationLossyCompressionQuality, 0.95}}));
  const Bytes low =
      Encode("public.jpeg", {b}, Value::map({{kCGImageDestinationLossyCompressionQuality, 0.2}}));
  EXPECT_LT(low.size(), high.size());
  EXPECT_LT(MeanDifference(Pixels(CGImageSourceCreateImageAtIndex(SourceOf(high), 0)), b),
            MeanDifference(Pixels(CGImageSourceCreateImageAtIndex(SourceOf(low), 0)), b));
  // As close as libjpeg itself gets at that quality.
  EXPECT_LE(MeanDifference(Pixels(CGImageSourceCreateImageAtIndex(SourceOf(high), 0)), b),
            MeanDifference(RawDecodeJPEG(RawEncodeJPEG(b, 95, false)), b) + 0.5);
  const size_t target = (low.size() + high.size()) / 2;
  const Bytes sized = Encode("public.jpeg", {b},
                             Value::map({{kCGImageDestinationRequestedFileSize, int64_t(target)}}));
  EXPECT_LE(sized.size(), target);
  EXPECT_GT(sized.size(), low.size() / 2);
  // Largest side capped, aspect kept.
  auto capped = CGImageSourceCreateImageAtIndex(
      SourceOf(Encode("public.png", {b}, Value::map({{kCGImageDestinationImageMaxPixelSize, 60}}))),
      0);
  EXPECT_EQ(capped->width(), 60u);
  EXPECT_EQ(capped->height(), 45u);
  // Transparent pixels in a JPEG take the background colour.
  const Bytes jpeg = Encode(
      "public.jpeg", {Solid(16, 16, 0, 0, 0, 0)},
      Value::map({{kCGImageDestinationBackgroundColor,
                   Value(std::static_pointer_cast<NSObject>(CGColorCreateSRGB(1, 1, 1, 1)))}}));
  const ImageBitmap white = Pixels(CGImageSourceCreateImageAtIndex(SourceOf(jpeg), 0));
  EXPECT_GT(white.pixels[0], 250);
}

TEST_F(ImageDestinationTest, AnimationsKeepFramesDelaysAndLoopCount) {
  std::vector<ImageBitmap> frames = {FewColours(16, 10, 0, false), FewColours(16, 10, 90, true),
                                     FewColours(16, 10, 170, false)};
  struct Case {
    const char* type;
    const char* dict;
  };
  for (const Case& c : {Case{"com.compuserve.gif", kCGImagePropertyGIFDictionary},
                        Case{"public.png", kCGImagePropertyPNGDictionary},
                        Case{"org.webmproject.webp", kCGImagePropertyWebPDictionary}}) {
    auto data = std::make_shared<Bytes>();
    auto dest = CGImageDestinationCreateWithData(data, c.type, 3);
    CGImageDestinationSetProperties(
        dest, Value::map({{c.dict, Value::map({{"LoopCount", 4}})},
                          {kCGImageDestinationLossyCompressionQuality, 1.0}}));
    const double delays[3] = {0.05, 0.2, 0.5};
    for (int i = 0; i < 3; ++i) {
      CGImageDestinationAddImage(dest, MakeImage(frames[i]),
                                 Value::map({{c.dict, Value::map({{"DelayTime", delays[i]}})}}));
    }
    ASSERT_TRUE(CGImageDestinationFinalize(dest)) << c.type;
    auto source = SourceOf(*data);
    ASSERT_TRUE(source) << c.type;
    ASSERT_EQ(CGImageSourceGetCount(source), 3u) << c.type;
    EXPECT_EQ(CGImageSourceCopyProperties(source).find(c.dict)->find("LoopCount")->asInt64(), 4)
        << c.type;
    for (size_t i = 0; i < 3; ++i) {
      const Value p = CGImageSourceCopyPropertiesAtIndex(source, i);
      EXPECT_NEAR(p.find(c.dict)->find("DelayTime")->asDouble(), delays[i], 1e-9) << c.type << i;
      EXPECT_EQ(MaxDifference(Pixels(CGImageSourceCreateImageAtIndex(source, i)), frames[i]), 0)
          << c.type << " frame " << i;
    }
  }
}

TEST_F(ImageDestinationTest, MetadataIsWrittenAndReadBack) {
  const Value gps = Value::map({{kCGImagePropertyGPSLatitude, 48.8583},
                                {kCGImagePropertyGPSLatitudeRef, "N"},
                                {kCGImagePropertyGPSLongitude, 2.2945},
                                {kCGImagePropertyGPSLongitudeRef, "E"},
                                {kCGImagePropertyGPSAltitude, 35.5},
                                {kCGImagePropertyGPSAltitudeRef, 0},
                                {kCGImagePropertyGPSTimeStamp, "12:34:56.250000"},
                                {kCGImagePropertyGPSDateStamp, "2024:05:06"},
                                {kCGImagePropertyGPSVersion, "2.2.0.0"}});
  const Value props = Value::map(
      {{kCGImagePropertyOrientation, 8},
       {kCGImagePropertyGPSDictionary, gps},
       {kCGImagePropertyExifDictionary, Value::map({{"DateTimeOriginal", "2024:05:06 12:34:56"}})},
       {kCGImagePropertyTIFFDictionary, Value::map({{"Model", "QX-1"}})}});
  for (const char* type : {"public.jpeg", "public.png", "org.webmproject.webp"}) {
    const Bytes data = Encode(type, {Pattern(10, 6, false)}, props);
    const Value read = CGImageSourceCopyPropertiesAtIndex(SourceOf(data), 0);
    EXPECT_EQ(read.find(kCGImagePropertyOrientation)->asInt64(), 8) << type;
    const Value* g = read.find(kCGImagePropertyGPSDictionary);
    ASSERT_TRUE(g) << type;
    EXPECT_NEAR(g->find("Latitude")->asDouble(), 48.8583, 1e-6);
    EXPECT_EQ(g->find("LongitudeRef")->asString(), "E");
    EXPECT_DOUBLE_EQ(g->find("Altitude")->asDouble(), 35.5);
    EXPECT_EQ(g->find("TimeStamp")->asString(), "12:34:56.25");
    EXPECT_EQ(g->find("DateStamp")->asString(), "2024:05:06");
    EXPECT_EQ(*g->find("GPSVersion"), Value::list({2, 2, 0, 0}));
    EXPECT_EQ(read.find(kCGImagePropertyExifDictionary)->find("DateTimeOriginal")->asString(),
              "2024:05:06 12:34:56");
    EXPECT_EQ(read.find(kCGImagePropertyTIFFDictionary)->find("Model")->asString(), "QX-1");
  }
  // Copying an image with its read properties plus new ones keeps both.
  const Bytes original = Encode("public.jpeg", {Pattern(10, 6, false)}, props);
  auto data = std::make_shared<Bytes>();
  auto dest = CGImageDestinationCreateWithData(data, "public.jpeg", 1);
  CGImageDestinationAddImageFromSource(
      dest, SourceOf(original), 0,
      Value::map({{kCGImagePropertyGPSDictionary,
                   Value::map({{"Latitude", 1.5}, {"LatitudeRef", "S"}})}}));
  ASSERT_TRUE(CGImageDestinationFinalize(dest));
  const Value copied = CGImageSourceCopyPropertiesAtIndex(SourceOf(*data), 0);
  EXPECT_EQ(copied.find(kCGImagePropertyOrientation)->asInt64(), 8);
  EXPECT_DOUBLE_EQ(copied.find(kCGImagePropertyGPSDictionary)->find("Latitude")->asDouble(), 1.5);
}

TEST_F(ImageDestinationTest, MisuseFailsCleanly) {
  EXPECT_FALSE(CGImageDestinationCreateWithData(std::make_shared<Bytes>(), "public.plain-text", 1));
  EXPECT_FALSE(CGImageDestinationCreateWithData(std::make_shared<Bytes>(), "public.png", 0));
  EXPECT_FALSE(CGImageDestinationCreateWithData(nullptr, "public.png", 1));
  auto data = std::make_shared<Bytes>(Bytes{1, 2, 3});
  auto dest = CGImageDestinationCreateWithData(data, "public.png", 1);
  EXPECT_FALSE(CGImageDestinationFinalize(dest)) << "nothing added";
  EXPECT_EQ(*data, (Bytes{1, 2, 3}));
  dest = CGImageDestinationCreateWithData(data, "public.png", 1);
  CGImageDestinationAddImage(dest, MakeImage(Pattern(2, 2, false)));
  CGImageDestinationAddImage(dest, MakeImage(Pattern(2, 2, false)));
  EXPECT_FALSE(CGImageDestinationFinalize(dest)) << "more images than declared";
  dest = CGImageDestinationCreateWithData(data, "public.png", 1);
  CGImageDestinationAddImage(dest, MakeImage(Pattern(2, 2, false)));
  EXPECT_TRUE(CGImageDestinationFinalize(dest));
  EXPECT_FALSE(CGImageDestinationFinalize(dest)) << "once only";
  const auto types = CGImageDestinationCopyTypeIdentifiers();
  EXPECT_NE(std::find(types.begin(), types.end(), "com.compuserve.gif"), types.end());
  EXPECT_EQ(std::find(types.begin(), types.end(), "public.heics"), types.end());
  // A file destination writes atomically.
  TempFolder folder;
  const std::string path = folder.path() + "/qx_dest.png";
  auto file = CGImageDestinationCreateWithURL(path, "public.png", 1);
  CGImageDestinationAddImage(file, MakeImage(Pattern(3, 3, true)));
  ASSERT_TRUE(CGImageDestinationFinalize(file));
  EXPECT_TRUE(CGImageSourceCreateWithURL(path));
}

// A lazy bitmap whose decode fails, of any declared size.
CGImageRef FailingImage(size_t w, size_t h, uint32_t info = kCGImageAlphaNoneSkipLast) {
  return CGImage::createLazy(w, h, 8, 32, w * 4, info,
                             [] { return std::shared_ptr<const Bytes>(); });
}

TEST_F(ImageDestinationTest, AnImageWhosePixelsCannotBeMadeIsNeverEncoded) {
  // Every format, to memory and to a file: nothing is encoded, nothing
  // written, and the data given keeps what it held.
  TempFolder folder;
  for (const std::string& type : CGImageDestinationCopyTypeIdentifiers()) {
    SCOPED_TRACE(type);
    auto data = std::make_shared<Bytes>(Bytes{1, 2, 3});
    auto dest = CGImageDestinationCreateWithData(data, type, 1);
    ASSERT_TRUE(dest);
    CGImageDestinationAddImage(dest, FailingImage(6, 5));
    EXPECT_FALSE(CGImageDestinationFinalize(dest));
    EXPECT_EQ(*data, (Bytes{1, 2, 3}));
    const std::string path = folder.path() + "/failed";
    auto file = CGImageDestinationCreateWithURL(path, type, 1);
    CGImageDestinationAddImage(file, FailingImage(6, 5, kCGImageAlphaPremultipliedLast));
    EXPECT_FALSE(CGImageDestinationFinalize(file));
    EXPECT_FALSE(std::ifstream(path).good());
  }
  // One frame of an animation without pixels fails the whole file rather
  // than leaving that frame out.
  auto data = std::make_shared<Bytes>();
  auto gif = CGImageDestinationCreateWithData(data, "com.compuserve.gif", 2);
  CGImageDestinationAddImage(gif, MakeImage(Pattern(6, 5, false)));
  CGImageDestinationAddImage(gif, FailingImage(6, 5));
  EXPECT_FALSE(CGImageDestinationFinalize(gif));
  EXPECT_TRUE(data->empty());
}

TEST_F(ImageDestinationTest, AFailedDecodeOfAPhotoSizedImageCostsNoBitmapOfItsSize) {
  // 8192 x 8192: 256 MiB of pixels. JPEG copies the bitmap; a single PNG this
  // large reads the bitmap in place. Neither may be handed zeros of that size.
  const uint64_t imageBytes = uint64_t{8192} * 8192 * 4;
  for (const char* type : {"public.jpeg", "public.png"}) {
    SCOPED_TRACE(type);
    auto data = std::make_shared<Bytes>();
    auto dest = CGImageDestinationCreateWithData(data, type, 1);
    AllocationCounter counter;
    CGImageDestinationAddImage(dest, FailingImage(8192, 8192));
    EXPECT_FALSE(CGImageDestinationFinalize(dest));
    EXPECT_LT(counter.peakBytes(), imageBytes / 256);
  }
}

TEST_F(ImageDestinationTest, DelaysBeyondTheFormatSaturate) {
  const std::vector<ImageBitmap> frames = {FewColours(8, 8, 0, false), FewColours(8, 8, 90, false)};
  struct Case {
    const char* type;
    const char* dict;
    double delay, expected;
  };
  // GIF holds hundredths in 16 bits, animated PNG a fraction of 16-bit terms, WebP
  // 24-bit milliseconds (and the running time must not wrap an int).
  for (const Case& c :
       {Case{"com.compuserve.gif", kCGImagePropertyGIFDictionary, 1e12, 655.35},
        Case{"public.png", kCGImagePropertyPNGDictionary, 1e300, 65535},
        Case{"public.png", kCGImagePropertyPNGDictionary, 700.5, 700.5},
        Case{"org.webmproject.webp", kCGImagePropertyWebPDictionary, 3e6, 16777.215}}) {
    const Value props = Value::map({{c.dict, Value::map({{"DelayTime", c.delay}})}});
    auto source = SourceOf(Encode(c.type, frames, props));
    ASSERT_TRUE(source) << c.type;
    for (size_t i = 0; i < 2; ++i) {
      const Value read = CGImageSourceCopyPropertiesAtIndex(source, i);
      EXPECT_NEAR(read.find(c.dict)->find("UnclampedDelayTime")->asDouble(), c.expected, 1e-9)
          << c.type << " " << c.delay;
    }
  }
}

TEST_F(ImageDestinationTest, PNGCarriesOneExifChunk) {
  const Bytes png =
      Encode("public.png", {Pattern(4, 4, false)}, Value::map({{kCGImagePropertyOrientation, 6}}));
  size_t chunks = 0;
  for (size_t pos = 8; pos + 12 <= png.size(); pos += 12 + ReadBE32(&png[pos])) {
    if (std::memcmp(&png[pos + 4], "eXIf", 4) == 0) ++chunks;
  }
  EXPECT_EQ(chunks, 1u);
  EXPECT_EQ(CGImageSourceCopyPropertiesAtIndex(SourceOf(png), 0)
                .find(kCGImagePropertyOrientation)
                ->asInt64(),
            6);
}

TEST_F(ImageDestinationTest, GeometryReadsWhatThePropertiesSay) {
  struct Case {
    const char* type;
    size_t frames;
    bool alpha;
    int orientation;  // 0: none written
    bool readsAlpha;
  };
  const Case cases[] = {
      {"public.png", 1, false, 0, false},         {"public.png", 1, true, 6, true},
      {"public.png", 2, false, 8, true},  // animated: alpha whatever the pixels
      {"public.jpeg", 1, false, 8, false},        {"public.jpeg", 1, true, 0, false},
      {"org.webmproject.webp", 1, true, 3, true}, {"com.compuserve.gif", 3, false, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " frames " + std::to_string(c.frames) + " orientation " +
                 std::to_string(c.orientation));
    const Value props =
        c.orientation ? Value::map({{kCGImagePropertyOrientation, c.orientation}}) : Value();
    const Bytes data =
        Encode(c.type, std::vector<ImageBitmap>(c.frames, Pattern(10, 6, c.alpha)), props);
    CGImageSourceRef source = SourceOf(data);
    const size_t count = CGImageSourceGetCount(source);
    EXPECT_EQ(count, c.frames);
    for (size_t index = 0; index <= count; ++index) {
      CGImageSourceImageGeometry geometry;
      geometry.count = 99;
      const bool found = CGImageSourceGetGeometryAtIndex(source, index, &geometry);
      EXPECT_EQ(geometry.count, count);
      const Value read = CGImageSourceCopyPropertiesAtIndex(source, index);
      if (index == count) {  // one past the last image
        EXPECT_FALSE(found);
        continue;
      }
      ASSERT_TRUE(found) << index;
      EXPECT_EQ(geometry.frame.width, read.find(kCGImagePropertyPixelWidth)->asInt64());
      EXPECT_EQ(geometry.frame.height, read.find(kCGImagePropertyPixelHeight)->asInt64());
      EXPECT_EQ(geometry.frame.hasAlpha, read.find(kCGImagePropertyHasAlpha)->asBool());
      EXPECT_EQ(geometry.frame.hasAlpha, c.readsAlpha);
      const Value* orientation = read.find(kCGImagePropertyOrientation);
      EXPECT_EQ(geometry.frame.orientation, orientation ? int(orientation->asInt64()) : 0);
      EXPECT_EQ(geometry.frame.orientation, c.orientation);
    }
  }
  CGImageSourceImageGeometry none;
  EXPECT_FALSE(CGImageSourceGetGeometryAtIndex(nullptr, 0, &none));
  EXPECT_EQ(none.count, 0u);

  // A PNG whose EXIF block says `orientation`, patched in where the writer
  // would refuse it.
  auto pngWithOrientation = [](uint8_t orientation) {
    Bytes exif = ExifWrite({}, 8);
    for (size_t i = 8; i + 10 <= exif.size(); ++i) {
      if (exif[i] == 0x01 && exif[i + 1] == 0x12 && exif[i + 3] == 3) exif[i + 9] = orientation;
    }
    Bytes png = RawEncodePNG(Pattern(4, 4, false));
    Bytes chunk;
    AppendChunk(chunk, "eXIf", exif);
    png.insert(png.begin() + 33, chunk.begin(), chunk.end());  // after the header chunk
    return png;
  };
  // Out of 1-8 is none, as the properties read it.
  for (uint8_t orientation : {8, 9, 0}) {
    const Bytes png = pngWithOrientation(orientation);
    CGImageSourceImageGeometry geometry;
    ASSERT_TRUE(CGImageSourceGetGeometryAtIndex(SourceOf(png), 0, &geometry));
    EXPECT_EQ(geometry.frame.orientation, orientation == 8 ? 8 : 0) << int(orientation);
    const Value read = CGImageSourceCopyPropertiesAtIndex(SourceOf(png), 0);
    EXPECT_EQ(read.find(kCGImagePropertyOrientation) != nullptr, orientation == 8)
        << int(orientation);
  }
}

TEST_F(ImageDestinationTest, ExifFieldsOutOfRangeAreHeldNotWrapped) {
  // Numbers the caller gives beyond a field's range (and a GPS time whose
  // hour no int holds, read back) neither wrap nor stop the process.
  const Value props = Value::map(
      {{kCGImagePropertyExifDictionary,
        Value::map({{"ISOSpeedRatings", Value::list({-5.0, 1e20})}, {"ExifVersion", "0232"}})},
       {kCGImagePropertyTIFFDictionary, Value::map({{"ResolutionUnit", 1e10}})}});
  const Bytes exif = ExifWrite(props.asMap(), 0);
  ExifData read;
  ASSERT_TRUE(ExifParse(exif.data(), exif.size(), read));
  EXPECT_EQ(*ValueMapFind(read.exif, "ISOSpeedRatings"), Value::list({0, 65535}));
  EXPECT_EQ(ValueMapFind(read.tiff, "ResolutionUnit")->asInt64(), 65535);

  // Big-endian block: IFD0 points at a GPS directory with TimeStamp
  // 4294967295/1 h, 4000000000/2 min, 5/2 s.
  Bytes gps = {'M', 'M', 0, 42};
  AppendBE32(gps, 8);
  AppendBE16(gps, 1);
  for (uint32_t v : {0x88250004u, 1u, 26u, 0u}) AppendBE32(gps, v);
  AppendBE16(gps, 1);
  for (uint32_t v : {0x00070005u, 3u, 44u, 0u}) AppendBE32(gps, v);
  for (uint32_t v : {0xFFFFFFFFu, 1u, 4000000000u, 2u, 5u, 2u}) AppendBE32(gps, v);
  ExifData time;
  ExifParse(gps.data(), gps.size(), time);
  const Value* stamp = ValueMapFind(time.gps, kCGImagePropertyGPSTimeStamp);
  ASSERT_TRUE(stamp);
  EXPECT_EQ(stamp->asString(), "4294967295:2000000000:02.5");
}

}  // namespace image_destination_test
