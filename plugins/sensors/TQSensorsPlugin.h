#pragma once

// Motion sensor streams: accelerometer, user acceleration, gyroscope,
// magnetometer and barometer, each on its own event channel, and a method
// channel that sets each sensor's sampling period. One motion manager and one
// altimeter, created on first need, serve every listen for the life of the
// process.

#include <memory>

#include "platform/flutter/FlutterPlugin.h"

class CMAltimeter;
class CMMotionManager;

class TQSensorsPlugin {
 public:
  static constexpr const char* kMethodChannelName = "dev.tarnquell.plugins/sensors/method";
  static constexpr const char* kAccelerometerChannelName =
      "dev.tarnquell.plugins/sensors/accelerometer";
  static constexpr const char* kUserAccelChannelName = "dev.tarnquell.plugins/sensors/user_accel";
  static constexpr const char* kGyroscopeChannelName = "dev.tarnquell.plugins/sensors/gyroscope";
  static constexpr const char* kMagnetometerChannelName =
      "dev.tarnquell.plugins/sensors/magnetometer";
  static constexpr const char* kBarometerChannelName = "dev.tarnquell.plugins/sensors/barometer";

  static void registerWithRegistrar(const FlutterPluginRegistrarPtr& registrar);

  // The shared motion manager, created with every interval at 0.2 s.
  static std::shared_ptr<CMMotionManager> ensureMotionManager();
  // The shared motion manager, or nullptr before its first need.
  static std::shared_ptr<CMMotionManager> sharedMotionManager();
  static std::shared_ptr<CMAltimeter> ensureAltimeter();
  // Microseconds between the Unix epoch and the device's boot, fixed at the
  // first call.
  static double bootTimeOffsetMicros();
};
