#include "NSRunLoop.h"

#include <chrono>
#include <thread>

#include "PlatformClock.h"
#include "ThreadChecks.h"
#include "platform/foundation/Mutex.h"

const char* const NSDefaultRunLoopMode = "kCFRunLoopDefaultMode";
const char* const NSRunLoopCommonModes = "kCFRunLoopCommonModes";

namespace {
// Captured during static initialisation, which runs on the process's first thread.
const std::thread::id kMainThreadId = std::this_thread::get_id();
}  // namespace

bool isMainThread() { return std::this_thread::get_id() == kMainThreadId; }

NSRunLoop& NSRunLoop::mainRunLoop() {
  static NSRunLoop* loop = new NSRunLoop();  // lives past static destruction
  return *loop;
}

namespace {
// Set while the main thread runs a playback task: what that task queues (a
// layout pass for the new frame, say) is playback too.
thread_local bool tRunningPlayback = false;
}  // namespace

void NSRunLoop::perform(UniqueFunction<void()> task) {
  push({std::move(task), tRunningPlayback});
}

void NSRunLoop::performPlayback(UniqueFunction<void()> task) { push({std::move(task), true}); }

void NSRunLoop::push(Task task) {
  {
    MutexLock lock(mutex_);
    if (task.playback) ++pendingPlayback_;
    tasks_.push_back(std::move(task));
  }
  cv_.notify_all();
}

void NSRunLoop::performAfter(double seconds, UniqueFunction<void()> task) {
  // `this` is the main run loop, which is never destroyed.
  PlatformClock::scheduleAt(PlatformClock::now() + seconds,
                            [this, task = std::move(task), playback = tRunningPlayback]() mutable {
                              push({std::move(task), playback});
                            });
}

NSRunLoop::Task NSRunLoop::popFront() {
  Task task = std::move(tasks_.front());
  tasks_.pop_front();
  if (task.playback) {
    --pendingPlayback_;
  } else {
    ++tasksTaken_;
  }
  return task;
}

void NSRunLoop::execute(Task& task) {
  if (!task.run) return;
  const bool outer = tRunningPlayback;
  tRunningPlayback = task.playback;
  task.run();
  tRunningPlayback = outer;
}

bool NSRunLoop::takeTask(Task& task) {
  MutexLock lock(mutex_);
  if (tasks_.empty()) return false;
  task = popFront();
  return true;
}

uint64_t NSRunLoop::tasksTaken() {
  MutexLock lock(mutex_);
  return tasksTaken_;
}

size_t NSRunLoop::runUntilIdle() {
  QX_DCHECK_MAIN_THREAD();
  size_t ran = 0;
  Task task;
  while (takeTask(task)) {
    execute(task);
    task = {};
    ++ran;
  }
  return ran;
}

bool NSRunLoop::runOnce(double timeout) {
  Task task;
  {
    MutexLock lock(mutex_);
    lock.waitFor(cv_, std::chrono::duration<double>(timeout),
                 [this]() REQUIRES(mutex_) { return !tasks_.empty() || stopped_; });
    if (tasks_.empty()) {
      // A stop that woke this wait is consumed here, not left for later waits.
      stopped_ = false;
      return false;
    }
    task = popFront();
  }
  execute(task);
  return true;
}

void NSRunLoop::run() {
  for (;;) {
    Task task;
    {
      MutexLock lock(mutex_);
      lock.wait(cv_, [this]() REQUIRES(mutex_) { return !tasks_.empty() || stopped_; });
      if (stopped_) {
        stopped_ = false;
        return;
      }
      task = popFront();
    }
    execute(task);
  }
}

void NSRunLoop::stop() {
  {
    MutexLock lock(mutex_);
    stopped_ = true;
  }
  cv_.notify_all();
}

bool NSRunLoop::hasPendingTasks() {
  MutexLock lock(mutex_);
  return !tasks_.empty();
}

bool NSRunLoop::hasPendingWork() {
  MutexLock lock(mutex_);
  return tasks_.size() > pendingPlayback_;
}
