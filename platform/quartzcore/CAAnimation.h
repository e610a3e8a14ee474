#pragma once

// Explicit layer animations. An animation added to a layer is a copy; it
// changes only what the layer's presentation shows, never its model values,
// and is evaluated on demand at CACurrentMediaTime(). Its end is a deadline
// on the platform clock: when the clock passes it, the layer drops the
// animation (unless told to keep it) and tells the delegate, on the main run
// loop.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/OnceCallback.h"
#include "platform/quartzcore/CAMediaTimingFunction.h"
#include "platform/quartzcore/CAValue.h"

class CALayer;
class CAAnimation;

extern const char* const kCAFillModeRemoved;
extern const char* const kCAFillModeForwards;
extern const char* const kCAFillModeBackwards;
extern const char* const kCAFillModeBoth;

extern const char* const kCAAnimationLinear;
extern const char* const kCAAnimationDiscrete;
extern const char* const kCAAnimationPaced;
extern const char* const kCAAnimationCubic;

// Seconds on the platform clock, the time base of every layer.
double CACurrentMediaTime();

class CAAnimationDelegate {
 public:
  virtual ~CAAnimationDelegate() = default;
  virtual void animationDidStart(CAAnimation&) {}
  // finished is false when the animation was removed before its end.
  virtual void animationDidStop(CAAnimation&, bool /*finished*/) {}
};

// Completions that wait for a set of animations (a transaction's, a view
// animation block's): each member animation leaves when it stops; once the
// group is sealed and empty the callback runs with whether all finished.
class CACompletionGroup {
 public:
  explicit CACompletionGroup(OnceCallback<void(bool)> done) : done_(std::move(done)) {}
  void enter() { ++pending_; }
  void leave(bool finished);
  // No more members will join; runs the callback now when none is pending.
  void seal();
  bool isSealed() const { return sealed_; }

 private:
  void runIfDone();
  OnceCallback<void(bool)> done_;
  int pending_ = 0;
  bool sealed_ = false;
  bool allFinished_ = true;
};

class CAAnimation : public NSObject {
 public:
  static constexpr double kDefaultDuration = 0.25;

  // Adding to a layer stores a copy, as the platform does.
  virtual std::shared_ptr<CAAnimation> copy() const = 0;

  // 0 when added means "now"; otherwise seconds on the layer's clock (inside
  // a group: relative to the group's start).
  double beginTime() const { return beginTime_; }
  void setBeginTime(double t) { beginTime_ = t; }
  // 0 means kDefaultDuration.
  double duration() const { return duration_; }
  void setDuration(double d) { duration_ = d; }
  double repeatCount() const { return repeatCount_; }
  void setRepeatCount(double n) { repeatCount_ = n; }
  bool autoreverses() const { return autoreverses_; }
  void setAutoreverses(bool on) { autoreverses_ = on; }
  const std::string& fillMode() const { return fillMode_; }
  void setFillMode(std::string mode) { fillMode_ = std::move(mode); }
  bool isRemovedOnCompletion() const { return removedOnCompletion_; }
  void setRemovedOnCompletion(bool on) { removedOnCompletion_ = on; }
  const CAMediaTimingFunctionPtr& timingFunction() const { return timing_; }
  void setTimingFunction(CAMediaTimingFunctionPtr f) { timing_ = std::move(f); }
  // Held strongly, as the platform does.
  const std::shared_ptr<CAAnimationDelegate>& delegate() const { return delegate_; }
  void setDelegate(std::shared_ptr<CAAnimationDelegate> d) { delegate_ = std::move(d); }

  // The groups waiting for this animation to stop.
  const std::vector<std::shared_ptr<CACompletionGroup>>& completionGroups() const {
    return groups_;
  }
  void addCompletionGroup(std::shared_ptr<CACompletionGroup> g);

  double effectiveDuration() const { return duration_ > 0 ? duration_ : kDefaultDuration; }
  // One run including repeats and reversals; infinite for an endless repeat.
  double activeDuration() const;
  // Sets the presentation values this animation shows at `time` (in the
  // parent's time base) on `layer`, a presentation copy.
  void applyAt(CALayer& layer, double time) const;

 protected:
  CAAnimation() = default;
  CAAnimation(const CAAnimation& other);
  // Seconds into the current iteration at `time`, honouring repeats,
  // reversal and fill mode; nullopt when the animation shows nothing then.
  std::optional<double> localTime(double time) const;
  // Fraction of change after `local` seconds of an iteration.
  virtual double fraction(double local) const;
  virtual void apply(CALayer& layer, double local) const = 0;

 private:
  double beginTime_ = 0;
  double duration_ = 0;
  double repeatCount_ = 0;
  bool autoreverses_ = false;
  std::string fillMode_ = kCAFillModeRemoved;
  bool removedOnCompletion_ = true;
  CAMediaTimingFunctionPtr timing_;
  std::shared_ptr<CAAnimationDelegate> delegate_;
  std::vector<std::shared_ptr<CACompletionGroup>> groups_;
};

using CAAnimationPtr = std::shared_ptr<CAAnimation>;

class CAPropertyAnimation : public CAAnimation {
 public:
  const std::string& keyPath() const { return keyPath_; }
  void setKeyPath(std::string k) { keyPath_ = std::move(k); }

 protected:
  CAPropertyAnimation() = default;
  explicit CAPropertyAnimation(std::string keyPath) : keyPath_(std::move(keyPath)) {}

 private:
  std::string keyPath_;
};

class CABasicAnimation : public CAPropertyAnimation {
 public:
  CABasicAnimation() = default;
  explicit CABasicAnimation(std::string keyPath) : CAPropertyAnimation(std::move(keyPath)) {}
  static std::shared_ptr<CABasicAnimation> animationWithKeyPath(const std::string& keyPath);
  std::shared_ptr<CAAnimation> copy() const override;

  // Nil ends take the layer's model value (from: by backwards from to).
  const CAValue& fromValue() const { return from_; }
  void setFromValue(CAValue v) { from_ = std::move(v); }
  const CAValue& toValue() const { return to_; }
  void setToValue(CAValue v) { to_ = std::move(v); }
  const CAValue& byValue() const { return by_; }
  void setByValue(CAValue v) { by_ = std::move(v); }

  std::string className() const override { return "CABasicAnimation"; }

 protected:
  void apply(CALayer& layer, double local) const override;

 private:
  CAValue from_, to_, by_;
};

// A damped spring from the start to the end value: progress follows the
// motion of a mass on a spring over real seconds, not the timing curve.
class CASpringAnimation : public CABasicAnimation {
 public:
  CASpringAnimation() = default;
  explicit CASpringAnimation(std::string keyPath) : CABasicAnimation(std::move(keyPath)) {}
  static std::shared_ptr<CASpringAnimation> animationWithKeyPath(const std::string& keyPath);
  std::shared_ptr<CAAnimation> copy() const override;

  double mass() const { return mass_; }
  void setMass(double m) { mass_ = m > 0 ? m : mass_; }
  double stiffness() const { return stiffness_; }
  void setStiffness(double k) { stiffness_ = k > 0 ? k : stiffness_; }
  double damping() const { return damping_; }
  void setDamping(double c) { damping_ = c >= 0 ? c : damping_; }
  double initialVelocity() const { return initialVelocity_; }
  void setInitialVelocity(double v) { initialVelocity_ = v; }
  // How long the spring takes to come to rest (within 0.1 % of the end).
  double settlingDuration() const;
  // The spring's position at `t` seconds: 0 at the start, 1 at rest.
  double springPosition(double t) const;

  std::string className() const override { return "CASpringAnimation"; }

 protected:
  double fraction(double local) const override { return springPosition(local); }

 private:
  double mass_ = 1, stiffness_ = 100, damping_ = 10, initialVelocity_ = 0;
};

class CAKeyframeAnimation : public CAPropertyAnimation {
 public:
  CAKeyframeAnimation() = default;
  explicit CAKeyframeAnimation(std::string keyPath) : CAPropertyAnimation(std::move(keyPath)) {}
  static std::shared_ptr<CAKeyframeAnimation> animationWithKeyPath(const std::string& keyPath);
  std::shared_ptr<CAAnimation> copy() const override;

  const std::vector<CAValue>& values() const { return values_; }
  void setValues(std::vector<CAValue> v) { values_ = std::move(v); }
  // Fractions of the duration, one per value, rising from 0 to 1; evenly
  // spaced when empty or of the wrong length (discrete values then each hold
  // for an equal share of the duration).
  const std::vector<double>& keyTimes() const { return keyTimes_; }
  void setKeyTimes(std::vector<double> t) { keyTimes_ = std::move(t); }
  // One per segment; linear where missing.
  const std::vector<CAMediaTimingFunctionPtr>& timingFunctions() const { return functions_; }
  void setTimingFunctions(std::vector<CAMediaTimingFunctionPtr> f) { functions_ = std::move(f); }
  const std::string& calculationMode() const { return mode_; }
  void setCalculationMode(std::string m) { mode_ = std::move(m); }

  std::string className() const override { return "CAKeyframeAnimation"; }

 protected:
  void apply(CALayer& layer, double local) const override;

 private:
  std::vector<double> effectiveKeyTimes() const;
  std::vector<CAValue> values_;
  std::vector<double> keyTimes_;
  std::vector<CAMediaTimingFunctionPtr> functions_;
  std::string mode_ = kCAAnimationLinear;
};

// Animations run together; their begin times count from the group's start
// and the group's duration cuts them off.
class CAAnimationGroup : public CAAnimation {
 public:
  CAAnimationGroup() = default;
  static std::shared_ptr<CAAnimationGroup> animation() {
    return std::make_shared<CAAnimationGroup>();
  }
  std::shared_ptr<CAAnimation> copy() const override;

  const std::vector<CAAnimationPtr>& animations() const { return animations_; }
  void setAnimations(std::vector<CAAnimationPtr> a) { animations_ = std::move(a); }

  std::string className() const override { return "CAAnimationGroup"; }

 protected:
  void apply(CALayer& layer, double local) const override;

 private:
  std::vector<CAAnimationPtr> animations_;
};

extern const char* const kCATransition;
extern const char* const kCATransitionFade;
extern const char* const kCATransitionMoveIn;
extern const char* const kCATransitionPush;
extern const char* const kCATransitionReveal;

// A change of a whole layer's look over time (a cross-fade, a flip). The
// layer shows its new state; what the transition records is read by tests.
class CATransition : public CAAnimation {
 public:
  CATransition() = default;
  static std::shared_ptr<CATransition> animation() { return std::make_shared<CATransition>(); }
  std::shared_ptr<CAAnimation> copy() const override;

  const std::string& type() const { return type_; }
  void setType(std::string t) { type_ = std::move(t); }
  const std::string& subtype() const { return subtype_; }
  void setSubtype(std::string s) { subtype_ = std::move(s); }

  std::string className() const override { return "CATransition"; }

 protected:
  void apply(CALayer&, double) const override {}

 private:
  std::string type_ = kCATransitionFade;
  std::string subtype_;
};
