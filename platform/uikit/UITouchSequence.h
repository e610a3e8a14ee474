#pragma once

// Synthetic touches: the finger events a person's hand makes for a tap, a
// long press, a drag along a path and a pinch, one move per 60 Hz frame, as
// a list of timed steps, and a player that turns each step into a touch event
// delivered through a window. Tests play the steps on the manual clock; the
// running host's driver plays them on the real one.

#include <memory>
#include <vector>

#include "platform/coregraphics/CGGeometry.h"

class UITouch;
class UIWindow;

struct UITouchStep {
  enum class Kind { Down, Move, Up };
  double at = 0;  // seconds after the sequence starts
  Kind kind = Kind::Down;
  std::vector<CGPoint> points;  // one per finger (Down and Move)
};

namespace UITouchSequence {

inline constexpr double kFrame = 1.0 / 60;
// How long a tap's finger stays down, and the pause between taps.
inline constexpr double kTapHold = 0.05;
inline constexpr double kTapGap = 0.1;

std::vector<UITouchStep> tap(const CGPoint& point, int taps = 1);
std::vector<UITouchStep> longPress(const CGPoint& point, double duration);
// One finger along the polyline over `duration`; no lift unless `lift`.
std::vector<UITouchStep> drag(const std::vector<CGPoint>& path, double duration, bool lift = true);
// Two fingers on a horizontal line through `center`, from `fromSpread` apart
// to `toSpread` apart.
std::vector<UITouchStep> pinch(const CGPoint& center, double fromSpread, double toSpread,
                               double duration);

}  // namespace UITouchSequence

// Sends touch events to a window, each stamped with the platform clock's time.
class UITouchPlayer {
 public:
  explicit UITouchPlayer(std::shared_ptr<UIWindow> window);

  std::vector<std::shared_ptr<UITouch>> down(const std::vector<CGPoint>& points);
  void move(const std::vector<std::shared_ptr<UITouch>>& touches, const std::vector<CGPoint>& to);
  void up(const std::vector<std::shared_ptr<UITouch>>& touches);
  void cancel(const std::vector<std::shared_ptr<UITouch>>& touches);

  // Down starts the player's fingers, Move moves and Up lifts them.
  void apply(const UITouchStep& step);
  // The fingers down now.
  const std::vector<std::shared_ptr<UITouch>>& fingers() const { return fingers_; }

 private:
  std::shared_ptr<UIWindow> window_;
  std::vector<std::shared_ptr<UITouch>> fingers_;
};
