#pragma once

// Keeps the most accurate recent location while the camera screen shows and
// turns it into the EXIF GPS dictionary merged into each photo.

#include <atomic>
#include <memory>
#include <optional>

#include "platform/corelocation/CLLocationManager.h"
#include "platform/foundation/ValueFwd.h"

class AKCameraLocationManager : public NSObject, public CLLocationManagerDelegate {
 public:
  AKCameraLocationManager() = default;

  void startUpdatingLocation();
  void stopUpdatingLocation();
  // The GPS dictionary of the latest location; nullopt before there is one.
  // Safe from any thread.
  std::optional<ValueMap> gpsMetadata() const;

  // Invalid fixes (negative horizontal accuracy) are dropped first; the most
  // accurate of the rest is kept (the first of equals); none clears it.
  void locationManagerDidUpdateLocations(CLLocationManager& manager,
                                         const std::vector<CLLocationPtr>& locations) override;
  void locationManagerDidChangeAuthorizationStatus(CLLocationManager& manager,
                                                   CLAuthorizationStatus status) override;

  CLLocationPtr latestLocation() const { return std::atomic_load(&latestLocation_); }
  bool isEnabled() const { return enable_; }
  // Made on first use, asking for when-in-use authorization.
  const CLLocationManagerPtr& locationManager();
  std::string className() const override { return "AKCameraLocationManager"; }

 private:
  // Written on the main thread, read on the session queue: swapped whole.
  CLLocationPtr latestLocation_;
  CLLocationManagerPtr locationManager_;
  std::atomic<CLLocationManager*> manager_{nullptr};  // for readers off the main thread
  bool enable_ = false;
};

// The GPS dictionary of one location (and heading, when there is one), with
// the time stamps in UTC with ASCII digits whatever the locale.
ValueMap AKCameraGPSDictionary(const CLLocation& location, const CLHeadingPtr& heading);
