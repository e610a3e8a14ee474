#pragma once

// The altimeter: relative-altitude updates from the barometer, each with the
// pressure and the altitude change since the first reading of the updates.
// It has no update interval: every reading the barometer offers is passed on.

#include <functional>
#include <memory>

#include "platform/coremotion/CMLogItem.h"
#include "CMMotionHardware.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/NSObject.h"

// Copyable: it runs for every update.
using CMAltitudeHandler = std::function<void(CMAltitudeDataPtr, NSErrorPtr)>;

class CMAltimeter : public NSObject {
 public:
  CMAltimeter();
  ~CMAltimeter() override;

  static bool isRelativeAltitudeAvailable();
  void startRelativeAltitudeUpdatesToQueue(const std::shared_ptr<NSOperationQueue>& queue,
                                           CMAltitudeHandler handler);
  void stopRelativeAltitudeUpdates();
  bool isRelativeAltitudeActive() const;

 private:
  std::shared_ptr<CMSensorFeed> barometer_;
};
