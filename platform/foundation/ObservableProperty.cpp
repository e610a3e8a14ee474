#include "ObservableProperty.h"

#include "Value.h"

void KVOStore(Value& out, bool v) { out = Value(v); }
void KVOStore(Value& out, int32_t v) { out = Value(v); }
void KVOStore(Value& out, int64_t v) { out = Value(v); }
void KVOStore(Value& out, double v) { out = Value(v); }
void KVOStore(Value& out, const std::string& v) { out = Value(v); }
void KVOStore(Value& out, const Value& v) { out = v; }

Value ObservablePropertyBase::kvoValue() const {
  Value out;
  storeKVOValue(out);
  return out;
}
