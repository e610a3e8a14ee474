#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "FoundationTestSupport.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/NSApplicationLocations.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/Value.h"
#include "support/ScriptedFileIO.h"
#include "support/ScriptedLocations.h"
#include "support/TestEnvironment.h"

namespace ns_file_manager_test {

namespace {

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

double wallNow() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

class NSFileManagerTest : public PlatformTest {
 protected:
  void TearDown() override {
    ScriptedLocations::installed().setContainerRoot("");
    PlatformTest::TearDown();
  }
  std::shared_ptr<NSFileManager> fm = NSFileManager::defaultManager();
  TempDir dir;
};

}  // namespace

TEST_F(NSFileManagerTest, CreatesFoldersAndFiles) {
  NSErrorPtr error;
  std::string deep = dir / "a/b/c";
  EXPECT_FALSE(fm->createDirectoryAtPath(deep, false, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), NSPOSIXErrorDomain);
  EXPECT_EQ(error->code(), ENOENT);
  EXPECT_EQ(error->localizedDescription(), "mkdir: No such file or directory");

  EXPECT_TRUE(fm->createDirectoryAtPath(deep, true));
  EXPECT_TRUE(fm->createDirectoryAtPath(deep, true));  // existing folder: fine with intermediates
  error = nullptr;
  EXPECT_FALSE(fm->createDirectoryAtPath(deep, false, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), EEXIST);

  bool isDirectory = false;
  EXPECT_TRUE(fm->fileExistsAtPath(deep, &isDirectory));
  EXPECT_TRUE(isDirectory);
  ASSERT_TRUE(fm->createFileAtPath(deep + "/f.txt", bytesOf("hello")));
  EXPECT_TRUE(fm->fileExistsAtPath(deep + "/f.txt", &isDirectory));
  EXPECT_FALSE(isDirectory);
  EXPECT_EQ(readText(deep + "/f.txt"), "hello");
  ASSERT_TRUE(fm->createFileAtPath(deep + "/f.txt", bytesOf("again")));
  EXPECT_EQ(readText(deep + "/f.txt"), "again");

  // A file in the way of a folder.
  error = nullptr;
  EXPECT_FALSE(fm->createDirectoryAtPath(deep + "/f.txt/sub", true, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), ENOTDIR);
  EXPECT_FALSE(fm->fileExistsAtPath(dir / "nothing"));
  EXPECT_FALSE(fm->fileExistsAtPath(""));
}

// A folder is made only where nothing else stands: a file (or a link to
// nothing) at the path or on its way is an error, with intermediates or
// without, and stays as it was; a folder or a link to one already there is
// success only with intermediates.
TEST_F(NSFileManagerTest, CreatingAFolderWhereAFileStandsFails) {
  ASSERT_TRUE(fm->createDirectoryAtPath(dir / "folder", false));
  ASSERT_TRUE(fm->createFileAtPath(dir / "file", bytesOf("kept")));
  ASSERT_TRUE(fm->createFileAtPath(dir / "folder/inner", bytesOf("kept")));
  ASSERT_EQ(::symlink("folder", (dir / "to-folder").c_str()), 0);
  ASSERT_EQ(::symlink("nothing", (dir / "to-nothing").c_str()), 0);
  struct Case {
    std::string path;
    bool intermediates;
    int error;  // 0: made, or already a folder
  };
  const Case cases[] = {
      {dir / "file", true, ENOTDIR},
      {dir / "file", false, EEXIST},
      {dir / "file/", true, ENOTDIR},
      {dir / "folder/inner", true, ENOTDIR},
      {dir / "file/sub", true, ENOTDIR},
      {dir / "file/sub", false, ENOTDIR},
      {dir / "file/sub/deeper", true, ENOTDIR},
      {dir / "folder/inner/sub", true, ENOTDIR},
      {dir / "to-nothing", true, ENOTDIR},
      {dir / "to-nothing/sub", true, ENOTDIR},
      {dir / "to-nothing/sub/deeper", true, ENOTDIR},
      {dir / "folder", true, 0},
      {dir / "folder", false, EEXIST},
      {dir / "to-folder", true, 0},
      {dir / "to-folder/new/deeper", true, 0},
      {dir / "new/deeper/", true, 0},
  };
  for (const Case& c : cases) {
    NSErrorPtr error;
    const bool made = fm->createDirectoryAtPath(c.path, c.intermediates, &error);
    EXPECT_EQ(made, c.error == 0) << c.path << " " << c.intermediates;
    EXPECT_EQ(error ? error->code() : 0, c.error) << c.path << " " << c.intermediates;
    // What stands in the way stays as it was; what is made is a folder.
    bool isDirectory = false;
    const bool folder = fm->fileExistsAtPath(c.path, &isDirectory) && isDirectory;
    if (c.error != EEXIST) {
      EXPECT_EQ(folder, made) << c.path;
    }
  }
  EXPECT_EQ(readText(dir / "file"), "kept");
  EXPECT_EQ(readText(dir / "folder/inner"), "kept");
  char target[16] = {};
  EXPECT_EQ(::readlink((dir / "to-nothing").c_str(), target, sizeof target - 1), 7);
  EXPECT_FALSE(fm->fileExistsAtPath(dir / "nothing"));
}

TEST_F(NSFileManagerTest, CopiesMovesAndRemovesWholeTrees) {
  ASSERT_TRUE(fm->createDirectoryAtPath(dir / "src/inner", true));
  ASSERT_TRUE(fm->createFileAtPath(dir / "src/one.txt", bytesOf("1")));
  ASSERT_TRUE(fm->createFileAtPath(dir / "src/inner/two.txt", bytesOf("22")));
  ASSERT_EQ(::symlink("one.txt", (dir / "src/link").c_str()), 0);

  ASSERT_TRUE(fm->copyItemAtPath(dir / "src", dir / "copy"));
  EXPECT_EQ(readText(dir / "copy/inner/two.txt"), "22");
  char target[64] = {};
  ASSERT_GT(::readlink((dir / "copy/link").c_str(), target, sizeof target - 1), 0);
  EXPECT_STREQ(target, "one.txt");

  NSErrorPtr error;
  EXPECT_FALSE(fm->copyItemAtPath(dir / "src", dir / "copy", &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), EEXIST);
  EXPECT_EQ(error->localizedDescription(), "copy: File exists");

  ASSERT_TRUE(fm->moveItemAtPath(dir / "copy", dir / "moved"));
  EXPECT_FALSE(fm->fileExistsAtPath(dir / "copy"));
  EXPECT_EQ(readText(dir / "moved/one.txt"), "1");
  error = nullptr;
  EXPECT_FALSE(fm->moveItemAtPath(dir / "src/one.txt", dir / "moved/one.txt", &error));
  EXPECT_EQ(error->code(), EEXIST);
  EXPECT_EQ(readText(dir / "src/one.txt"), "1");  // nothing replaced, nothing lost

  EXPECT_EQ(*fm->contentsOfDirectoryAtPath(dir / "src"),
            (std::vector<std::string>{"inner", "link", "one.txt"}));
  EXPECT_EQ(*fm->subpathsOfDirectoryAtPath(dir / "src"),
            (std::vector<std::string>{"inner", "inner/two.txt", "link", "one.txt"}));

  ASSERT_TRUE(fm->removeItemAtPath(dir / "moved"));
  EXPECT_FALSE(fm->fileExistsAtPath(dir / "moved"));
  EXPECT_TRUE(fm->fileExistsAtPath(dir / "src/one.txt"));  // the link's target survives
  error = nullptr;
  EXPECT_FALSE(fm->removeItemAtPath(dir / "moved", &error));
  EXPECT_EQ(error->code(), ENOENT);
  EXPECT_EQ(fm->contentsOfDirectoryAtPath(dir / "moved"), std::nullopt);
  EXPECT_EQ(fm->subpathsOfDirectoryAtPath(dir / "src/one.txt"), std::nullopt);
}

// The source changes (in size, or in place with a new modification time,
// which may differ only in its nanoseconds) as each of the first passes
// reads it: each such pass is thrown away and the file read again, up to
// three passes; a file that keeps changing is refused. A copy leaves nothing
// behind then, and a read into memory (ReadFileContents, through the
// installed calls) answers nothing; both fail with the same error.
TEST_F(NSFileManagerTest, AFileThatChangesDuringItsCopyIsCopiedAgainOrRefused) {
  struct Case {
    int changes;
    bool inPlace;
    const char* copied;  // nullptr: refused
    bool sameSecond = false;
  };
  for (const bool intoMemory : {false, true}) {
    for (const Case& c : std::initializer_list<Case>{{0, false, "0123456789"},
                                                     {1, false, "0123456789x"},
                                                     {2, false, "0123456789xx"},
                                                     {3, false, nullptr},
                                                     {1, true, "x123456789"},
                                                     {2, true, "x123456789"},
                                                     {3, true, nullptr},
                                                     {1, true, "x123456789", true},
                                                     {3, true, nullptr, true}}) {
      const std::string source = dir / "source.bin";
      const std::string target = dir / "copy.bin";
      fm->removeItemAtPath(target);
      ASSERT_TRUE(fm->createFileAtPath(source, bytesOf("0123456789")));
      const timespec before[2] = {{0, UTIME_OMIT}, {1000, 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, source.c_str(), before, 0), 0);
      auto io = std::make_shared<ScriptedFileIO>();
      io->changeDuringReads(source, c.changes, c.inPlace, c.sameSecond);
      SCOPED_TRACE(std::to_string(c.changes) + (c.inPlace ? " in place" : " appended") +
                   (c.sameSecond ? " within the second" : "") +
                   (intoMemory ? ", into memory" : ", copied"));
      NSErrorPtr error;
      bool done = false;
      std::string got;
      if (intoMemory) {
        FileIO::setCurrent(io);
        Bytes bytes{'s', 't', 'a', 'l', 'e'};
        done = ReadFileContents(source, bytes, &error);
        FileIO::setCurrent(nullptr);
        got.assign(bytes.begin(), bytes.end());
        if (!done) {
          EXPECT_EQ(got, "") << "nothing of a torn read is handed on";
        }
      } else {
        NSFileManager manager(io);
        done = manager.copyItemAtPath(source, target, &error);
        got = readText(target);
        if (!done) {
          EXPECT_FALSE(fm->fileExistsAtPath(target));
        }
      }
      if (!c.copied) {
        EXPECT_FALSE(done);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code(), EAGAIN);
        EXPECT_EQ(error->localizedDescription(),
                  source + " changed while it was copied, 3 times");
        continue;
      }
      ASSERT_TRUE(done) << (error ? error->localizedDescription() : "");
      EXPECT_EQ(got, c.copied);
      EXPECT_EQ(got, readText(source)) << "the copy is the file as it is now";
    }
  }
}

TEST_F(NSFileManagerTest, AttributesDescribeTheItem) {
  ASSERT_TRUE(fm->createFileAtPath(dir / "f.bin", Bytes(5000, 7)));
  double before = wallNow();
  auto attributes = fm->attributesOfItemAtPath(dir / "f.bin");
  ASSERT_TRUE(attributes.has_value());
  EXPECT_EQ(attributes->find(NSFileType)->asString(), NSFileTypeRegular);
  EXPECT_EQ(attributes->find(NSFileSize)->asInt64(), 5000);
  EXPECT_NEAR(attributes->find(NSFileModificationDate)->asDouble(), before, 60);
  EXPECT_NEAR(attributes->find(NSFileCreationDate)->asDouble(), before, 60);
  EXPECT_GE(attributes->find(NSURLTotalFileAllocatedSizeKey)->asInt64(), 0);
  EXPECT_EQ(attributes->find(NSFilePosixPermissions)->asInt64(), 0644);

  auto folder = fm->attributesOfItemAtPath(dir.path());
  EXPECT_EQ(folder->find(NSFileType)->asString(), NSFileTypeDirectory);

  Value changes = Value::map({{NSFileModificationDate, Value(1500000000.5)},
                              {NSURLContentAccessDateKey, Value(1400000000.0)},
                              {NSFilePosixPermissions, Value(int64_t{0600})}});
  ASSERT_TRUE(fm->setAttributesOfItemAtPath(changes, dir / "f.bin"));
  attributes = fm->attributesOfItemAtPath(dir / "f.bin");
  EXPECT_DOUBLE_EQ(attributes->find(NSFileModificationDate)->asDouble(), 1500000000.5);
  EXPECT_DOUBLE_EQ(attributes->find(NSURLContentAccessDateKey)->asDouble(), 1400000000.0);
  EXPECT_EQ(attributes->find(NSFilePosixPermissions)->asInt64(), 0600);

  NSErrorPtr error;
  EXPECT_EQ(fm->attributesOfItemAtPath(dir / "missing", &error), std::nullopt);
  EXPECT_EQ(error->code(), ENOENT);
  EXPECT_EQ(error->localizedDescription(), "statx: No such file or directory");

  auto fs = fm->attributesOfFileSystemForPath(dir.path());
  ASSERT_TRUE(fs.has_value());
  EXPECT_GT(fs->find(NSFileSystemSize)->asInt64(), 0);
  EXPECT_LE(fs->find(NSFileSystemFreeSize)->asInt64(), fs->find(NSFileSystemSize)->asInt64());
}

TEST_F(NSFileManagerTest, ContainerFoldersAreMadeOnDemand) {
  ScriptedLocations::installed().setContainerRoot(dir / "container");
  EXPECT_FALSE(fm->fileExistsAtPath(dir / "container"));
  EXPECT_EQ(NSHomeDirectory(), dir / "container");
  EXPECT_TRUE(fm->fileExistsAtPath(dir / "container"));

  std::string tmp = NSTemporaryDirectory();
  EXPECT_EQ(tmp, dir / "container/tmp/");
  EXPECT_TRUE(fm->fileExistsAtPath(tmp));

  auto check = [&](NSSearchPathDirectory which, const std::string& relative) {
    auto urls = fm->URLsForDirectory(which);
    ASSERT_EQ(urls.size(), 1u);
    EXPECT_EQ(urls[0]->path(), dir / relative);
    EXPECT_TRUE(urls[0]->hasDirectoryPath());
    bool isDirectory = false;
    EXPECT_TRUE(fm->fileExistsAtPath(dir / relative, &isDirectory) && isDirectory);
  };
  check(NSSearchPathDirectory::Documents, "container/Documents");
  check(NSSearchPathDirectory::Caches, "container/Library/Caches");
  check(NSSearchPathDirectory::ApplicationSupport, "container/Library/Application Support");
  check(NSSearchPathDirectory::Library, "container/Library");
}

TEST_F(NSFileManagerTest, ContainerRootFollowsTheEnvironment) {
  ScopedEnv home("HOME", "/home/someone");
  ScopedEnv appHome("QX_APP_HOME", nullptr);
  ScopedEnv xdg("XDG_DATA_HOME", nullptr);
  EXPECT_EQ(NSFileManager::containerRoot(), "/home/someone/.local/share/quorlinex");
  {
    ScopedEnv data("XDG_DATA_HOME", "/data");
    EXPECT_EQ(NSFileManager::containerRoot(), "/data/quorlinex");
    ScopedEnv app("QX_APP_HOME", (dir / "app").c_str());
    EXPECT_EQ(NSFileManager::containerRoot(), dir / "app");
    ScriptedLocations::installed().setContainerRoot("/override");
    EXPECT_EQ(NSFileManager::containerRoot(), "/override");
  }
}

// Who decides on the container: this process, or a child of it as
// "nobody" (65534), all its ids switched or only the effective user's (the
// one the kernel checks writes against; the real one stays root).
enum class Asker { Self, Nobody, NobodyEffectively };

struct Verdict {
  std::optional<std::string> problem;
  std::string root;
  bool operator==(const Verdict&) const = default;
  friend void PrintTo(const Verdict& v, std::ostream* out) {
    *out << (v.problem ? *v.problem : "usable") << ", container " << v.root;
  }
};

// The check and the container as `asker` sees them, with the environment of
// this process; nullopt when the child could not ask (or not in time).
std::optional<Verdict> VerdictOf(Asker asker, const std::string& home) {
  if (asker == Asker::Self) {
    return Verdict{NSDeployedLocations::containerRootProblem(home),
                   NSDeployedLocations().containerRoot()};
  }
  const uid_t nobody = 65534;
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(out[0]);
    const bool switched = asker == Asker::Nobody ? ::setgroups(0, nullptr) == 0 &&
                                                       ::setresgid(nobody, nobody, nobody) == 0 &&
                                                       ::setresuid(nobody, nobody, nobody) == 0
                                                 : ::setresuid(-1, nobody, -1) == 0;
    if (!switched) ::_exit(2);
    const auto problem = NSDeployedLocations::containerRootProblem(home);
    const std::string said =
        (problem ? "!" + *problem : "") + '\n' + NSDeployedLocations().containerRoot();
    const bool written = ::write(out[1], said.data(), said.size()) == ssize_t(said.size());
    ::_exit(written ? 0 : 3);
  }
  ::close(out[1]);
  std::string said;
  char buffer[512];
  for (pollfd p{out[0], POLLIN, 0};
       pid > 0 && ::poll(&p, 1, int(kTestTimeoutSeconds * 1000)) == 1;) {
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    said.append(buffer, size_t(n));
  }
  ::close(out[0]);
  if (pid <= 0) return std::nullopt;
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  const size_t line = said.find('\n');
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || line == std::string::npos) {
    return std::nullopt;
  }
  Verdict verdict{std::nullopt, said.substr(line + 1)};
  if (line > 0) verdict.problem = said.substr(1, line - 1);
  return verdict;
}

// QX_APP_HOME is the container only where it can be one; any other value
// gives way to the default, so that nothing is kept beside the working
// folder or half in one place and half in another. A folder the host may not
// write in, as the user it runs as, is no container either.
TEST_F(NSFileManagerTest, AnUnusableAppHomeGivesWayToTheDefault) {
  ScopedEnv xdg("XDG_DATA_HOME", (dir / "data").c_str());
  const std::string fallback = dir / "data/quorlinex";
  ASSERT_TRUE(fm->createDirectoryAtPath(dir / "folder", false));
  ASSERT_TRUE(fm->createFileAtPath(dir / "file", bytesOf("x")));
  ASSERT_EQ(::symlink("folder", (dir / "to-folder").c_str()), 0);
  ASSERT_EQ(::symlink("nothing", (dir / "to-nothing").c_str()), 0);
  // Root's own folder, which others may only read, and one anybody may
  // write in; "nobody" reaches both.
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dir / "locked").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dir / "open").c_str(), 0777), 0);
  ASSERT_EQ(::chmod((dir / "open").c_str(), 0777), 0);
  // Others may write in it but not reach what it holds: nothing can be made.
  ASSERT_EQ(::mkdir((dir / "blind").c_str(), 0772), 0);
  ASSERT_EQ(::chmod((dir / "blind").c_str(), 0772), 0);
  struct Case {
    std::string home;
    std::optional<std::string> problem;  // nullopt: the value is the container
    Asker asker = Asker::Self;
  };
  const std::string locked = "cannot be made: " + dir / "locked" + " is not writable";
  const Case cases[] = {
      {dir / "folder", std::nullopt},
      {dir / "folder/", std::nullopt},
      {dir / "new", std::nullopt},
      {dir / "new/and/deeper", std::nullopt},
      {dir / "to-folder", std::nullopt},
      {dir / "to-folder/new", std::nullopt},
      {"rel/home", "is not an absolute path"},
      {"./x", "is not an absolute path"},
      {"folder", "is not an absolute path"},
      {"", "is not an absolute path"},
      {dir / "file", "is not a folder"},
      {dir / "file/", "is not a folder"},
      {dir / "to-nothing", "is not a folder"},
      {dir / "file/home", "cannot be made: " + dir / "file" + " is not a folder"},
      {dir / "file/a/b", "cannot be made: " + dir / "file" + " is not a folder"},
      {dir / "to-nothing/home", "cannot be made: " + dir / "to-nothing" + " is not a folder"},
      // Only UTF-8 paths: every file the host answers with is named by one.
      {dir / "caf\xC3\xA9", std::nullopt},
      {dir / "caf\xE9", "is not valid UTF-8"},
      {dir / "folder/cut\xE2\x82", "is not valid UTF-8"},
      {"/\xFF\xFE/home", "is not valid UTF-8"},
      {"\xE9t\xE9", "is not an absolute path"},
      // Root may write anywhere; "nobody" in the open folder only.
      {dir / "locked", std::nullopt},
      {dir / "locked/made", std::nullopt},
      {dir / "locked", "is not writable", Asker::Nobody},
      {dir / "locked/", "is not writable", Asker::NobodyEffectively},
      {dir / "locked/new", locked, Asker::Nobody},
      {dir / "locked/new/deeper", locked, Asker::NobodyEffectively},
      {dir / "blind", "is not writable", Asker::Nobody},
      {dir / "open", std::nullopt, Asker::Nobody},
      {dir / "open/new/deeper", std::nullopt, Asker::NobodyEffectively},
  };
  const bool privileged = ::geteuid() == 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.home);
    // Without root's rights no switch is possible, and root's own folders
    // are not this user's to write in.
    if (!privileged && (c.asker != Asker::Self || c.home.rfind(dir / "locked", 0) == 0)) continue;
    ScopedEnv app("QX_APP_HOME", c.home.c_str());
    const Verdict want{c.problem, c.problem ? fallback : c.home};
    EXPECT_EQ(VerdictOf(c.asker, c.home), want);
    if (c.asker != Asker::Self) continue;
    EXPECT_EQ(NSFileManager::containerRoot(), c.problem ? fallback : c.home) << c.home;
    // Every folder of the container follows.
    const std::string root = c.problem ? fallback : c.home;
    EXPECT_EQ(NSTemporaryDirectory().rfind(root + (root.back() == '/' ? "" : "/") + "tmp/", 0), 0u)
        << c.home << ": " << NSTemporaryDirectory();
  }
  EXPECT_FALSE(fm->fileExistsAtPath(dir / "file/home"));
  EXPECT_EQ(readText(dir / "file"), "x");
}

}  // namespace ns_file_manager_test
