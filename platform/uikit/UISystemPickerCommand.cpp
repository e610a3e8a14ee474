// The running host's picker provider: QX_PICKER_COMMAND run per request.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "UISystemPicker.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/OSLog.h"
#include "platform/foundation/ProcessReaper.h"

extern char** environ;

namespace {

// More than any list of paths a person picks; the rest is not read.
constexpr size_t kMaxOutputBytes = size_t{4} << 20;

std::string command() {
  const char* c = std::getenv("QX_PICKER_COMMAND");
  return c ? c : "";
}

std::string readAll(int fd) {
  std::string out;
  ::lseek(fd, 0, SEEK_SET);
  char buffer[16384];
  while (out.size() < kMaxOutputBytes) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  if (out.size() > kMaxOutputBytes) out.resize(kMaxOutputBytes);
  return out;
}

void answerOnMain(UISystemPickerProvider::Completion completion, UISystemPickerAnswer answer) {
  NSRunLoop::mainRunLoop().perform(
      [completion = std::move(completion), answer = std::move(answer)]() mutable {
        completion(std::move(answer));
      });
}

// One running pick: the child, its output file, and whether it was cancelled.
struct RunningPick {
  pid_t pid = 0;
  int output = -1;
  std::atomic<bool> cancelled{false};
  ~RunningPick() {
    if (output >= 0) ::close(output);
  }
};

class CommandPickerProvider : public UISystemPickerProvider {
 public:
  bool canPresent() override { return !command().empty(); }

  UISystemPickerCancel pick(const UISystemPickerRequest& request, Completion completion) override {
    const std::string program = command();
    if (program.empty()) {
      answerOnMain(std::move(completion),
                   UISystemPickerAnswer::failed("QX_PICKER_COMMAND is not set"));
      return [] {};
    }
    auto args = UISystemPickerArguments(request);
    if (!args) {
      answerOnMain(std::move(completion),
                   UISystemPickerAnswer::failed("the request names no file to save"));
      return [] {};
    }
    auto running = std::make_shared<RunningPick>();
    running->output = ::memfd_create("picker-output", MFD_CLOEXEC);
    if (running->output < 0) {
      answerOnMain(std::move(completion),
                   UISystemPickerAnswer::failed(std::string("memfd_create: ") +
                                                std::strerror(errno)));
      return [] {};
    }
    std::string why;
    running->pid = spawn(program, *args, running->output, &why);
    if (running->pid <= 0) {
      NSLog("UISystemPicker: cannot run " + program + ": " + why);
      answerOnMain(std::move(completion), UISystemPickerAnswer::failed("cannot run " + program));
      return [] {};
    }
    const UISystemPickerMode mode = request.mode;
    ProcessReaper::watch(
        running->pid, dispatch_get_main_queue(),
        [running, mode, completion = std::move(completion)](int status) mutable {
          if (running->cancelled.load()) return;
          running->cancelled.store(true);  // the pick is over: a late cancel kills nothing
          completion(interpret(status, readAll(running->output), mode));
        });
    return [running] {
      if (running->cancelled.exchange(true)) return;
      // The whole process group: a script's own children (the dialog) go too.
      ::kill(-running->pid, SIGTERM);
    };
  }

 private:
  static UISystemPickerAnswer interpret(int status, const std::string& output,
                                        UISystemPickerMode mode) {
    if (!WIFEXITED(status)) {
      return UISystemPickerAnswer::failed("the picker program ended by signal " +
                                          std::to_string(WTERMSIG(status)));
    }
    const int code = WEXITSTATUS(status);
    if (code == 1) return UISystemPickerAnswer::cancelled();
    if (code != 0) {
      return UISystemPickerAnswer::failed("the picker program exited with status " +
                                          std::to_string(code));
    }
    const bool printed = output.find_first_not_of(" \t\r\n") != std::string::npos;
    auto paths = UISystemPickerParseOutput(output, mode);
    if (paths.empty() && printed) {
      return UISystemPickerAnswer::failed("the picker program named no usable path");
    }
    if (paths.empty()) return UISystemPickerAnswer::cancelled();
    if (mode == UISystemPickerMode::Export && paths.size() > 1) paths.resize(1);
    return UISystemPickerAnswer::picked(std::move(paths));
  }

  // Standard input from /dev/null, standard output into `output`, standard
  // error shared with the host's; a process group of its own so a cancel
  // reaches everything it started.
  static pid_t spawn(const std::string& program, const std::vector<std::string>& args, int output,
                     std::string* why) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int err = posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
      *why = std::strerror(err);
      return 0;
    }
    return pid;
  }
};

}  // namespace

std::shared_ptr<UISystemPickerProvider> UISystemPickerCommandProvider() {
  return std::make_shared<CommandPickerProvider>();
}
