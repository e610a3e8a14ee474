#include "internal/ScreenBrightnessRamp.h"

#include <algorithm>
#include <cmath>

#include "ScreenBrightnessIosPlugin.h"
#include "platform/foundation/NSOperation.h"
#include "platform/foundation/NSThread.h"
#include "platform/uikit/UIScreen.h"

double ScreenBrightnessRampStepSize(int64_t maximumFramesPerSecond) {
  const double fps = maximumFramesPerSecond > 0 ? static_cast<double>(maximumFramesPerSecond) : 60;
  return 0.01 / (fps / 60.0);
}

std::vector<double> ScreenBrightnessRampValues(double start, double target, double stepSize) {
  const double step = start < target ? stepSize : -stepSize;
  std::vector<double> values;
  for (int64_t k = 0;; ++k) {
    const double value = std::fma(static_cast<double>(k), step, start);
    const bool short_of_target = step > 0 ? value < target : value > target;
    if (short_of_target) {
      values.push_back(value);
    } else {
      if (value == target) values.push_back(value);
      break;
    }
  }
  return values;
}

void ScreenBrightnessIosPlugin::applyBrightness(double target, bool animated, double duration) {
  taskQueue_->cancelAllOperations();
  auto screen = currentScreen();
  if (!animated) {
    screen->setBrightness(target);
    return;
  }
  if (!std::isfinite(target)) return;
  const double stepSize = ScreenBrightnessRampStepSize(screen->maximumFramesPerSecond());
  // The screen cannot go beyond its range: a ramp towards 1.7 ends on 1.0
  // rather than stepping for ever. Only then does it end exactly on its limit,
  // where a last step short of the range's end would leave the screen below
  // what the caller asked for.
  const double reachable = std::clamp(target, 0.0, 1.0);
  std::vector<double> values =
      ScreenBrightnessRampValues(screen->brightness(), reachable, stepSize);
  if (reachable != target && !values.empty() && values.back() != reachable) {
    values.push_back(reachable);
  }
  const double pause = duration * stepSize;
  auto self = std::static_pointer_cast<ScreenBrightnessIosPlugin>(shared_from_this());
  for (double value : values) {
    auto operation = std::make_shared<NSBlockOperation>();
    std::weak_ptr<NSBlockOperation> weakOperation = operation;
    operation->addExecutionBlock([weakOperation, self, pause, value] {
      auto op = weakOperation.lock();
      if (!op || op->isCancelled()) return;
      NSThread::sleepForTimeInterval(pause);
      NSOperationQueue::mainQueue()->addOperationWithBlock(
          [self, value] { self->currentScreen()->setBrightness(value); });
    });
    taskQueue_->addOperation(operation);
  }
}
