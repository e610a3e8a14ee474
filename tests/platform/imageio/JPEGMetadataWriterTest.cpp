#include <gtest/gtest.h>

#include <algorithm>

#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/ExifMetadata.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/imageio/internal/JPEGMetadataWriter.h"
#include "platform/imageio/ImageIOTestSupport.h"
#include "support/TestEnvironment.h"

namespace jpeg_metadata_writer_test {

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

// The spliced segment, byte for byte, for dictionaries a camera and callers
// give: the block's layout, the rationals and the parsing of text values must
// not drift. Each case's file is the same small JPEG, with or without an EXIF
// segment of its own; the output must be that file with only the segment
// replaced.
TEST_F(JPEGMetadataWriterTest, SplicedSegmentsAreByteExact) {
  const ImageBitmap pixels = Pattern(8, 8, false);
  const Bytes bare = RawEncodeJPEG(pixels, 75, false);
  ValueMap fileProps;
  ValueMapSet(fileProps, kCGImagePropertyTIFFDictionary, Value::map({{"Make", "Maker"}}));
  ValueMapSet(fileProps, kCGImagePropertyGPSDictionary,
              Value::map({{"Latitude", 10.0}, {"LatitudeRef", "N"}, {"Speed", 4.5}}));
  const Bytes fileExif = ExifWrite(fileProps, 6, Bytes{0xFF, 0xD8, 0xFF, 0xD9});
  const Bytes thumbnailOnly = ExifWrite({}, 0, Bytes{0xFF, 0xD8, 0xFF, 0xD9});
  ValueMap twice = {{Value("Latitude"), Value(1.5)}, {Value("Latitude"), Value(2.25)}};
  auto gps = [](Value dict, Value extra = NullValue()) {
    ValueMap m;
    ValueMapSet(m, kCGImagePropertyGPSDictionary, std::move(dict));
    if (extra.isMap()) {
      for (const auto& [k, v] : extra.asMap()) ValueMapSet(m, k, v);
    }
    return m;
  };
  struct Case {
    const char* name;
    ValueMap given;
    bool merge;
    const Bytes* fileBlock;  // the file's own EXIF block, if any
    const char* segment;  // hex, from the marker on
  };
  const Case cases[] = {
      {"south-east camera fix", gps(Value::map({{"Latitude", 33.8688}, {"LatitudeRef", "S"},
                                                {"Longitude", 151.2093}, {"LongitudeRef", "E"},
                                                {"Altitude", 12.0}, {"AltitudeRef", Value::integer(0)},
                                                {"TimeStamp", "23:59:58.250000"},
                                                {"DateStamp", "2024:01:02"}, {"GPSVersion", "2.2.0.0"}})),
       true, nullptr, "ffe100f04578696600004d4d002a00000008000188250004000000010000001a000000000009000000010000"
       "00040202000000010002000000025300000000020005000000030000008c0003000200000002450000000004"
       "000500000003000000a40005000100000001000000000006000500000001000000bc00070005000000030000"
       "00c4001d00020000000b000000dc0000000000000021000000010000003400000001000000c0000000190000"
       "0097000000010000000c0000000100000345000000190000000c0000000100000017000000010000003b0000"
       "0001000000e900000004323032343a30313a30320000"},
      {"north-west below sea level, heading",
       gps(Value::map({{"Latitude", 51.5007}, {"LatitudeRef", "N"}, {"Longitude", 0.1246},
                       {"LongitudeRef", "W"}, {"Altitude", 3.5}, {"AltitudeRef", Value::integer(1)},
                       {"TimeStamp", "00:00:00.000000"}, {"ImgDirection", 271.25},
                       {"ImgDirectionRef", "T"}})),
       true, nullptr, "ffe100ec4578696600004d4d002a00000008000188250004000000010000001a000000000009000100020000"
       "00024e00000000020005000000030000008c0003000200000002570000000004000500000003000000a40005"
       "000100000001010000000006000500000001000000bc0007000500000003000000c400100002000000025400"
       "00000011000500000001000000dc0000000000000033000000010000001e000000010000003f000000190000"
       "0000000000010000000700000001000002ca0000001900000007000000020000000000000001000000000000"
       "000100000000000000010000043d00000004"},
      {"missing keys, whole numbers", gps(Value::map({{"Latitude", 0.0}, {"LatitudeRef", "N"},
                                                      {"Speed", Value::integer(3)}})),
       false, nullptr, "ffe1006c4578696600004d4d002a00000008000188250004000000010000001a000000000003000100020000"
       "00024e000000000200050000000300000044000d0005000000010000005c0000000000000000000000010000"
       "00000000000100000000000000010000000300000001"},
      {"short and partial times, listed version",
       gps(Value::map({{"TimeStamp", "7:5"}, {"GPSVersion", Value::list({Value::integer(2), Value::integer(3)})},
                       {"DateStamp", "2024:12:31"}})),
       true, nullptr, "ffe100704578696600004d4d002a00000008000188250004000000010000001a000000000003000000010000"
       "000202030000000700050000000300000044001d00020000000b0000005c0000000000000007000000010000"
       "0005000000010000000000000001323032343a31323a33310000"},
      {"times the quick path must leave to the full parser",
       gps(Value::map({{"TimeStamp", " 1:02:03.5"}, {"Track", Value::list({Value(1.0), Value(2.5)})},
                       {"GPSVersion", "2.x"}, {"HPositioningError", 1e-7}})),
       true, nullptr, "ffe100884578696600004d4d002a00000008000188250004000000010000001a000000000004000000010000"
       "000202000000000700050000000300000050000f00050000000200000068001f000500000001000000780000"
       "0000000000010000000100000002000000010000000700000002000000010000000100000005000000020000"
       "000100989680"},
      {"long seconds, time as numbers", gps(Value::map({{"TimeStamp", "10:11:12.1234567890123456789"},
                                                        {"DestBearing", Value::list({Value(359.999)})}})),
       true, nullptr, "ffe100604578696600004d4d002a00000008000188250004000000010000001a000000000002000700050000"
       "000300000038001800050000000100000050000000000000000a000000010000000b0000000108076e8300a9"
       "8aae00057e3f000003e8"},
      {"merged over the file's block and thumbnail", gps(Value::map({{"Latitude", 45.125}}),
                                                        Value::map({{kCGImagePropertyOrientation, Value::integer(3)}})),
       true, &fileExif, "ffe100b84578696600004d4d002a000000080003010f00020000000600000032011200030000000100030000"
       "882500040000000100000038000000824d616b657200000300010002000000024e0000000002000500000003"
       "00000062000d0005000000010000007a000000000000002d0000000100000007000000010000001e00000001"
       "000000090000000200030103000300000001000600000201000400000001000000ac02020004000000010000"
       "000400000000ffd8ffd9"},
      {"replacing the file's block", gps(Value::map({{"Altitude", -2.0}})), false, &fileExif, "ffe1003c4578696600004d4d002a00000008000188250004000000010000001a000000000001000600050000"
       "00010000002c00000000fffffffe00000001"},
      {"a repeated key: the last counts", gps(Value(twice)), true, &fileExif, "ffe100b84578696600004d4d002a000000080003010f00020000000600000032011200030000000100060000"
       "882500040000000100000038000000824d616b657200000300010002000000024e0000000002000500000003"
       "00000062000d0005000000010000007a0000000000000002000000010000000f000000010000000000000001"
       "000000090000000200030103000300000001000600000201000400000001000000ac02020004000000010000"
       "000400000000ffd8ffd9"},
      {"16 digits of seconds, an exponent in the version",
       gps(Value::map({{"TimeStamp", "01:02:9.437915207725619"}, {"GPSVersion", "2.1e2.0"}})), true,
       nullptr, "ffe100584578696600004d4d002a00000008000188250004000000010000001a000000000002000000010000"
       "000302640000000700050000000300000038000000000000000100000001000000020000000100c4a3260014"
       "d5b7"},
      {"15 digits of seconds, the Exif dictionary's versions",
       gps(Value::map({{"TimeStamp", "21:30:21.6393432709449"}}),
           Value::map({{kCGImagePropertyExifDictionary,
                        Value::map({{"ExifVersion", Value::list({Value::integer(2), Value::integer(3),
                                                                 Value::integer(2)})},
                                    {"FlashPixVersion", "10"}})}})),
       true, nullptr, "ffe100764578696600004d4d002a000000080002876900040000000100000026882500040000000100000044"
       "000000000002900000070000000430323332a000000700000004303031300000000000010007000500000003"
       "000000560000000000000015000000010000001e0000000120bd619d01835249"},
      {"an empty hour is no time", gps(Value::map({{"TimeStamp", ":05:03"}, {"Speed", 1.0}})), true,
       nullptr, "ffe1003c4578696600004d4d002a00000008000188250004000000010000001a000000000001000d00050000"
       "00010000002c000000000000000100000001"},
      {"hours past an int", gps(Value::map({{"TimeStamp", "9999999999:1:2"}})), true, nullptr, "ffe1004c4578696600004d4d002a00000008000188250004000000010000001a000000000001000700050000"
       "00030000002c00000000540be3ff0000000100000001000000010000000200000001"},
      {"a thumbnail alone", {}, true, &thumbnailOnly, "ffe100444578696600004d4d002a0000000800000000000e0003010300030000000100060000020100040000"
       "00010000003802020004000000010000000400000000ffd8ffd9"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes file = c.fileBlock ? RawEncodeJPEG(pixels, 75, false, *c.fileBlock) : bare;
    Bytes out;
    ASSERT_TRUE(JPEGReplaceMetadata(file.data(), file.size(), c.given, c.merge, out));
    // After the start marker and the JFIF segment.
    const size_t head = 4 + ((size_t(bare[4]) << 8) | bare[5]);
    ASSERT_GT(out.size(), bare.size());
    const Bytes segment(out.begin() + head, out.begin() + head + (out.size() - bare.size()));
    std::string hex;
    for (uint8_t b : segment) hex += "0123456789abcdef"[b >> 4], hex += "0123456789abcdef"[b & 15];
    EXPECT_EQ(hex, c.segment);
    Bytes expected(bare.begin(), bare.begin() + head);
    expected.insert(expected.end(), segment.begin(), segment.end());
    expected.insert(expected.end(), bare.begin() + head, bare.end());
    EXPECT_EQ(out, expected);
  }
}

}  // namespace

}  // namespace jpeg_metadata_writer_test
