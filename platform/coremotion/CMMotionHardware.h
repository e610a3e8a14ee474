#pragma once

// The motion hardware Core Motion reads. The headless device has none: the
// default hardware has every sensor absent, so the running host's sensors
// never report; tests install hardware whose readings they push.
//
// A reading goes at once to every running update session of that sensor. A
// session passes a reading on to its handler only when at least one update
// interval (by the readings' own timestamps) has passed since the last
// reading it delivered, and drops it otherwise, as hardware sampling at the
// requested rate would; an interval of zero or less passes every reading.
// Errors are always passed on. Deliveries run on the session's operation
// queue, and none runs once the session has been stopped.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSError.h"

class NSOperationQueue;

enum class CMSensor { Accelerometer, DeviceMotion, Gyro, Magnetometer, Barometer };

// One raw reading, or a failure of the sensor.
struct CMSensorReading {
  double timestamp = 0;  // seconds since boot
  double x = 0;          // barometer: the pressure in kilopascals
  double y = 0;
  double z = 0;
  NSErrorPtr error;
};

class CMMotionHardware {
 public:
  virtual ~CMMotionHardware() = default;

  // Safe from any thread; a session keeps the hardware it started on.
  static std::shared_ptr<CMMotionHardware> current();
  // nullptr restores the device's own hardware (no sensors).
  static void setCurrent(std::shared_ptr<CMMotionHardware> hardware);

  virtual bool isAvailable(CMSensor sensor) = 0;

  // `listener` runs on any thread for each reading of `sensor` until removed.
  using Listener = std::function<void(const CMSensorReading&)>;
  virtual uint64_t addListener(CMSensor sensor, Listener listener) = 0;
  virtual void removeListener(uint64_t token) = 0;
};

// The headless device's hardware: no sensor at all.
class CMAbsentMotionHardware : public CMMotionHardware {
 public:
  bool isAvailable(CMSensor) override { return false; }
  uint64_t addListener(CMSensor, Listener) override { return 0; }
  void removeListener(uint64_t) override {}
};

// The update sessions of one sensor of one manager: interval, running state
// and the handler's queue. Shared with the hardware listener it installs, so
// that a reading in flight never outlives what it needs.
class CMSensorFeed : public std::enable_shared_from_this<CMSensorFeed> {
 public:
  // Receives the reading and the first reading of the same session.
  using Delivery =
      std::function<void(const CMSensorReading& reading, const CMSensorReading& first)>;

  CMSensorFeed(CMSensor sensor, double interval);
  ~CMSensorFeed();

  double interval() const;
  void setInterval(double seconds);
  bool isActive() const;
  // Replaces any running session. Does nothing for an absent sensor.
  void start(const std::shared_ptr<NSOperationQueue>& queue, Delivery delivery);
  void stop();

 private:
  void offer(uint64_t session, const CMSensorReading& reading);
  bool isCurrent(uint64_t session) const;

  const CMSensor sensor_;
  mutable Mutex mutex_;  // guards interval_, the session and its listener below
  double interval_ GUARDED_BY(mutex_);
  bool active_ GUARDED_BY(mutex_) = false;
  uint64_t session_ GUARDED_BY(mutex_) = 0;
  std::shared_ptr<CMMotionHardware> hardware_ GUARDED_BY(mutex_);  // the running session's
  uint64_t listenerToken_ GUARDED_BY(mutex_) = 0;
  std::optional<double> lastDelivered_;
  std::optional<CMSensorReading> first_;
  std::shared_ptr<NSOperationQueue> queue_;
  Delivery delivery_;
};
