#pragma once

// Drives synthetic touches into a window on the manual platform clock: taps,
// long presses, drags along a path and pinches, each as the finger events a
// person's hand would make, one move per 60 Hz frame (the sequences of
// platform/uikit/UITouchSequence, which the running host's driver plays too).
//
//   UITouchDriver hand(window);
//   hand.drag({{200, 500}, {200, 100}}, 0.2);   // a flick upwards

#include <memory>
#include <vector>

#include "platform/coregraphics/CGGeometry.h"
#include "platform/uikit/UITouchSequence.h"

class UITouch;
class UIWindow;

class UITouchDriver {
 public:
  static constexpr double kFrame = UITouchSequence::kFrame;
  // How long a tap's finger stays down, and the pause between taps.
  static constexpr double kTapHold = UITouchSequence::kTapHold;
  static constexpr double kTapGap = UITouchSequence::kTapGap;

  explicit UITouchDriver(std::shared_ptr<UIWindow> window);

  // One event each, at the clock's current time.
  std::vector<std::shared_ptr<UITouch>> down(const std::vector<CGPoint>& points);
  void move(const std::vector<std::shared_ptr<UITouch>>& touches, const std::vector<CGPoint>& to);
  void up(const std::vector<std::shared_ptr<UITouch>>& touches);
  void cancel(const std::vector<std::shared_ptr<UITouch>>& touches);

  void tap(const CGPoint& point, int taps = 1);
  void longPress(const CGPoint& point, double duration);
  // Slides one finger along the polyline over `duration` seconds and lifts
  // it at the end unless `lift` is false (the finger is then returned).
  std::shared_ptr<UITouch> drag(const std::vector<CGPoint>& path, double duration,
                                bool lift = true);
  // Two fingers on a horizontal line through `center`, from `fromSpread`
  // apart to `toSpread` apart.
  void pinch(const CGPoint& center, double fromSpread, double toSpread, double duration);

 private:
  std::shared_ptr<UIWindow> window_;
};
