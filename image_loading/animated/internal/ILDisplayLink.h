#pragma once

// A clock that calls its target on every screen refresh and tells how much
// time passed since the previous one. It runs on the platform's display link,
// which fires on the main run loop at the display's frame rate as read from
// the platform clock; the link reaches the clock only through a weak proxy,
// so a running link never keeps the clock (or its target) alive.

#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/NSObject.h"

class CADisplayLink;
class NSRunLoop;

class ILDisplayLink : public NSObject {
 public:
  using Action = std::function<void(ILDisplayLink&)>;

  // The target is held weakly: the action runs only while it lives.
  static std::shared_ptr<ILDisplayLink> displayLinkWithTarget(std::weak_ptr<void> target,
                                                              Action action);
  ~ILDisplayLink() override;

  // Forwarded to the platform link when a run loop and a mode are given.
  void addToRunLoop(NSRunLoop* runLoop, const std::string& mode);
  void removeFromRunLoop(NSRunLoop* runLoop, const std::string& mode);
  void start();
  // Pauses and forgets the previous refresh time.
  void stop();
  bool isRunning() const;
  // Seconds between the previous refresh's target time and the current one;
  // the nominal frame duration on the first refresh after a start.
  double duration() const;

  std::string className() const override { return "ILDisplayLink"; }

  // Use displayLinkWithTarget.
  ILDisplayLink(std::weak_ptr<void> target, Action action);

 private:
  void displayLinkDidRefresh();

  std::weak_ptr<void> target_;
  Action action_;
  std::shared_ptr<CADisplayLink> displayLink_;
  double nextFireTime_ = 0;
};
