#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSNotification.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/ProcessTemporaryFolders.h"
#include "platform/foundation/SingletonResets.h"
#include "support/ScriptedSystemInfo.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

extern char** environ;

namespace ns_process_info_test {

namespace {

double firstNumberOf(const char* path) {
  std::ifstream in(path);
  double value = -1;
  in >> value;
  return value;
}

uint64_t memTotalBytes() {
  std::ifstream in("/proc/meminfo");
  std::string key, unit;
  uint64_t kib = 0;
  while (in >> key >> kib >> unit) {
    if (key == "MemTotal:") return kib * 1024;
  }
  return 0;
}

}  // namespace

using NSProcessInfoTest = PlatformTest;

TEST_F(NSProcessInfoTest, MachineFactsComeFromLinux) {
  auto& info = NSProcessInfo::processInfo();
  EXPECT_EQ(info.physicalMemory(), memTotalBytes());
  double uptime = info.systemUptime();
  double procUptime = firstNumberOf("/proc/uptime");
  EXPECT_GT(uptime, 0);
  EXPECT_LE(uptime, procUptime + 1.0);  // /proc/uptime also counts suspended time
  EXPECT_GE(info.systemUptime(), uptime);
  EXPECT_GE(info.processorCount(), info.activeProcessorCount());
  EXPECT_GE(info.activeProcessorCount(), 1);
  EXPECT_EQ(info.processName(), "test_platform_foundation");
  EXPECT_EQ(info.processIdentifier(), static_cast<int>(::getpid()));

  ::setenv("QX_PROCESS_INFO_TEST", "a=b", 1);
  auto env = info.environment();
  EXPECT_EQ(env["QX_PROCESS_INFO_TEST"], "a=b");
  ::unsetenv("QX_PROCESS_INFO_TEST");
  EXPECT_EQ(info.environment().count("QX_PROCESS_INFO_TEST"), 0u);
}

TEST_F(NSProcessInfoTest, GloballyUniqueStringsDoNotRepeat) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) seen.insert(NSProcessInfo::processInfo().globallyUniqueString());
  EXPECT_EQ(seen.size(), 1000u);
  EXPECT_NE(seen.begin()->find("-" + std::to_string(::getpid()) + "-"), std::string::npos);
}

// A tag names its process by pid and start time: another start of the pid,
// or no process at all, is an ended one; a forked child tags with its own
// start, so its tag holds while it runs and ends with it.
TEST_F(NSProcessInfoTest, TemporaryTagsEndWithTheirProcessOnly) {
  const std::string own = ProcessTemporaryTag();
  const std::string pid = std::to_string(::getpid());
  ASSERT_EQ(own.rfind(pid + "-", 0), 0u) << own;
  const unsigned long long start = std::stoull(own.substr(pid.size() + 1));
  struct Case {
    std::string tag;
    bool ended;
  };
  for (const Case& c : std::vector<Case>{
           {own, false},
           {pid + "-" + std::to_string(start) + "-", false},
           {pid + "-" + std::to_string(start + 1) + "-x", true},
           {"4194304-" + std::to_string(start) + "-x", true},  // pids stay below 2^22
           {"not-a-tag", false},
           {pid + "-", false}}) {
    EXPECT_EQ(ProcessTemporaryTagHasEnded(c.tag), c.ended) << c.tag;
  }
  // The child must start on a later clock tick than this process did.
  while (firstNumberOf("/proc/uptime") * 100 < double(start + 2)) {
  }
  int toParent[2], toChild[2];
  ASSERT_EQ(::pipe(toParent), 0);
  ASSERT_EQ(::pipe(toChild), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(toParent[0]);
    ::close(toChild[1]);
    const std::string tag = ProcessTemporaryTag();
    (void)!::write(toParent[1], tag.data(), tag.size());
    ::close(toParent[1]);
    char end;
    (void)!::read(toChild[0], &end, 1);  // runs until the parent lets it go
    ::_exit(0);
  }
  ::close(toParent[1]);
  ::close(toChild[0]);
  std::string tag;
  char buffer[256];
  for (ssize_t n; (n = ::read(toParent[0], buffer, sizeof buffer)) > 0;) tag.append(buffer, n);
  ::close(toParent[0]);
  EXPECT_EQ(tag.rfind(std::to_string(child) + "-", 0), 0u) << tag;
  EXPECT_FALSE(ProcessTemporaryTagHasEnded(tag)) << tag << " while its process runs";
  ::close(toChild[1]);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  EXPECT_TRUE(ProcessTemporaryTagHasEnded(tag)) << tag;
}

namespace {

// Field 22 (the start time) of /proc/<pid>/stat, read apart from the code
// under test, with the line itself: the command name in parentheses may
// hold spaces and ')', the fields after it never do.
unsigned long long startTimeField(pid_t pid, std::string* line) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  *line = std::string(std::istreambuf_iterator<char>(in), {});
  std::istringstream fields(line->substr(line->rfind(") ") + 2));
  std::string field;
  for (int number = 3; number < 22; ++number) fields >> field;
  unsigned long long start = 0;
  fields >> start;
  return start;
}

}  // namespace

// The start time of a tag is field 22 of the process's stat line, also where
// the command name holds spaces and parentheses: a folder of the running
// process is kept, one with its pid but another start (a process gone whose
// pid came back) is cleared, and the kept one goes once the process ends.
TEST_F(NSProcessInfoTest, TagsCarryTheStartTimeOfTheStatLine) {
  std::string line;
  const std::string own = ProcessTemporaryTag();
  const std::string pid = std::to_string(::getpid());
  EXPECT_EQ(own.rfind(pid + "-" + std::to_string(startTimeField(::getpid(), &line)) + "-", 0), 0u)
      << own << " from " << line;

  TempFolder scratch;
  const std::string name = "a) b (c) d";
  const std::string program = scratch.path() + "/" + name;
  ASSERT_EQ(::symlink("/bin/cat", program.c_str()), 0);
  int input[2];
  ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  std::string arg0 = program;
  char* argv[] = {arg0.data(), nullptr};
  pid_t child = 0;
  const int spawned = ::posix_spawn(&child, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(input[0]);
  ASSERT_EQ(spawned, 0);
  const unsigned long long start = startTimeField(child, &line);
  EXPECT_NE(line.find(" (" + name + ") "), std::string::npos) << line;
  const std::string at = std::to_string(child) + "-";
  struct Case {
    unsigned long long start;
    bool ended;
  };
  for (const Case& c : {Case{start, false}, Case{start - 1, true}, Case{start + 1, true}}) {
    EXPECT_EQ(ProcessTemporaryTagHasEnded(at + std::to_string(c.start) + "-x"), c.ended)
        << c.start << " against " << line;
  }
  const std::string temporary = NSTemporaryDirectory();
  const std::string uuid = "-0a1b2c3d-0000-4000-8000-00000000000";
  const std::string running = temporary + ".t-" + at + std::to_string(start) + uuid + "1";
  const std::string reused = temporary + ".t-" + at + std::to_string(start + 1) + uuid + "2";
  for (const std::string& folder : {running, reused}) {
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0) << folder;
    std::ofstream(folder + "/left") << "x";
  }
  EXPECT_TRUE(RemoveTemporaryFoldersOfEndedProcesses());
  struct stat st;
  EXPECT_EQ(::stat((running + "/left").c_str(), &st), 0) << "kept while its process runs";
  EXPECT_NE(::stat(reused.c_str(), &st), 0) << "another start of the pid";
  ::close(input[1]);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  EXPECT_TRUE(RemoveTemporaryFoldersOfEndedProcesses());
  EXPECT_NE(::stat(running.c_str(), &st), 0);
}

TEST_F(NSProcessInfoTest, LowPowerModeAnnouncesEachChange) {
  auto& info = NSProcessInfo::processInfo();
  auto system = ScriptedSystemInfo::install();
  int observer = 0;
  int posts = 0;
  bool senderIsProcessInfo = false;
  NSNotificationCenter::defaultCenter().addObserver(&observer,
                                                    NSProcessInfoPowerStateDidChangeNotification,
                                                    nullptr, [&](const NSNotification& n) {
                                                      ++posts;
                                                      senderIsProcessInfo = n.object.get() == &info;
                                                    });
  EXPECT_FALSE(info.isLowPowerModeEnabled());
  system->setLowPowerModeEnabled(true);
  EXPECT_TRUE(info.isLowPowerModeEnabled());
  system->setLowPowerModeEnabled(true);  // unchanged: no post
  system->setLowPowerModeEnabled(false);
  EXPECT_FALSE(info.isLowPowerModeEnabled());
  EXPECT_EQ(posts, 2);
  // A provider installed in low power mode is a change too; the one the
  // test environment restores is the system's own (never low power), put
  // back without telling anyone.
  auto saving = std::make_shared<ScriptedSystemInfo>();
  saving->setLowPowerModeEnabled(true);
  info.setSystemInfoProvider(saving);
  EXPECT_EQ(posts, 3);
  EXPECT_TRUE(info.isLowPowerModeEnabled());
  SingletonResets::runAll();
  EXPECT_FALSE(info.isLowPowerModeEnabled());
  NSNotificationCenter::defaultCenter().removeObserver(&observer);
  EXPECT_EQ(posts, 3);
  EXPECT_TRUE(senderIsProcessInfo);
}

TEST_F(NSProcessInfoTest, OperatingSystemVersionComparesByComponent) {
  auto& info = NSProcessInfo::processInfo();
  auto system = ScriptedSystemInfo::install();
  EXPECT_TRUE(info.isOperatingSystemAtLeastVersion({17, 0, 0}));
  EXPECT_TRUE(info.isOperatingSystemAtLeastVersion({16, 9, 9}));
  EXPECT_FALSE(info.isOperatingSystemAtLeastVersion({17, 0, 1}));
  system->setOperatingSystemVersion({13, 7, 0});
  EXPECT_FALSE(info.isOperatingSystemAtLeastVersion({14, 0, 0}));
  EXPECT_TRUE(info.isOperatingSystemAtLeastVersion({13, 6, 10}));
  EXPECT_FALSE(info.isiOSAppOnMac());
  system->setiOSAppOnMac(true);
  EXPECT_TRUE(info.isiOSAppOnMac());
  EXPECT_FALSE(info.isiOSAppOnVision()) << "the two flags are read apart";
  system->setiOSAppOnVision(true);
  system->setiOSAppOnMac(false);
  EXPECT_TRUE(info.isiOSAppOnVision());
  EXPECT_FALSE(info.isiOSAppOnMac());
  system->setiOSAppOnMac(true);
  SingletonResets::runAll();
  EXPECT_TRUE(info.isOperatingSystemAtLeastVersion({17, 0, 0})) << "the system's own version";
  EXPECT_FALSE(info.isiOSAppOnMac());
  EXPECT_FALSE(info.isiOSAppOnVision());
}

}  // namespace ns_process_info_test
