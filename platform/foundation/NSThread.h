#pragma once

// What a thread can do to itself: sleep. Sleeping reads the platform clock,
// so under the manual clock a sleeping thread wakes only when a test advances
// the clock past its deadline. And the one way to start a thread of one's
// own outside the dispatch queues, for work that blocks for as long as the
// process runs.

#include <cstddef>
#include <memory>
#include <string>

#include "OnceCallback.h"

class NSThread {
 public:
  static bool isMainThread();
  // Blocks the calling thread until the platform clock has moved `seconds`
  // on (under the manual clock: until advance() passes the deadline, or the
  // clock turns real again). A pool worker lends its place while it sleeps.
  // Sleeping on the main thread under the manual clock is a fatal misuse:
  // nothing could advance the clock.
  static void sleepForTimeInterval(double seconds);
  // Threads inside sleepForTimeInterval whose deadline is already on the
  // clock; tests wait for a sleeper before they advance the manual clock.
  static size_t sleepingThreadCount();

  // Runs `block` on a new detached thread named `name` (at most 15
  // characters show). For work that blocks on a descriptor for the life of
  // the process, such as reading standard input: on a dispatch queue it
  // would hold a worker of the shared pool for good and keep the pool from
  // ever being idle. Anything else belongs on a queue.
  static void detachNewThreadWithBlock(UniqueFunction<void()> block, const std::string& name);
};

// A thread of one's own that its owner joins: for a loop that blocks on
// descriptors (a socket, inotify, curl's poll) for as long as its owner
// lives and must be over before the owner lets go of what it uses. Short
// work belongs on a queue.
class NSJoinableThread {
 public:
  NSJoinableThread();
  // Joins a thread still running.
  ~NSJoinableThread();
  NSJoinableThread(const NSJoinableThread&) = delete;
  NSJoinableThread& operator=(const NSJoinableThread&) = delete;

  // Runs `block` on a new thread named `name` (at most 15 characters
  // show). At most one thread at a time: starting again before a join is a
  // fatal misuse.
  void start(UniqueFunction<void()> block, const std::string& name);
  // Waits for the thread to end; nothing to wait for when none was started
  // or it was joined already. From the thread itself (its owner destroyed
  // by its own block) it lets the thread run on to its end instead.
  void join();
  bool isStarted() const;

 private:
  struct Handle;
  std::unique_ptr<Handle> handle_;
};
