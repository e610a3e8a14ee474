// The end of a process whose workers may still run: the tasks given to
// AtProcessEnd run, last given first, on the way out through
// EndProcessWithoutStaticDestructors and at exit() alike; what the output
// streams still hold is written; the status is the one given, with a worker
// still in a block; and no static destructor runs (one that did would end
// the process with a status of its own). A stop signal ends the process
// the same way, and it then dies of that signal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <thread>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/ProcessExit.h"
#include "platform/foundation/BuildFlags.h"
#include "support/TestEnvironment.h"

namespace process_exit_test {

namespace {

constexpr int kDestroyedStatus = 99;

void sayFirst() { std::fputs("first task\n", stderr); }
void saySecond() { std::fputs("second task\n", stderr); }

// A static whose destruction shows in the status.
struct ExitsWhenDestroyed {
  ~ExitsWhenDestroyed() { ::_exit(kDestroyedStatus); }
};

// Standard output goes where the death test reads (standard error), and
// text is left in buffers that only a flush writes: no line ends, and the
// C++ streams out of step with stdio, each with a buffer of its own.
void leaveOutputBuffered() {
  ::dup2(STDERR_FILENO, STDOUT_FILENO);
  std::ios::sync_with_stdio(false);
  std::fputs("[stdio without its line end]", stdout);
  std::cout << "[cout without its line end]";
  std::clog << "[clog without its line end]";
}

[[noreturn]] void endWithAWorkerInABlock(int status) {
  static ExitsWhenDestroyed guard;
  AtProcessEnd(sayFirst);
  AtProcessEnd(saySecond);
  leaveOutputBuffered();
  // A block that never finishes: the end may not wait for it.
  auto never = dispatch_semaphore_create(0);
  auto started = dispatch_semaphore_create(0);
  dispatch_async(dispatch_get_global_queue(DispatchQoS::Default), [never, started] {
    dispatch_semaphore_signal(started);
    dispatch_semaphore_wait(never, DISPATCH_TIME_FOREVER);
  });
  dispatch_semaphore_wait(started, DISPATCH_TIME_FOREVER);
  EndProcessWithoutStaticDestructors(status);
}

[[noreturn]] void exitWithTasks(int status) {
  AtProcessEnd(sayFirst);
  AtProcessEnd(saySecond);
  leaveOutputBuffered();
  std::exit(status);
}

constexpr int kTasksRanTwice = 98;

// A task that may run only once.
void once() {
  static std::atomic<bool> ran{false};
  if (ran.exchange(true)) ::_exit(kTasksRanTwice);
}

[[noreturn]] void hang() {
  for (;;) ::pause();
}

double grace = 0;

// Outlasts the grace time, not the time after which the process dies
// whatever it is doing.
void slow() { std::this_thread::sleep_for(std::chrono::duration<double>(1.5 * grace)); }

// What the main thread does once a stop signal has begun the end.
enum class Main {
  Ends,          // ends the process, while a thread waits on standard input
  EndsSlowly,    // ends it, with a task that outlasts the grace time
  EndsAndHangs,  // ends it, and a task of the end never returns
  Stuck,         // never begins the end
};

dispatch_semaphore_t& begun() {
  static dispatch_semaphore_t semaphore = dispatch_semaphore_create(0);
  return semaphore;
}

// A thread blocked reading standard input, as the host's driver is while
// input stays open: it holds the stream's lock.
void holdStandardInput() {
  int fds[2];
  if (::pipe(fds) != 0 || ::dup2(fds[0], STDIN_FILENO) < 0) std::abort();
  dispatch_async(dispatch_get_global_queue(DispatchQoS::Default), [] { std::fgetc(stdin); });
  while (::ftrylockfile(stdin) == 0) {
    ::funlockfile(stdin);
    std::this_thread::yield();
  }
}

// `signal` comes, with `second` (0: none) right after the end has begun.
[[noreturn]] void stopBy(int signal, int second, Main main, double graceSeconds) {
  ::alarm(30);  // an end that never comes fails the test (SIGALRM) instead of hanging it
  grace = graceSeconds;
  AtProcessEnd(sayFirst);
  if (main == Main::EndsSlowly) AtProcessEnd(slow);
  if (main == Main::EndsAndHangs) AtProcessEnd(hang);
  AtProcessEnd(saySecond);
  AtProcessEnd(once);  // runs first: a second run of the tasks ends the process there
  leaveOutputBuffered();
  if (main == Main::Ends) holdStandardInput();
  EndProcessOnStopSignals([] { dispatch_semaphore_signal(begun()); }, graceSeconds);
  ::kill(::getpid(), signal);
  dispatch_semaphore_wait(begun(), DISPATCH_TIME_FOREVER);
  if (second) ::kill(::getpid(), second);
  if (main == Main::Stuck) hang();
  EndProcessWithoutStaticDestructors(0);
}

// A stop signal ignored when the process starts (nohup's SIGHUP) stays
// ignored; another still ends it.
[[noreturn]] void ignoredThenStopped() {
  ::alarm(30);
  ::signal(SIGHUP, SIG_IGN);
  AtProcessEnd(sayFirst);
  EndProcessOnStopSignals([] { EndProcessWithoutStaticDestructors(3); }, 60);
  ::raise(SIGHUP);
  std::fputs("still running\n", stderr);
  ::raise(SIGTERM);
  hang();
}

// With the signals taken but none sent, the end keeps its status.
[[noreturn]] void endWithoutASignal(int status) {
  EndProcessOnStopSignals([] {}, 60);
  endWithAWorkerInABlock(status);
}

#if defined(QX_LEAK_CHECKED)
__attribute__((noinline)) void dropBlocks() {
  for (int i = 0; i < 8; ++i) {
    char* volatile block = new char[4096];
    block[0] = 1;
  }
}

// Blocks nothing points to any more, not even a stale stack slot.
[[noreturn]] void endAfterALeak() {
  dropBlocks();
  char wipe[65536];
  __builtin_memset(wipe, 0, sizeof wipe);
  asm volatile("" : : "r"(wipe) : "memory");
  EndProcessWithoutStaticDestructors(0);
}
#endif

}  // namespace

class ProcessExitDeathTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
  }
};

TEST_F(ProcessExitDeathTest, TasksRunOutputIsWrittenAndStaticsStay) {
  // Each stream's text is there, whichever is written out first.
  const char* kEnd = "second task\nfirst task\n(.*\\[(stdio|cout|clog) without its line end\\]){3}";
  for (int status : {0, 1, 7, 255}) {
    SCOPED_TRACE(status);
    EXPECT_EXIT(endWithAWorkerInABlock(status), ::testing::ExitedWithCode(status), kEnd);
    // exit() runs the same tasks, and the statics' destructors as usual.
    EXPECT_EXIT(exitWithTasks(status), ::testing::ExitedWithCode(status), kEnd);
  }
}

// A stop signal ends the process through its own end (the tasks run once,
// the output is written), and the process dies of that signal. A main
// thread that never begins the end, or an end that never finishes, holds
// the process only for the grace time: the tasks still run.
TEST_F(ProcessExitDeathTest, AStopSignalEndsTheProcessAndItDiesOfIt) {
  const char* kEnd = "second task\nfirst task\n(.*\\[(stdio|cout|clog) without its line end\\]){3}";
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    // A grace time far longer than the test's alarm: only the main thread
    // can end these.
    EXPECT_EXIT(stopBy(signal, 0, Main::Ends, 600), ::testing::KilledBySignal(signal), kEnd);
    const int other = signal == SIGTERM ? SIGINT : SIGTERM;
    EXPECT_EXIT(stopBy(signal, other, Main::Ends, 600), ::testing::KilledBySignal(signal), kEnd);
    EXPECT_EXIT(stopBy(signal, other, Main::Stuck, 1), ::testing::KilledBySignal(signal),
                "second task\nfirst task\n");
    EXPECT_EXIT(stopBy(signal, 0, Main::EndsSlowly, 0.2), ::testing::KilledBySignal(signal),
                "second task\n");
    EXPECT_EXIT(stopBy(signal, 0, Main::EndsAndHangs, 0.1), ::testing::KilledBySignal(signal),
                "second task\n");
  }
  EXPECT_EXIT(ignoredThenStopped(), ::testing::KilledBySignal(SIGTERM),
              "still running\nfirst task\n");
  for (int status : {0, 7}) {
    EXPECT_EXIT(endWithoutASignal(status), ::testing::ExitedWithCode(status),
                "second task\nfirst task\n");
  }
}

#if defined(QX_LEAK_CHECKED)
// _exit() skips the leak check that exit() runs: the end runs it itself, so
// the checked build still reports what a run of the host leaked.
TEST_F(ProcessExitDeathTest, TheLeakCheckStillRuns) {
  EXPECT_EXIT(
      endAfterALeak(), [](int status) { return status != 0; },
      "LeakSanitizer: detected memory leaks");
}
#endif

}  // namespace process_exit_test
