#include "platform/foundation/NSPredicate.h"

#include "platform/foundation/Value.h"

namespace {
int compareAscending(const Value& a, const Value& b) {
  if (a.isNull() || b.isNull()) return a.isNull() == b.isNull() ? 0 : (a.isNull() ? -1 : 1);
  if (a.isNumber() && b.isNumber()) {
    double x = a.asDouble(), y = b.asDouble();
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  if (a.isBool() && b.isBool()) return int(a.asBool()) - int(b.asBool());
  if (a.isString() && b.isString()) return a.asString().compare(b.asString());
  return 0;
}
}  // namespace

int NSSortDescriptor::compare(const Value& a, const Value& b) const {
  int order = compareAscending(a, b);
  return ascending ? order : -order;
}
