#pragma once

// The platform clock that timers, delayed dispatch, display links and
// animations read. Real by default (monotonic seconds); tests switch it to a
// manual clock that moves only when they call advance().

#include <cstddef>
#include <cstdint>

#include "OnceCallback.h"

namespace PlatformClock {

// Seconds on the monotonic clock (manual: the value advance() has reached).
double now();

// Seconds since 1970 on the wall clock. The manual clock starts it at the
// real wall time of the switch and moves it only with advance(), so files
// the system dates "now" and dates the code compares stay in step.
double wallNow();

// Switch to the manual clock, starting at `start`; scheduled items keep their
// deadlines. Switching back to the real clock fires nothing by itself.
void useManualClock(double start = 1000.0);
void useRealClock();
bool isManual();

// Manual clock only: moves time forward in steps to each due deadline, in
// deadline order, firing the scheduled items and draining the main run loop
// after each step when called on the main thread.
void advance(double seconds);

// Runs `fire` once the clock reaches `deadline`. On the real clock it runs on
// the scheduler's own thread, so it must only hand work on (post to a queue).
uint64_t scheduleAt(double deadline, UniqueFunction<void()> fire);
void cancel(uint64_t token);
// How many scheduled items have not fired yet (timers, delayed work).
size_t pendingCount();

}  // namespace PlatformClock
