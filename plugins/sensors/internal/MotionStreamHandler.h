#pragma once

// Stream handlers of the five sensor channels. Each keeps only its sampling
// period; the sink lives in the update handler that listening installs.
// Samples reach the sink on the main queue as float64 typed data ending with
// a timestamp in microseconds since the Unix epoch.

#include <cstdint>
#include <memory>

#include "platform/flutter/FlutterChannels.h"
#include "platform/foundation/NSObject.h"

class CMMotionManager;
class NSOperationQueue;

class MotionStreamHandler {
 public:
  virtual ~MotionStreamHandler() = default;
  // Microseconds.
  virtual int64_t samplingPeriod() const = 0;
  virtual void setSamplingPeriod(int64_t period) = 0;
};

// A sensor of the shared motion manager: its period is the manager's update
// interval for that sensor.
class TQMotionManagerStreamHandler : public NSObject,
                                     public FlutterStreamHandler,
                                     public MotionStreamHandler {
 public:
  int64_t samplingPeriod() const override { return samplingPeriod_; }
  void setSamplingPeriod(int64_t period) override;
  FlutterErrorPtr onListenWithArguments(const Value& arguments, FlutterEventSink events) override;
  FlutterErrorPtr onCancelWithArguments(const Value& arguments) override;

 protected:
  virtual void setUpdateInterval(CMMotionManager& manager, double seconds) = 0;
  virtual void startUpdates(CMMotionManager& manager,
                            const std::shared_ptr<NSOperationQueue>& queue,
                            FlutterEventSink sink) = 0;
  virtual void stopUpdates(CMMotionManager& manager) = 0;

 private:
  int64_t samplingPeriod_ = 200000;
};

class TQAccelerometerStreamHandler : public TQMotionManagerStreamHandler {
 protected:
  void setUpdateInterval(CMMotionManager& manager, double seconds) override;
  void startUpdates(CMMotionManager& manager, const std::shared_ptr<NSOperationQueue>& queue,
                    FlutterEventSink sink) override;
  void stopUpdates(CMMotionManager& manager) override;
};

class TQUserAccelStreamHandler : public TQMotionManagerStreamHandler {
 protected:
  void setUpdateInterval(CMMotionManager& manager, double seconds) override;
  void startUpdates(CMMotionManager& manager, const std::shared_ptr<NSOperationQueue>& queue,
                    FlutterEventSink sink) override;
  void stopUpdates(CMMotionManager& manager) override;
};

class TQGyroscopeStreamHandler : public TQMotionManagerStreamHandler {
 protected:
  void setUpdateInterval(CMMotionManager& manager, double seconds) override;
  void startUpdates(CMMotionManager& manager, const std::shared_ptr<NSOperationQueue>& queue,
                    FlutterEventSink sink) override;
  void stopUpdates(CMMotionManager& manager) override;
};

class TQMagnetometerStreamHandler : public TQMotionManagerStreamHandler {
 protected:
  void setUpdateInterval(CMMotionManager& manager, double seconds) override;
  void startUpdates(CMMotionManager& manager, const std::shared_ptr<NSOperationQueue>& queue,
                    FlutterEventSink sink) override;
  void stopUpdates(CMMotionManager& manager) override;
};

// The barometer, through the shared altimeter. Its period is kept but has no
// effect: the altimeter has no update interval.
class TQBarometerStreamHandler : public NSObject,
                                 public FlutterStreamHandler,
                                 public MotionStreamHandler {
 public:
  int64_t samplingPeriod() const override { return samplingPeriod_; }
  void setSamplingPeriod(int64_t period) override;
  FlutterErrorPtr onListenWithArguments(const Value& arguments, FlutterEventSink events) override;
  FlutterErrorPtr onCancelWithArguments(const Value& arguments) override;

 private:
  int64_t samplingPeriod_ = 200000;
};
