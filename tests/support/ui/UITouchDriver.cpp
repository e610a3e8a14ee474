#include "support/ui/UITouchDriver.h"

#include "platform/foundation/PlatformClock.h"
#include "platform/uikit/UITouch.h"
#include "platform/uikit/UITouchSequence.h"
#include "platform/uikit/UIWindow.h"

namespace {

// Plays the steps on the manual clock: the clock moves to each step's time
// before its event is sent.
std::shared_ptr<UITouch> play(UITouchPlayer& player, const std::vector<UITouchStep>& steps) {
  double now = 0;
  for (const auto& step : steps) {
    if (step.at > now) PlatformClock::advance(step.at - now);
    now = step.at;
    player.apply(step);
  }
  return player.fingers().empty() ? nullptr : player.fingers().front();
}

}  // namespace

UITouchDriver::UITouchDriver(std::shared_ptr<UIWindow> window) : window_(std::move(window)) {}

std::vector<std::shared_ptr<UITouch>> UITouchDriver::down(const std::vector<CGPoint>& points) {
  return UITouchPlayer(window_).down(points);
}

void UITouchDriver::move(const std::vector<std::shared_ptr<UITouch>>& touches,
                         const std::vector<CGPoint>& to) {
  UITouchPlayer(window_).move(touches, to);
}

void UITouchDriver::up(const std::vector<std::shared_ptr<UITouch>>& touches) {
  UITouchPlayer(window_).up(touches);
}

void UITouchDriver::cancel(const std::vector<std::shared_ptr<UITouch>>& touches) {
  UITouchPlayer(window_).cancel(touches);
}

void UITouchDriver::tap(const CGPoint& point, int taps) {
  UITouchPlayer player(window_);
  play(player, UITouchSequence::tap(point, taps));
}

void UITouchDriver::longPress(const CGPoint& point, double duration) {
  UITouchPlayer player(window_);
  play(player, UITouchSequence::longPress(point, duration));
}

std::shared_ptr<UITouch> UITouchDriver::drag(const std::vector<CGPoint>& path, double duration,
                                             bool lift) {
  UITouchPlayer player(window_);
  return play(player, UITouchSequence::drag(path, duration, lift));
}

void UITouchDriver::pinch(const CGPoint& center, double fromSpread, double toSpread,
                          double duration) {
  UITouchPlayer player(window_);
  play(player, UITouchSequence::pinch(center, fromSpread, toSpread, duration));
}
