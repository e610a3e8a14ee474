#include "NSTimer.h"

#include <cmath>
#include <utility>

#include "NSRunLoop.h"
#include "PlatformClock.h"
#include "platform/foundation/Mutex.h"

namespace {
// The platform's floor for a non-positive interval.
constexpr double kMinimumInterval = 0.0001;
}  // namespace

std::shared_ptr<NSTimer> NSTimer::scheduledTimerWithTimeInterval(double interval, bool repeats,
                                                                 Block block) {
  auto timer = timerWithTimeInterval(interval, repeats, std::move(block));
  timer->scheduleOnMainRunLoop();
  return timer;
}

std::shared_ptr<NSTimer> NSTimer::timerWithTimeInterval(double interval, bool repeats,
                                                        Block block) {
  return std::make_shared<NSTimer>(interval, repeats, std::move(block));
}

NSTimer::NSTimer(double interval, bool repeats, Block block)
    : interval_(interval > 0 ? interval : kMinimumInterval),
      repeats_(repeats),
      block_(block ? std::make_shared<Block>(std::move(block)) : nullptr) {}

void NSTimer::scheduleOnMainRunLoop() {
  MutexLock lock(mutex_);
  if (!valid_ || clockToken_ != 0) return;
  scheduleAtLocked(PlatformClock::now() + interval_);
}

void NSTimer::scheduleAtLocked(double deadline) {
  fireDate_ = deadline;
  const uint64_t generation = ++generation_;
  auto self = std::static_pointer_cast<NSTimer>(shared_from_this());
  // The clock may call on its own thread: hand the fire to the main run loop.
  clockToken_ = PlatformClock::scheduleAt(deadline, [self, generation] {
    NSRunLoop::mainRunLoop().perform([self, generation] { self->deadlineReached(generation); });
  });
}

void NSTimer::deadlineReached(uint64_t generation) {
  std::shared_ptr<Block> block;
  {
    MutexLock lock(mutex_);
    if (!valid_ || generation != generation_) return;
    block = block_;
    if (repeats_) {
      // Next deadline on the original cadence, skipping fires missed entirely.
      double now = PlatformClock::now();
      double next = fireDate_ + interval_;
      if (next <= now)
        next = fireDate_ + interval_ * (std::floor((now - fireDate_) / interval_) + 1);
      scheduleAtLocked(next);
    } else {
      clockToken_ = 0;
    }
  }
  if (block) (*block)(*this);
  if (!repeats_) invalidate();
}

void NSTimer::fire() {
  std::shared_ptr<Block> block;
  {
    MutexLock lock(mutex_);
    if (!valid_) return;
    block = block_;
  }
  if (block) (*block)(*this);
  if (!repeats_) invalidate();
}

void NSTimer::invalidate() {
  uint64_t token;
  std::shared_ptr<Block> block;
  {
    MutexLock lock(mutex_);
    if (!valid_) return;
    valid_ = false;
    token = clockToken_;
    clockToken_ = 0;
    ++generation_;
    block.swap(block_);
  }
  // Last: dropping the clock's entry may release the timer itself.
  if (token) PlatformClock::cancel(token);
}

bool NSTimer::isValid() const {
  MutexLock lock(mutex_);
  return valid_;
}

double NSTimer::fireDate() const {
  MutexLock lock(mutex_);
  return valid_ && clockToken_ != 0 ? fireDate_ : 0;
}

double NSTimer::tolerance() const {
  MutexLock lock(mutex_);
  return tolerance_;
}

void NSTimer::setTolerance(double tolerance) {
  MutexLock lock(mutex_);
  tolerance_ = tolerance > 0 ? tolerance : 0;
}
