#include "HostSession.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/ProcessReaper.h"

extern char** environ;

HostSession::HostSession(const std::vector<std::string>& environment, const std::string& errPath,
                         std::optional<uid_t> user) {
  // A host that dies mid-test must fail that test through send()'s false,
  // not kill the whole test program with SIGPIPE and lose every other result.
  static const bool pipeIgnored = [] { return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  (void)pipeIgnored;
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> env = environment;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('=') + 1);
    bool replaced = false;
    for (const auto& mine : environment) replaced |= mine.rfind(name, 0) == 0;
    if (!replaced) env.push_back(entry);
  }
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> words;
  if (user) {
    const std::string id = std::to_string(*user);
    words = {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "--inh-caps=-all"};
  }
  words.push_back(QX_HOST_BINARY);
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  // The stop signals as a terminal's shell hands them on, whatever the test
  // runner ignores: a host started by a shell in the background, or under
  // nohup, keeps a stop signal ignored.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t stops;
  sigemptyset(&stops);
  for (int stop : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stops, stop);
  posix_spawnattr_setsigdefault(&attributes, &stops);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  if (::posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data()) != 0) {
    pid_ = 0;
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  input_ = in[1];
  output_ = out[0];
}

HostSession::~HostSession() {
  if (input_ >= 0) ::close(input_);
  if (output_ >= 0) ::close(output_);
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool HostSession::send(const std::string& line) {
  const std::string text = line + "\n";
  for (size_t done = 0; done < text.size();) {
    ssize_t n = ::write(input_, text.data() + done, text.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool HostSession::readLine(double timeoutSeconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  for (;;) {
    const size_t newline = buffer_.find('\n');
    if (newline != std::string::npos) {
      auto json = NSJSONSerialization::JSONObjectWithData(buffer_.substr(0, newline));
      buffer_.erase(0, newline + 1);
      if (!json) continue;
      if (const Value* id = json->find("id"); id && id->isInteger()) {
        replies_[id->asInt64()] = *json;
        ++replyCounts_[id->asInt64()];
      } else if (const Value* event = json->find("value")) {
        events_.push_back(*event);
      }
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{output_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char chunk[65536];
    ssize_t n = ::read(output_, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

std::optional<Value> HostSession::reply(int64_t id, double timeoutSeconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  while (!replies_.count(id)) {
    const double left =
        std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0 || !readLine(left)) break;
  }
  auto it = replies_.find(id);
  if (it == replies_.end()) return std::nullopt;
  return it->second;
}

int HostSession::finish(double timeoutSeconds) {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
  while (readLine(timeoutSeconds)) {
  }
  return waitForExit(timeoutSeconds);
}

int HostSession::waitForExit(double timeoutSeconds) {
  struct Exit {
    std::mutex mutex;
    std::condition_variable cv;
    int status = -1;
  };
  auto state = std::make_shared<Exit>();
  ProcessReaper::watch(pid_, dispatch_get_global_queue(DispatchQoS::Utility), [state](int status) {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->status = status;
    state->cv.notify_all();
  });
  std::unique_lock<std::mutex> lock(state->mutex);
  if (!state->cv.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                          [&] { return state->status >= 0; })) {
    return -1;
  }
  pid_ = 0;
  return state->status;
}
