#include "internal/FlutterDriverScreen.h"

#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/quartzcore/CALayer.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UICollectionViewCell.h"
#include "platform/uikit/UIGraphicsImageRenderer.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UITableView.h"
#include "platform/uikit/UITouchSequence.h"
#include "platform/uikit/UIViewAccessibility.h"
#include "platform/uikit/UIWindow.h"

namespace {

// Longest touch a request may ask for, and most taps in one.
constexpr double kMaxTouchSeconds = 60;
constexpr int64_t kMaxTaps = 10;
constexpr size_t kMaxPathPoints = 1000;
// How long the screen must stay still to count as idle, how often it is
// looked at meanwhile, and how long an idle request waits at most.
constexpr double kIdleQuietSeconds = 0.5;
constexpr double kIdleProbeSeconds = 1.0 / 60;
constexpr double kIdleLimitSeconds = 30;
// A touch waits for the running transition (a presentation, a dismissal, a
// navigation push or pop) to end, as UI automation drivers do: the window
// drops touches that begin meanwhile. The platform's transitions take a
// third of a second; one still running after the bound is held (a stalled
// interactive dismissal, say) and the touch is refused rather than dropped.
constexpr double kTransitionWaitSeconds = 10;

Value errorValue(const std::string& code, const std::string& message) {
  return Value::map({{"code", Value(code)}, {"message", Value(message)}, {"details", Value()}});
}

Value rectValue(const CGRect& r) {
  return Value::list({Value(r.origin.x), Value(r.origin.y), Value(r.size.width),
                      Value(r.size.height)});
}

// Controls and the cells of collection and table views keep a selected state.
bool isSelected(const UIView& view) {
  if (auto* control = dynamic_cast<const UIControl*>(&view)) return control->isSelected();
  if (auto* cell = dynamic_cast<const UICollectionViewCell*>(&view)) return cell->isSelected();
  if (auto* cell = dynamic_cast<const UITableViewCell*>(&view)) return cell->isSelected();
  return false;
}

Value describe(const UIView& view, const UIWindow& window) {
  ValueMap map;
  map.emplace_back(Value("class"),
                   Value(dynamic_cast<const UIWindow*>(&view) ? "UIWindow" : view.className()));
  map.emplace_back(Value("frame"), rectValue(view.convertRectToView(view.bounds(), &window)));
  auto optional = [](const std::optional<std::string>& s) { return s ? Value(*s) : Value(); };
  auto identifier = UIViewAccessibilityIdentifier(view);
  if (!identifier && !view.accessibilityIdentifier().empty()) identifier = view.accessibilityIdentifier();
  map.emplace_back(Value("identifier"), optional(identifier));
  map.emplace_back(Value("label"), optional(UIViewAccessibilityLabel(view)));
  Value text;
  if (auto* label = dynamic_cast<const UILabel*>(&view)) text = Value(label->text());
  if (auto* button = dynamic_cast<const UIButton*>(&view)) text = optional(button->currentTitle());
  map.emplace_back(Value("text"), text);
  map.emplace_back(Value("hidden"), Value(view.isHidden()));
  auto* control = dynamic_cast<const UIControl*>(&view);
  map.emplace_back(Value("enabled"),
                   Value(control ? control->isEnabled() : view.isUserInteractionEnabled()));
  map.emplace_back(Value("selected"), Value(isSelected(view)));
  ValueList children;
  for (const auto& child : view.subviews()) children.push_back(describe(*child, window));
  map.emplace_back(Value("children"), Value(std::move(children)));
  return Value(std::move(map));
}

std::optional<CGPoint> pointOf(const Value* v) {
  if (!v || !v->isList() || v->size() != 2) return std::nullopt;
  const Value& x = v->asList()[0];
  const Value& y = v->asList()[1];
  if (!x.isNumber() || !y.isNumber() || !std::isfinite(x.asDouble()) ||
      !std::isfinite(y.asDouble())) {
    return std::nullopt;
  }
  return CGPointMake(x.asDouble(), y.asDouble());
}

std::optional<double> numberOf(const Value* v, double fallback, double low, double high) {
  if (!v) return fallback;
  if (!v->isNumber() || !std::isfinite(v->asDouble())) return std::nullopt;
  const double d = v->asDouble();
  if (d < low || d > high) return std::nullopt;
  return d;
}

// The steps a touch request asks for; nullopt and `why` when it is malformed.
std::optional<std::vector<UITouchStep>> stepsOf(const Value& touch, std::string* why) {
  const Value* kind = touch.find("kind");
  if (!touch.isMap() || !kind || !kind->isString()) {
    *why = "a touch needs a \"kind\": \"tap\", \"longPress\", \"drag\" or \"pinch\"";
    return std::nullopt;
  }
  const std::string k = kind->asString();
  auto duration = numberOf(touch.find("duration"), k == "longPress" ? 0.8 : 0.3, 0,
                           kMaxTouchSeconds);
  if (!duration) {
    *why = "\"duration\" must be seconds from 0 to 60";
    return std::nullopt;
  }
  if (k == "tap" || k == "longPress") {
    auto point = pointOf(touch.find("point"));
    if (!point) {
      *why = "a " + k + " needs a \"point\": [x, y]";
      return std::nullopt;
    }
    if (k == "longPress") return UITouchSequence::longPress(*point, *duration);
    auto count = numberOf(touch.find("count"), 1, 1, kMaxTaps);
    if (!count || *count != std::floor(*count)) {
      *why = "\"count\" must be a whole number from 1 to 10";
      return std::nullopt;
    }
    return UITouchSequence::tap(*point, static_cast<int>(*count));
  }
  if (k == "drag") {
    const Value* path = touch.find("path");
    std::vector<CGPoint> points;
    if (path && path->isList() && path->size() <= kMaxPathPoints) {
      for (const Value& p : path->asList()) {
        auto point = pointOf(&p);
        if (!point) break;
        points.push_back(*point);
      }
    }
    if (points.size() < 2 || points.size() != path->size()) {
      *why = "a drag needs a \"path\" of 2 to 1000 points [x, y]";
      return std::nullopt;
    }
    return UITouchSequence::drag(points, *duration);
  }
  if (k == "pinch") {
    auto center = pointOf(touch.find("center"));
    auto from = numberOf(touch.find("from"), -1, 0, 1e5);
    auto to = numberOf(touch.find("to"), -1, 0, 1e5);
    if (!center || !from || !to || *from < 0 || *to < 0) {
      *why = "a pinch needs a \"center\": [x, y] and spreads \"from\" and \"to\" (points)";
      return std::nullopt;
    }
    return UITouchSequence::pinch(*center, *from, *to, *duration);
  }
  *why = "unknown touch kind " + k;
  return std::nullopt;
}

std::string pointText(const CGPoint& p) {
  return "(" + ShortestDoubleText(p.x) + ", " + ShortestDoubleText(p.y) + ")";
}

// The first finger that lands where no view takes touches, if any.
std::optional<CGPoint> missedPoint(const std::vector<UITouchStep>& steps, UIWindow& window) {
  if (steps.empty()) return std::nullopt;
  for (const CGPoint& p : steps.front().points) {
    if (!window.hitTest(p, nullptr)) return p;
  }
  return std::nullopt;
}

struct Playback {
  std::vector<UITouchStep> steps;
  size_t next = 0;
  double start = 0;
  UITouchPlayer player;
  FlutterDriverScreen::Answer answer;
  Playback(std::vector<UITouchStep> s, std::shared_ptr<UIWindow> window,
           FlutterDriverScreen::Answer a)
      : steps(std::move(s)), player(std::move(window)), answer(std::move(a)) {}
};

// Plays every step that is due, then waits on the clock for the next one.
void playDue(const std::shared_ptr<Playback>& playback) {
  const double elapsed = PlatformClock::now() - playback->start;
  while (playback->next < playback->steps.size() &&
         playback->steps[playback->next].at <= elapsed + 1e-9) {
    playback->player.apply(playback->steps[playback->next++]);
  }
  if (playback->next == playback->steps.size()) return playback->answer("result", Value());
  const double wait = playback->steps[playback->next].at - elapsed;
  NSRunLoop::mainRunLoop().performAfter(wait, [playback] { playDue(playback); });
}

// Once no transition runs in the key window, plays the touch there (or
// refuses it when its first fingers hit nothing); looks again each frame
// until then, and refuses it past the bound.
void playOnceStill(const std::shared_ptr<Playback>& playback) {
  auto window = UIWindow::keyWindow();
  if (!window) return playback->answer("error", errorValue("no_window", "There is no key window"));
  const double waited = PlatformClock::now() - playback->start;
  if (window->isTransitioning()) {
    if (waited >= kTransitionWaitSeconds) {
      return playback->answer(
          "error",
          errorValue("busy",
                     "A screen was still being presented, dismissed, pushed or popped after " +
                         ShortestDoubleText(kTransitionWaitSeconds) +
                         " seconds; the touch was not played"));
    }
    NSRunLoop::mainRunLoop().performAfter(kIdleProbeSeconds,
                                          [playback] { playOnceStill(playback); });
    return;
  }
  window->layoutIfNeeded();
  if (auto missed = missedPoint(playback->steps, *window)) {
    return playback->answer("error", errorValue("no_view", "No view takes touches at " +
                                                               pointText(*missed) +
                                                               " (window points)"));
  }
  playback->player = UITouchPlayer(window);
  playback->start = PlatformClock::now();
  playDue(playback);
}

bool animating(const CALayer& layer) {
  if (layer.hasRunningAnimations()) return true;
  for (const auto& sub : layer.sublayers()) {
    if (animating(*sub)) return true;
  }
  return false;
}

// Why the screen may still change, or empty: a layer of the window's tree
// (a view's, or one of its own such as a spinner's arc) is animating. What
// moves without an animation (a scroll view decelerating on its timer) runs
// main-queue work instead.
std::string busyWith(const UIWindow& window) {
  return animating(*window.layer()) ? "an animation is running" : "";
}

struct IdleWatch {
  FlutterDriverScreen::Answer answer;
  double start = 0;
  double quietSince = 0;
  uint64_t tasksTaken = 0;  // the main queue's count at the last look
  std::string why;
};

// Looks once a frame until the main queue has run nothing but these looks
// and no animation has run for the quiet period, or gives up at the limit
// saying what kept it busy.
void probeIdle(const std::shared_ptr<IdleWatch>& watch) {
  const double now = PlatformClock::now();
  std::string busy;
  auto& loop = NSRunLoop::mainRunLoop();
  // Since the last look the main queue ran this look's task and nothing else.
  const uint64_t taken = loop.tasksTaken();
  const bool ranOtherWork = taken - watch->tasksTaken > 1;
  watch->tasksTaken = taken;
  if (ranOtherWork || loop.hasPendingWork()) {
    busy = "the main queue has work to do";
  } else if (auto window = UIWindow::keyWindow()) {
    busy = busyWith(*window);
  }
  if (!busy.empty()) {
    watch->quietSince = now;
    watch->why = busy;
  } else if (now - watch->quietSince >= kIdleQuietSeconds - 1e-9) {
    return watch->answer("result", Value());
  }
  if (now - watch->start >= kIdleLimitSeconds) {
    return watch->answer("error", errorValue("not_idle", "Still busy after " +
                                                             ShortestDoubleText(kIdleLimitSeconds) +
                                                             " seconds: " + watch->why));
  }
  NSRunLoop::mainRunLoop().performAfter(kIdleProbeSeconds, [watch] { probeIdle(watch); });
}

}  // namespace

namespace FlutterDriverScreen {

void idle(Answer answer) {
  auto watch = std::make_shared<IdleWatch>();
  watch->answer = std::move(answer);
  watch->start = PlatformClock::now();
  watch->quietSince = watch->start;
  watch->tasksTaken = NSRunLoop::mainRunLoop().tasksTaken();
  probeIdle(watch);
}

void snapshot(const Value& path, const Answer& answer) {
  if (!path.isString() || path.asString().empty() || path.asString()[0] != '/' ||
      path.asString().find('\0') != std::string::npos) {
    return answer("badRequest", Value("\"snapshot\" needs an absolute path for the PNG"));
  }
  // The PNG replaces the path: never a device, a pipe, a link or a folder.
  struct stat info {};
  if (::lstat(path.asString().c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    return answer(
        "error", errorValue("write_failed", path.asString() + " exists and is not a regular file"));
  }
  auto window = UIWindow::keyWindow();
  if (!window) return answer("error", errorValue("no_window", "There is no key window"));
  window->layoutIfNeeded();
  auto format = UIGraphicsImageRendererFormat::defaultFormat();
  format->setScale(window->screen()->scale());
  UIGraphicsImageRenderer renderer(window->bounds().size, format);
  auto image = renderer.imageWithActions([&window](UIGraphicsImageRendererContext&) {
    window->drawViewHierarchyInRect(CGRect{CGPointZero, window->bounds().size}, true);
  });
  auto png = image ? UIImagePNGRepresentation(image) : nullptr;
  NSErrorPtr error;
  if (!png ||
      !NSFileManager::defaultManager()->createFileAtPath(path.asString(), png->vector(), &error)) {
    return answer("error", errorValue("write_failed", error ? error->localizedDescription()
                                                            : "The window could not be drawn"));
  }
  const auto& cg = image->CGImage();
  answer("result", Value::map({{"path", Value(path)},
                               {"width", Value::integer(int64_t(cg ? cg->width() : 0))},
                               {"height", Value::integer(int64_t(cg ? cg->height() : 0))}}));
}

void viewTree(const Answer& answer) {
  auto window = UIWindow::keyWindow();
  if (!window) return answer("error", errorValue("no_window", "There is no key window"));
  window->layoutIfNeeded();
  answer("result", describe(*window, *window));
}

void touch(const Value& touch, Answer answer) {
  std::string why;
  auto steps = stepsOf(touch, &why);
  if (!steps) return answer("badRequest", Value(why));
  auto playback = std::make_shared<Playback>(std::move(*steps), nullptr, std::move(answer));
  playback->start = PlatformClock::now();
  playOnceStill(playback);
}

}  // namespace FlutterDriverScreen
