#pragma once

// A location provider whose events tests push: location batches (several at
// once, invalid fixes), headings and authorization changes.
//
//   auto& gps = ScriptedLocationProvider::installed();
//   gps.pushLocations({Fix(-33.5, 151.2, 10)});

#include <map>
#include <mutex>
#include <set>

#include "platform/corelocation/CLLocationManager.h"

class ScriptedLocationProvider : public CLLocationProvider {
 public:
  // The scripted provider, made current (authorized when in use) when it is not.
  static ScriptedLocationProvider& installed();

  // A location dated `timestamp` (seconds since 1970).
  static CLLocationPtr Fix(double latitude, double longitude, double accuracy,
                           double altitude = 0, double timestamp = 1704239998.25);

  // Every push goes to every listener at once, on the pushing thread.
  void pushLocations(const std::vector<CLLocationPtr>& locations);
  void pushHeading(double trueHeading);
  // Changes the status and tells the listeners.
  void changeAuthorization(CLAuthorizationStatus status);
  void setRequestAnswer(CLAuthorizationStatus answer);
  int requestCount() const;
  // How many listeners want updates now.
  size_t updatingCount() const;

  CLAuthorizationStatus authorizationStatus() override;
  void requestWhenInUseAuthorization() override;
  uint64_t addListener(Listener listener) override;
  void removeListener(uint64_t token) override;
  void startUpdates(uint64_t token) override;
  void stopUpdates(uint64_t token) override;

 private:
  void push(const CLLocationEvent& event);

  mutable std::mutex mutex_;  // guards everything below
  CLAuthorizationStatus status_ = kCLAuthorizationStatusAuthorizedWhenInUse;
  CLAuthorizationStatus answer_ = kCLAuthorizationStatusAuthorizedWhenInUse;
  int requests_ = 0;
  std::map<uint64_t, Listener> listeners_;
  std::set<uint64_t> updating_;
  uint64_t next_ = 0;
};
