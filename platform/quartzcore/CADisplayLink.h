#pragma once

// A timer tied to the screen's refresh: it calls its target on the main run
// loop at each frame (every 1/60 s on the platform clock, on a grid of whole
// frames) while it is added to the main run loop and not paused. The run
// loop keeps an added link alive until it is removed or invalidated.
//
// The target is held weakly, as through the platform's weak-proxy pattern:
// a link whose target has gone invalidates itself at its next frame instead
// of ticking forever. invalidate() drops the target and stops for good.

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "platform/foundation/NSObject.h"
#include "platform/foundation/WeakSelf.h"

class NSRunLoop;

class CADisplayLink : public NSObject {
 public:
  static constexpr double kFrameInterval = 1.0 / 60;
  // Called with the link; returns false when its target is gone.
  using Tick = std::function<bool(CADisplayLink&)>;

  explicit CADisplayLink(Tick tick);
  ~CADisplayLink() override;

  // `selector` runs on the target while the target lives.
  template <typename T>
  static std::shared_ptr<CADisplayLink> displayLinkWithTarget(
      const std::shared_ptr<T>& target, void (T::*selector)(CADisplayLink&)) {
    std::weak_ptr<T> weak = target;
    return std::make_shared<CADisplayLink>([weak, selector](CADisplayLink& link) {
      auto strong = weak.lock();
      if (strong) ((*strong).*selector)(link);
      return strong != nullptr;
    });
  }

  void addToRunLoop(NSRunLoop& runLoop, const std::string& mode);
  void removeFromRunLoop(NSRunLoop& runLoop, const std::string& mode);
  void invalidate();
  bool isValid() const { return static_cast<bool>(tick_); }

  bool isPaused() const { return paused_; }
  void setPaused(bool paused);
  // The frame rate the link asks for; 0 means the display's (60).
  int64_t preferredFramesPerSecond() const { return preferredFramesPerSecond_; }
  void setPreferredFramesPerSecond(int64_t fps);

  // The older way to slow a link: one call every `frames` display frames
  // (1: every frame). Values below 1 are ignored; setting the preferred
  // rate puts it back to 1.
  int64_t frameInterval() const { return frameInterval_; }
  void setFrameInterval(int64_t frames);

  // The time of the frame being delivered, and of the next one.
  double timestamp() const { return timestamp_; }
  double targetTimestamp() const { return targetTimestamp_; }
  // Seconds between display frames.
  double duration() const { return kFrameInterval; }

  // A link that only plays media (the frames of an animated image) ticks
  // as playback work, which whoever waits for a still screen leaves out.
  bool drivesPlayback() const { return drivesPlayback_; }
  void setDrivesPlayback(bool playback) { drivesPlayback_ = playback; }

  std::string className() const override { return "CADisplayLink"; }

 private:
  // Seconds between calls at the preferred rate: whole display frames.
  double interval() const;
  void schedule();
  void unschedule();
  void reschedule();
  void leaveRunLoop();
  void fire(double frameTime);

  Tick tick_;
  std::set<std::string> modes_;
  bool paused_ = false;
  bool drivesPlayback_ = false;
  int64_t preferredFramesPerSecond_ = 0;
  int64_t frameInterval_ = 1;
  double timestamp_ = 0;
  double targetTimestamp_ = 0;
  uint64_t token_ = 0;
};
