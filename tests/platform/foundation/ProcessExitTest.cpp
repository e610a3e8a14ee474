// The end of a process whose workers may still run: the tasks given to
// AtProcessEnd run, last given first, on the way out through
// EndProcessWithoutStaticDestructors and at exit() alike; what the output
// streams still hold is written; the status is the one given, with a worker
// still in a block; and no static destructor runs (one that did would end
// the process with a status of its own).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/ProcessExit.h"
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
// text is left in its buffers that only a flush writes: no line ends.
void leaveOutputBuffered() {
  ::dup2(STDERR_FILENO, STDOUT_FILENO);
  std::fputs("[stdio without its line end]", stdout);
  std::cout << "[cout without its line end]";
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

}  // namespace

class ProcessExitDeathTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
  }
};

TEST_F(ProcessExitDeathTest, TasksRunOutputIsWrittenAndStaticsStay) {
  const char* kEnd =
      "second task\nfirst task\n.*\\[stdio without its line end\\]"
      ".*\\[cout without its line end\\]";
  for (int status : {0, 1, 7, 255}) {
    SCOPED_TRACE(status);
    EXPECT_EXIT(endWithAWorkerInABlock(status), ::testing::ExitedWithCode(status), kEnd);
    // exit() runs the same tasks, and the statics' destructors as usual.
    EXPECT_EXIT(exitWithTasks(status), ::testing::ExitedWithCode(status), kEnd);
  }
}

}  // namespace process_exit_test
