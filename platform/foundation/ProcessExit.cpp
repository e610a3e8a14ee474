#include "ProcessExit.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>
#include <vector>

#include "BuildFlags.h"
#include "Mutex.h"
#include "NSThread.h"

#if defined(QX_LEAK_CHECKED)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

struct EndTasks {
  Mutex mutex;
  std::vector<void (*)()> tasks GUARDED_BY(mutex);
};

// Never destroyed: it is read at the very end, when nothing static may go.
EndTasks& endTasks() {
  static EndTasks* tasks = new EndTasks;
  return *tasks;
}

// Set by the thread that runs the end; whoever comes second leaves it to
// that one.
std::atomic<bool> endClaimed{false};

// The stop signal that came first, 0 before any. Written in the handler:
// a lock-free atomic is safe there.
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

// The handler's only way to the thread that acts on the signal: writing to
// a pipe is safe in a handler, and nothing else of the end is.
int signalPipe[2] = {-1, -1};

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

void noteStopSignal(int signal) {
  const int saved = errno;
  int none = 0;
  stopSignal.compare_exchange_strong(none, signal);
  const char byte = 1;
  // Non-blocking: a pipe full of earlier signals says nothing new.
  [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
  errno = saved;
}

void runTasks() {
  std::vector<void (*)()> tasks;
  {
    EndTasks& end = endTasks();
    MutexLock lock(end.mutex);
    tasks = end.tasks;
  }
  for (auto task = tasks.rbegin(); task != tasks.rend(); ++task) (*task)();
}

void leakCheck() {
#if defined(QX_LEAK_CHECKED)
  // exit() would have checked; _exit() does not. What the statics and the
  // running threads still hold is reachable, so only real leaks show.
  __lsan_do_leak_check();
#endif
}

// Dies of `signal` as its default action would have killed the process, so
// the parent's wait sees it.
[[noreturn]] void dieOf(int signal) {
  struct sigaction byDefault = {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  ::sigaction(signal, &byDefault, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(signal);
  ::_exit(128 + signal);  // not reached: the default action of a stop signal ends the process
}

void sleepSeconds(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// The thread that stands in for the handler.
void actOnStopSignal(UniqueFunction<void()> begin, double graceSeconds) {
  pollfd readable{signalPipe[0], POLLIN, 0};
  while (::poll(&readable, 1, -1) != 1) {
  }
  // However the end goes (a task of it may never return), the process is
  // gone two grace times from now. Real time, whatever clock the rest of the
  // process reads: it was told to stop.
  NSThread::detachNewThreadWithBlock(
      [graceSeconds] {
        sleepSeconds(2 * graceSeconds);
        dieOf(stopSignal.load());
      },
      "stop-deadline");
  if (begin) begin();
  sleepSeconds(graceSeconds);
  if (endClaimed.exchange(true)) return;  // the end is under way
  // Nothing began the end (its thread is stuck): what the tasks leave
  // running must not outlive the process. Output is not flushed: a stuck
  // writer may hold the streams' locks.
  runTasks();
  leakCheck();
  dieOf(stopSignal.load());
}

}  // namespace

void AtProcessEnd(void (*task)()) {
  if (!task) return;
  EndTasks& end = endTasks();
  {
    MutexLock lock(end.mutex);
    end.tasks.push_back(task);
  }
  std::atexit(task);
}

void EndProcessWithoutStaticDestructors(int status) {
  if (endClaimed.exchange(true)) {
    // Another thread is ending the process.
    for (;;) ::pause();
  }
  runTasks();
  // The C++ streams first: once out of step with stdio they hold text of
  // their own.
  std::cout.flush();
  std::clog.flush();
  if (stopSignal.load() != 0) {
    // Only the standard outputs: a thread still reading standard input
    // holds that stream's lock, which flushing every stream would wait for.
    std::fflush(stdout);
    std::fflush(stderr);
  } else {
    std::fflush(nullptr);
  }
  leakCheck();
  // A stop signal that came while the tasks ran still decides how the
  // process ends.
  if (const int signal = stopSignal.load()) dieOf(signal);
  // The system call's wrapper, which the thread sanitizer's runtime
  // intercepts to report its findings in the exit status; std::_Exit would
  // go round it.
  ::_exit(status);
}

void EndProcessOnStopSignals(UniqueFunction<void()> begin, double graceSeconds) {
  static std::atomic<bool> called{false};
  if (called.exchange(true)) return;
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  NSThread::detachNewThreadWithBlock(
      [begin = std::move(begin), graceSeconds]() mutable {
        actOnStopSignal(std::move(begin), graceSeconds);
      },
      "stop-signals");
  for (int signal : kStopSignals) {
    struct sigaction now = {};
    if (::sigaction(signal, nullptr, &now) != 0 || now.sa_handler == SIG_IGN) continue;
    struct sigaction noting = {};
    noting.sa_handler = noteStopSignal;
    sigemptyset(&noting.sa_mask);
    // Calls that other threads were in when the signal came on them go on.
    noting.sa_flags = SA_RESTART;
    ::sigaction(signal, &noting, nullptr);
  }
}
