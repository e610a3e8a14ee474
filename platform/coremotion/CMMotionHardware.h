#pragma once

// The motion hardware of the headless device. There is none: every sensor is
// absent until configured, and readings come only from whoever pushes them
// (tests). The running host configures nothing, so its sensors never report.
//
// A pushed reading goes at once to every running update session of that
// sensor. A session passes a reading on to its handler only when at least one
// update interval (by the readings' own timestamps) has passed since the last
// reading it delivered, and drops it otherwise, as hardware sampling at the
// requested rate would; an interval of zero or less passes every reading.
// Errors are always passed on. Deliveries run on the session's operation
// queue, and none runs once the session has been stopped.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

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
  static CMMotionHardware& shared();

  bool isAvailable(CMSensor sensor) const;
  void setAvailable(CMSensor sensor, bool available);

  // Offer a reading taken `timestamp` seconds after boot (in g, rad/s or µT).
  void pushSample(CMSensor sensor, double timestamp, double x, double y, double z);
  void pushPressure(double timestamp, double kilopascals);
  void pushError(CMSensor sensor, NSErrorPtr error);

  using Listener = std::function<void(const CMSensorReading&)>;
  uint64_t addListener(CMSensor sensor, Listener listener);
  void removeListener(uint64_t token);

 private:
  void push(CMSensor sensor, const CMSensorReading& reading);

  mutable std::mutex mutex_;
  std::map<CMSensor, bool> available_;
  std::map<uint64_t, std::pair<CMSensor, Listener>> listeners_;
  uint64_t nextToken_ = 0;
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
  mutable std::mutex mutex_;
  double interval_;
  bool active_ = false;
  uint64_t session_ = 0;
  uint64_t listenerToken_ = 0;
  std::optional<double> lastDelivered_;
  std::optional<CMSensorReading> first_;
  std::shared_ptr<NSOperationQueue> queue_;
  Delivery delivery_;
};
