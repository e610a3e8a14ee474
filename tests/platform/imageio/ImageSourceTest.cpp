#include <gtest/gtest.h>
#include <libheif/heif.h>
#include <tiffio.h>

#include <cstring>

#include "ImageIOTestSupport.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ExifMetadata.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/imageio/internal/ImageEncoder.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

namespace image_source_test {

using namespace imageio_test;

namespace {

int64_t IntAt(const Value& v, const char* key) {
  const Value* x = v.find(key);
  return x ? x->asInt64() : -1;
}

// EXIF block written byte by byte, little-endian, as a camera would.
Bytes LittleEndianExif(uint16_t orientation) {
  Bytes b = {'I', 'I', 42, 0, 8, 0, 0, 0};
  auto put16 = [&](uint16_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); };
  auto put32 = [&](uint32_t v) {
    put16(v & 0xFFFF);
    put16(v >> 16);
  };
  put16(3);  // entries
  put16(0x010F);
  put16(2);
  put32(4);
  b.insert(b.end(), {'Q', 'X', 'C', 0});  // Make, inline
  put16(0x0112);
  put16(3);
  put32(1);
  put16(orientation);
  put16(0);
  put16(0x8825);
  put16(4);
  put32(1);
  put32(8 + 2 + 3 * 12 + 4);  // GPS directory
  put32(0);
  // GPS: LatitudeRef "S", Latitude 12 deg 30 min 0 sec.
  put16(2);
  put16(0x0001);
  put16(2);
  put32(2);
  b.insert(b.end(), {'S', 0, 0, 0});
  const uint32_t ratOffset = uint32_t(b.size()) + 12 + 4;
  put16(0x0002);
  put16(5);
  put32(3);
  put32(ratOffset);
  put32(0);
  for (uint32_t v : {12u, 1u, 30u, 1u, 0u, 1u}) put32(v);
  return b;
}

}  // namespace

using ImageSourceTest = PlatformTest;

TEST_F(ImageSourceTest, JPEGPixelsMatchLibjpegAndExifIsRead) {
  const ImageBitmap pattern = Pattern(67, 41, false);
  for (bool progressive : {false, true}) {
    const Bytes jpeg = RawEncodeJPEG(pattern, 90, progressive, LittleEndianExif(6));
    auto source = SourceOf(jpeg);
    ASSERT_TRUE(source);
    EXPECT_EQ(CGImageSourceGetType(source), "public.jpeg");
    EXPECT_EQ(CGImageSourceGetCount(source), 1u);
    EXPECT_EQ(CGImageSourceGetStatus(source), kCGImageStatusComplete);
    auto image = CGImageSourceCreateImageAtIndex(source, 0);
    ASSERT_TRUE(image);
    EXPECT_TRUE(image->isLazy());
    EXPECT_EQ(image->utType(), "public.jpeg");
    EXPECT_EQ(image->alphaInfo(), kCGImageAlphaNoneSkipLast);
    const ImageBitmap ours = Pixels(image);
    EXPECT_EQ(MaxDifference(ours, RawDecodeJPEG(jpeg)), 0) << "progressive " << progressive;
    const Value props = CGImageSourceCopyPropertiesAtIndex(source, 0);
    EXPECT_EQ(IntAt(props, kCGImagePropertyPixelWidth), 67);
    EXPECT_EQ(IntAt(props, kCGImagePropertyPixelHeight), 41);
    EXPECT_EQ(IntAt(props, kCGImagePropertyOrientation), 6);
    EXPECT_EQ(props.find(kCGImagePropertyHasAlpha)->asBool(), false);
    EXPECT_EQ(props.find(kCGImagePropertyColorModel)->asString(), "RGB");
    EXPECT_EQ(props.find(kCGImagePropertyTIFFDictionary)->find("Make")->asString(), "QXC");
    const Value* gps = props.find(kCGImagePropertyGPSDictionary);
    ASSERT_TRUE(gps);
    EXPECT_EQ(gps->find("LatitudeRef")->asString(), "S");
    EXPECT_DOUBLE_EQ(gps->find("Latitude")->asDouble(), 12.5);
    EXPECT_EQ(props.find(kCGImagePropertyJFIFDictionary)->find("IsProgressive")->asBool(),
              progressive);
    EXPECT_DOUBLE_EQ(props.find(kCGImagePropertyDPIWidth)->asDouble(), 72);
  }
}

TEST_F(ImageSourceTest, ThumbnailsFitTheLongerSideAndApplyOrientationWhenAsked) {
  const Bytes jpeg = RawEncodeJPEG(Pattern(64, 48, false), 90, false, LittleEndianExif(6));
  auto source = SourceOf(jpeg);
  Value options = Value::map({{kCGImageSourceCreateThumbnailFromImageAlways, true},
                              {kCGImageSourceThumbnailMaxPixelSize, 32},
                              {kCGImageSourceCreateThumbnailWithTransform, true}});
  auto thumb = CGImageSourceCreateThumbnailAtIndex(source, 0, options);
  ASSERT_TRUE(thumb);
  EXPECT_EQ(thumb->width(), 24u);  // 32x24, turned a quarter
  EXPECT_EQ(thumb->height(), 32u);
  EXPECT_FALSE(thumb->isLazy());
  // The first row of the turned image is the first column of the stored one, bottom up.
  const ImageBitmap t = Pixels(thumb);
  // Turned a quarter clockwise: the stored top row is now the right column.
  EXPECT_GT(t.row(0)[0 * 4 + 1], 200);
  EXPECT_LT(t.row(0)[23 * 4 + 1], 40);
  auto raw = CGImageSourceCreateThumbnailAtIndex(
      source, 0,
      Value::map({{kCGImageSourceCreateThumbnailFromImageAlways, true},
                  {kCGImageSourceThumbnailMaxPixelSize, 32}}));
  EXPECT_EQ(raw->width(), 32u);
  EXPECT_EQ(raw->height(), 24u);
  // Never enlarged; without a size, full size.
  auto big = CGImageSourceCreateThumbnailAtIndex(
      source, 0,
      Value::map({{kCGImageSourceCreateThumbnailFromImageAlways, true},
                  {kCGImageSourceThumbnailMaxPixelSize, 1000}}));
  EXPECT_EQ(big->width(), 64u);
  // No embedded thumbnail and not asked to make one: none.
  EXPECT_FALSE(CGImageSourceCreateThumbnailAtIndex(source, 0, Value()));
  EXPECT_TRUE(CGImageSourceCreateThumbnailAtIndex(
      source, 0, Value::map({{kCGImageSourceCreateThumbnailFromImageIfAbsent, true}})));
  EXPECT_FALSE(CGImageSourceCreateThumbnailAtIndex(source, 1, options));
}

TEST_F(ImageSourceTest, PNGPixelsMatchLibpngForEveryColourType) {
  const ImageBitmap rgba = Pattern(33, 17, true);
  const Bytes png = RawEncodePNG(rgba);
  auto source = SourceOf(png);
  ASSERT_TRUE(source);
  auto image = CGImageSourceCreateImageAtIndex(source, 0);
  EXPECT_EQ(image->alphaInfo(), kCGImageAlphaLast);
  EXPECT_EQ(MaxDifference(Pixels(image), rgba), 0);
  const Value props = CGImageSourceCopyPropertiesAtIndex(source, 0);
  EXPECT_TRUE(props.find(kCGImagePropertyHasAlpha)->asBool());
  EXPECT_TRUE(props.find(kCGImagePropertyPNGDictionary)->isMap());
  EXPECT_FALSE(CGImageSourceCopyProperties(source).find(kCGImagePropertyPNGDictionary));
  EXPECT_EQ(IntAt(CGImageSourceCopyProperties(source), kCGImagePropertyFileSize),
            int64_t(png.size()));

  // The 1x1 indexed sample with a translucent palette entry: straight alpha comes out.
  const Bytes indexed = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D,
                         0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01,
                         0x01, 0x03, 0x00, 0x00, 0x00, 0x25, 0xDB, 0x56, 0xCA, 0x00, 0x00, 0x00,
                         0x03, 0x50, 0x4C, 0x54, 0x45, 0x32, 0x32, 0x32, 0xA5, 0x32, 0x09, 0xD5,
                         0x00, 0x00, 0x00, 0x01, 0x74, 0x52, 0x4E, 0x53, 0x32, 0x88, 0x31, 0x89,
                         0xE6, 0x00, 0x00, 0x00, 0x0A, 0x49, 0x44, 0x41, 0x54, 0x08, 0xD7, 0x63,
                         0x60, 0x00, 0x00, 0x00, 0x02, 0x00, 0x01, 0xE2, 0x21, 0xBC, 0x33, 0x00,
                         0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
  auto sample = CGImageSourceCreateImageAtIndex(SourceOf(indexed), 0);
  ASSERT_TRUE(sample);
  const auto pixel = sample->pixelData();
  EXPECT_EQ(std::vector<uint8_t>(pixel->begin(), pixel->begin() + 4),
            std::vector<uint8_t>({50, 50, 50, 50}));
  EXPECT_EQ(sample->alphaInfo(), kCGImageAlphaLast);
  const Value sampleProps = CGImageSourceCopyPropertiesAtIndex(SourceOf(indexed), 0);
  EXPECT_TRUE(sampleProps.find(kCGImagePropertyIsIndexed)->asBool());
  EXPECT_EQ(MaxDifference(Pixels(sample), RawDecodePNG(indexed)), 0);
}

TEST_F(ImageSourceTest, WebPStillMatchesLibwebp) {
  for (bool lossless : {true, false}) {
    const ImageBitmap b = Pattern(40, 30, lossless);
    const Bytes webp = RawEncodeWebP(b, lossless);
    auto source = SourceOf(webp);
    ASSERT_TRUE(source);
    EXPECT_EQ(CGImageSourceGetType(source), "org.webmproject.webp");
    EXPECT_EQ(CGImageSourceGetCount(source), 1u);
    EXPECT_EQ(
        MaxDifference(Pixels(CGImageSourceCreateImageAtIndex(source, 0)), RawDecodeWebP(webp)), 0);
    const Value container = CGImageSourceCopyProperties(source);
    EXPECT_FALSE(container.find(kCGImagePropertyWebPDictionary)->find("LoopCount"));
  }
}

TEST_F(ImageSourceTest, TIFFPagesAreFramesAndMatchLibtiff) {
  TempFolder folder;
  const std::string path = folder.path() + "/pages.tiff";
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  ASSERT_TRUE(tif);
  const ImageBitmap pages[2] = {Pattern(20, 10, false), Pattern(8, 12, false, 40)};
  for (const ImageBitmap& b : pages) {
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, b.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, b.height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    std::vector<uint8_t> row(b.width * 3);
    for (uint32_t y = 0; y < b.height; ++y) {
      for (uint32_t x = 0; x < b.width; ++x) std::memcpy(&row[x * 3], b.row(y) + x * 4, 3);
      TIFFWriteScanline(tif, row.data(), y, 0);
    }
    TIFFWriteDirectory(tif);
  }
  TIFFClose(tif);
  Bytes data;
  ASSERT_TRUE(ReadFileContents(path, data));
  auto source = SourceOf(data);
  ASSERT_TRUE(source);
  ASSERT_EQ(CGImageSourceGetCount(source), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(MaxDifference(Pixels(CGImageSourceCreateImageAtIndex(source, i)), pages[i]), 0);
    EXPECT_EQ(IntAt(CGImageSourceCopyPropertiesAtIndex(source, i), kCGImagePropertyPixelWidth),
              pages[i].width);
  }
}

TEST_F(ImageSourceTest, HEICFromTheDestinationMatchesLibheifAndKeepsOrientation) {
  if (!HEIFCanEncode()) GTEST_SKIP() << "no HEVC encoder in this libheif";
  auto data = std::make_shared<Bytes>();
  auto dest = CGImageDestinationCreateWithData(data, "public.heic", 1);
  ASSERT_TRUE(dest);
  CGImageDestinationAddImage(dest, MakeImage(Pattern(64, 32, false)),
                             Value::map({{kCGImagePropertyOrientation, 6}}));
  ASSERT_TRUE(CGImageDestinationFinalize(dest));
  auto source = SourceOf(*data);
  ASSERT_TRUE(source);
  EXPECT_EQ(CGImageSourceGetType(source), "public.heic");
  auto image = CGImageSourceCreateImageAtIndex(source, 0);
  ASSERT_TRUE(image);
  // Stored rotated: comes out upright and turned.
  EXPECT_EQ(image->width(), 32u);
  EXPECT_EQ(image->height(), 64u);
  heif_context* ctx = heif_context_alloc();
  ASSERT_EQ(
      heif_context_read_from_memory_without_copy(ctx, data->data(), data->size(), nullptr).code,
      heif_error_Ok);
  heif_image_handle* handle = nullptr;
  heif_context_get_primary_image_handle(ctx, &handle);
  heif_image* img = nullptr;
  heif_decode_image(handle, &img, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, nullptr);
  int stride = 0;
  const uint8_t* plane = heif_image_get_plane_readonly(img, heif_channel_interleaved, &stride);
  ImageBitmap reference;
  reference.allocate(heif_image_get_width(img, heif_channel_interleaved),
                     heif_image_get_height(img, heif_channel_interleaved));
  for (uint32_t y = 0; y < reference.height; ++y) {
    std::memcpy(reference.row(y), plane + y * stride, reference.bytesPerRow());
  }
  heif_image_release(img);
  heif_image_handle_release(handle);
  heif_context_free(ctx);
  EXPECT_EQ(MaxDifference(Pixels(image), reference), 0);
  // Lossy, but close to what went in (turned).
  const ImageBitmap upright = ImageBitmapApplyingOrientation(Pattern(64, 32, false), 6);
  EXPECT_LT(MaxDifference(Pixels(image), upright), 60);
}

TEST_F(ImageSourceTest, BMPVariantsDecode) {
  // 2x2, 24 bits, bottom-up rows padded to 4 bytes: blue red / green white.
  Bytes bmp24 = {'B', 'M', 70,   0,    0, 0, 0,    0,    0, 0, 54, 0, 0, 0, 40, 0, 0,  0,
                 2,   0,   0,    0,    2, 0, 0,    0,    1, 0, 24, 0, 0, 0, 0,  0, 16, 0,
                 0,   0,   0x13, 0x0B, 0, 0, 0x13, 0x0B, 0, 0, 0,  0, 0, 0, 0,  0, 0,  0};
  bmp24.insert(bmp24.end(), {0, 255, 0, 255, 255, 255, 0, 0, 255, 0, 0, 0, 0, 255, 0, 0});
  auto image = CGImageSourceCreateImageAtIndex(SourceOf(bmp24), 0);
  ASSERT_TRUE(image);
  const ImageBitmap b = Pixels(image);
  auto px = [&](uint32_t x, uint32_t y) {
    const uint8_t* p = b.row(y) + x * 4;
    return std::vector<int>{p[0], p[1], p[2], p[3]};
  };
  EXPECT_EQ(px(0, 0), (std::vector<int>{0, 0, 255, 255}));
  EXPECT_EQ(px(1, 0), (std::vector<int>{255, 0, 0, 255}));
  EXPECT_EQ(px(0, 1), (std::vector<int>{0, 255, 0, 255}));
  EXPECT_EQ(px(1, 1), (std::vector<int>{255, 255, 255, 255}));
  EXPECT_DOUBLE_EQ(CGImageSourceCopyPropertiesAtIndex(SourceOf(bmp24), 0)
                       .find(kCGImagePropertyDPIWidth)
                       ->asDouble(),
                   72);

  // 8-bit RLE, 4x2, palette {black, red}: row 0 (bottom) "3 red, 1 black", then end.
  Bytes rle = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 62, 0, 0, 0, 40, 0, 0, 0, 4,   0, 0,
               0,   2,   0, 0, 0, 1, 0, 8, 0, 1, 0,  0, 0, 0, 0,  0, 0, 0, 0,   0, 0,
               0,   0,   0, 0, 2, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0,  0, 0, 0, 255, 0};
  rle.insert(rle.end(), {3, 1, 1, 0, 0, 0, 0, 1});
  const ImageBitmap r = Pixels(CGImageSourceCreateImageAtIndex(SourceOf(rle), 0));
  ASSERT_EQ(r.width, 4u);
  EXPECT_EQ(r.row(1)[0], 255);  // bottom row, red
  EXPECT_EQ(r.row(1)[3 * 4], 0);
  EXPECT_EQ(r.row(1)[3 * 4 + 3], 255);
  EXPECT_EQ(r.row(0)[3], 0);  // the row the data never reached stays transparent

  // Our own 32-bit writer with alpha, read back exactly.
  auto data = std::make_shared<Bytes>();
  auto dest = CGImageDestinationCreateWithData(data, "com.microsoft.bmp", 1);
  const ImageBitmap alpha = Pattern(5, 3, true);
  CGImageDestinationAddImage(dest, MakeImage(alpha));
  ASSERT_TRUE(CGImageDestinationFinalize(dest));
  EXPECT_EQ(MaxDifference(Pixels(CGImageSourceCreateImageAtIndex(SourceOf(*data), 0)), alpha), 0);
}

TEST_F(ImageSourceTest, TypeHintsAndUnknownData) {
  const Bytes png = RawEncodePNG(Pattern(4, 4, false));
  EXPECT_TRUE(SourceOf(png, Value::map({{kCGImageSourceTypeIdentifierHint, "public.jpeg"}})));
  EXPECT_FALSE(SourceOf(png, Value::map({{kCGImageSourceTypeIdentifierHint, "com.adobe.pdf"}})));
  EXPECT_FALSE(SourceOf(Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'}));
  EXPECT_FALSE(SourceOf(Bytes{}));
  EXPECT_FALSE(CGImageSourceCreateWithData(nullptr));
  auto source = SourceOf(png);
  EXPECT_FALSE(CGImageSourceCreateImageAtIndex(source, 1));
  EXPECT_TRUE(CGImageSourceCopyPropertiesAtIndex(source, 1).isNull());
  const auto types = CGImageSourceCopyTypeIdentifiers();
  for (const char* t : {"public.jpeg", "public.png", "com.compuserve.gif", "public.tiff",
                        "org.webmproject.webp", "com.microsoft.bmp", "public.heic"}) {
    EXPECT_NE(std::find(types.begin(), types.end(), t), types.end()) << t;
  }
  // Decoding straight away.
  auto eager = CGImageSourceCreateImageAtIndex(
      source, 0, Value::map({{kCGImageSourceShouldCacheImmediately, true}}));
  EXPECT_FALSE(eager->isLazy());
}

TEST_F(ImageSourceTest, EmbeddedExifThumbnailIsUsedUnlessAlwaysIsAsked) {
  auto data = std::make_shared<Bytes>();
  auto dest = CGImageDestinationCreateWithData(data, "public.jpeg", 1);
  CGImageDestinationAddImage(dest, MakeImage(Pattern(400, 300, false)),
                             Value::map({{kCGImageDestinationEmbedThumbnail, true}}));
  ASSERT_TRUE(CGImageDestinationFinalize(dest));
  auto source = SourceOf(*data);
  auto embedded = CGImageSourceCreateThumbnailAtIndex(source, 0, Value());
  ASSERT_TRUE(embedded);
  EXPECT_EQ(embedded->width(), 160u);
  EXPECT_EQ(embedded->height(), 120u);
  auto made = CGImageSourceCreateThumbnailAtIndex(
      source, 0,
      Value::map({{kCGImageSourceCreateThumbnailFromImageAlways, true},
                  {kCGImageSourceThumbnailMaxPixelSize, 200}}));
  EXPECT_EQ(made->width(), 200u);
}

}  // namespace image_source_test
