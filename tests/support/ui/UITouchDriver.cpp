#include "support/ui/UITouchDriver.h"

#include <cmath>

#include "platform/foundation/PlatformClock.h"
#include "platform/uikit/UIEvent.h"
#include "platform/uikit/UITouch.h"
#include "platform/uikit/UIWindow.h"

namespace {

// The point at `fraction` of the polyline's length.
CGPoint along(const std::vector<CGPoint>& path, double fraction) {
  double total = 0;
  for (size_t i = 1; i < path.size(); ++i) {
    total += std::hypot(path[i].x - path[i - 1].x, path[i].y - path[i - 1].y);
  }
  double want = total * fraction;
  for (size_t i = 1; i < path.size(); ++i) {
    double seg = std::hypot(path[i].x - path[i - 1].x, path[i].y - path[i - 1].y);
    if (want <= seg && seg > 0) {
      double f = want / seg;
      return CGPointMake(path[i - 1].x + (path[i].x - path[i - 1].x) * f,
                         path[i - 1].y + (path[i].y - path[i - 1].y) * f);
    }
    want -= seg;
  }
  return path.back();
}

int framesIn(double duration) {
  return std::max(1, static_cast<int>(std::ceil(duration / UITouchDriver::kFrame - 1e-9)));
}

}  // namespace

UITouchDriver::UITouchDriver(std::shared_ptr<UIWindow> window) : window_(std::move(window)) {}

std::vector<std::shared_ptr<UITouch>> UITouchDriver::down(const std::vector<CGPoint>& points) {
  std::vector<std::shared_ptr<UITouch>> touches;
  UITouchSet set;
  for (const CGPoint& p : points) {
    touches.push_back(std::make_shared<UITouch>(window_, p, PlatformClock::now()));
    set.insert(touches.back());
  }
  UIEvent event(PlatformClock::now(), set);
  window_->sendEvent(&event);
  return touches;
}

void UITouchDriver::move(const std::vector<std::shared_ptr<UITouch>>& touches,
                         const std::vector<CGPoint>& to) {
  UITouchSet set;
  for (size_t i = 0; i < touches.size(); ++i) {
    touches[i]->moveTo(to[i], PlatformClock::now());
    set.insert(touches[i]);
  }
  UIEvent event(PlatformClock::now(), set);
  window_->sendEvent(&event);
}

void UITouchDriver::up(const std::vector<std::shared_ptr<UITouch>>& touches) {
  UITouchSet set;
  for (auto& t : touches) {
    t->end(PlatformClock::now());
    set.insert(t);
  }
  UIEvent event(PlatformClock::now(), set);
  window_->sendEvent(&event);
}

void UITouchDriver::cancel(const std::vector<std::shared_ptr<UITouch>>& touches) {
  UITouchSet set;
  for (auto& t : touches) {
    t->cancel(PlatformClock::now());
    set.insert(t);
  }
  UIEvent event(PlatformClock::now(), set);
  window_->sendEvent(&event);
}

void UITouchDriver::tap(const CGPoint& point, int taps) {
  for (int i = 0; i < taps; ++i) {
    if (i > 0) PlatformClock::advance(kTapGap);
    auto touches = down({point});
    PlatformClock::advance(kTapHold);
    up(touches);
  }
}

void UITouchDriver::longPress(const CGPoint& point, double duration) {
  auto touches = down({point});
  PlatformClock::advance(duration);
  up(touches);
}

std::shared_ptr<UITouch> UITouchDriver::drag(const std::vector<CGPoint>& path, double duration,
                                             bool lift) {
  if (path.empty()) return nullptr;
  auto touches = down({path.front()});
  int frames = framesIn(duration);
  for (int i = 1; i <= frames; ++i) {
    PlatformClock::advance(kFrame);
    move(touches, {along(path, static_cast<double>(i) / frames)});
  }
  if (!lift) return touches.front();
  up(touches);
  return nullptr;
}

void UITouchDriver::pinch(const CGPoint& center, double fromSpread, double toSpread,
                          double duration) {
  auto fingers = [&](double spread) {
    return std::vector<CGPoint>{CGPointMake(center.x - spread / 2, center.y),
                                CGPointMake(center.x + spread / 2, center.y)};
  };
  auto touches = down(fingers(fromSpread));
  int frames = framesIn(duration);
  for (int i = 1; i <= frames; ++i) {
    PlatformClock::advance(kFrame);
    double f = static_cast<double>(i) / frames;
    move(touches, fingers(fromSpread + (toSpread - fromSpread) * f));
  }
  up(touches);
}
