#include <gtest/gtest.h>

#include <string>

#include "image_loading/coders/ILImageFormat.h"
#include "support/TestEnvironment.h"

namespace image_format_test {

namespace {

class ImageFormatTest : public PlatformTest {};

NSDataPtr Data(const std::string& bytes) { return NSData::dataWithBytes(bytes.data(), bytes.size()); }

TEST_F(ImageFormatTest, FirstByteDecidesAndFailedTestsAnswerUndefined) {
  EXPECT_EQ(il_imageFormatForImageData(nullptr), ILImageFormatUndefined);
  EXPECT_EQ(il_imageFormatForImageData(Data("")), ILImageFormatUndefined);
  EXPECT_EQ(il_imageFormatForImageData(Data("\xFF")), ILImageFormatJPEG);
  EXPECT_EQ(il_imageFormatForImageData(Data("\x89zz")), ILImageFormatPNG);
  EXPECT_EQ(il_imageFormatForImageData(Data("Gxxxxxxxxxxxxx")), ILImageFormatGIF);
  EXPECT_EQ(il_imageFormatForImageData(Data("II")), ILImageFormatTIFF);
  EXPECT_EQ(il_imageFormatForImageData(Data("MM")), ILImageFormatTIFF);
  EXPECT_EQ(il_imageFormatForImageData(Data("BM")), ILImageFormatBMP);
  EXPECT_EQ(il_imageFormatForImageData(Data("\x01\x02")), ILImageFormatUndefined);
}

TEST_F(ImageFormatTest, WebPNeedsTwelveBytesAndBothTagsWhateverTheSizeBytes) {
  EXPECT_EQ(il_imageFormatForImageData(Data("RIFF\x01\x02\x03WEB")), ILImageFormatUndefined);
  EXPECT_EQ(il_imageFormatForImageData(Data(std::string("RIFF\x00\x00\x00\x00WEBP", 12))),
            ILImageFormatWebP);
  // Size bytes at or above 0x80 are not text and must not spoil detection.
  EXPECT_EQ(il_imageFormatForImageData(Data("RIFF\x80\xFF\x90\xC3WEBPVP8 ")), ILImageFormatWebP);
  EXPECT_EQ(il_imageFormatForImageData(Data("RIFF\x10\x00\x00\x00WAVEfmt ")),
            ILImageFormatUndefined);
  EXPECT_EQ(il_imageFormatForImageData(Data("RIFX\x10\x00\x00\x00WEBP")), ILImageFormatUndefined);
}

TEST_F(ImageFormatTest, HEIFBrandsPDFAndSVG) {
  auto box = [](const std::string& brand) {
    return Data(std::string("\x00\x00\x00\x18", 4) + brand + "rest");
  };
  for (const char* brand : {"ftypheic", "ftypheix", "ftyphevc", "ftyphevx"}) {
    EXPECT_EQ(il_imageFormatForImageData(box(brand)), ILImageFormatHEIC) << brand;
  }
  EXPECT_EQ(il_imageFormatForImageData(box("ftypmif1")), ILImageFormatHEIF);
  EXPECT_EQ(il_imageFormatForImageData(box("ftypmsf1")), ILImageFormatHEIF);
  EXPECT_EQ(il_imageFormatForImageData(box("ftypavif")), ILImageFormatUndefined);
  EXPECT_EQ(il_imageFormatForImageData(Data(std::string("\x00\x00\x00\x18" "ftyphei", 11))),
            ILImageFormatUndefined);

  EXPECT_EQ(il_imageFormatForImageData(Data("%PDF-1.4")), ILImageFormatPDF);
  EXPECT_EQ(il_imageFormatForImageData(Data("%PD")), ILImageFormatUndefined);
  EXPECT_EQ(il_imageFormatForImageData(Data("%PDx </svg>")), ILImageFormatUndefined);

  EXPECT_EQ(il_imageFormatForImageData(Data("<svg></svg>")), ILImageFormatSVG);
  const std::string head = "<svg></svg>";
  EXPECT_EQ(il_imageFormatForImageData(Data(head + std::string(94, ' '))), ILImageFormatSVG);
  EXPECT_EQ(il_imageFormatForImageData(Data(head + std::string(101, ' '))),
            ILImageFormatUndefined);
  EXPECT_EQ(il_imageFormatForImageData(Data("<html></html>")), ILImageFormatUndefined);
}

TEST_F(ImageFormatTest, TypeIdentifiersBothWays) {
  EXPECT_EQ(il_UTTypeFromImageFormat(ILImageFormatJPEG), "public.jpeg");
  EXPECT_EQ(il_UTTypeFromImageFormat(ILImageFormatWebP), "org.webmproject.webp");
  EXPECT_EQ(il_UTTypeFromImageFormat(ILImageFormatRAW), "public.camera-raw-image");
  for (ILImageFormatCode code : {int64_t(-1), int64_t(11), int64_t(-7)}) {
    EXPECT_EQ(il_UTTypeFromImageFormat(code), "public.image");
  }
  for (ILImageFormatCode code = 0; code <= ILImageFormatRAW; ++code) {
    EXPECT_EQ(il_imageFormatFromUTType(il_UTTypeFromImageFormat(code)), code);
  }
  EXPECT_EQ(il_imageFormatFromUTType(std::nullopt), ILImageFormatUndefined);
  EXPECT_EQ(il_imageFormatFromUTType(std::string("public.image")), ILImageFormatUndefined);
  EXPECT_EQ(il_imageFormatFromUTType(std::string("public.heics")), ILImageFormatUndefined);
  EXPECT_EQ(il_imageFormatFromUTType(std::string("PUBLIC.JPEG")), ILImageFormatUndefined);
  EXPECT_EQ(il_imageFormatFromUTType(std::string("com.canon.cr2-raw-image")), ILImageFormatRAW);
}

}  // namespace

}  // namespace image_format_test
