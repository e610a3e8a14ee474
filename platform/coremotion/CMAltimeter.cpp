#include "CMAltimeter.h"

#include <cmath>

namespace {

// Height above the level where the pressure is `reference`, by the
// international barometric formula (standard atmosphere).
double altitudeAbove(double pressure, double reference) {
  if (pressure <= 0 || reference <= 0) return 0;
  return 44330.0 * (1.0 - std::pow(pressure / reference, 1.0 / 5.255));
}

}  // namespace

CMAltimeter::CMAltimeter() : barometer_(std::make_shared<CMSensorFeed>(CMSensor::Barometer, 0)) {}

CMAltimeter::~CMAltimeter() { barometer_->stop(); }

bool CMAltimeter::isRelativeAltitudeAvailable() {
  return CMMotionHardware::current()->isAvailable(CMSensor::Barometer);
}

void CMAltimeter::startRelativeAltitudeUpdatesToQueue(
    const std::shared_ptr<NSOperationQueue>& queue, CMAltitudeHandler handler) {
  barometer_->start(queue, [handler = std::move(handler)](const CMSensorReading& r,
                                                          const CMSensorReading& first) {
    if (!handler) return;
    if (r.error) {
      handler(nullptr, r.error);
      return;
    }
    handler(std::make_shared<CMAltitudeData>(r.timestamp, altitudeAbove(r.x, first.x), r.x),
            nullptr);
  });
}

void CMAltimeter::stopRelativeAltitudeUpdates() { barometer_->stop(); }

bool CMAltimeter::isRelativeAltitudeActive() const { return barometer_->isActive(); }
