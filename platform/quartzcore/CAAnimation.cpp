#include "platform/quartzcore/CAAnimation.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/foundation/PlatformClock.h"
#include "platform/quartzcore/CALayer.h"

const char* const kCAFillModeRemoved = "removed";
const char* const kCAFillModeForwards = "forwards";
const char* const kCAFillModeBackwards = "backwards";
const char* const kCAFillModeBoth = "both";

const char* const kCAAnimationLinear = "linear";
const char* const kCAAnimationDiscrete = "discrete";
const char* const kCAAnimationPaced = "paced";
const char* const kCAAnimationCubic = "cubic";

double CACurrentMediaTime() { return PlatformClock::now(); }

void CACompletionGroup::leave(bool finished) {
  allFinished_ = allFinished_ && finished;
  if (pending_ > 0) --pending_;
  runIfDone();
}

void CACompletionGroup::seal() {
  sealed_ = true;
  runIfDone();
}

void CACompletionGroup::runIfDone() {
  if (sealed_ && pending_ == 0 && !done_.isConsumed()) done_(allFinished_);
}

CAAnimation::CAAnimation(const CAAnimation& other)
    : NSObject(other),
      beginTime_(other.beginTime_),
      duration_(other.duration_),
      repeatCount_(other.repeatCount_),
      autoreverses_(other.autoreverses_),
      fillMode_(other.fillMode_),
      removedOnCompletion_(other.removedOnCompletion_),
      timing_(other.timing_),
      delegate_(other.delegate_),
      groups_(other.groups_) {}

void CAAnimation::addCompletionGroup(std::shared_ptr<CACompletionGroup> g) {
  if (g) groups_.push_back(std::move(g));
}

double CAAnimation::activeDuration() const {
  if (std::isinf(repeatCount_)) return std::numeric_limits<double>::infinity();
  double runs = std::max(repeatCount_, 1.0);
  return effectiveDuration() * runs * (autoreverses_ ? 2 : 1);
}

std::optional<double> CAAnimation::localTime(double time) const {
  const double d = effectiveDuration();
  const double active = activeDuration();
  double elapsed = time - beginTime_;
  bool fillsBackwards = fillMode_ == kCAFillModeBackwards || fillMode_ == kCAFillModeBoth;
  bool fillsForwards = fillMode_ == kCAFillModeForwards || fillMode_ == kCAFillModeBoth;
  if (elapsed < 0) return fillsBackwards ? std::optional<double>(0.0) : std::nullopt;
  bool atEnd = elapsed >= active;
  if (atEnd && !fillsForwards) return std::nullopt;
  if (atEnd) elapsed = active;
  const double period = autoreverses_ ? 2 * d : d;
  double within = std::fmod(elapsed, period);
  if (atEnd && within == 0) return autoreverses_ ? 0.0 : d;
  return autoreverses_ && within > d ? period - within : within;
}

double CAAnimation::fraction(double local) const {
  double t = local / effectiveDuration();
  return timing_ ? timing_->evaluate(t) : t;
}

void CAAnimation::applyAt(CALayer& layer, double time) const {
  if (auto local = localTime(time)) apply(layer, *local);
}

std::shared_ptr<CABasicAnimation> CABasicAnimation::animationWithKeyPath(
    const std::string& keyPath) {
  return std::make_shared<CABasicAnimation>(keyPath);
}

std::shared_ptr<CAAnimation> CABasicAnimation::copy() const {
  return std::make_shared<CABasicAnimation>(*this);
}

void CABasicAnimation::apply(CALayer& layer, double local) const {
  const CAValue model = layer.valueForKeyPath(keyPath());
  CAValue from = from_, to = to_;
  if (CAValueIsNil(from) && CAValueIsNil(to)) {
    from = model;
    to = CAValueIsNil(by_) ? model : CAValueAdd(model, by_);
  } else if (CAValueIsNil(to)) {
    to = CAValueIsNil(by_) ? model : CAValueAdd(from, by_);
  } else if (CAValueIsNil(from)) {
    from = CAValueIsNil(by_) ? model : CAValueAdd(to, by_, -1);
  }
  layer.setValueForKeyPath(keyPath(), CAValueInterpolate(from, to, fraction(local)));
}

std::shared_ptr<CASpringAnimation> CASpringAnimation::animationWithKeyPath(
    const std::string& keyPath) {
  return std::make_shared<CASpringAnimation>(keyPath);
}

std::shared_ptr<CAAnimation> CASpringAnimation::copy() const {
  return std::make_shared<CASpringAnimation>(*this);
}

double CASpringAnimation::springPosition(double t) const {
  // The offset y = x - 1 of a damped oscillator released at y(0) = -1 with
  // y'(0) = initialVelocity.
  const double w0 = std::sqrt(stiffness_ / mass_);
  const double zeta = damping_ / (2 * std::sqrt(stiffness_ * mass_));
  const double v0 = initialVelocity_;
  double y;
  if (zeta < 1) {
    double wd = w0 * std::sqrt(1 - zeta * zeta);
    double b = (v0 - zeta * w0) / wd;
    y = std::exp(-zeta * w0 * t) * (-std::cos(wd * t) + b * std::sin(wd * t));
  } else if (zeta == 1) {
    y = std::exp(-w0 * t) * (-1 + (v0 - w0) * t);
  } else {
    double root = std::sqrt(zeta * zeta - 1);
    double r1 = -w0 * (zeta - root), r2 = -w0 * (zeta + root);
    double c1 = (v0 + r2) / (r1 - r2);
    double c2 = -1 - c1;
    y = c1 * std::exp(r1 * t) + c2 * std::exp(r2 * t);
  }
  return 1 + y;
}

double CASpringAnimation::settlingDuration() const {
  constexpr double kStep = 1.0 / 240, kLimit = 120, kTolerance = 0.001;
  double lastOut = 0;
  for (double t = 0; t <= kLimit; t += kStep) {
    if (std::fabs(1 - springPosition(t)) > kTolerance) lastOut = t + kStep;
  }
  return lastOut;
}

std::shared_ptr<CAKeyframeAnimation> CAKeyframeAnimation::animationWithKeyPath(
    const std::string& keyPath) {
  return std::make_shared<CAKeyframeAnimation>(keyPath);
}

std::shared_ptr<CAAnimation> CAKeyframeAnimation::copy() const {
  return std::make_shared<CAKeyframeAnimation>(*this);
}

std::vector<double> CAKeyframeAnimation::effectiveKeyTimes() const {
  const size_t n = values_.size();
  std::vector<double> times(n, 0);
  if (mode_ == kCAAnimationPaced && n > 1) {
    double total = 0;
    for (size_t i = 1; i < n; ++i) {
      total += CAValueDistance(values_[i - 1], values_[i]);
      times[i] = total;
    }
    if (total > 0) {
      for (auto& t : times) t /= total;
      return times;
    }
  }
  const bool discrete = mode_ == kCAAnimationDiscrete;
  // Discrete key times may hold one more entry: where the last value ends.
  if (keyTimes_.size() == n || (discrete && keyTimes_.size() == n + 1)) {
    return std::vector<double>(keyTimes_.begin(), keyTimes_.begin() + std::ptrdiff_t(n));
  }
  // Evenly spaced: discrete values each hold for an equal share.
  for (size_t i = 0; i < n; ++i) {
    times[i] = discrete ? double(i) / double(n) : n > 1 ? double(i) / double(n - 1) : 0;
  }
  return times;
}

void CAKeyframeAnimation::apply(CALayer& layer, double local) const {
  if (values_.empty()) return;
  const double u = CAAnimation::fraction(local);
  const auto times = effectiveKeyTimes();
  const size_t n = values_.size();
  size_t i = 0;
  while (i + 1 < n && times[i + 1] <= u) ++i;
  if (mode_ == kCAAnimationDiscrete || i + 1 >= n) {
    layer.setValueForKeyPath(keyPath(), values_[i]);
    return;
  }
  double span = times[i + 1] - times[i];
  double t = span > 0 ? std::clamp((u - times[i]) / span, 0.0, 1.0) : 1.0;
  if (i < functions_.size() && functions_[i]) t = functions_[i]->evaluate(t);
  layer.setValueForKeyPath(keyPath(), CAValueInterpolate(values_[i], values_[i + 1], t));
}

std::shared_ptr<CAAnimation> CAAnimationGroup::copy() const {
  return std::make_shared<CAAnimationGroup>(*this);
}

void CAAnimationGroup::apply(CALayer& layer, double local) const {
  for (const auto& a : animations_) {
    if (a) a->applyAt(layer, local);
  }
}

const char* const kCATransition = "transition";
const char* const kCATransitionFade = "fade";
const char* const kCATransitionMoveIn = "moveIn";
const char* const kCATransitionPush = "push";
const char* const kCATransitionReveal = "reveal";

std::shared_ptr<CAAnimation> CATransition::copy() const {
  return std::make_shared<CATransition>(*this);
}
