#include "NSDate.h"

#include <cmath>
#include <ctime>
#include <functional>

#include "PlatformClock.h"

std::shared_ptr<NSDate> NSDate::date() {
  return std::make_shared<NSDate>(PlatformClock::wallNow());
}

bool NSDate::isEqual(const NSObject& other) const {
  auto* d = dynamic_cast<const NSDate*>(&other);
  return d && d->seconds_ == seconds_;
}

size_t NSDate::hash() const { return std::hash<double>()(seconds_); }

std::string NSDate::description() const {
  if (!std::isfinite(seconds_)) return "<invalid date>";
  std::time_t t = static_cast<std::time_t>(std::floor(seconds_));
  std::tm tm{};
  if (!gmtime_r(&t, &tm)) return "<invalid date>";
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
  return buf;
}
