#pragma once

// The records Core Motion hands to update handlers. Every record carries the
// moment its reading was taken, in seconds since the device booted.

#include <memory>

#include "platform/foundation/NSObject.h"

// Acceleration in g (9.81 m/s²) along the device's axes.
struct CMAcceleration {
  double x = 0;
  double y = 0;
  double z = 0;
};

// Rotation rate in radians per second around the device's axes.
struct CMRotationRate {
  double x = 0;
  double y = 0;
  double z = 0;
};

// Magnetic field in microtesla along the device's axes.
struct CMMagneticField {
  double x = 0;
  double y = 0;
  double z = 0;
};

class CMLogItem : public NSObject {
 public:
  explicit CMLogItem(double timestamp) : timestamp_(timestamp) {}
  // Seconds since boot.
  double timestamp() const { return timestamp_; }

 private:
  double timestamp_;
};

class CMAccelerometerData : public CMLogItem {
 public:
  CMAccelerometerData(double timestamp, CMAcceleration acceleration)
      : CMLogItem(timestamp), acceleration_(acceleration) {}
  CMAcceleration acceleration() const { return acceleration_; }

 private:
  CMAcceleration acceleration_;
};

class CMGyroData : public CMLogItem {
 public:
  CMGyroData(double timestamp, CMRotationRate rotationRate)
      : CMLogItem(timestamp), rotationRate_(rotationRate) {}
  CMRotationRate rotationRate() const { return rotationRate_; }

 private:
  CMRotationRate rotationRate_;
};

// The raw magnetometer field, not corrected for the device's own bias.
class CMMagnetometerData : public CMLogItem {
 public:
  CMMagnetometerData(double timestamp, CMMagneticField magneticField)
      : CMLogItem(timestamp), magneticField_(magneticField) {}
  CMMagneticField magneticField() const { return magneticField_; }

 private:
  CMMagneticField magneticField_;
};

// Device motion: the acceleration the user gives the device, gravity removed.
class CMDeviceMotion : public CMLogItem {
 public:
  CMDeviceMotion(double timestamp, CMAcceleration userAcceleration)
      : CMLogItem(timestamp), userAcceleration_(userAcceleration) {}
  CMAcceleration userAcceleration() const { return userAcceleration_; }

 private:
  CMAcceleration userAcceleration_;
};

// A barometer reading: the pressure in kilopascals and the altitude in metres
// relative to the first reading since updates started.
class CMAltitudeData : public CMLogItem {
 public:
  CMAltitudeData(double timestamp, double relativeAltitude, double pressure)
      : CMLogItem(timestamp), relativeAltitude_(relativeAltitude), pressure_(pressure) {}
  double relativeAltitude() const { return relativeAltitude_; }
  double pressure() const { return pressure_; }

 private:
  double relativeAltitude_;
  double pressure_;
};

using CMAccelerometerDataPtr = std::shared_ptr<CMAccelerometerData>;
using CMGyroDataPtr = std::shared_ptr<CMGyroData>;
using CMMagnetometerDataPtr = std::shared_ptr<CMMagnetometerData>;
using CMDeviceMotionPtr = std::shared_ptr<CMDeviceMotion>;
using CMAltitudeDataPtr = std::shared_ptr<CMAltitudeData>;
