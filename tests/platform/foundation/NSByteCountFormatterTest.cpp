#include <gtest/gtest.h>

#include "platform/foundation/NSByteCountFormatter.h"
#include "support/TestEnvironment.h"

namespace ns_byte_count_formatter_test {

namespace {

std::string file(int64_t n) {
  return NSByteCountFormatter::stringFromByteCount(n, NSByteCountFormatterCountStyle::File);
}

using NSByteCountFormatterTest = PlatformTest;

TEST_F(NSByteCountFormatterTest, FileStyleCountsInThousands) {
  EXPECT_EQ(file(0), "Zero KB");
  EXPECT_EQ(file(1), "1 byte");
  EXPECT_EQ(file(999), "999 bytes");
  EXPECT_EQ(file(1000), "1 KB");
  EXPECT_EQ(file(1499), "1 KB");
  EXPECT_EQ(file(1500), "2 KB");
  EXPECT_EQ(file(12345), "12 KB");
  // Rounding up to a full unit moves to the next one.
  EXPECT_EQ(file(999'600), "1 MB");
  EXPECT_EQ(file(1'234'567), "1.2 MB");
  EXPECT_EQ(file(2'000'000), "2 MB");
  EXPECT_EQ(file(1'234'567'890), "1.23 GB");
  EXPECT_EQ(file(5'100'000'000'000), "5.1 TB");
  EXPECT_EQ(file(-2048), "-2 KB");
}

TEST_F(NSByteCountFormatterTest, MemoryStyleCountsInPowersOfTwo) {
  auto memory = [](int64_t n) {
    return NSByteCountFormatter::stringFromByteCount(n, NSByteCountFormatterCountStyle::Memory);
  };
  EXPECT_EQ(memory(1000), "1000 bytes");
  EXPECT_EQ(memory(1024), "1 KB");
  EXPECT_EQ(memory(1536 * 1024), "1.5 MB");
}

}  // namespace

}  // namespace ns_byte_count_formatter_test
