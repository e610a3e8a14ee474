#include <gtest/gtest.h>

#include <algorithm>

#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/ExifMetadata.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/imageio/internal/JPEGMetadataWriter.h"
#include "platform/imageio/ImageIOTestSupport.h"
#include "support/TestEnvironment.h"

using namespace imageio_test;

namespace {

using JPEGMetadataWriterTest = PlatformTest;

// The bytes from the first scan header on: the coded image.
Bytes ScanOnwards(const Bytes& jpeg) {
  for (size_t i = 2; i + 1 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) return Bytes(jpeg.begin() + i, jpeg.end());
  }
  return {};
}

Value GPS() {
  return Value::map({{kCGImagePropertyGPSLatitude, 33.5},
                     {kCGImagePropertyGPSLatitudeRef, "S"},
                     {kCGImagePropertyGPSLongitude, 151.25},
                     {kCGImagePropertyGPSLongitudeRef, "E"},
                     {kCGImagePropertyGPSVersion, "2.2.0.0"},
                     {kCGImagePropertyGPSTimeStamp, "23:59:58.250000"},
                     {kCGImagePropertyGPSDateStamp, "2024:01:02"}});
}

TEST_F(JPEGMetadataWriterTest, SplicesGPSOverTheFileExifKeepingTheCodedImage) {
  ValueMap original;
  ValueMapSet(original, kCGImagePropertyExifDictionary,
              Value::map({{"PixelXDimension", Value::integer(48)}, {"DateTimeOriginal", "2020:01:01 10:00:00"}}));
  ValueMapSet(original, kCGImagePropertyTIFFDictionary, Value::map({{"Make", "Maker"}}));
  const Bytes exif = ExifWrite(original, 6);
  const Bytes jpeg = RawEncodeJPEG(Pattern(48, 32, false), 90, false, exif);

  ValueMap replacement;
  ValueMapSet(replacement, kCGImagePropertyGPSDictionary, GPS());
  ValueMapSet(replacement, kCGImagePropertyExifDictionary,
              Value::map({{"DateTimeOriginal", "2024:01:02 23:59:58"}}));
  Bytes out;
  ASSERT_TRUE(JPEGReplaceMetadata(jpeg.data(), jpeg.size(), replacement, true, out));
  EXPECT_EQ(ScanOnwards(out), ScanOnwards(jpeg));
  EXPECT_EQ(RawDecodeJPEG(out).pixels, RawDecodeJPEG(jpeg).pixels);

  // Read back by the image source: the new keys, the file's other keys, the orientation.
  Value props = CGImageSourceCopyPropertiesAtIndex(SourceOf(out), 0);
  const Value* gps = props.find(kCGImagePropertyGPSDictionary);
  ASSERT_TRUE(gps && gps->isMap());
  EXPECT_NEAR(gps->find(kCGImagePropertyGPSLatitude)->asDouble(), 33.5, 1e-6);
  EXPECT_EQ(gps->find(kCGImagePropertyGPSLatitudeRef)->asString(), "S");
  EXPECT_NEAR(gps->find(kCGImagePropertyGPSLongitude)->asDouble(), 151.25, 1e-6);
  EXPECT_EQ(gps->find(kCGImagePropertyGPSDateStamp)->asString(), "2024:01:02");
  const Value* exifDict = props.find(kCGImagePropertyExifDictionary);
  ASSERT_TRUE(exifDict);
  EXPECT_EQ(exifDict->find("DateTimeOriginal")->asString(), "2024:01:02 23:59:58");
  EXPECT_EQ(exifDict->find("PixelXDimension")->asInt64(), 48);
  EXPECT_EQ(props.find(kCGImagePropertyTIFFDictionary)->find("Make")->asString(), "Maker");
  EXPECT_EQ(props.find(kCGImagePropertyOrientation)->asInt64(), 6);

  // Without merging, the given dictionaries are all the file keeps.
  Bytes replaced;
  ASSERT_TRUE(JPEGReplaceMetadata(jpeg.data(), jpeg.size(), replacement, false, replaced));
  EXPECT_EQ(ScanOnwards(replaced), ScanOnwards(jpeg));
  Value only = CGImageSourceCopyPropertiesAtIndex(SourceOf(replaced), 0);
  EXPECT_FALSE(only.find(kCGImagePropertyTIFFDictionary));
  EXPECT_FALSE(only.find(kCGImagePropertyOrientation));
  EXPECT_FALSE(only.find(kCGImagePropertyExifDictionary)->find("PixelXDimension"));
  EXPECT_TRUE(only.find(kCGImagePropertyGPSDictionary));

  // One EXIF segment only, after the JFIF one.
  size_t exifSegments = 0;
  for (size_t i = 0; i + 10 < out.size(); ++i) {
    if (out[i] == 0xFF && out[i + 1] == 0xE1 && std::equal(out.begin() + i + 4, out.begin() + i + 8, "Exif")) ++exifSegments;
  }
  EXPECT_EQ(exifSegments, 1u);
  EXPECT_EQ(out[2], 0xFF);
  EXPECT_EQ(out[3], 0xE0);
}

TEST_F(JPEGMetadataWriterTest, AddsExifToAFileWithoutAndRefusesBrokenHeaders) {
  const Bytes jpeg = RawEncodeJPEG(Pattern(16, 16, false), 80, true);
  ValueMap replacement;
  ValueMapSet(replacement, kCGImagePropertyGPSDictionary, GPS());
  ValueMapSet(replacement, kCGImagePropertyOrientation, Value::integer(3));
  Bytes out;
  ASSERT_TRUE(JPEGReplaceMetadata(jpeg.data(), jpeg.size(), replacement, true, out));
  EXPECT_EQ(ScanOnwards(out), ScanOnwards(jpeg));
  Value props = CGImageSourceCopyPropertiesAtIndex(SourceOf(out), 0);
  EXPECT_EQ(props.find(kCGImagePropertyOrientation)->asInt64(), 3);
  EXPECT_TRUE(props.find(kCGImagePropertyGPSDictionary));

  Bytes untouched = {1, 2, 3};
  // A segment length running past the end, a missing start marker, no scan at all.
  Bytes cut(jpeg.begin(), jpeg.begin() + 8);
  Bytes noSOI(jpeg.begin() + 2, jpeg.end());
  Bytes noScan(jpeg.begin(), jpeg.begin() + 20);
  // The scan header one byte short of the length it declares.
  const size_t scan = jpeg.size() - ScanOnwards(jpeg).size();
  const size_t scanLength = (size_t(jpeg[scan + 2]) << 8) | jpeg[scan + 3];
  Bytes shortScan(jpeg.begin(), jpeg.begin() + scan + 1 + scanLength);
  for (const Bytes* bad : {&cut, &noSOI, &noScan, &shortScan}) {
    EXPECT_FALSE(JPEGReplaceMetadata(bad->data(), bad->size(), replacement, true, untouched));
  }
  EXPECT_EQ(untouched, (Bytes{1, 2, 3}));
  // A block over the 64 KB a segment can hold is refused, not truncated.
  ValueMap huge;
  ValueMapSet(huge, kCGImagePropertyTIFFDictionary,
              Value::map({{"ImageDescription", std::string(70000, 'x')}}));
  EXPECT_FALSE(JPEGReplaceMetadata(jpeg.data(), jpeg.size(), huge, false, untouched));
}

TEST_F(JPEGMetadataWriterTest, DestinationCopiesJPEGLosslesslyAndReencodesOtherTypes) {
  const Bytes jpeg = RawEncodeJPEG(Pattern(40, 30, false), 85, false);
  ValueMap metadata;
  ValueMapSet(metadata, kCGImagePropertyGPSDictionary, GPS());
  auto data = std::make_shared<Bytes>();
  auto dest = CGImageDestinationCreateWithData(data, "public.jpeg", 1);
  const Value options = Value::map({{kCGImageDestinationMetadata, Value(metadata)},
                                    {kCGImageDestinationMergeMetadata, true}});
  ASSERT_TRUE(CGImageDestinationCopyImageSource(dest, SourceOf(jpeg), options));
  EXPECT_EQ(ScanOnwards(*data), ScanOnwards(jpeg));
  EXPECT_FALSE(CGImageDestinationCopyImageSource(dest, SourceOf(jpeg), options));

  // PNG into JPEG: encoded again, still carrying the GPS dictionary.
  auto png = RawEncodePNG(Pattern(20, 10, false));
  auto data2 = std::make_shared<Bytes>();
  auto dest2 = CGImageDestinationCreateWithData(data2, "public.jpeg", 1);
  ASSERT_TRUE(CGImageDestinationCopyImageSource(dest2, SourceOf(png), options));
  Value props = CGImageSourceCopyPropertiesAtIndex(SourceOf(*data2), 0);
  EXPECT_EQ(props.find(kCGImagePropertyPixelWidth)->asInt64(), 20);
  EXPECT_TRUE(props.find(kCGImagePropertyGPSDictionary));
}

}  // namespace
