#pragma once

// Motion hardware whose sensors tests switch on and whose readings they push.
// A pushed reading goes at once, on the pushing thread, to every listener of
// that sensor.
//
//   auto& hardware = ScriptedMotionHardware::installed();
//   hardware.setAvailable(CMSensor::Gyro, true);
//   hardware.pushSample(CMSensor::Gyro, 1.0, 0.1, 0.2, 0.3);

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

#include "platform/coremotion/CMMotionHardware.h"

class ScriptedMotionHardware : public CMMotionHardware {
 public:
  // The scripted hardware, made current (every sensor absent) when it is not.
  static ScriptedMotionHardware& installed();

  bool isAvailable(CMSensor sensor) override;
  void setAvailable(CMSensor sensor, bool available);

  // A reading taken `timestamp` seconds after boot (in g, rad/s or µT).
  void pushSample(CMSensor sensor, double timestamp, double x, double y, double z);
  void pushPressure(double timestamp, double kilopascals);
  void pushError(CMSensor sensor, NSErrorPtr error);

  uint64_t addListener(CMSensor sensor, Listener listener) override;
  void removeListener(uint64_t token) override;

 private:
  void push(CMSensor sensor, const CMSensorReading& reading);

  std::mutex mutex_;  // guards the three members below
  std::map<CMSensor, bool> available_;
  std::map<uint64_t, std::pair<CMSensor, Listener>> listeners_;
  uint64_t nextToken_ = 0;
};
