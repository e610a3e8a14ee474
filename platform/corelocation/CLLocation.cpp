#include "platform/corelocation/CLLocation.h"

#include <cmath>
#include <cstdio>
#include <functional>

bool CLLocationCoordinate2DIsValid(CLLocationCoordinate2D c) {
  return std::isfinite(c.latitude) && std::isfinite(c.longitude) && c.latitude >= -90 &&
         c.latitude <= 90 && c.longitude >= -180 && c.longitude <= 180;
}

CLLocation::CLLocation(double latitude, double longitude)
    : coordinate_{latitude, longitude} {}

CLLocation::CLLocation(CLLocationCoordinate2D coordinate, double altitude,
                       double horizontalAccuracy, double verticalAccuracy, double timestamp)
    : coordinate_(coordinate),
      altitude_(altitude),
      horizontalAccuracy_(horizontalAccuracy),
      verticalAccuracy_(verticalAccuracy),
      timestamp_(timestamp) {}

double CLLocation::distanceFromLocation(const CLLocation& other) const {
  constexpr double kEarthRadius = 6371008.8;
  constexpr double kRadians = M_PI / 180.0;
  double lat1 = coordinate_.latitude * kRadians, lat2 = other.coordinate_.latitude * kRadians;
  double dLat = lat2 - lat1;
  double dLon = (other.coordinate_.longitude - coordinate_.longitude) * kRadians;
  double a = std::sin(dLat / 2) * std::sin(dLat / 2) +
             std::cos(lat1) * std::cos(lat2) * std::sin(dLon / 2) * std::sin(dLon / 2);
  return 2 * kEarthRadius * std::atan2(std::sqrt(a), std::sqrt(1 - a));
}

bool CLLocation::isEqual(const NSObject& other) const {
  auto* o = dynamic_cast<const CLLocation*>(&other);
  return o && o->coordinate_.latitude == coordinate_.latitude &&
         o->coordinate_.longitude == coordinate_.longitude && o->altitude_ == altitude_ &&
         o->horizontalAccuracy_ == horizontalAccuracy_ && o->timestamp_ == timestamp_;
}

size_t CLLocation::hash() const {
  return std::hash<double>()(coordinate_.latitude) * 31 ^ std::hash<double>()(coordinate_.longitude);
}

std::string CLLocation::description() const {
  char buf[128];
  std::snprintf(buf, sizeof buf, "<%+.8f,%+.8f> +/- %.2fm", coordinate_.latitude,
                coordinate_.longitude, horizontalAccuracy_);
  return buf;
}
