#pragma once

// Timers on the main run loop, driven by the platform clock: a manual clock in
// tests moves them only through PlatformClock::advance(). A repeating timer
// keeps its cadence from the first deadline (a late fire does not shift the
// next ones; fires missed entirely are skipped, as on the platform). The run
// loop keeps a scheduled timer alive until it is invalidated.

#include <cstdint>
#include <memory>

#include "NSObject.h"
#include "OnceCallback.h"
#include "platform/foundation/Mutex.h"

class NSTimer : public NSObject {
 public:
  using Block = UniqueFunction<void(NSTimer& timer)>;

  // Created and scheduled on the main run loop.
  static std::shared_ptr<NSTimer> scheduledTimerWithTimeInterval(double interval, bool repeats,
                                                                 Block block);
  // Created unscheduled; scheduleOnMainRunLoop() starts it.
  static std::shared_ptr<NSTimer> timerWithTimeInterval(double interval, bool repeats, Block block);

  NSTimer(double interval, bool repeats, Block block);

  void scheduleOnMainRunLoop();
  // Runs the block now; a non-repeating timer is then invalidated, a
  // repeating one keeps its schedule.
  void fire();
  // Stops the timer for good; the block is released. Safe from the block.
  void invalidate();
  bool isValid() const;

  double timeInterval() const { return repeats_ ? interval_ : 0; }
  // The next deadline on the platform clock (0 when not scheduled).
  double fireDate() const;
  // Accepted and kept; the clock fires timers on their deadline regardless.
  double tolerance() const;
  void setTolerance(double tolerance);

 private:
  void scheduleAtLocked(double deadline) REQUIRES(mutex_);
  void deadlineReached(uint64_t generation);

  const double interval_;
  const bool repeats_;
  mutable Mutex mutex_;  // guards block_, valid_ and the dates below
  // Shared with a fire in progress, so invalidating from the block is safe.
  std::shared_ptr<Block> block_ GUARDED_BY(mutex_);
  bool valid_ GUARDED_BY(mutex_) = true;
  double fireDate_ GUARDED_BY(mutex_) = 0;
  double tolerance_ GUARDED_BY(mutex_) = 0;
  uint64_t clockToken_ GUARDED_BY(mutex_) = 0;
  uint64_t generation_ GUARDED_BY(mutex_) = 0;  // tells a current deadline from a cancelled one
};

using NSTimerPtr = std::shared_ptr<NSTimer>;
