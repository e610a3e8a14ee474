#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <string>

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
