#include "platform/avfoundation/CMTime.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>
#include <algorithm>

#include "platform/foundation/Value.h"

const CMTime kCMTimeInvalid{0, 0, 0, 0};
const CMTime kCMTimeIndefinite{0, 0, kCMTimeFlags_Valid | kCMTimeFlags_Indefinite, 0};
const CMTime kCMTimePositiveInfinity{0, 0, kCMTimeFlags_Valid | kCMTimeFlags_PositiveInfinity, 0};
const CMTime kCMTimeNegativeInfinity{0, 0, kCMTimeFlags_Valid | kCMTimeFlags_NegativeInfinity, 0};
const CMTime kCMTimeZero{0, 1, kCMTimeFlags_Valid, 0};

CMTime CMTimeMake(CMTimeValue value, CMTimeScale timescale) {
  if (timescale <= 0) return kCMTimeInvalid;
  return CMTime{value, timescale, kCMTimeFlags_Valid, 0};
}

CMTime CMTimeMakeWithSeconds(double seconds, CMTimeScale preferredTimescale) {
  if (std::isnan(seconds) || preferredTimescale <= 0) return kCMTimeInvalid;
  if (std::isinf(seconds)) return seconds > 0 ? kCMTimePositiveInfinity : kCMTimeNegativeInfinity;
  // Times too large for the timescale lose precision rather than overflow.
  CMTimeScale scale = preferredTimescale;
  while (std::fabs(seconds * scale) > 9.2e18 && scale > 1) scale /= 2;
  double ticks = std::round(seconds * scale);
  if (std::fabs(ticks) > 9.2e18) return seconds > 0 ? kCMTimePositiveInfinity : kCMTimeNegativeInfinity;
  CMTime t = CMTimeMake(static_cast<CMTimeValue>(ticks), scale);
  if (ticks != seconds * scale) t.flags |= kCMTimeFlags_HasBeenRounded;
  return t;
}

double CMTimeGetSeconds(CMTime time) {
  if (!CMTIME_IS_VALID(time) || CMTIME_IS_INDEFINITE(time)) return std::numeric_limits<double>::quiet_NaN();
  if (CMTIME_IS_POSITIVE_INFINITY(time)) return std::numeric_limits<double>::infinity();
  if (CMTIME_IS_NEGATIVE_INFINITY(time)) return -std::numeric_limits<double>::infinity();
  return static_cast<double>(time.value) / time.timescale;
}

namespace {

// Where a time stands among the kinds that are not numbers.
int rankOf(CMTime t) {
  if (!CMTIME_IS_VALID(t)) return 4;
  if (CMTIME_IS_POSITIVE_INFINITY(t)) return 3;
  if (CMTIME_IS_INDEFINITE(t)) return 2;
  if (CMTIME_IS_NEGATIVE_INFINITY(t)) return 0;
  return 1;
}

}  // namespace

int32_t CMTimeCompare(CMTime a, CMTime b) {
  int ra = rankOf(a), rb = rankOf(b);
  if (ra != rb) return ra < rb ? -1 : 1;
  if (ra != 1) return 0;
  if (a.epoch != b.epoch) return a.epoch < b.epoch ? -1 : 1;
  // a.value / a.timescale against b.value / b.timescale, exactly.
  __int128 left = static_cast<__int128>(a.value) * b.timescale;
  __int128 right = static_cast<__int128>(b.value) * a.timescale;
  return left < right ? -1 : (left > right ? 1 : 0);
}

namespace {

CMTime combine(CMTime a, CMTime b, bool subtract) {
  if (!CMTIME_IS_VALID(a) || !CMTIME_IS_VALID(b)) return kCMTimeInvalid;
  if (CMTIME_IS_INDEFINITE(a) || CMTIME_IS_INDEFINITE(b)) return kCMTimeIndefinite;
  bool aInf = !CMTIME_IS_NUMERIC(a), bInf = !CMTIME_IS_NUMERIC(b);
  if (aInf || bInf) {
    int sa = aInf ? (CMTIME_IS_POSITIVE_INFINITY(a) ? 1 : -1) : 0;
    int sb = bInf ? (CMTIME_IS_POSITIVE_INFINITY(b) ? 1 : -1) : 0;
    if (subtract) sb = -sb;
    if (sa && sb && sa != sb) return kCMTimeInvalid;
    return (sa ? sa : sb) > 0 ? kCMTimePositiveInfinity : kCMTimeNegativeInfinity;
  }
  // The sum in the least common timescale when it fits, else in the finer one.
  __int128 lcm = static_cast<__int128>(a.timescale) / std::gcd(a.timescale, b.timescale) * b.timescale;
  CMTimeScale scale = lcm <= kCMTimeMaxTimescale ? static_cast<CMTimeScale>(lcm)
                                                 : std::max(a.timescale, b.timescale);
  CMTime ca = CMTimeConvertScale(a, scale), cb = CMTimeConvertScale(b, scale);
  if (!CMTIME_IS_NUMERIC(ca) || !CMTIME_IS_NUMERIC(cb)) return kCMTimeInvalid;
  __int128 ticks = static_cast<__int128>(ca.value) + (subtract ? -static_cast<__int128>(cb.value) : cb.value);
  if (ticks > INT64_MAX) return kCMTimePositiveInfinity;
  if (ticks < INT64_MIN) return kCMTimeNegativeInfinity;
  CMTime t = CMTimeMake(static_cast<CMTimeValue>(ticks), scale);
  if ((ca.flags | cb.flags) & kCMTimeFlags_HasBeenRounded) t.flags |= kCMTimeFlags_HasBeenRounded;
  return t;
}

}  // namespace

CMTime CMTimeAdd(CMTime a, CMTime b) { return combine(a, b, false); }
CMTime CMTimeSubtract(CMTime a, CMTime b) { return combine(a, b, true); }
CMTime CMTimeMinimum(CMTime a, CMTime b) { return CMTimeCompare(a, b) <= 0 ? a : b; }
CMTime CMTimeMaximum(CMTime a, CMTime b) { return CMTimeCompare(a, b) >= 0 ? a : b; }

CMTime CMTimeConvertScale(CMTime time, CMTimeScale newTimescale) {
  if (newTimescale <= 0 || !CMTIME_IS_VALID(time)) return kCMTimeInvalid;
  if (!CMTIME_IS_NUMERIC(time)) return time;
  __int128 num = static_cast<__int128>(time.value) * newTimescale;
  __int128 q = num / time.timescale, r = num % time.timescale;
  if (2 * (r < 0 ? -r : r) >= time.timescale) q += num < 0 ? -1 : 1;
  if (q > INT64_MAX || q < INT64_MIN) return num > 0 ? kCMTimePositiveInfinity : kCMTimeNegativeInfinity;
  CMTime t = CMTimeMake(static_cast<CMTimeValue>(q), newTimescale);
  t.epoch = time.epoch;
  if (r != 0 || (time.flags & kCMTimeFlags_HasBeenRounded)) t.flags |= kCMTimeFlags_HasBeenRounded;
  return t;
}

std::string CMTimeDescription(CMTime time) {
  if (!CMTIME_IS_VALID(time)) return "{INVALID}";
  if (CMTIME_IS_INDEFINITE(time)) return "{INDEFINITE}";
  if (CMTIME_IS_POSITIVE_INFINITY(time)) return "{+INFINITY}";
  if (CMTIME_IS_NEGATIVE_INFINITY(time)) return "{-INFINITY}";
  char text[96];
  std::snprintf(text, sizeof text, "{%lld/%d = %.3f}", static_cast<long long>(time.value),
                time.timescale, CMTimeGetSeconds(time));
  return text;
}

Value CMTimeCopyAsDictionary(CMTime time) {
  return Value::map({{"value", Value::integer(time.value)},
                     {"timescale", Value::integer(time.timescale)},
                     {"flags", Value::integer(time.flags)},
                     {"epoch", Value::integer(time.epoch)}});
}

CMTime CMTimeMakeFromDictionary(const Value& dictionary) {
  if (!dictionary.isMap()) return kCMTimeInvalid;
  const Value* value = dictionary.find("value");
  const Value* timescale = dictionary.find("timescale");
  const Value* flags = dictionary.find("flags");
  const Value* epoch = dictionary.find("epoch");
  if (!value || !timescale || !flags || !value->isInteger() || !timescale->isInteger() ||
      !flags->isInteger()) {
    return kCMTimeInvalid;
  }
  CMTime t{value->asInt64(), static_cast<CMTimeScale>(timescale->asInt64()),
           static_cast<uint32_t>(flags->asInt64()), epoch && epoch->isInteger() ? epoch->asInt64() : 0};
  if (CMTIME_IS_NUMERIC(t) && t.timescale <= 0) return kCMTimeInvalid;
  return t;
}

void KVOStore(Value& out, const CMTime& time) { out = CMTimeCopyAsDictionary(time); }
