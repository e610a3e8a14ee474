#pragma once
// A location fix as Core Location reports it: coordinate in degrees (WGS 84),
// altitude in metres, horizontal accuracy in metres (negative: the
// coordinate is invalid) and the time of the fix (seconds since 1970).

#include <memory>
#include <string>

#include "platform/foundation/NSObject.h"

struct CLLocationCoordinate2D {
  double latitude = 0;
  double longitude = 0;
};

// Latitude within [-90, 90] and longitude within [-180, 180].
bool CLLocationCoordinate2DIsValid(CLLocationCoordinate2D coordinate);

class CLLocation : public NSObject {
 public:
  CLLocation(double latitude, double longitude);
  CLLocation(CLLocationCoordinate2D coordinate, double altitude, double horizontalAccuracy,
             double verticalAccuracy, double timestamp);

  CLLocationCoordinate2D coordinate() const { return coordinate_; }
  double altitude() const { return altitude_; }
  double horizontalAccuracy() const { return horizontalAccuracy_; }
  double verticalAccuracy() const { return verticalAccuracy_; }
  double timestamp() const { return timestamp_; }

  // Great-circle distance in metres (haversine on the mean earth radius).
  double distanceFromLocation(const CLLocation& other) const;

  bool isEqual(const NSObject& other) const override;
  size_t hash() const override;
  std::string description() const override;
  std::string className() const override { return "CLLocation"; }

 private:
  CLLocationCoordinate2D coordinate_;
  double altitude_ = 0;
  double horizontalAccuracy_ = 0;
  double verticalAccuracy_ = -1;
  double timestamp_ = 0;
};

using CLLocationPtr = std::shared_ptr<CLLocation>;
