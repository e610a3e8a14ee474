#pragma once

// The arithmetic of a brightness ramp, apart from its scheduling.

#include <cstdint>
#include <vector>

// 0.01 per step at 60 frames per second, proportionally less on faster
// screens. A frame rate of zero or less (a screen that reports none) counts
// as 60, so that a step is never infinite.
double ScreenBrightnessRampStepSize(int64_t maximumFramesPerSecond);

// The values a ramp sets, in order: start + k x step for k = 0, 1, ... (each
// one fused multiply-add from the start) while still short of the target,
// and the target itself only when some k lands on it exactly; so the list
// may end less than one step short. The step runs towards the target, and
// downwards when start equals target (one value, the start).
std::vector<double> ScreenBrightnessRampValues(double start, double target, double stepSize);
