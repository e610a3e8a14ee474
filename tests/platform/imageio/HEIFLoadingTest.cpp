// libheif is loaded by a decode, never by a format check: telling a file's
// type, listing the readable types or reading another format leaves it out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "ImageIOTestSupport.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/imageio/internal/HEIFDecoder.h"
#include "support/TestEnvironment.h"

namespace heif_loading_test {

namespace {

using namespace imageio_test;

using HEIFLoadingTest = PlatformTest;

// 0 when the checks leave libheif unloaded and the decode loads it; else
// the number of the step that went wrong.
int CheckThenDecode(const Bytes& heic) {
  const Bytes jpeg = RawEncodeJPEG(Solid(8, 8, 200, 40, 10), 90, false);
  if (ImageTypeOfData(heic.data(), heic.size()) != "public.heic") return 2;
  if (ImageTypeOfData(jpeg.data(), jpeg.size()) != "public.jpeg") return 3;
  const auto types = CGImageSourceCopyTypeIdentifiers();
  for (const char* type : {"public.heic", "public.heics", "public.heif", "public.avif"}) {
    if (std::find(types.begin(), types.end(), type) == types.end()) return 4;
  }
  if (!ImageTypeDecodesFiles("public.heic")) return 5;
  // A JPEG read with the type named: the name is checked against the list.
  auto source = SourceOf(jpeg, Value::map({{kCGImageSourceTypeIdentifierHint, "public.jpeg"}}));
  if (!source || CGImageSourceGetCount(source) != 1) return 6;
  if (HEIFLoaded()) return 7;
  source = SourceOf(heic);
  if (!source || CGImageSourceGetCount(source) != 1) return 8;
  return HEIFLoaded() ? 0 : 9;
}

}  // namespace

// In a fresh process (the threadsafe death test starts one): the other tests
// of this program load libheif.
TEST_F(HEIFLoadingTest, FormatChecksLeaveLibheifUnloadedUntilADecode) {
  const char* dir = std::getenv("QX_TEST_DATA");
  ASSERT_TRUE(dir) << "QX_TEST_DATA is not set";
  std::ifstream file(std::string(dir) + "/imageio/hues-64x48.heic", std::ios::binary);
  const Bytes heic{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  ASSERT_GT(heic.size(), 100u);
  const std::string style = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(CheckThenDecode(heic)), ::testing::ExitedWithCode(0), "");
  GTEST_FLAG_SET(death_test_style, style);
}

}  // namespace heif_loading_test
