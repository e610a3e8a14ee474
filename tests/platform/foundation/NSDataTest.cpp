#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "FoundationTestSupport.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/NSFileManager.h"
#include "support/TestEnvironment.h"

namespace ns_data_test {

namespace {

// The file-size limit makes any write past `bytes` fail, as a full disk would.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved_;
    limited.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, previous_);
  }

 private:
  rlimit saved_{};
  sighandler_t previous_;
};

}  // namespace

using NSDataTest = PlatformTest;

TEST_F(NSDataTest, AtomicWritesReplaceWholeFilesAndLeaveNoTemporaries) {
  TempDir dir;
  std::string path = dir / "value.json";
  auto first = NSData::dataWithBytes("first", 5);
  ASSERT_TRUE(first->writeToFile(path, true));
  ASSERT_TRUE(NSData::dataWithBytes("second!", 7)->writeToFile(path, true));
  EXPECT_EQ(readText(path), "second!");
  EXPECT_EQ(*NSFileManager::defaultManager()->contentsOfDirectoryAtPath(dir.path()),
            std::vector<std::string>{"value.json"});

  auto back = NSData::dataWithContentsOfFile(path);
  ASSERT_NE(back, nullptr);
  EXPECT_TRUE(back->isEqual(*NSData::dataWithBytes("second!", 7)));
}

TEST_F(NSDataTest, AFailedAtomicWriteKeepsTheOldFile) {
  TempDir dir;
  std::string path = dir / "value.bin";
  ASSERT_TRUE(WriteFileAtomically(path, "old", 3));
  Bytes big(64 * 1024, 'x');
  NSErrorPtr error;
  {
    FileSizeLimit limit(1024);
    EXPECT_FALSE(WriteFileAtomically(path, big.data(), big.size(), &error));
  }
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), NSPOSIXErrorDomain);
  EXPECT_EQ(error->code(), EFBIG);
  EXPECT_EQ(readText(path), "old");
  EXPECT_EQ(*NSFileManager::defaultManager()->contentsOfDirectoryAtPath(dir.path()),
            std::vector<std::string>{"value.bin"});

  // A folder in the way: the write fails and the folder stays.
  ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0755), 0);
  error = nullptr;
  EXPECT_FALSE(WriteFileAtomically(dir / "folder", "x", 1, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(*NSFileManager::defaultManager()->contentsOfDirectoryAtPath(dir.path()),
            (std::vector<std::string>{"folder", "value.bin"}));
}

TEST_F(NSDataTest, ReadingReportsWhatWentWrong) {
  TempDir dir;
  NSErrorPtr error;
  EXPECT_EQ(NSData::dataWithContentsOfFile(dir / "missing", &error), nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), ENOENT);
  error = nullptr;
  EXPECT_EQ(NSData::dataWithContentsOfFile(dir.path(), &error), nullptr);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), EISDIR);
}

// What decoding accepts and refuses, case by case: padding may be short,
// missing or in excess of the data (up to two), spaces, tabs and line ends
// are skipped anywhere, nothing else outside the alphabet passes.
TEST_F(NSDataTest, Base64DecodingAcceptsAndRefusesExactlyAsDocumented) {
  struct Case {
    std::string text;
    std::optional<std::string> bytes;  // nullopt: refused
  };
  const std::vector<Case> cases = {
      {"", ""},
      {"=", ""},
      {"==", ""},
      {" = \n= ", ""},
      {"===", std::nullopt},
      {"T", std::nullopt},
      {"TQ", "M"},
      {"TQ=", "M"},
      {"TQ==", "M"},
      {"TR==", "M"},  // bits past the last byte are not checked
      {"TWE", "Ma"},
      {"TWE=", "Ma"},
      {"TWE==", "Ma"},
      {"TWFu", "Man"},
      {"TWFu==", "Man"},
      {"TWFu===", std::nullopt},
      {"TWFuT", std::nullopt},
      {"TWFuT==", std::nullopt},
      {"TWFuTQ", "ManM"},
      {"TWFuTWE", "ManMa"},
      {"TW=E", std::nullopt},
      {"=TWE", std::nullopt},
      {"TWE=x", std::nullopt},
      {"TWFu=TWFu", std::nullopt},
      {"TW!=", std::nullopt},
      {"TWF-", std::nullopt},
      {"TWF_", std::nullopt},
      {std::string("TWE\0", 4), std::nullopt},
      {"TWF\x80", std::nullopt},
      {" T W\tE=\r\n", "Ma"},
      {"TWE= \n", "Ma"},
      {"    TWFu", "Man"},
      {"TWFu\n=", "Man"},
      {"TWFu\r\nTWFu\r\n", "ManMan"},
      {"TW\fFu", std::nullopt},
      {"TWFu\v", std::nullopt},
      {"\n\n\n\nTWFu", "Man"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto bytes = Base64Decode(c.text);
    ASSERT_EQ(bytes.has_value(), c.bytes.has_value());
    if (bytes) {
      EXPECT_EQ(std::string(bytes->begin(), bytes->end()), *c.bytes);
    }
  }

  // Lengths 0 to 3 past each whole group, encoded and back.
  for (size_t n = 0; n < 12; ++n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 97 + 3);
    const std::string text = Base64Encode(b.data(), b.size());
    EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
    EXPECT_EQ(Base64Decode(text), b);
  }
  EXPECT_EQ(Base64Encode(reinterpret_cast<const uint8_t*>("Man"), 3), "TWFu");
  EXPECT_EQ(Base64Encode(reinterpret_cast<const uint8_t*>("M"), 1), "TQ==");
}

// The copy is whole and the source's pages inside the copied range read as
// zeros once given back; pages it shares with bytes outside the range, and
// copies under a MiB, keep their bytes.
TEST_F(NSDataTest, AReleasingCopyGivesBackOnlyWholeCopiedPages) {
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  const size_t kMiB = size_t{1} << 20;
  struct Case {
    size_t offset, length;
    bool released;
  } cases[] = {
      {0, kMiB - 1, false}, {0, kMiB, true},         {1, kMiB, true},
      {0, 8 * kMiB, true},  {7, 8 * kMiB + 1, true}, {page - 1, 9 * kMiB + page + 2, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.offset) + " + " + std::to_string(c.length));
    // Page-aligned storage, so the case picks where the range starts in a page.
    const size_t span = (c.offset + c.length + 2 * page) / page * page;
    void* mapped =
        ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    auto* base = static_cast<uint8_t*>(mapped);
    for (size_t i = 0; i < span; ++i) base[i] = static_cast<uint8_t>(i % 251 + 1);
    const Bytes before(base, base + span);
    const uint8_t* from = base + c.offset;

    Bytes to = {9};
    to.reserve(1 + c.length);
    AppendReleasingSource(to, from, c.length);
    EXPECT_EQ(to.size(), 1 + c.length);
    EXPECT_TRUE(std::equal(to.begin() + 1, to.end(), before.begin() + c.offset));

    const size_t firstWhole = (c.offset + page - 1) / page * page;
    const size_t endWhole = (c.offset + c.length) / page * page;
    size_t zeroed = 0, changedOutside = 0;
    for (size_t i = 0; i < span; ++i) {
      const bool inside = i >= firstWhole && i < endWhole;
      if (base[i] == 0) ++zeroed;
      if (!(inside && c.released) && base[i] != before[i]) ++changedOutside;
    }
    EXPECT_EQ(zeroed, c.released ? endWhole - firstWhole : 0);
    EXPECT_EQ(changedOutside, 0u);
    ::munmap(mapped, span);
  }
}

}  // namespace ns_data_test
