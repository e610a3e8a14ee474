#pragma once

// The location manager over a location provider. The running host's
// provider reads a fixed position from the environment:
//
//   QX_LOCATION  "latitude,longitude[,altitude[,horizontalAccuracy]]" in
//                degrees and metres (altitude 0, accuracy 5 when left out);
//                unset or unreadable: the device has no position fix
//   QX_LOCATION_AUTHORIZATION  "authorizedWhenInUse" (default),
//                "authorizedAlways", "denied", "restricted" or
//                "notDetermined" (a request then grants when-in-use)
//
// Each start of updates delivers that position once, dated now. Tests
// install a provider of their own (tests/support/location).
//
// The delegate (held weakly) hears on the main thread: locations only while
// updating and authorized, authorization changes always (and the status once
// after creation, as the platform does).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/corelocation/CLLocation.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSError.h"

enum CLAuthorizationStatus : int32_t {
  kCLAuthorizationStatusNotDetermined = 0,
  kCLAuthorizationStatusRestricted = 1,
  kCLAuthorizationStatusDenied = 2,
  kCLAuthorizationStatusAuthorizedAlways = 3,
  kCLAuthorizationStatusAuthorizedWhenInUse = 4,
};

// The settings above as the provider reads them: the status a name gives,
// and the position a QX_LOCATION text gives (2 to 4 numbers joined by
// commas, the coordinate valid); nullopt for any other text.
struct CLLocationSetting {
  double latitude, longitude, altitude, horizontalAccuracy;
};
std::optional<CLAuthorizationStatus> CLAuthorizationStatusNamed(const std::string& name);
std::optional<CLLocationSetting> CLLocationSettingFromText(const std::string& text);

extern const double kCLLocationAccuracyBestForNavigation;
extern const double kCLLocationAccuracyBest;
extern const double kCLLocationAccuracyHundredMeters;

class CLHeading : public NSObject {
 public:
  CLHeading(double trueHeading, double magneticHeading, double accuracy, double timestamp)
      : trueHeading_(trueHeading), magneticHeading_(magneticHeading), accuracy_(accuracy),
        timestamp_(timestamp) {}
  double trueHeading() const { return trueHeading_; }
  double magneticHeading() const { return magneticHeading_; }
  double headingAccuracy() const { return accuracy_; }
  double timestamp() const { return timestamp_; }
  std::string className() const override { return "CLHeading"; }

 private:
  double trueHeading_, magneticHeading_, accuracy_, timestamp_;
};
using CLHeadingPtr = std::shared_ptr<CLHeading>;

// What a provider tells the managers listening to it.
struct CLLocationEvent {
  enum class Kind { Locations, Authorization, Heading, Failure };
  Kind kind = Kind::Locations;
  std::vector<CLLocationPtr> locations;
  CLAuthorizationStatus status = kCLAuthorizationStatusNotDetermined;
  CLHeadingPtr heading;
  NSErrorPtr error;
};

class CLLocationProvider {
 public:
  virtual ~CLLocationProvider() = default;
  // Safe from any thread.
  static std::shared_ptr<CLLocationProvider> current();
  // nullptr restores the environment's provider.
  static void setCurrent(std::shared_ptr<CLLocationProvider> provider);

  using Listener = std::function<void(const CLLocationEvent&)>;
  virtual CLAuthorizationStatus authorizationStatus() = 0;
  // The answer reaches the listeners as an authorization event.
  virtual void requestWhenInUseAuthorization() = 0;
  virtual uint64_t addListener(Listener listener) = 0;
  virtual void removeListener(uint64_t token) = 0;
  // The listener wants location (and heading) events, or no longer does.
  virtual void startUpdates(uint64_t token) = 0;
  virtual void stopUpdates(uint64_t token) = 0;
};

class CLLocationManager;

class CLLocationManagerDelegate {
 public:
  virtual ~CLLocationManagerDelegate() = default;
  virtual void locationManagerDidUpdateLocations(CLLocationManager&,
                                                 const std::vector<CLLocationPtr>&) {}
  virtual void locationManagerDidChangeAuthorizationStatus(CLLocationManager&,
                                                           CLAuthorizationStatus) {}
  virtual void locationManagerDidUpdateHeading(CLLocationManager&, const CLHeadingPtr&) {}
  virtual void locationManagerDidFailWithError(CLLocationManager&, const NSErrorPtr&) {}
};

class CLLocationManager : public NSObject {
 public:
  // Use create(): the manager listens to the provider from the start.
  CLLocationManager();
  ~CLLocationManager() override;
  static std::shared_ptr<CLLocationManager> create();

  static CLAuthorizationStatus authorizationStatusForApplication();
  CLAuthorizationStatus authorizationStatus() const;
  void requestWhenInUseAuthorization();

  std::shared_ptr<CLLocationManagerDelegate> delegate() const;
  void setDelegate(const std::shared_ptr<CLLocationManagerDelegate>& delegate);
  double desiredAccuracy() const;
  void setDesiredAccuracy(double accuracy);

  void startUpdatingLocation();
  void stopUpdatingLocation();
  bool isUpdatingLocation() const;
  void startUpdatingHeading();
  void stopUpdatingHeading();

  // The last location and heading delivered; safe from any thread.
  CLLocationPtr location() const;
  CLHeadingPtr heading() const;

  std::string className() const override { return "CLLocationManager"; }

 private:
  void listen();
  void receive(const CLLocationEvent& event);
  void syncUpdates();

  std::shared_ptr<CLLocationProvider> provider_;
  uint64_t token_ = 0;
  mutable Mutex mutex_;
  std::weak_ptr<CLLocationManagerDelegate> delegate_ GUARDED_BY(mutex_);
  double desiredAccuracy_ GUARDED_BY(mutex_);
  bool updatingLocation_ GUARDED_BY(mutex_) = false;
  bool updatingHeading_ GUARDED_BY(mutex_) = false;
  bool providerUpdating_ GUARDED_BY(mutex_) = false;
  CLLocationPtr location_ GUARDED_BY(mutex_);
  CLHeadingPtr heading_ GUARDED_BY(mutex_);
};

using CLLocationManagerPtr = std::shared_ptr<CLLocationManager>;
