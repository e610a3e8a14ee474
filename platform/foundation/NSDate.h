#pragma once

// A point in wall-clock time, as seconds since 1970-01-01 00:00:00 UTC. Only
// what stored preferences need: making one, reading it, comparing it.

#include <memory>
#include <string>

#include "NSObject.h"

class NSDate : public NSObject {
 public:
  explicit NSDate(double timeIntervalSince1970) : seconds_(timeIntervalSince1970) {}
  static std::shared_ptr<NSDate> dateWithTimeIntervalSince1970(double seconds) {
    return std::make_shared<NSDate>(seconds);
  }
  // Now, on the platform clock's wall time (manual in tests).
  static std::shared_ptr<NSDate> date();

  double timeIntervalSince1970() const { return seconds_; }

  bool isEqual(const NSObject& other) const override;
  size_t hash() const override;
  // "2024-05-01 12:00:00 +0000", as the platform prints dates.
  std::string description() const override;

 private:
  double seconds_;
};
