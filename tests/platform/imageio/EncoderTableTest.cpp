// The encoder layer under image destinations: one table of writable formats
// that encoding, the list of writable types and the lossy question all read.

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ImageIOTestSupport.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/ImageDecoder.h"
#include "platform/imageio/internal/ImageEncoder.h"
#include "support/TestEnvironment.h"

namespace encoder_table_test {

using namespace imageio_test;

namespace {

using EncoderTableTest = PlatformTest;

ImageBitmap DecodeFirst(const Bytes& data, std::string& type) {
  CGImageSourceStatus status = kCGImageStatusUnknownType;
  auto decoder = ImageDecoderCreate(Shared(data), true, status);
  ImageBitmap out;
  if (!decoder) return out;
  type = decoder->typeIdentifier();
  decoder->decodeFrame(0, out);
  return out;
}

TEST_F(EncoderTableTest, OneTableEncodesListsAndAnswersLossiness) {
  std::vector<std::string> available;
  for (const ImageEncoderDescriptor& d : ImageEncoderRegistry()) {
    if (!d.available || d.available()) available.push_back(d.type);
  }
  EXPECT_EQ(ImageEncoderTypeIdentifiers(), available);
  EXPECT_EQ(CGImageDestinationCopyTypeIdentifiers(), available);
  ASSERT_GE(available.size(), 6u);

  // What loses detail is exactly what the table says, whether or not this
  // machine can write it.
  const std::set<std::string> lossy = {"public.jpeg", "org.webmproject.webp", "public.heic",
                                       "public.heif"};
  for (const ImageEncoderDescriptor& d : ImageEncoderRegistry()) {
    EXPECT_EQ(ImageEncoderIsLossy(d.type), lossy.count(d.type) == 1) << d.type;
  }
  EXPECT_FALSE(ImageEncoderIsLossy("public.unknown"));

  // Every writable type writes what reads back as itself; two frames of
  // different colours in a single-image format write the first.
  const ImageBitmap red = Solid(8, 6, 220, 20, 20);
  const ImageBitmap blue = Solid(8, 6, 20, 20, 220);
  std::vector<EncodeFrame> frames = {{red, 0.1}, {blue, 0.1}};
  for (const std::string& type : available) {
    Bytes out;
    ASSERT_TRUE(ImageEncode(type, frames, EncodeSettings(), out)) << type;
    std::string read;
    const ImageBitmap first = DecodeFirst(out, read);
    if (type == "public.heif") {
      EXPECT_TRUE(read == "public.heic" || read == "public.heif") << read;
    } else {
      EXPECT_EQ(read, type);
    }
    ASSERT_EQ(first.width, 8u) << type;
    ASSERT_EQ(first.height, 6u) << type;
    EXPECT_LE(MaxDifference(first, red), lossy.count(type) ? 24 : 0) << type;
  }

  // Nothing to write, or a type nobody writes: refused, and what the caller
  // held is gone.
  Bytes out = {1, 2, 3};
  EXPECT_FALSE(ImageEncode("public.unknown", frames, EncodeSettings(), out));
  EXPECT_TRUE(out.empty());
  out = {1, 2, 3};
  EXPECT_FALSE(ImageEncode("public.png", {}, EncodeSettings(), out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(ImageEncode("public.png", {EncodeFrame{}}, EncodeSettings(), out));
}

}  // namespace

}  // namespace encoder_table_test
