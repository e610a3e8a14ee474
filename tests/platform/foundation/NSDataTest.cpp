#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <optional>
#include <string>
#include <vector>

#include "FoundationTestSupport.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/NSFileManager.h"
#include "support/TestEnvironment.h"

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
