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

void NSRunLoop::perform(UniqueFunction<void()> task) {
  {
    MutexLock lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  cv_.notify_all();
}

void NSRunLoop::performAfter(double seconds, UniqueFunction<void()> task) {
  // `this` is the main run loop, which is never destroyed.
  PlatformClock::scheduleAt(PlatformClock::now() + seconds,
                            [this, task = std::move(task)]() mutable { perform(std::move(task)); });
}

bool NSRunLoop::takeTask(UniqueFunction<void()>& task) {
  MutexLock lock(mutex_);
  if (tasks_.empty()) return false;
  task = std::move(tasks_.front());
  tasks_.pop_front();
  ++tasksTaken_;
  return true;
}

uint64_t NSRunLoop::tasksTaken() {
  MutexLock lock(mutex_);
  return tasksTaken_;
}

size_t NSRunLoop::runUntilIdle() {
  QX_DCHECK_MAIN_THREAD();
  size_t ran = 0;
  UniqueFunction<void()> task;
  while (takeTask(task)) {
    if (task) task();
    task = nullptr;
    ++ran;
  }
  return ran;
}

bool NSRunLoop::runOnce(double timeout) {
  UniqueFunction<void()> task;
  {
    MutexLock lock(mutex_);
    lock.waitFor(cv_, std::chrono::duration<double>(timeout),
                 [this]() REQUIRES(mutex_) { return !tasks_.empty() || stopped_; });
    if (tasks_.empty()) {
      // A stop that woke this wait is consumed here, not left for later waits.
      stopped_ = false;
      return false;
    }
    task = std::move(tasks_.front());
    tasks_.pop_front();
    ++tasksTaken_;
  }
  if (task) task();
  return true;
}

void NSRunLoop::run() {
  for (;;) {
    UniqueFunction<void()> task;
    {
      MutexLock lock(mutex_);
      lock.wait(cv_, [this]() REQUIRES(mutex_) { return !tasks_.empty() || stopped_; });
      if (stopped_) {
        stopped_ = false;
        return;
      }
      task = std::move(tasks_.front());
      tasks_.pop_front();
      ++tasksTaken_;
    }
    if (task) task();
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
