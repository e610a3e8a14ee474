#include "support/location/ScriptedLocationProvider.h"

ScriptedLocationProvider& ScriptedLocationProvider::installed() {
  auto current = std::dynamic_pointer_cast<ScriptedLocationProvider>(CLLocationProvider::current());
  if (!current) {
    current = std::make_shared<ScriptedLocationProvider>();
    CLLocationProvider::setCurrent(current);
  }
  return *current;
}

CLLocationPtr ScriptedLocationProvider::Fix(double latitude, double longitude, double accuracy,
                                            double altitude, double timestamp) {
  return std::make_shared<CLLocation>(CLLocationCoordinate2D{latitude, longitude}, altitude,
                                      accuracy, 5, timestamp);
}

void ScriptedLocationProvider::push(const CLLocationEvent& event) {
  std::vector<Listener> listeners;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [token, listener] : listeners_) listeners.push_back(listener);
  }
  for (auto& listener : listeners) listener(event);
}

void ScriptedLocationProvider::pushLocations(const std::vector<CLLocationPtr>& locations) {
  CLLocationEvent event;
  event.locations = locations;
  push(event);
}

void ScriptedLocationProvider::pushHeading(double trueHeading) {
  CLLocationEvent event;
  event.kind = CLLocationEvent::Kind::Heading;
  event.heading = std::make_shared<CLHeading>(trueHeading, trueHeading, 5, 0);
  push(event);
}

void ScriptedLocationProvider::changeAuthorization(CLAuthorizationStatus status) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = status;
  }
  CLLocationEvent event;
  event.kind = CLLocationEvent::Kind::Authorization;
  event.status = status;
  push(event);
}

void ScriptedLocationProvider::setRequestAnswer(CLAuthorizationStatus answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  answer_ = answer;
}

int ScriptedLocationProvider::requestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

size_t ScriptedLocationProvider::updatingCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return updating_.size();
}

CLAuthorizationStatus ScriptedLocationProvider::authorizationStatus() {
  std::lock_guard<std::mutex> lock(mutex_);
  return status_;
}

void ScriptedLocationProvider::requestWhenInUseAuthorization() {
  CLAuthorizationStatus answer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++requests_;
    if (status_ != kCLAuthorizationStatusNotDetermined) return;
    answer = answer_;
  }
  changeAuthorization(answer);
}

uint64_t ScriptedLocationProvider::addListener(Listener listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  listeners_[++next_] = std::move(listener);
  return next_;
}

void ScriptedLocationProvider::removeListener(uint64_t token) {
  std::lock_guard<std::mutex> lock(mutex_);
  listeners_.erase(token);
  updating_.erase(token);
}

void ScriptedLocationProvider::startUpdates(uint64_t token) {
  std::lock_guard<std::mutex> lock(mutex_);
  updating_.insert(token);
}

void ScriptedLocationProvider::stopUpdates(uint64_t token) {
  std::lock_guard<std::mutex> lock(mutex_);
  updating_.erase(token);
}
