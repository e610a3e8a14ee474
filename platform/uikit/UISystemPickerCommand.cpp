// The running host's picker provider: QX_PICKER_COMMAND run per request.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "UISystemPicker.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/OSLog.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/foundation/ProcessExit.h"
#include "platform/foundation/ProcessReaper.h"
#include "platform/foundation/UTF8.h"
#include "platform/foundation/WeakSelf.h"

extern char** environ;

namespace {

std::string command() {
  const char* c = std::getenv("QX_PICKER_COMMAND");
  return c ? c : "";
}

const char* const kUnset =
    "QX_PICKER_COMMAND is not set: set it to a picker program (tools/pick-with-zenity shows "
    "zenity's file dialog)";

// What a program writes on standard error goes on to the host's, and its
// last line is kept: the program's own words for why it failed belong in the
// answer, where the caller reads them, not only in a log.
class ErrorTail {
 public:
  // The longest line kept; a longer one is cut there.
  static constexpr size_t kMaxLine = 1024;

  void take(const char* bytes, size_t length) {
    for (size_t done = 0; done < length;) {
      const ssize_t n = ::write(STDERR_FILENO, bytes + done, length - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    for (size_t i = 0; i < length; ++i) {
      if (bytes[i] == '\n') {
        finishLine();
      } else if (line_.size() < kMaxLine) {
        line_ += bytes[i];
      }
    }
  }
  // The last line that says anything, as valid UTF-8 without its ends' blanks.
  std::string lastLine() {
    finishLine();
    return last_;
  }

 private:
  void finishLine() {
    const size_t begin = line_.find_first_not_of(" \t\r");
    if (begin != std::string::npos) {
      const size_t end = line_.find_last_not_of(" \t\r");
      last_ = ValidUTF8(std::string_view(line_).substr(begin, end + 1 - begin));
    }
    line_.clear();
  }

  std::string line_;
  std::string last_;
};

UISystemPickerAnswer failedSaying(std::string what, const std::string& reason) {
  if (!reason.empty()) what += ": " + reason;
  return UISystemPickerAnswer::failed(std::move(what));
}

// The answer a program gave by its exit status and output; `reason` is the
// last line it wrote on standard error.
UISystemPickerAnswer interpretExit(int status, const std::string& output, UISystemPickerMode mode,
                                   const std::string& reason) {
  if (!WIFEXITED(status)) {
    return failedSaying("the picker program ended by signal " + std::to_string(WTERMSIG(status)),
                        reason);
  }
  const int code = WEXITSTATUS(status);
  if (code == 1) return UISystemPickerAnswer::cancelled();
  if (code != 0) {
    return failedSaying("the picker program exited with status " + std::to_string(code), reason);
  }
  const bool printed = output.find_first_not_of(" \t\r\n") != std::string::npos;
  auto paths = UISystemPickerParseOutput(output, mode);
  if (paths.empty() && printed) {
    return failedSaying("the picker program named no usable path", reason);
  }
  if (paths.empty()) return UISystemPickerAnswer::cancelled();
  if (mode == UISystemPickerMode::Export && paths.size() > 1) paths.resize(1);
  return UISystemPickerAnswer::picked(std::move(paths));
}

// How long a picker program's process group has to end after SIGTERM
// before it gets SIGKILL: a program that ignores SIGTERM must not outlive
// the host or linger after a cancel.
constexpr double kGroupGraceSeconds = 2;

// Whether a process of `group` still runs. A member that has ended but is
// not yet reaped (the host reaps the leader on a thread of its own, init
// the orphans) still counts for kill(), so /proc has the last word where it
// shows the group at all (it may be another namespace's).
bool groupRunning(pid_t group) {
  if (::kill(-group, 0) != 0) return errno == EPERM;
  DIR* processes = ::opendir("/proc");
  if (!processes) return true;
  bool running = false, shown = false;
  while (const dirent* entry = ::readdir(processes)) {
    if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
    const int fd = ::open((std::string("/proc/") + entry->d_name + "/stat").c_str(),
                          O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    char stat[512];
    const ssize_t n = ::read(fd, stat, sizeof stat - 1);
    ::close(fd);
    if (n <= 0) continue;
    stat[n] = 0;
    // "pid (command) state ppid pgrp ...": the command may hold anything.
    const char* afterName = std::strrchr(stat, ')');
    char state = 0;
    int parent = 0, memberOf = 0;
    if (!afterName || std::sscanf(afterName + 1, " %c %d %d", &state, &parent, &memberOf) != 3 ||
        memberOf != group) {
      continue;
    }
    shown = true;
    if (state != 'Z' && state != 'X') {
      running = true;
      break;
    }
  }
  ::closedir(processes);
  return running || !shown;
}

// The process groups of the picker programs still running. Whatever way the
// host ends normally, none of them outlives it.
class RunningGroups {
 public:
  static RunningGroups& shared() {
    static RunningGroups* groups = new RunningGroups;  // read as the process ends
    return *groups;
  }
  void add(pid_t group) {
    MutexLock lock(mutex_);
    groups_.insert(group);
    if (!registered_) {
      registered_ = true;
      AtProcessEnd([] { shared().endAll(); });
    }
  }
  void remove(pid_t group) {
    MutexLock lock(mutex_);
    groups_.erase(group);
  }

 private:
  // SIGTERM to every group, then SIGKILL to those still running after the
  // grace time; over as soon as every group has gone.
  void endAll() {
    std::set<pid_t> groups;
    {
      MutexLock lock(mutex_);
      groups.swap(groups_);
    }
    for (pid_t group : groups) ::kill(-group, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration<double>(kGroupGraceSeconds);
    for (;;) {
      std::erase_if(groups, [](pid_t group) { return !groupRunning(group); });
      if (groups.empty()) return;
      if (std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (pid_t group : groups) ::kill(-group, SIGKILL);
  }

  Mutex mutex_;
  std::set<pid_t> groups_ GUARDED_BY(mutex_);
  bool registered_ GUARDED_BY(mutex_) = false;
};

// One running pick. The program's standard output is a pipe read on a
// worker; the answer is given on the main thread once the program has been
// reaped and its output read, unless the pick was cancelled first.
class RunningPick : public std::enable_shared_from_this<RunningPick> {
 public:
  RunningPick(UISystemPickerMode mode, UISystemPickerProvider::Completion completion)
      : mode_(mode), completion_(std::move(completion)) {}
  ~RunningPick() {
    if (output_ >= 0) ::close(output_);
    if (errors_ >= 0) ::close(errors_);
    if (wake_ >= 0) ::close(wake_);
  }

  // False, with `why`, when the program could not be started.
  bool start(const std::string& program, const std::vector<std::string>& args, std::string* why);
  // The program never ran: the pick fails, later, on the main thread.
  void failLater(std::string why);
  void cancel();

 private:
  void readOutput();
  void exited(int status);
  void answerWhenDone();
  void endGroup() {
    MutexLock lock(mutex_);
    if (reaped_) return;
    ::kill(-pid_, SIGTERM);
    if (killLater_) return;
    // Called off once the leader is reaped: its id may then be another's.
    killLater_ = PlatformClock::scheduleAt(
        PlatformClock::now() + kGroupGraceSeconds, [weak = weak_from_this()] {
          dispatch_async(dispatch_get_global_queue(DispatchQoS::Utility),
                         WeakBind(weak, [](RunningPick& self) {
                           MutexLock lock(self.mutex_);
                           if (!self.reaped_) ::kill(-self.pid_, SIGKILL);
                         }));
        });
  }

  const UISystemPickerMode mode_;
  UISystemPickerProvider::Completion completion_;  // main thread
  bool over_ = false;                              // main thread: answered or cancelled
  bool exited_ = false;                            // main thread
  int status_ = 0;                                 // main thread
  pid_t pid_ = 0;
  int output_ = -1;  // the pipe's reading end, read and closed only by readOutput()
  int errors_ = -1;  // the same for the program's standard error
  int wake_ = -1;    // eventfd: stop reading (the program ended, or the pick was cancelled)

  Mutex mutex_;
  std::string text_ GUARDED_BY(mutex_);
  std::string reason_ GUARDED_BY(mutex_);  // the last line on standard error
  bool tooLong_ GUARDED_BY(mutex_) = false;
  bool readDone_ GUARDED_BY(mutex_) = false;
  bool reaped_ = false;    // guarded by mutex_: the group's leader is gone, its id free
  uint64_t killLater_ GUARDED_BY(mutex_) = 0;  // the clock's SIGKILL after SIGTERM; 0 for none
};

bool RunningPick::start(const std::string& program, const std::vector<std::string>& args,
                        std::string* why) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    *why = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  output_ = pipeFds[0];
  ::fcntl(output_, F_SETFL, O_NONBLOCK);
  int errorFds[2];
  if (::pipe2(errorFds, O_CLOEXEC) != 0) {
    ::close(pipeFds[1]);
    *why = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  errors_ = errorFds[0];
  ::fcntl(errors_, F_SETFL, O_NONBLOCK);
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0) {
    ::close(pipeFds[1]);
    ::close(errorFds[1]);
    *why = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  // Standard input from /dev/null, standard output and standard error into
  // pipes (what comes on the latter goes on to the host's); a process group
  // of its own so a cancel reaches everything it started.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errorFds[1], STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t none, piped;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  // A host that ignores SIGPIPE must not hand that on: a program whose
  // output is no longer read ends.
  sigemptyset(&piped);
  sigaddset(&piped, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &piped);
  std::vector<std::string> words{program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  int err = posix_spawnp(&pid_, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  ::close(errorFds[1]);
  if (err != 0) {
    *why = std::strerror(err);
    return false;
  }
  RunningGroups::shared().add(pid_);
  auto self = shared_from_this();
  dispatch_async(dispatch_get_global_queue(DispatchQoS::UserInitiated), [self] {
    DispatchBlockingScope waiting;  // blocks until the program ends or stops writing
    self->readOutput();
  });
  ProcessReaper::watch(pid_, dispatch_get_main_queue(),
                       [self](int status) { self->exited(status); });
  return true;
}

void RunningPick::readOutput() {
  std::string text;
  ErrorTail tail;
  bool tooLong = false;
  char buffer[65536];
  // Reads one pipe once: false once it is at its end (or failed).
  auto drain = [&buffer](int fd, size_t most, const std::function<void(size_t)>& took,
                         bool& progressed) {
    const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, most));
    if (n > 0) {
      progressed = true;
      took(static_cast<size_t>(n));
      return true;
    }
    if (n < 0 && errno == EINTR) progressed = true;
    return n < 0 && (errno == EINTR || errno == EAGAIN);
  };
  bool outputOpen = true, errorsOpen = true;
  for (bool stopping = false; (outputOpen || errorsOpen) && !tooLong;) {
    pollfd fds[3] = {{outputOpen ? output_ : -1, POLLIN, 0},
                     {errorsOpen ? errors_ : -1, POLLIN, 0},
                     {wake_, POLLIN, 0}};
    if (!stopping && ::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    // Once asked to stop, what is already in the pipes is still read; a
    // child of the program that keeps them open is not waited for.
    stopping = stopping || fds[2].revents;
    bool progressed = false;
    if (outputOpen) {
      const size_t room = UISystemPickerMaxOutputBytes + 1 - text.size();
      outputOpen = drain(
          output_, room,
          [&](size_t n) {
            text.append(buffer, n);
            if (text.size() > UISystemPickerMaxOutputBytes) {
              tooLong = true;
              endGroup();
            }
          },
          progressed);
    }
    if (errorsOpen) {
      errorsOpen = drain(
          errors_, sizeof buffer, [&](size_t n) { tail.take(buffer, n); }, progressed);
    }
    if (stopping && !progressed) break;  // nothing more once stopping
  }
  // A program still writing now fails to, and ends.
  ::close(output_);
  output_ = -1;
  ::close(errors_);
  errors_ = -1;
  {
    MutexLock lock(mutex_);
    text_ = std::move(text);
    reason_ = tail.lastLine();
    tooLong_ = tooLong;
    readDone_ = true;
  }
  dispatch_async(dispatch_get_main_queue(),
                 [self = shared_from_this()] { self->answerWhenDone(); });
}

void RunningPick::exited(int status) {
  {
    MutexLock lock(mutex_);
    reaped_ = true;
    if (killLater_) PlatformClock::cancel(killLater_);
  }
  RunningGroups::shared().remove(pid_);
  exited_ = true;
  status_ = status;
  ::eventfd_write(wake_, 1);
  answerWhenDone();
}

void RunningPick::failLater(std::string why) {
  dispatch_async(dispatch_get_main_queue(), [self = shared_from_this(), why = std::move(why)] {
    if (self->over_) return;
    self->over_ = true;
    self->completion_(UISystemPickerAnswer::failed(why));
  });
}

void RunningPick::cancel() {
  if (over_) return;
  over_ = true;
  // The whole process group: a script's own children (the dialog) go too.
  endGroup();
  ::eventfd_write(wake_, 1);
}

void RunningPick::answerWhenDone() {
  std::string text, reason;
  bool tooLong = false;
  {
    MutexLock lock(mutex_);
    // Output over the limit fails the pick at once: the program was told to
    // end, and is reaped whenever it does.
    if (!readDone_ || (!exited_ && !tooLong_) || over_) return;
    text = std::move(text_);
    reason = std::move(reason_);
    tooLong = tooLong_;
  }
  over_ = true;
  if (tooLong) {
    completion_(UISystemPickerAnswer::failed(
        "the picker program wrote more than " + std::to_string(UISystemPickerMaxOutputBytes) +
        " bytes on standard output (the most a pick may name); it was ended"));
    return;
  }
  completion_(interpretExit(status_, text, mode_, reason));
}

class CommandPickerProvider : public UISystemPickerProvider {
 public:
  bool canPresent() override {
    if (!command().empty()) return true;
    static std::once_flag told;
    std::call_once(told, [] { NSLog(std::string("UISystemPicker: ") + kUnset); });
    return false;
  }
  std::string whyUnavailable() override { return command().empty() ? kUnset : ""; }

  UISystemPickerCancel pick(const UISystemPickerRequest& request, Completion completion) override {
    const std::string program = command();
    if (program.empty()) {
      dispatch_bind_to_queue(dispatch_get_main_queue(),
                             std::move(completion))(UISystemPickerAnswer::failed(kUnset));
      return [] {};
    }
    auto args = UISystemPickerArguments(request);
    if (!args) {
      dispatch_bind_to_queue(dispatch_get_main_queue(), std::move(completion))(
          UISystemPickerAnswer::failed("the request names no file to save"));
      return [] {};
    }
    auto running = std::make_shared<RunningPick>(request.mode, std::move(completion));
    std::string why;
    if (!running->start(program, *args, &why)) {
      NSLog("UISystemPicker: cannot run " + program + ": " + why);
      running->failLater("cannot run " + program + ": " + why);
      return [] {};
    }
    return [running] { running->cancel(); };
  }
};

}  // namespace

std::shared_ptr<UISystemPickerProvider> UISystemPickerCommandProvider() {
  return std::make_shared<CommandPickerProvider>();
}
