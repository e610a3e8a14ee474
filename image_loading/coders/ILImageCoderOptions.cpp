#include "image_loading/coders/ILImageCoderOptions.h"
#include "platform/foundation/Value.h"

#include <algorithm>
#include <cmath>

Value ILImageCoderSizeValue(CGSize size) {
  return Value::map({{"width", size.width}, {"height", size.height}});
}

CGSize ILImageCoderSizeFromValue(const Value* value) {
  if (!value || !value->isMap()) return {0, 0};
  const Value* w = value->find("width");
  const Value* h = value->find("height");
  if (!w || !h || !w->isNumber() || !h->isNumber()) return {0, 0};
  const double width = w->asDouble(), height = h->asDouble();
  if (!std::isfinite(width) || !std::isfinite(height)) return {0, 0};
  return {width, height};
}

double ILImageCoderOptionDouble(const Value& options, const char* key, double fallback) {
  const Value* v = options.find(key);
  return v && v->isNumber() ? v->asDouble() : fallback;
}

bool ILImageCoderOptionBool(const Value& options, const char* key, bool fallback) {
  const Value* v = options.find(key);
  if (!v) return fallback;
  if (v->isBool()) return v->asBool();
  return v->isNumber() ? v->asDouble() != 0 : fallback;
}

uint64_t ILImageCoderOptionUnsigned(const Value& options, const char* key, uint64_t fallback) {
  const Value* v = options.find(key);
  if (!v || !v->isNumber()) return fallback;
  if (v->isInteger()) return v->asInt64() > 0 ? static_cast<uint64_t>(v->asInt64()) : 0;
  const double d = v->asDouble();
  if (!(d > 0)) return 0;
  // Out-of-range doubles saturate rather than overflow the conversion.
  return d >= 18446744073709551615.0 ? UINT64_MAX : static_cast<uint64_t>(d);
}

CGSize ILImageCoderOptionSize(const Value& options, const char* key) {
  return ILImageCoderSizeFromValue(options.find(key));
}

double ILImageCoderOptionScale(const Value& options) {
  const double scale = ILImageCoderOptionDouble(options, kILImageCoderDecodeScaleFactor, 1);
  return std::isfinite(scale) ? std::max(1.0, scale) : 1.0;
}

Value ILImageCoderOptionsSetting(const Value& options, const char* key, Value value) {
  ValueMap map = options.isMap() ? options.asMap() : ValueMap();
  ValueMapSet(map, Value(key), std::move(value));
  return Value(std::move(map));
}
