#pragma once

// View animations: the options of the animation blocks and the recorder that
// turns property changes made inside a block into layer animations. Inside a
// block the model value changes at once; the layer gets an animation from
// the value it showed to the new one, under the property's key, so its
// presentation moves along the curve while the platform clock advances.

#include <cstdint>
#include <functional>

#include "platform/quartzcore/CALayer.h"

enum UIViewAnimationOptions : uint64_t {
  UIViewAnimationOptionLayoutSubviews = 1 << 0,
  UIViewAnimationOptionAllowUserInteraction = 1 << 1,
  UIViewAnimationOptionBeginFromCurrentState = 1 << 2,
  UIViewAnimationOptionRepeat = 1 << 3,
  UIViewAnimationOptionAutoreverse = 1 << 4,
  UIViewAnimationOptionOverrideInheritedDuration = 1 << 5,
  UIViewAnimationOptionOverrideInheritedCurve = 1 << 6,
  UIViewAnimationOptionAllowAnimatedContent = 1 << 7,
  UIViewAnimationOptionShowHideTransitionViews = 1 << 8,
  UIViewAnimationOptionOverrideInheritedOptions = 1 << 9,
  UIViewAnimationOptionCurveEaseInOut = 0 << 16,
  UIViewAnimationOptionCurveEaseIn = 1 << 16,
  UIViewAnimationOptionCurveEaseOut = 2 << 16,
  UIViewAnimationOptionCurveLinear = 3 << 16,
  UIViewAnimationOptionTransitionNone = 0 << 20,
  UIViewAnimationOptionTransitionFlipFromLeft = 1 << 20,
  UIViewAnimationOptionTransitionFlipFromRight = 2 << 20,
  UIViewAnimationOptionTransitionCurlUp = 3 << 20,
  UIViewAnimationOptionTransitionCurlDown = 4 << 20,
  UIViewAnimationOptionTransitionCrossDissolve = 5 << 20,
  UIViewAnimationOptionTransitionFlipFromTop = 6 << 20,
  UIViewAnimationOptionTransitionFlipFromBottom = 7 << 20,
};

enum UIViewKeyframeAnimationOptions : uint64_t {
  UIViewKeyframeAnimationOptionCalculationModeLinear = 0 << 10,
  UIViewKeyframeAnimationOptionCalculationModeDiscrete = 1 << 10,
  UIViewKeyframeAnimationOptionCalculationModePaced = 2 << 10,
  UIViewKeyframeAnimationOptionCalculationModeCubic = 3 << 10,
  UIViewKeyframeAnimationOptionCalculationModeCubicPaced = 4 << 10,
};

// What the animation block being run asks for. Main thread only.
class UIViewAnimationState {
 public:
  enum class Kind { Plain, Spring, Keyframes, Disabled };
  struct Block {
    Kind kind = Kind::Plain;
    double duration = 0;
    double delay = 0;
    uint64_t options = 0;
    double dampingRatio = 1;
    double initialVelocity = 0;
  };

  // Called by a view before it sets a layer value.
  static void recordChange(CALayer& layer, const char* keyPath, const CAValue& to);
  // The innermost block being run, if any.
  static const Block* current();

  // Runs `animations` as a block of this kind; `done` runs once every
  // animation it made has stopped, with whether all finished.
  static void run(const Block& block, const std::function<void()>& animations,
                  OnceCallback<void(bool)> done);
  // Inside a keyframes block: the changes of `animations` happen between
  // these fractions of the block's duration.
  static void addKeyframe(double relativeStart, double relativeDuration,
                          const std::function<void()>& animations);
};
