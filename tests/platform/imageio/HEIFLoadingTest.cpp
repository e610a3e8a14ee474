// libheif is loaded by a decode, never by a format check: telling a file's
// type, listing the readable types or reading another format leaves it out.
// Decodes side by side share a budget of pixels and run their tiles on the
// CPUs the process may use.
#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "ImageIOTestSupport.h"
#include "platform/foundation/BuildFlags.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageDecoder.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/imageio/internal/HEIFDecoder.h"
#include "support/TestEnvironment.h"
#include "support/heif/HEICFixtures.h"

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

namespace {

// Yields until `done` holds, for at most the tests' timeout.
bool YieldUntil(const std::function<bool()>& done) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(kTestTimeoutSeconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

}  // namespace

TEST_F(HEIFLoadingTest, DecodesSideBySideShareOneBudgetOfPixels) {
  HEIFDecodeBudget budget(10);
  // One alone always runs, however large.
  budget.acquire(25);
  EXPECT_EQ(budget.inUse(), 25u);
  budget.release(25);
  // Up to the budget exactly, decodes run side by side.
  budget.acquire(6);
  budget.acquire(4);
  EXPECT_EQ(budget.inUse(), 10u);
  // One pixel past it waits for a decode to end, and only for as much room
  // as it needs.
  std::atomic<int> ran{0};
  std::thread one([&] {
    budget.acquire(1);
    ++ran;
  });
  std::thread five([&] {
    budget.acquire(5);
    ++ran;
  });
  ASSERT_TRUE(YieldUntil([&] { return budget.waiting() == 2; }));
  EXPECT_EQ(ran.load(), 0);
  EXPECT_EQ(budget.inUse(), 10u);
  budget.release(4);  // room for the one pixel, not for the five
  ASSERT_TRUE(YieldUntil([&] { return ran.load() == 1 && budget.waiting() == 1; }));
  EXPECT_EQ(budget.inUse(), 7u);
  budget.release(6);
  one.join();
  five.join();
  EXPECT_EQ(ran.load(), 2);
  EXPECT_EQ(budget.inUse(), 6u);
  EXPECT_EQ(budget.waiting(), 0u);
}

// Every decode takes its pixels from the one budget of the process: while
// it is spent, a decode waits, and one larger than the whole budget waits
// until it is empty. Each waiting decode is let go and checked.
TEST_F(HEIFLoadingTest, DecodesTakeTheirPixelsFromTheProcesssBudget) {
  const char* dir = std::getenv("QX_TEST_DATA");
  ASSERT_TRUE(dir) << "QX_TEST_DATA is not set";
  auto read = [&](const char* name) {
    std::ifstream file(std::string(dir) + "/imageio/" + name, std::ios::binary);
    return Bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  };
  const Bytes small = read("hues-64x48.heic");
  const Bytes grid = MakeHEICGrid({.width = 1100, .height = 1200});
  // One coded picture of 8200 x 8200, past the limit.
  const Bytes large = read("thumbnails-of-8200x8200.heic");
  ASSERT_FALSE(grid.empty());
  struct Case {
    const char* what;
    const Bytes& heic;
    uint32_t width, height;  // scaled to; 0: whole
    uint64_t held;           // of the budget, while it is asked
  };
  const Case cases[] = {
      {"a whole decode", small, 0, 0, kImageMaxPixels},
      {"a scaled decode", small, 32, 24, kImageMaxPixels},
      {"a grid, a row of tiles at a time", grid, 275, 300, kImageMaxPixels},
      {"past the limit, alone", large, 1024, 1024, 1},
  };
  HEIFDecodeBudget& budget = HEIFSharedDecodeBudget();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // The checked builds convert and shrink its 67 M pixels many times
    // slower; LargeSourceThumbnailTest decodes it there.
    if (QX_CHECKED && &c.heic == &large) continue;
    ASSERT_EQ(budget.inUse(), 0u);
    CGImageSourceStatus status = kCGImageStatusReadingHeader;
    auto decoder = ImageDecoderCreate(std::make_shared<const Bytes>(c.heic), true, status);
    ASSERT_TRUE(decoder);
    budget.acquire(c.held);
    std::atomic<bool> finished{false};
    bool decoded = false;
    ImageBitmap out;
    std::thread decode([&] {
      decoded = c.width ? decoder->decodeFrameScaled(0, c.width, c.height, out)
                        : decoder->decodeFrame(0, out);
      finished = true;
    });
    // A decode that took nothing from the budget finishes instead.
    ASSERT_TRUE(YieldUntil([&] { return finished || budget.waiting() == 1; }));
    EXPECT_FALSE(finished.load());
    EXPECT_EQ(budget.waiting(), 1u);
    budget.release(c.held);
    decode.join();
    EXPECT_TRUE(decoded);
    EXPECT_EQ(budget.inUse(), 0u);
  }
}

TEST_F(HEIFLoadingTest, TilesAreDecodedOnAThreadForEachCPUTheProcessMayUse) {
  cpu_set_t original;
  ASSERT_EQ(sched_getaffinity(0, sizeof original, &original), 0);
  std::vector<int> allowed;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &original)) allowed.push_back(cpu);
  }
  EXPECT_EQ(HEIFDecodingThreads(), std::min<int>(int(allowed.size()), 8));
  // This thread held to fewer CPUs than the machine has.
  for (size_t count : {size_t(1), size_t(2)}) {
    if (allowed.size() < count) continue;
    SCOPED_TRACE(count);
    cpu_set_t fewer;
    CPU_ZERO(&fewer);
    for (size_t i = 0; i < count; ++i) CPU_SET(allowed[i], &fewer);
    ASSERT_EQ(sched_setaffinity(0, sizeof fewer, &fewer), 0);
    EXPECT_EQ(HEIFDecodingThreads(), int(count));
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof original, &original), 0);
}

}  // namespace heif_loading_test
