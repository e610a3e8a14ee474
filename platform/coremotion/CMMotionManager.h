#pragma once

// The motion manager: accelerometer, device motion, gyroscope and
// magnetometer updates pushed to a handler on an operation queue at each
// sensor's update interval (see CMMotionHardware.h for where readings come
// from). Starting a sensor that is not available does nothing; starting a
// running sensor replaces its handler and queue.

#include <functional>
#include <memory>

#include "platform/coremotion/CMLogItem.h"
#include "CMMotionHardware.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/NSObject.h"

using CMAccelerometerHandler = std::function<void(CMAccelerometerDataPtr, NSErrorPtr)>;
using CMDeviceMotionHandler = std::function<void(CMDeviceMotionPtr, NSErrorPtr)>;
using CMGyroHandler = std::function<void(CMGyroDataPtr, NSErrorPtr)>;
using CMMagnetometerHandler = std::function<void(CMMagnetometerDataPtr, NSErrorPtr)>;

class CMMotionManager : public NSObject {
 public:
  // Every update interval starts at 0.01 s.
  CMMotionManager();
  // Stops every running sensor.
  ~CMMotionManager() override;

  bool isAccelerometerAvailable() const;
  bool isAccelerometerActive() const;
  double accelerometerUpdateInterval() const;
  void setAccelerometerUpdateInterval(double seconds);
  void startAccelerometerUpdatesToQueue(const std::shared_ptr<NSOperationQueue>& queue,
                                        CMAccelerometerHandler handler);
  void stopAccelerometerUpdates();

  bool isDeviceMotionAvailable() const;
  bool isDeviceMotionActive() const;
  double deviceMotionUpdateInterval() const;
  void setDeviceMotionUpdateInterval(double seconds);
  void startDeviceMotionUpdatesToQueue(const std::shared_ptr<NSOperationQueue>& queue,
                                       CMDeviceMotionHandler handler);
  void stopDeviceMotionUpdates();

  bool isGyroAvailable() const;
  bool isGyroActive() const;
  double gyroUpdateInterval() const;
  void setGyroUpdateInterval(double seconds);
  void startGyroUpdatesToQueue(const std::shared_ptr<NSOperationQueue>& queue,
                               CMGyroHandler handler);
  void stopGyroUpdates();

  bool isMagnetometerAvailable() const;
  bool isMagnetometerActive() const;
  double magnetometerUpdateInterval() const;
  void setMagnetometerUpdateInterval(double seconds);
  void startMagnetometerUpdatesToQueue(const std::shared_ptr<NSOperationQueue>& queue,
                                       CMMagnetometerHandler handler);
  void stopMagnetometerUpdates();

 private:
  std::shared_ptr<CMSensorFeed> accelerometer_;
  std::shared_ptr<CMSensorFeed> deviceMotion_;
  std::shared_ptr<CMSensorFeed> gyro_;
  std::shared_ptr<CMSensorFeed> magnetometer_;
};
