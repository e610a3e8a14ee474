#pragma once

// A clock that calls its target on every screen refresh and tells how much
// time passed since the previous one. It stands on a platform display link
// (ILPlatformDisplayLink) made by one factory: by default a link that fires
// on the main run loop at the screen's frame rate, read from the platform
// clock; tests install a scripted link through the test support.

#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/NSObject.h"

// What the clock needs of the platform's display link. Refreshes are
// delivered on the main thread.
class ILPlatformDisplayLink {
 public:
  virtual ~ILPlatformDisplayLink() = default;
  virtual bool isPaused() const = 0;
  virtual void setPaused(bool paused) = 0;
  // Time of the current refresh and of the one after it.
  virtual double timestamp() const = 0;
  virtual double targetTimestamp() const = 0;
  // Nominal seconds between refreshes.
  virtual double duration() const = 0;
  virtual void addToRunLoopMode(const std::string& mode) = 0;
  virtual void removeFromRunLoopMode(const std::string& mode) = 0;
  // No refresh is delivered after this.
  virtual void invalidate() = 0;
};

using ILPlatformDisplayLinkFactory =
    std::function<std::unique_ptr<ILPlatformDisplayLink>(std::function<void()> onRefresh)>;

// The factory the clocks use; an empty one restores the default link.
void ILSetPlatformDisplayLinkFactory(ILPlatformDisplayLinkFactory factory);
std::unique_ptr<ILPlatformDisplayLink> ILMakePlatformDisplayLink(std::function<void()> onRefresh);

class ILDisplayLink : public NSObject {
 public:
  using Action = std::function<void(ILDisplayLink&)>;

  // The target is held weakly: the action runs only while it lives.
  static std::shared_ptr<ILDisplayLink> displayLinkWithTarget(std::weak_ptr<void> target,
                                                              Action action);
  ~ILDisplayLink() override;

  // Forwarded to the platform link when a mode is given.
  void addToRunLoop(const std::string& mode);
  void removeFromRunLoop(const std::string& mode);
  void start();
  // Pauses and forgets the previous refresh time.
  void stop();
  bool isRunning() const;
  // Seconds between the previous refresh's target time and the current one;
  // the nominal frame duration on the first refresh after a start.
  double duration() const;

  void displayLinkDidRefresh();
  std::string className() const override { return "ILDisplayLink"; }

  // Use displayLinkWithTarget.
  ILDisplayLink(std::weak_ptr<void> target, Action action);

 private:
  std::weak_ptr<void> target_;
  Action action_;
  std::unique_ptr<ILPlatformDisplayLink> link_;
  double previousFireTime_ = 0;
  double nextFireTime_ = 0;
};
