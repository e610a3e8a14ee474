#include "platform/quartzcore/CADisplayLink.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/foundation/ThreadChecks.h"

namespace {
// The main run loop keeps the links added to it, as the platform's does.
// Main thread only.
std::vector<std::shared_ptr<CADisplayLink>>& addedLinks() {
  static std::vector<std::shared_ptr<CADisplayLink>> links;
  return links;
}
}  // namespace

CADisplayLink::CADisplayLink(Tick tick) : tick_(std::move(tick)) {}

CADisplayLink::~CADisplayLink() {
  if (token_) PlatformClock::cancel(token_);
}

void CADisplayLink::addToRunLoop(NSRunLoop& runLoop, const std::string& mode) {
  QX_DCHECK_MAIN_THREAD();
  if (&runLoop != &NSRunLoop::mainRunLoop() || !isValid()) return;
  if (modes_.empty()) addedLinks().push_back(SharedFromThis(this));
  modes_.insert(mode);
  schedule();
}

void CADisplayLink::removeFromRunLoop(NSRunLoop& runLoop, const std::string& mode) {
  QX_DCHECK_MAIN_THREAD();
  if (&runLoop != &NSRunLoop::mainRunLoop()) return;
  if (!modes_.erase(mode) || !modes_.empty()) return;
  unschedule();
  leaveRunLoop();
}

void CADisplayLink::leaveRunLoop() {
  std::erase_if(addedLinks(), [this](const auto& l) { return l.get() == this; });
}

void CADisplayLink::invalidate() {
  QX_DCHECK_MAIN_THREAD();
  auto keep = weak_from_this().lock();
  modes_.clear();
  unschedule();
  tick_ = nullptr;
  leaveRunLoop();
}

void CADisplayLink::setPaused(bool paused) {
  QX_DCHECK_MAIN_THREAD();
  paused_ = paused;
  if (paused) {
    unschedule();
  } else {
    schedule();
  }
}

void CADisplayLink::setPreferredFramesPerSecond(int64_t fps) {
  QX_DCHECK_MAIN_THREAD();
  preferredFramesPerSecond_ = std::max<int64_t>(0, fps);
  frameInterval_ = 1;
  reschedule();
}

void CADisplayLink::setFrameInterval(int64_t frames) {
  QX_DCHECK_MAIN_THREAD();
  // Less than one frame means nothing; the platform ignores it.
  if (frames < 1) return;
  frameInterval_ = frames;
  preferredFramesPerSecond_ = 0;
  reschedule();
}

void CADisplayLink::reschedule() {
  if (token_) {
    unschedule();
    schedule();
  }
}

double CADisplayLink::interval() const {
  if (preferredFramesPerSecond_ <= 0) return double(frameInterval_) * kFrameInterval;
  if (preferredFramesPerSecond_ >= 60) return kFrameInterval;
  // Rates the display cannot show exactly round to whole frames.
  double frames = std::round(60.0 / double(preferredFramesPerSecond_));
  return frames * kFrameInterval;
}

void CADisplayLink::schedule() {
  if (token_ || paused_ || modes_.empty() || !isValid()) return;
  // Frames fall on a grid of the interval, strictly after now.
  double step = interval();
  double next = (std::floor(PlatformClock::now() / step + 1e-9) + 1) * step;
  std::weak_ptr<CADisplayLink> weak = WeakFromThis(this);
  token_ = PlatformClock::scheduleAt(next, [weak, next, playback = drivesPlayback_] {
    auto frame = WeakBind(weak, [next](CADisplayLink& link) { link.fire(next); });
    if (playback) {
      NSRunLoop::mainRunLoop().performPlayback(std::move(frame));
    } else {
      NSRunLoop::mainRunLoop().perform(std::move(frame));
    }
  });
}

void CADisplayLink::unschedule() {
  if (token_) PlatformClock::cancel(token_);
  token_ = 0;
}

void CADisplayLink::fire(double frameTime) {
  token_ = 0;
  if (paused_ || modes_.empty() || !isValid()) return;
  timestamp_ = frameTime;
  targetTimestamp_ = frameTime + interval();
  auto keep = SharedFromThis(this);
  Tick tick = tick_;
  if (!tick(*this)) {
    invalidate();
    return;
  }
  schedule();
}
