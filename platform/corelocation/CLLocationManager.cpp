#include "platform/corelocation/CLLocationManager.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/foundation/SingletonResets.h"

const double kCLLocationAccuracyBestForNavigation = -2;
const double kCLLocationAccuracyBest = -1;
const double kCLLocationAccuracyHundredMeters = 100;

namespace {

CLAuthorizationStatus StatusNamed(const char* name) {
  return CLAuthorizationStatusNamed(name ? name : "")
      .value_or(kCLAuthorizationStatusAuthorizedWhenInUse);
}

bool IsAuthorized(CLAuthorizationStatus status) {
  return status == kCLAuthorizationStatusAuthorizedAlways ||
         status == kCLAuthorizationStatusAuthorizedWhenInUse;
}

// The fixed position of QX_LOCATION.
class EnvironmentProvider : public CLLocationProvider {
 public:
  EnvironmentProvider() : status_(StatusNamed(std::getenv("QX_LOCATION_AUTHORIZATION"))) {
    const char* text = std::getenv("QX_LOCATION");
    if (auto setting = text ? CLLocationSettingFromText(text) : std::nullopt) {
      fix_ = {setting->latitude, setting->longitude, setting->altitude,
              setting->horizontalAccuracy};
    }
  }

  CLAuthorizationStatus authorizationStatus() override {
    MutexLock lock(mutex_);
    return status_;
  }

  void requestWhenInUseAuthorization() override {
    std::vector<Listener> listeners;
    {
      MutexLock lock(mutex_);
      if (status_ != kCLAuthorizationStatusNotDetermined) return;
      status_ = kCLAuthorizationStatusAuthorizedWhenInUse;
      for (auto& [token, listener] : listeners_) listeners.push_back(listener);
    }
    CLLocationEvent event;
    event.kind = CLLocationEvent::Kind::Authorization;
    event.status = kCLAuthorizationStatusAuthorizedWhenInUse;
    for (auto& listener : listeners) listener(event);
  }

  uint64_t addListener(Listener listener) override {
    MutexLock lock(mutex_);
    listeners_[++next_] = std::move(listener);
    return next_;
  }

  void removeListener(uint64_t token) override {
    MutexLock lock(mutex_);
    listeners_.erase(token);
  }

  void startUpdates(uint64_t token) override {
    Listener listener;
    {
      MutexLock lock(mutex_);
      auto it = listeners_.find(token);
      if (!fix_ || it == listeners_.end() || !IsAuthorized(status_)) return;
      listener = it->second;
    }
    CLLocationEvent event;
    event.locations.push_back(std::make_shared<CLLocation>(
        CLLocationCoordinate2D{fix_->lat, fix_->lon}, fix_->alt, fix_->accuracy, -1,
        PlatformClock::wallNow()));
    listener(event);
  }

  void stopUpdates(uint64_t) override {}

 private:
  struct Fix {
    double lat, lon, alt, accuracy;
  };
  std::optional<Fix> fix_;
  Mutex mutex_;
  CLAuthorizationStatus status_ GUARDED_BY(mutex_);
  std::map<uint64_t, Listener> listeners_ GUARDED_BY(mutex_);
  uint64_t next_ GUARDED_BY(mutex_) = 0;
};

Mutex gMutex;
std::shared_ptr<CLLocationProvider> gProvider GUARDED_BY(gMutex);

void RegisterReset() {
  static std::once_flag once;
  std::call_once(once, [] {
    SingletonResets::add([] {
      MutexLock lock(gMutex);
      gProvider.reset();
    });
  });
}

}  // namespace

std::optional<CLAuthorizationStatus> CLAuthorizationStatusNamed(const std::string& s) {
  if (s == "authorizedWhenInUse") return kCLAuthorizationStatusAuthorizedWhenInUse;
  if (s == "authorizedAlways") return kCLAuthorizationStatusAuthorizedAlways;
  if (s == "denied") return kCLAuthorizationStatusDenied;
  if (s == "restricted") return kCLAuthorizationStatusRestricted;
  if (s == "notDetermined") return kCLAuthorizationStatusNotDetermined;
  return std::nullopt;
}

std::optional<CLLocationSetting> CLLocationSettingFromText(const std::string& text) {
  double numbers[4] = {0, 0, 0, 5};
  size_t count = 0;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string part = text.substr(start, comma == std::string::npos ? comma : comma - start);
    if (count == 4 || part.empty()) return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(part.c_str(), &end);
    if (*end != '\0' || !std::isfinite(value)) return std::nullopt;
    numbers[count++] = value;
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (count < 2 || !CLLocationCoordinate2DIsValid({numbers[0], numbers[1]})) return std::nullopt;
  return CLLocationSetting{numbers[0], numbers[1], numbers[2], numbers[3]};
}

std::shared_ptr<CLLocationProvider> CLLocationProvider::current() {
  RegisterReset();
  MutexLock lock(gMutex);
  if (!gProvider) gProvider = std::make_shared<EnvironmentProvider>();
  return gProvider;
}

void CLLocationProvider::setCurrent(std::shared_ptr<CLLocationProvider> provider) {
  RegisterReset();
  MutexLock lock(gMutex);
  gProvider = std::move(provider);
}

CLLocationManager::CLLocationManager()
    : provider_(CLLocationProvider::current()), desiredAccuracy_(kCLLocationAccuracyBest) {}

CLLocationManager::~CLLocationManager() {
  if (token_) {
    provider_->stopUpdates(token_);
    provider_->removeListener(token_);
  }
}

std::shared_ptr<CLLocationManager> CLLocationManager::create() {
  auto manager = std::make_shared<CLLocationManager>();
  manager->listen();
  return manager;
}

void CLLocationManager::listen() {
  std::weak_ptr<CLLocationManager> weak =
      std::static_pointer_cast<CLLocationManager>(shared_from_this());
  token_ = provider_->addListener([weak](const CLLocationEvent& event) {
    dispatch_async(dispatch_get_main_queue(), [weak, event] {
      if (auto self = weak.lock()) self->receive(event);
    });
  });
  CLLocationEvent initial;
  initial.kind = CLLocationEvent::Kind::Authorization;
  initial.status = provider_->authorizationStatus();
  dispatch_async(dispatch_get_main_queue(), [weak, initial] {
    if (auto self = weak.lock()) self->receive(initial);
  });
}

CLAuthorizationStatus CLLocationManager::authorizationStatusForApplication() {
  return CLLocationProvider::current()->authorizationStatus();
}

CLAuthorizationStatus CLLocationManager::authorizationStatus() const {
  return provider_->authorizationStatus();
}

void CLLocationManager::requestWhenInUseAuthorization() {
  provider_->requestWhenInUseAuthorization();
}

std::shared_ptr<CLLocationManagerDelegate> CLLocationManager::delegate() const {
  MutexLock lock(mutex_);
  return delegate_.lock();
}

void CLLocationManager::setDelegate(const std::shared_ptr<CLLocationManagerDelegate>& delegate) {
  MutexLock lock(mutex_);
  delegate_ = delegate;
}

double CLLocationManager::desiredAccuracy() const {
  MutexLock lock(mutex_);
  return desiredAccuracy_;
}

void CLLocationManager::setDesiredAccuracy(double accuracy) {
  MutexLock lock(mutex_);
  desiredAccuracy_ = accuracy;
}

void CLLocationManager::startUpdatingLocation() {
  {
    MutexLock lock(mutex_);
    updatingLocation_ = true;
  }
  syncUpdates();
}

void CLLocationManager::stopUpdatingLocation() {
  {
    MutexLock lock(mutex_);
    updatingLocation_ = false;
  }
  syncUpdates();
}

bool CLLocationManager::isUpdatingLocation() const {
  MutexLock lock(mutex_);
  return updatingLocation_;
}

void CLLocationManager::startUpdatingHeading() {
  {
    MutexLock lock(mutex_);
    updatingHeading_ = true;
  }
  syncUpdates();
}

void CLLocationManager::stopUpdatingHeading() {
  {
    MutexLock lock(mutex_);
    updatingHeading_ = false;
  }
  syncUpdates();
}

// The provider updates while the manager wants locations or headings.
void CLLocationManager::syncUpdates() {
  bool start = false, stop = false;
  {
    MutexLock lock(mutex_);
    const bool wanted = updatingLocation_ || updatingHeading_;
    start = wanted && !providerUpdating_;
    stop = !wanted && providerUpdating_;
    providerUpdating_ = wanted;
  }
  if (!token_) return;
  if (start) provider_->startUpdates(token_);
  if (stop) provider_->stopUpdates(token_);
}

CLLocationPtr CLLocationManager::location() const {
  MutexLock lock(mutex_);
  return location_;
}

CLHeadingPtr CLLocationManager::heading() const {
  MutexLock lock(mutex_);
  return heading_;
}

void CLLocationManager::receive(const CLLocationEvent& event) {
  std::shared_ptr<CLLocationManagerDelegate> delegate;
  bool updating = false, heading = false;
  {
    MutexLock lock(mutex_);
    delegate = delegate_.lock();
    updating = updatingLocation_;
    heading = updatingHeading_;
  }
  switch (event.kind) {
    case CLLocationEvent::Kind::Authorization:
      if (delegate) delegate->locationManagerDidChangeAuthorizationStatus(*this, event.status);
      return;
    case CLLocationEvent::Kind::Locations: {
      if (!updating || !IsAuthorized(authorizationStatus())) return;
      {
        MutexLock lock(mutex_);
        if (!event.locations.empty()) location_ = event.locations.back();
      }
      if (delegate) delegate->locationManagerDidUpdateLocations(*this, event.locations);
      return;
    }
    case CLLocationEvent::Kind::Heading: {
      if (!heading && !updating) return;
      {
        MutexLock lock(mutex_);
        heading_ = event.heading;
      }
      if (delegate && heading) delegate->locationManagerDidUpdateHeading(*this, event.heading);
      return;
    }
    case CLLocationEvent::Kind::Failure:
      if (delegate && updating) delegate->locationManagerDidFailWithError(*this, event.error);
      return;
  }
}
