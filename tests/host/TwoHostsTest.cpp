// Two host processes serving one application container at the same time: the
// built host binary, driven through its JSON lines, as a client runs it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/ProcessReaper.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

extern char** environ;

namespace two_hosts_test {

namespace {

// One running host on `container`: standard input through a pipe, standard
// output into `outPath`, standard error into `outPath`.err.
class HostProcess {
 public:
  HostProcess(const std::string& container, std::string outPath) : outPath_(std::move(outPath)) {
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string errPath = outPath_ + ".err";
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> env{"QX_APP_HOME=" + container};
    for (char** e = environ; *e; ++e) {
      if (std::string(*e).rfind("QX_APP_HOME=", 0) != 0) env.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = QX_HOST_BINARY;
    char* argv[] = {program.data(), nullptr};
    if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    input_ = in[1];
  }
  ~HostProcess() {
    endInput();
    if (pid_ > 0 && !exited_) ::kill(pid_, SIGKILL);
  }

  bool started() const { return pid_ > 0 && input_ >= 0; }
  bool send(const std::string& text) {
    for (size_t done = 0; done < text.size();) {
      ssize_t n = ::write(input_, text.data() + done, text.size() - done);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // Closes standard input: the host answers what it has and exits.
  void endInput() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
  }
  // Reaps the host through the process reaper, waiting a bounded time;
  // its exit status, or -1 when it has not ended by then.
  int waitForExit() {
    if (pid_ <= 0) return -1;
    auto state = std::make_shared<Exit>();
    ProcessReaper::watch(pid_, dispatch_get_global_queue(DispatchQoS::Utility), [state](int status) {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->status = status;
      state->cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(state->mutex);
    if (!state->cv.wait_for(lock, std::chrono::duration<double>(3 * kTestTimeoutSeconds),
                            [&] { return state->status >= 0; })) {
      return -1;
    }
    exited_ = true;
    return state->status;
  }
  std::vector<std::string> outputLines() const {
    std::ifstream in(outPath_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  struct Exit {
    std::mutex mutex;
    std::condition_variable cv;
    int status = -1;
  };
  std::string outPath_;
  pid_t pid_ = 0;
  int input_ = -1;
  bool exited_ = false;
};

const std::string kSetValue =
    "dev.flutter.pigeon.shared_preferences_foundation.LegacyUserDefaultsApi.setValue";

// `count` writes of keys "flutter.<prefix><i>", one request line each.
std::string writes(const std::string& prefix, int count) {
  std::string lines;
  for (int i = 0; i < count; ++i) {
    lines += R"({"id":)" + std::to_string(i) + R"(,"channel":")" + kSetValue +
             R"(","message":["flutter.)" + prefix + std::to_string(i) + R"(",)" +
             std::to_string(i) + "]}\n";
  }
  return lines;
}

using TwoHosts = PlatformTest;

// Each host keeps its own copy of the preferences domain; interleaved writes
// from both must all end up in the file, whichever host wrote last.
TEST_F(TwoHosts, InterleavedPreferenceWritesAreAllKept) {
  TempFolder scratch;
  const std::string container = scratch.makeFolder("container");
  constexpr int kWrites = 100;
  HostProcess a(container, scratch.path() + "/a.out");
  HostProcess b(container, scratch.path() + "/b.out");
  ASSERT_TRUE(a.started() && b.started());
  // Both hosts take their lines while the other is still writing.
  ASSERT_TRUE(a.send(writes("a", kWrites)));
  ASSERT_TRUE(b.send(writes("b", kWrites)));
  a.endInput();
  b.endInput();
  const int statusA = a.waitForExit(), statusB = b.waitForExit();
  ASSERT_TRUE(WIFEXITED(statusA) && WEXITSTATUS(statusA) == 0) << statusA;
  ASSERT_TRUE(WIFEXITED(statusB) && WEXITSTATUS(statusB) == 0) << statusB;
  for (const HostProcess* host : {&a, &b}) {
    const auto lines = host->outputLines();
    ASSERT_EQ(lines.size(), size_t{kWrites});
    for (int i = 0; i < kWrites; ++i) {
      EXPECT_EQ(lines[size_t(i)], R"({"id":)" + std::to_string(i) + R"(,"reply":[null]})");
    }
  }

  std::vector<std::filesystem::path> files;
  for (const auto& entry :
       std::filesystem::directory_iterator(container + "/Library/Preferences")) {
    files.push_back(entry.path());
  }
  ASSERT_EQ(files.size(), 1u) << "one domain file, no temporary file left";
  std::ifstream in(files[0]);
  auto stored = NSJSONSerialization::JSONObjectWithData(
      std::string(std::istreambuf_iterator<char>(in), {}));
  ASSERT_TRUE(stored && stored->isMap());
  EXPECT_EQ(stored->size(), size_t{2 * kWrites});
  for (const char* prefix : {"a", "b"}) {
    for (int i = 0; i < kWrites; ++i) {
      const std::string key = std::string("flutter.") + prefix + std::to_string(i);
      const Value* v = stored->find(key);
      ASSERT_TRUE(v) << key << " lost";
      EXPECT_EQ(*v, Value(i)) << key;
    }
  }
}

}  // namespace

}  // namespace two_hosts_test
