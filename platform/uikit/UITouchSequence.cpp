#include "UITouchSequence.h"

#include <algorithm>
#include <cmath>

#include "UIEvent.h"
#include "UITouch.h"
#include "UIWindow.h"
#include "platform/foundation/PlatformClock.h"

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
  return std::max(1, static_cast<int>(std::ceil(duration / UITouchSequence::kFrame - 1e-9)));
}

}  // namespace

namespace UITouchSequence {

std::vector<UITouchStep> tap(const CGPoint& point, int taps) {
  std::vector<UITouchStep> steps;
  double t = 0;
  for (int i = 0; i < taps; ++i) {
    if (i > 0) t += kTapGap;
    steps.push_back({t, UITouchStep::Kind::Down, {point}});
    t += kTapHold;
    steps.push_back({t, UITouchStep::Kind::Up, {}});
  }
  return steps;
}

std::vector<UITouchStep> longPress(const CGPoint& point, double duration) {
  return {{0, UITouchStep::Kind::Down, {point}}, {duration, UITouchStep::Kind::Up, {}}};
}

std::vector<UITouchStep> drag(const std::vector<CGPoint>& path, double duration, bool lift) {
  if (path.empty()) return {};
  std::vector<UITouchStep> steps{{0, UITouchStep::Kind::Down, {path.front()}}};
  const int frames = framesIn(duration);
  for (int i = 1; i <= frames; ++i) {
    steps.push_back({i * kFrame, UITouchStep::Kind::Move,
                     {along(path, static_cast<double>(i) / frames)}});
  }
  if (lift) steps.push_back({frames * kFrame, UITouchStep::Kind::Up, {}});
  return steps;
}

std::vector<UITouchStep> pinch(const CGPoint& center, double fromSpread, double toSpread,
                               double duration) {
  auto fingers = [&](double spread) {
    return std::vector<CGPoint>{CGPointMake(center.x - spread / 2, center.y),
                                CGPointMake(center.x + spread / 2, center.y)};
  };
  std::vector<UITouchStep> steps{{0, UITouchStep::Kind::Down, fingers(fromSpread)}};
  const int frames = framesIn(duration);
  for (int i = 1; i <= frames; ++i) {
    const double f = static_cast<double>(i) / frames;
    steps.push_back({i * kFrame, UITouchStep::Kind::Move,
                     fingers(fromSpread + (toSpread - fromSpread) * f)});
  }
  steps.push_back({frames * kFrame, UITouchStep::Kind::Up, {}});
  return steps;
}

}  // namespace UITouchSequence

UITouchPlayer::UITouchPlayer(std::shared_ptr<UIWindow> window) : window_(std::move(window)) {}

std::vector<std::shared_ptr<UITouch>> UITouchPlayer::down(const std::vector<CGPoint>& points) {
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

void UITouchPlayer::move(const std::vector<std::shared_ptr<UITouch>>& touches,
                         const std::vector<CGPoint>& to) {
  UITouchSet set;
  for (size_t i = 0; i < touches.size() && i < to.size(); ++i) {
    touches[i]->moveTo(to[i], PlatformClock::now());
    set.insert(touches[i]);
  }
  UIEvent event(PlatformClock::now(), set);
  window_->sendEvent(&event);
}

void UITouchPlayer::up(const std::vector<std::shared_ptr<UITouch>>& touches) {
  UITouchSet set;
  for (auto& t : touches) {
    t->end(PlatformClock::now());
    set.insert(t);
  }
  UIEvent event(PlatformClock::now(), set);
  window_->sendEvent(&event);
}

void UITouchPlayer::cancel(const std::vector<std::shared_ptr<UITouch>>& touches) {
  UITouchSet set;
  for (auto& t : touches) {
    t->cancel(PlatformClock::now());
    set.insert(t);
  }
  UIEvent event(PlatformClock::now(), set);
  window_->sendEvent(&event);
}

void UITouchPlayer::apply(const UITouchStep& step) {
  switch (step.kind) {
    case UITouchStep::Kind::Down:
      fingers_ = down(step.points);
      break;
    case UITouchStep::Kind::Move:
      if (!fingers_.empty()) move(fingers_, step.points);
      break;
    case UITouchStep::Kind::Up:
      if (!fingers_.empty()) up(fingers_);
      fingers_.clear();
      break;
  }
}
