#pragma once
// Media time as a rational number of seconds (value / timescale) with flags
// for the values that are not numbers: invalid, indefinite (a live stream's
// duration, an item not yet loaded) and the infinities.

#include <cstdint>
#include <string>

#include "platform/foundation/ValueFwd.h"

using CMTimeValue = int64_t;
using CMTimeScale = int32_t;
using CMTimeEpoch = int64_t;

enum CMTimeFlags : uint32_t {
  kCMTimeFlags_Valid = 1u << 0,
  kCMTimeFlags_HasBeenRounded = 1u << 1,
  kCMTimeFlags_PositiveInfinity = 1u << 2,
  kCMTimeFlags_NegativeInfinity = 1u << 3,
  kCMTimeFlags_Indefinite = 1u << 4,
  kCMTimeFlags_ImpliedValueFlagsMask =
      kCMTimeFlags_PositiveInfinity | kCMTimeFlags_NegativeInfinity | kCMTimeFlags_Indefinite,
};

// The largest timescale a time made from seconds gets.
inline constexpr CMTimeScale kCMTimeMaxTimescale = 0x7fffffff;

struct CMTime {
  CMTimeValue value = 0;
  CMTimeScale timescale = 0;
  uint32_t flags = 0;
  CMTimeEpoch epoch = 0;
};

extern const CMTime kCMTimeInvalid;
extern const CMTime kCMTimeIndefinite;
extern const CMTime kCMTimePositiveInfinity;
extern const CMTime kCMTimeNegativeInfinity;
extern const CMTime kCMTimeZero;

// A timescale of 0 or less makes an invalid time.
CMTime CMTimeMake(CMTimeValue value, CMTimeScale timescale);
// Seconds rounded to the nearest tick of `preferredTimescale`; NaN is invalid
// and the infinities map to the infinite times.
CMTime CMTimeMakeWithSeconds(double seconds, CMTimeScale preferredTimescale);
// NaN for invalid and indefinite times, +/-infinity for the infinities.
double CMTimeGetSeconds(CMTime time);
// -1, 0 or 1, ordering negative infinity < numbers < indefinite < positive
// infinity < invalid; times of one kind that is not a number are equal.
int32_t CMTimeCompare(CMTime a, CMTime b);
CMTime CMTimeAdd(CMTime a, CMTime b);
CMTime CMTimeSubtract(CMTime a, CMTime b);
CMTime CMTimeMinimum(CMTime a, CMTime b);
CMTime CMTimeMaximum(CMTime a, CMTime b);
// The same instant in another timescale, rounded to the nearest tick.
CMTime CMTimeConvertScale(CMTime time, CMTimeScale newTimescale);
// "{value/timescale = seconds}", "{INVALID}", "{INDEFINITE}", "{+INFINITY}".
std::string CMTimeDescription(CMTime time);

inline bool CMTIME_IS_VALID(CMTime t) { return (t.flags & kCMTimeFlags_Valid) != 0; }
inline bool CMTIME_IS_INVALID(CMTime t) { return !CMTIME_IS_VALID(t); }
inline bool CMTIME_IS_INDEFINITE(CMTime t) {
  return CMTIME_IS_VALID(t) && (t.flags & kCMTimeFlags_Indefinite) != 0;
}
inline bool CMTIME_IS_POSITIVE_INFINITY(CMTime t) {
  return CMTIME_IS_VALID(t) && (t.flags & kCMTimeFlags_PositiveInfinity) != 0;
}
inline bool CMTIME_IS_NEGATIVE_INFINITY(CMTime t) {
  return CMTIME_IS_VALID(t) && (t.flags & kCMTimeFlags_NegativeInfinity) != 0;
}
inline bool CMTIME_IS_NUMERIC(CMTime t) {
  return (t.flags & (kCMTimeFlags_Valid | kCMTimeFlags_ImpliedValueFlagsMask)) == kCMTimeFlags_Valid;
}

inline bool operator==(CMTime a, CMTime b) { return CMTimeCompare(a, b) == 0; }
inline bool operator<(CMTime a, CMTime b) { return CMTimeCompare(a, b) < 0; }
inline bool operator<=(CMTime a, CMTime b) { return CMTimeCompare(a, b) <= 0; }
inline bool operator>(CMTime a, CMTime b) { return CMTimeCompare(a, b) > 0; }
inline bool operator>=(CMTime a, CMTime b) { return CMTimeCompare(a, b) >= 0; }

// A time as a dictionary of "value", "timescale", "flags" and "epoch", the
// form times take in property lists and key-value observing changes.
Value CMTimeCopyAsDictionary(CMTime time);
// Invalid when the value is not such a dictionary.
CMTime CMTimeMakeFromDictionary(const Value& dictionary);
// Key-value observing carries times as their dictionaries.
void KVOStore(Value& out, const CMTime& time);
