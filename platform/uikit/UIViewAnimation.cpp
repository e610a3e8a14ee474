#include "platform/uikit/UIViewAnimation.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIView.h"

namespace {

struct KeyframeSegment {
  double start, end;
  CAValue value;
};

struct KeyframeTrack {
  std::shared_ptr<CALayer> layer;
  std::string keyPath;
  CAValue initial;
  std::vector<KeyframeSegment> segments;
};

struct Frame {
  UIViewAnimationState::Block block;
  std::shared_ptr<CACompletionGroup> group;
  double keyframeStart = 0, keyframeDuration = 1;
  std::vector<KeyframeTrack> tracks;
};

std::vector<Frame>& frames() {
  static std::vector<Frame> stack;
  return stack;
}

bool gAnimationsEnabled = true;

CAMediaTimingFunctionPtr curveFor(uint64_t options) {
  switch ((options >> 16) & 0xF) {
    case 1: return CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionEaseIn);
    case 2: return CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionEaseOut);
    case 3: return CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionLinear);
    default: return CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionEaseInEaseOut);
  }
}

// Timing shared by every animation a block makes.
void configure(CAAnimation& a, const Frame& f, const CALayer& layer) {
  const auto& b = f.block;
  a.setDuration(b.duration);
  if (b.delay > 0) {
    // Begin times are on the layer's own clock.
    a.setBeginTime(layer.convertTimeFromLayer(CACurrentMediaTime(), nullptr) + b.delay);
    a.setFillMode(kCAFillModeBackwards);
  }
  if (b.options & UIViewAnimationOptionRepeat) {
    a.setRepeatCount(std::numeric_limits<double>::infinity());
  }
  a.setAutoreverses(b.options & UIViewAnimationOptionAutoreverse);
  a.addCompletionGroup(f.group);
}

CAValue shownValue(CALayer& layer, const std::string& keyPath) {
  if (layer.animationKeys().empty()) return layer.valueForKeyPath(keyPath);
  return layer.presentationLayer()->valueForKeyPath(keyPath);
}

void addKeyframeAnimations(Frame& f) {
  const char* modes[] = {kCAAnimationLinear, kCAAnimationDiscrete, kCAAnimationPaced,
                         kCAAnimationCubic, kCAAnimationPaced};
  size_t mode = std::min<size_t>((f.block.options >> 10) & 0x7, 4);
  for (auto& track : f.tracks) {
    std::stable_sort(track.segments.begin(), track.segments.end(),
                     [](const auto& a, const auto& b) { return a.start < b.start; });
    std::vector<CAValue> values{track.initial};
    std::vector<double> times{0};
    for (const auto& s : track.segments) {
      if (s.start > times.back()) {
        values.push_back(values.back());
        times.push_back(s.start);
      }
      values.push_back(s.value);
      times.push_back(std::max(s.end, times.back()));
    }
    if (times.back() < 1) {
      values.push_back(values.back());
      times.push_back(1);
    }
    auto anim = CAKeyframeAnimation::animationWithKeyPath(track.keyPath);
    anim->setValues(std::move(values));
    anim->setKeyTimes(std::move(times));
    anim->setCalculationMode(modes[mode]);
    configure(*anim, f, *track.layer);
    track.layer->addAnimation(anim, track.keyPath);
  }
}

}  // namespace

const UIViewAnimationState::Block* UIViewAnimationState::current() {
  return frames().empty() ? nullptr : &frames().back().block;
}

void UIViewAnimationState::recordChange(CALayer& layer, const char* keyPath, const CAValue& to) {
  if (frames().empty() || !gAnimationsEnabled) return;
  Frame& f = frames().back();
  if (f.block.kind == Kind::Disabled) return;
  CAValue from = shownValue(layer, keyPath);
  if (from == to) return;
  if (f.block.kind == Kind::Keyframes) {
    auto it = std::find_if(f.tracks.begin(), f.tracks.end(), [&](const KeyframeTrack& t) {
      return t.layer.get() == &layer && t.keyPath == keyPath;
    });
    if (it == f.tracks.end()) {
      f.tracks.push_back({SharedFromThis(&layer), keyPath, from, {}});
      it = f.tracks.end() - 1;
    }
    it->segments.push_back(
        {f.keyframeStart, f.keyframeStart + f.keyframeDuration, to});
    return;
  }
  std::shared_ptr<CABasicAnimation> anim;
  if (f.block.kind == Kind::Spring) {
    auto spring = CASpringAnimation::animationWithKeyPath(keyPath);
    // A spring that comes to rest in about the block's duration.
    double w0 = 2 * M_PI / std::max(f.block.duration, 0.01);
    spring->setStiffness(w0 * w0);
    spring->setDamping(2 * std::clamp(f.block.dampingRatio, 0.0, 1.0) * w0);
    spring->setInitialVelocity(f.block.initialVelocity);
    anim = spring;
  } else {
    anim = CABasicAnimation::animationWithKeyPath(keyPath);
    anim->setTimingFunction(curveFor(f.block.options));
  }
  anim->setFromValue(from);
  anim->setToValue(to);
  configure(*anim, f, layer);
  layer.addAnimation(anim, keyPath);
}

void UIViewAnimationState::run(const Block& block, const std::function<void()>& animations,
                               OnceCallback<void(bool)> done) {
  QX_DCHECK_MAIN_THREAD();
  Frame f;
  f.block = block;
  // Completions run on the main run loop, never inside the block's caller.
  f.group = std::make_shared<CACompletionGroup>(
      dispatch_bind_to_queue(dispatch_get_main_queue(), std::move(done)));
  if (block.kind != Kind::Disabled && block.duration <= 0 && block.delay <= 0) {
    f.block.kind = Kind::Disabled;
  }
  frames().push_back(std::move(f));
  if (animations) animations();
  Frame top = std::move(frames().back());
  frames().pop_back();
  if (top.block.kind == Kind::Keyframes) addKeyframeAnimations(top);
  top.group->seal();
}

void UIViewAnimationState::addKeyframe(double relativeStart, double relativeDuration,
                                       const std::function<void()>& animations) {
  QX_DCHECK_MAIN_THREAD();
  if (frames().empty() || frames().back().block.kind != Kind::Keyframes) {
    if (animations) animations();
    return;
  }
  Frame& f = frames().back();
  double oldStart = f.keyframeStart, oldDuration = f.keyframeDuration;
  f.keyframeStart = std::clamp(relativeStart, 0.0, 1.0);
  f.keyframeDuration = std::clamp(relativeDuration, 0.0, 1.0 - f.keyframeStart);
  if (animations) animations();
  // The frame may have moved if the block started another animation block.
  Frame& again = frames().back();
  again.keyframeStart = oldStart;
  again.keyframeDuration = oldDuration;
}

// UIView's animation class methods ----------------------------------------

void UIView::animateWithDuration(double duration, double delay, uint64_t options,
                                 const std::function<void()>& animations,
                                 OnceCallback<void(bool)> completion) {
  UIViewAnimationState::Block b;
  b.duration = duration;
  b.delay = delay;
  b.options = options;
  UIViewAnimationState::run(b, animations, std::move(completion));
}

void UIView::animateWithDuration(double duration, const std::function<void()>& animations,
                                 OnceCallback<void(bool)> completion) {
  animateWithDuration(duration, 0, 0, animations, std::move(completion));
}

void UIView::animateWithDuration(double duration, double delay, double dampingRatio,
                                 double velocity, uint64_t options,
                                 const std::function<void()>& animations,
                                 OnceCallback<void(bool)> completion) {
  UIViewAnimationState::Block b;
  b.kind = UIViewAnimationState::Kind::Spring;
  b.duration = duration;
  b.delay = delay;
  b.options = options;
  b.dampingRatio = dampingRatio;
  b.initialVelocity = velocity;
  UIViewAnimationState::run(b, animations, std::move(completion));
}

void UIView::animateKeyframesWithDuration(double duration, double delay, uint64_t options,
                                          const std::function<void()>& animations,
                                          OnceCallback<void(bool)> completion) {
  UIViewAnimationState::Block b;
  b.kind = UIViewAnimationState::Kind::Keyframes;
  b.duration = duration;
  b.delay = delay;
  b.options = options;
  UIViewAnimationState::run(b, animations, std::move(completion));
}

void UIView::addKeyframeWithRelativeStartTime(double start, double duration,
                                              const std::function<void()>& animations) {
  UIViewAnimationState::addKeyframe(start, duration, animations);
}

void UIView::transitionWithView(const std::shared_ptr<UIView>& view, double duration,
                                uint64_t options, const std::function<void()>& animations,
                                OnceCallback<void(bool)> completion) {
  QX_DCHECK_MAIN_THREAD();
  UIViewAnimationState::Block b;
  b.kind = (options & UIViewAnimationOptionAllowAnimatedContent)
               ? UIViewAnimationState::Kind::Plain
               : UIViewAnimationState::Kind::Disabled;
  b.duration = duration;
  b.options = options;
  auto group = std::make_shared<CACompletionGroup>(
      dispatch_bind_to_queue(dispatch_get_main_queue(), std::move(completion)));
  if (view && duration > 0) {
    auto transition = CATransition::animation();
    const char* types[] = {kCATransitionFade, "oglFlip", "oglFlip", "pageCurl",
                           "pageUnCurl",      kCATransitionFade, "oglFlip", "oglFlip"};
    transition->setType(types[(options >> 20) & 0x7]);
    transition->setDuration(duration);
    transition->setTimingFunction(curveFor(options));
    transition->addCompletionGroup(group);
    view->layer()->addAnimation(transition, kCATransition);
  }
  UIViewAnimationState::run(b, animations, nullptr);
  group->seal();
}

void UIView::performWithoutAnimation(const std::function<void()>& actions) {
  UIViewAnimationState::Block b;
  b.kind = UIViewAnimationState::Kind::Disabled;
  UIViewAnimationState::run(b, actions, nullptr);
}

bool UIView::areAnimationsEnabled() { return gAnimationsEnabled; }

void UIView::setAnimationsEnabled(bool enabled) {
  QX_DCHECK_MAIN_THREAD();
  gAnimationsEnabled = enabled;
}

double UIView::inheritedAnimationDuration() {
  auto b = UIViewAnimationState::current();
  return b && b->kind != UIViewAnimationState::Kind::Disabled ? b->duration : 0;
}
