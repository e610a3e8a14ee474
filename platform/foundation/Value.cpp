#include "Value.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <sstream>

#include "NSObject.h"

namespace {

const std::string kEmptyString;
const Bytes kEmptyBytes;
const std::vector<int32_t> kEmptyInt32;
const std::vector<int64_t> kEmptyInt64;
const std::vector<float> kEmptyFloat32;
const std::vector<double> kEmptyFloat64;
const ValueList kEmptyList;
const ValueMap kEmptyMap;
const std::shared_ptr<NSObject> kNoObject;

size_t mix(size_t seed, size_t v) { return seed ^ (v + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2)); }

size_t hashInt(int64_t i) { return std::hash<int64_t>()(i); }

size_t hashDouble(double d) {
  if (std::isnan(d)) return hashInt(0x7ff8000000000000LL);
  if (d == 0) return hashInt(0);
  if (std::floor(d) == d && std::fabs(d) < 9.2e18) return hashInt(static_cast<int64_t>(d));
  int64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  return hashInt(bits);
}

template <class T>
bool sameVector(const std::shared_ptr<const std::vector<T>>& a,
                const std::shared_ptr<const std::vector<T>>& b) {
  if (a == b) return true;
  if (a->size() != b->size()) return false;
  if constexpr (std::is_floating_point_v<T>) {
    for (size_t i = 0; i < a->size(); ++i) {
      T x = (*a)[i], y = (*b)[i];
      if (!(x == y || (std::isnan(x) && std::isnan(y)))) return false;
    }
    return true;
  } else {
    return *a == *b;
  }
}

template <class T>
size_t hashVector(const std::vector<T>& v) {
  size_t h = v.size();
  for (const T& x : v) {
    if constexpr (std::is_floating_point_v<T>) {
      h = mix(h, hashDouble(x));
    } else {
      h = mix(h, hashInt(x));
    }
  }
  return h;
}

void appendEscaped(std::ostringstream& out, const std::string& s) {
  out << '"';
  for (char c : s) {
    if (c == '"' || c == '\\') out << '\\';
    out << c;
  }
  out << '"';
}

}  // namespace

const Value& NullValue() {
  static const Value null;
  return null;
}

Value::Value(std::shared_ptr<NSObject> o) {
  if (o) v_ = std::move(o);
}

Value Value::integer(int64_t i) {
  if (i >= INT32_MIN && i <= INT32_MAX) return Value(static_cast<int32_t>(i));
  return Value(i);
}

Value Value::bytes(Bytes b) {
  Value v;
  v.v_ = std::make_shared<const Bytes>(std::move(b));
  return v;
}

Value Value::bytes(const uint8_t* p, size_t n) { return bytes(Bytes(p, p + n)); }

Value Value::int32List(std::vector<int32_t> l) {
  Value v;
  v.v_ = std::make_shared<const std::vector<int32_t>>(std::move(l));
  return v;
}

Value Value::int64List(std::vector<int64_t> l) {
  Value v;
  v.v_ = std::make_shared<const std::vector<int64_t>>(std::move(l));
  return v;
}

Value Value::float32List(std::vector<float> l) {
  Value v;
  v.v_ = std::make_shared<const std::vector<float>>(std::move(l));
  return v;
}

Value Value::float64List(std::vector<double> l) {
  Value v;
  v.v_ = std::make_shared<const std::vector<double>>(std::move(l));
  return v;
}

Value Value::map(std::initializer_list<std::pair<const char*, Value>> entries) {
  ValueMap m;
  m.reserve(entries.size());
  for (const auto& e : entries) ValueMapSet(m, Value(e.first), e.second);
  return Value(std::move(m));
}

bool Value::isTypedList() const {
  Type t = type();
  return t == Type::Int32List || t == Type::Int64List || t == Type::Float32List ||
         t == Type::Float64List;
}

bool Value::asBool() const {
  switch (type()) {
    case Type::Bool:
      return std::get<bool>(v_);
    case Type::Int32:
    case Type::Int64:
      return asInt64() != 0;
    case Type::Double:
      return asDouble() != 0;
    default:
      return false;
  }
}

int64_t Value::asInt64() const {
  switch (type()) {
    case Type::Bool:
      return std::get<bool>(v_) ? 1 : 0;
    case Type::Int32:
      return std::get<int32_t>(v_);
    case Type::Int64:
      return std::get<int64_t>(v_);
    case Type::Double: {
      double d = std::get<double>(v_);
      if (std::isnan(d)) return 0;
      if (d >= 9.2233720368547758e18) return INT64_MAX;
      if (d <= -9.2233720368547758e18) return INT64_MIN;
      return static_cast<int64_t>(d);
    }
    default:
      return 0;
  }
}

double Value::asDouble() const {
  if (type() == Type::Double) return std::get<double>(v_);
  return static_cast<double>(asInt64());
}

const std::string& Value::asString() const {
  if (auto* s = std::get_if<std::string>(&v_)) return *s;
  return kEmptyString;
}

bool Value::holdsPayloadAlone() const {
  return std::visit(
      [](const auto& held) {
        if constexpr (requires { held.use_count(); }) {
          return held.use_count() <= 1;
        } else {
          return true;
        }
      },
      v_);
}

const Bytes& Value::asBytes() const {
  if (auto* p = std::get_if<std::shared_ptr<const Bytes>>(&v_)) return **p;
  return kEmptyBytes;
}

const std::vector<int32_t>& Value::asInt32List() const {
  if (auto* p = std::get_if<std::shared_ptr<const std::vector<int32_t>>>(&v_)) return **p;
  return kEmptyInt32;
}

const std::vector<int64_t>& Value::asInt64List() const {
  if (auto* p = std::get_if<std::shared_ptr<const std::vector<int64_t>>>(&v_)) return **p;
  return kEmptyInt64;
}

const std::vector<float>& Value::asFloat32List() const {
  if (auto* p = std::get_if<std::shared_ptr<const std::vector<float>>>(&v_)) return **p;
  return kEmptyFloat32;
}

const std::vector<double>& Value::asFloat64List() const {
  if (auto* p = std::get_if<std::shared_ptr<const std::vector<double>>>(&v_)) return **p;
  return kEmptyFloat64;
}

const ValueList& Value::asList() const {
  if (auto* p = std::get_if<std::shared_ptr<const ValueList>>(&v_)) return **p;
  return kEmptyList;
}

const ValueMap& Value::asMap() const {
  if (auto* p = std::get_if<std::shared_ptr<const ValueMap>>(&v_)) return **p;
  return kEmptyMap;
}

std::shared_ptr<const ValueMap> Value::mapPayload() const {
  if (auto* p = std::get_if<std::shared_ptr<const ValueMap>>(&v_)) return *p;
  return nullptr;
}

const std::shared_ptr<NSObject>& Value::asObject() const {
  if (auto* p = std::get_if<std::shared_ptr<NSObject>>(&v_)) return *p;
  return kNoObject;
}

const Value* Value::find(std::string_view key) const {
  if (!isMap()) return nullptr;
  return ValueMapFind(asMap(), key);
}

const Value* Value::find(const Value& key) const {
  if (!isMap()) return nullptr;
  for (const auto& [k, v] : asMap()) {
    if (k == key) return &v;
  }
  return nullptr;
}

const Value* Value::at(size_t index) const {
  if (!isList()) return nullptr;
  const ValueList& l = asList();
  return index < l.size() ? &l[index] : nullptr;
}

size_t Value::size() const {
  switch (type()) {
    case Type::String:
      return asString().size();
    case Type::Bytes:
      return asBytes().size();
    case Type::Int32List:
      return asInt32List().size();
    case Type::Int64List:
      return asInt64List().size();
    case Type::Float32List:
      return asFloat32List().size();
    case Type::Float64List:
      return asFloat64List().size();
    case Type::List:
      return asList().size();
    case Type::Map:
      return asMap().size();
    default:
      return 0;
  }
}

bool Value::operator==(const Value& other) const {
  Type a = type(), b = other.type();
  if (isNumber() && other.isNumber()) {
    if (a == Type::Double || b == Type::Double) {
      double x = asDouble(), y = other.asDouble();
      if (a != Type::Double || b != Type::Double) {
        // Mixed: equal only when the double is exactly that integer.
        const Value& d = a == Type::Double ? *this : other;
        const Value& i = a == Type::Double ? other : *this;
        double dv = d.asDouble();
        return std::floor(dv) == dv && std::fabs(dv) < 9.2e18 &&
               static_cast<int64_t>(dv) == i.asInt64();
      }
      return x == y || (std::isnan(x) && std::isnan(y));
    }
    return asInt64() == other.asInt64();
  }
  if (a != b) return false;
  switch (a) {
    case Type::Null:
      return true;
    case Type::Bool:
      return asBool() == other.asBool();
    case Type::String:
      return asString() == other.asString();
    case Type::Bytes:
      return sameVector(std::get<std::shared_ptr<const Bytes>>(v_),
                        std::get<std::shared_ptr<const Bytes>>(other.v_));
    case Type::Int32List:
      return sameVector(std::get<std::shared_ptr<const std::vector<int32_t>>>(v_),
                        std::get<std::shared_ptr<const std::vector<int32_t>>>(other.v_));
    case Type::Int64List:
      return sameVector(std::get<std::shared_ptr<const std::vector<int64_t>>>(v_),
                        std::get<std::shared_ptr<const std::vector<int64_t>>>(other.v_));
    case Type::Float32List:
      return sameVector(std::get<std::shared_ptr<const std::vector<float>>>(v_),
                        std::get<std::shared_ptr<const std::vector<float>>>(other.v_));
    case Type::Float64List:
      return sameVector(std::get<std::shared_ptr<const std::vector<double>>>(v_),
                        std::get<std::shared_ptr<const std::vector<double>>>(other.v_));
    case Type::List: {
      const ValueList &x = asList(), &y = other.asList();
      if (&x == &y) return true;
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i) {
        if (x[i] != y[i]) return false;
      }
      return true;
    }
    case Type::Map: {
      const ValueMap &x = asMap(), &y = other.asMap();
      if (&x == &y) return true;
      if (x.size() != y.size()) return false;
      for (const auto& [k, v] : x) {
        const Value* w = other.find(k);
        if (!w || *w != v) return false;
      }
      return true;
    }
    case Type::Object: {
      const auto &x = asObject(), &y = other.asObject();
      return x == y || x->isEqual(*y);
    }
    default:
      return false;
  }
}

size_t Value::hash() const {
  switch (type()) {
    case Type::Null:
      return 0;
    case Type::Bool:
      return asBool() ? 0x51ed270b : 0x2c1b3c6d;
    case Type::Int32:
    case Type::Int64:
      return hashInt(asInt64());
    case Type::Double:
      return hashDouble(asDouble());
    case Type::String:
      return std::hash<std::string>()(asString());
    case Type::Bytes:
      return hashVector(asBytes());
    case Type::Int32List:
      return hashVector(asInt32List());
    case Type::Int64List:
      return hashVector(asInt64List());
    case Type::Float32List:
      return hashVector(asFloat32List());
    case Type::Float64List:
      return hashVector(asFloat64List());
    case Type::List: {
      size_t h = 0x1234;
      for (const Value& v : asList()) h = mix(h, v.hash());
      return h;
    }
    case Type::Map: {
      // Order-independent, as map equality is.
      size_t h = 0x4321;
      for (const auto& [k, v] : asMap()) h += (k.hash() * 31) ^ v.hash();
      return h;
    }
    case Type::Object:
      return asObject()->hash();
  }
  return 0;
}

std::string ShortestDoubleText(double d) {
  // Room for the longest shortest form, "-2.2250738585072014e-308".
  char buf[32];
  const auto [end, error] = std::to_chars(buf, buf + sizeof buf, d);
  if (error != std::errc()) return "nan";  // cannot happen with this room
  return std::string(buf, end);
}

std::string Value::description() const {
  std::ostringstream out;
  switch (type()) {
    case Type::Null:
      return "null";
    case Type::Bool:
      return asBool() ? "true" : "false";
    case Type::Int32:
    case Type::Int64:
      return std::to_string(asInt64());
    case Type::Double:
      return ShortestDoubleText(asDouble());
    case Type::String:
      appendEscaped(out, asString());
      return out.str();
    case Type::Bytes:
      return "<" + std::to_string(asBytes().size()) + " bytes>";
    case Type::Int32List:
    case Type::Int64List:
    case Type::Float32List:
    case Type::Float64List:
      return "<typed list of " + std::to_string(size()) + ">";
    case Type::List: {
      out << '[';
      bool first = true;
      for (const Value& v : asList()) {
        if (!first) out << ", ";
        first = false;
        out << v.description();
      }
      out << ']';
      return out.str();
    }
    case Type::Map: {
      out << '{';
      bool first = true;
      for (const auto& [k, v] : asMap()) {
        if (!first) out << ", ";
        first = false;
        out << k.description() << ": " << v.description();
      }
      out << '}';
      return out.str();
    }
    case Type::Object:
      return asObject()->description();
  }
  return "";
}

void ValueMapSet(ValueMap& map, Value key, Value value) {
  for (auto& entry : map) {
    if (entry.first == key) {
      entry.second = std::move(value);
      return;
    }
  }
  map.emplace_back(std::move(key), std::move(value));
}

const Value* ValueMapFind(const ValueMap& map, std::string_view key) {
  for (const auto& [k, v] : map) {
    if (k.isString() && k.asString() == key) return &v;
  }
  return nullptr;
}
