#pragma once

// The main run loop: a FIFO of tasks served by the main thread. The main
// queue, timers on the main thread, channel handlers and view updates all go
// through it.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>

#include "OnceCallback.h"
#include "platform/foundation/Mutex.h"

// Run loop modes. The main run loop has a single mode of operation, so the
// names only say where a display link or timer is registered.
extern const char* const NSDefaultRunLoopMode;
extern const char* const NSRunLoopCommonModes;

class NSRunLoop {
 public:
  static NSRunLoop& mainRunLoop();

  // Queues a task for the main thread (FIFO). Safe from any thread.
  void perform(UniqueFunction<void()> task);
  // Queues a task that only keeps media playing (a frame of an animated
  // image): whoever waits for the screen to settle does not count it, or a
  // looping animation would keep it waiting for ever. What such a task
  // queues on the main thread, at once or after a delay, is playback too.
  void performPlayback(UniqueFunction<void()> task);
  // Queues a task after `seconds` on the platform clock.
  void performAfter(double seconds, UniqueFunction<void()> task);

  // Runs queued tasks, including those they queue, until none is left.
  // Returns how many ran. Must be called on the main thread.
  size_t runUntilIdle();
  // Runs at most one task, waiting up to `timeout` seconds (real time) for one.
  bool runOnce(double timeout);
  // Serves tasks until stop() is called.
  void run();
  void stop();
  bool hasPendingTasks();
  // The same, leaving out playback tasks.
  bool hasPendingWork();
  // How many tasks other than playback have been taken to run so far:
  // whoever waits for the main thread to be idle compares two readings.
  uint64_t tasksTaken();

 private:
  NSRunLoop() = default;
  struct Task {
    UniqueFunction<void()> run;
    bool playback = false;
  };
  void push(Task task);
  Task popFront() REQUIRES(mutex_);
  static void execute(Task& task);
  bool takeTask(Task& task);

  Mutex mutex_;  // guards tasks_, stopped_ (with cv_) and the counts
  std::condition_variable cv_;
  std::deque<Task> tasks_ GUARDED_BY(mutex_);
  size_t pendingPlayback_ GUARDED_BY(mutex_) = 0;
  bool stopped_ GUARDED_BY(mutex_) = false;
  uint64_t tasksTaken_ GUARDED_BY(mutex_) = 0;
};

// True on the thread that runs the main run loop (the process's first thread).
bool isMainThread();
