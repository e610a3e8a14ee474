#include "AKCamera/AKCameraLocationManager.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/ImageIOProperties.h"

namespace {

// The UTC calendar fields of a time, and its microseconds.
void UTCFields(double secondsSince1970, std::tm& out, int& micros) {
  double whole = std::floor(secondsSince1970);
  micros = int(std::lround((secondsSince1970 - whole) * 1e6));
  if (micros >= 1000000) {
    micros -= 1000000;
    whole += 1;
  }
  const time_t t = time_t(whole);
  gmtime_r(&t, &out);
}

}  // namespace

ValueMap AKCameraGPSDictionary(const CLLocation& location, const CLHeadingPtr& heading) {
  const double lat = location.coordinate().latitude, lon = location.coordinate().longitude;
  const double alt = location.altitude();
  std::tm utc{};
  int micros = 0;
  UTCFields(location.timestamp(), utc, micros);
  char time[32], date[40];
  std::snprintf(time, sizeof time, "%02d:%02d:%02d.%06d", utc.tm_hour, utc.tm_min, utc.tm_sec,
                micros);
  std::snprintf(date, sizeof date, "%04d:%02d:%02d", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday);
  ValueMap gps;
  ValueMapSet(gps, kCGImagePropertyGPSLatitude, std::fabs(lat));
  ValueMapSet(gps, kCGImagePropertyGPSLongitude, std::fabs(lon));
  ValueMapSet(gps, kCGImagePropertyGPSLatitudeRef, lat < 0 ? "S" : "N");
  ValueMapSet(gps, kCGImagePropertyGPSLongitudeRef, lon < 0 ? "W" : "E");
  ValueMapSet(gps, kCGImagePropertyGPSAltitude, std::fabs(alt));
  ValueMapSet(gps, kCGImagePropertyGPSAltitudeRef, Value::integer(alt < 0 ? 1 : 0));
  ValueMapSet(gps, kCGImagePropertyGPSTimeStamp, std::string(time));
  ValueMapSet(gps, kCGImagePropertyGPSDateStamp, std::string(date));
  ValueMapSet(gps, kCGImagePropertyGPSVersion, "2.2.0.0");
  if (heading) {
    ValueMapSet(gps, kCGImagePropertyGPSImgDirection, heading->trueHeading());
    ValueMapSet(gps, kCGImagePropertyGPSImgDirectionRef, "T");
  }
  return gps;
}

const CLLocationManagerPtr& AKCameraLocationManager::locationManager() {
  QX_DCHECK_MAIN_THREAD();
  if (!locationManager_) {
    locationManager_ = CLLocationManager::create();
    locationManager_->setDelegate(
        std::static_pointer_cast<AKCameraLocationManager>(shared_from_this()));
    locationManager_->setDesiredAccuracy(kCLLocationAccuracyBest);
    locationManager_->requestWhenInUseAuthorization();
    manager_ = locationManager_.get();
  }
  return locationManager_;
}

void AKCameraLocationManager::startUpdatingLocation() {
  enable_ = true;
  locationManager()->startUpdatingLocation();
}

void AKCameraLocationManager::stopUpdatingLocation() {
  enable_ = false;
  locationManager()->stopUpdatingLocation();
}

std::optional<ValueMap> AKCameraLocationManager::gpsMetadata() const {
  CLLocationPtr location = latestLocation();
  if (!location) return std::nullopt;
  CLLocationManager* manager = manager_;
  return AKCameraGPSDictionary(*location, manager ? manager->heading() : nullptr);
}

void AKCameraLocationManager::locationManagerDidUpdateLocations(
    CLLocationManager&, const std::vector<CLLocationPtr>& locations) {
  CLLocationPtr best;
  for (const CLLocationPtr& location : locations) {
    if (!location || location->horizontalAccuracy() < 0) continue;
    if (!best || location->horizontalAccuracy() < best->horizontalAccuracy()) best = location;
  }
  std::atomic_store(&latestLocation_, best);
}

void AKCameraLocationManager::locationManagerDidChangeAuthorizationStatus(
    CLLocationManager& manager, CLAuthorizationStatus status) {
  if (status == kCLAuthorizationStatusAuthorizedAlways ||
      status == kCLAuthorizationStatusAuthorizedWhenInUse) {
    if (enable_) manager.startUpdatingLocation();
  } else {
    manager.stopUpdatingLocation();
  }
}
