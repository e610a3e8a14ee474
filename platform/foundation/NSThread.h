#pragma once

// What a thread can do to itself: sleep. Sleeping reads the platform clock,
// so under the manual clock a sleeping thread wakes only when a test advances
// the clock past its deadline.

#include <cstddef>

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
};
