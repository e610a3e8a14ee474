#pragma once

// The one value type that crosses a channel and fills dictionaries (user info,
// properties, user defaults). It mirrors what the platform's property-list and
// codec objects can hold: null, booleans, numbers, strings, bytes, typed
// numeric arrays, lists, maps and, for codecs with custom types, objects.
//
// Bulk payloads (bytes, typed lists, lists, maps) are shared and immutable once
// wrapped, so copying a Value is cheap; build the container first, then wrap it.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "ValueFwd.h"

class NSObject;

// ValueMap is insertion-ordered; keys are unique under deep equality when
// built through ValueMapSet or read by the codec (a later duplicate replaces
// the earlier).

class Value {
 public:
  enum class Type {
    Null,
    Bool,
    Int32,
    Int64,
    Double,
    String,
    Bytes,
    Int32List,
    Int64List,
    Float32List,
    Float64List,
    List,
    Map,
    Object,
  };

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : v_(b) {}
  Value(int32_t i) : v_(i) {}
  Value(int64_t i) : v_(i) {}
  Value(uint32_t i) : Value(static_cast<int64_t>(i)) {}
  Value(double d) : v_(d) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(ValueList l) : v_(std::make_shared<const ValueList>(std::move(l))) {}
  Value(ValueMap m) : v_(std::make_shared<const ValueMap>(std::move(m))) {}
  Value(std::shared_ptr<NSObject> o);

  // Integers: int32 when the value fits, int64 otherwise (as the codec writes).
  static Value integer(int64_t i);
  static Value bytes(Bytes b);
  static Value bytes(const uint8_t* p, size_t n);
  static Value int32List(std::vector<int32_t> v);
  static Value int64List(std::vector<int64_t> v);
  static Value float32List(std::vector<float> v);
  static Value float64List(std::vector<double> v);
  static Value list(std::initializer_list<Value> l) { return Value(ValueList(l)); }
  // Map with string keys, in the given order.
  static Value map(std::initializer_list<std::pair<const char*, Value>> entries);

  Type type() const { return static_cast<Type>(v_.index()); }
  bool isNull() const { return type() == Type::Null; }
  bool isBool() const { return type() == Type::Bool; }
  bool isInteger() const { return type() == Type::Int32 || type() == Type::Int64; }
  bool isNumber() const { return isInteger() || type() == Type::Double; }
  bool isString() const { return type() == Type::String; }
  bool isBytes() const { return type() == Type::Bytes; }
  bool isList() const { return type() == Type::List; }
  bool isMap() const { return type() == Type::Map; }
  bool isObject() const { return type() == Type::Object; }
  bool isTypedList() const;

  // Accessors answer a neutral value (false, 0, empty) for another kind, so
  // callers check the kind first where the difference matters.
  bool asBool() const;
  int64_t asInt64() const;  // integers; doubles truncate; bools as 0/1
  double asDouble() const;  // any number
  const std::string& asString() const;
  const Bytes& asBytes() const;
  const std::vector<int32_t>& asInt32List() const;
  const std::vector<int64_t>& asInt64List() const;
  const std::vector<float>& asFloat32List() const;
  const std::vector<double>& asFloat64List() const;
  const ValueList& asList() const;
  const ValueMap& asMap() const;
  // The map's shared payload, null when this is not a map: kept weakly, it
  // tells later whether a map is this very one, without keeping what the
  // map holds alive.
  std::shared_ptr<const ValueMap> mapPayload() const;
  const std::shared_ptr<NSObject>& asObject() const;
  template <class T>
  std::shared_ptr<T> objectAs() const {
    return std::dynamic_pointer_cast<T>(asObject());
  }

  // Map lookup by string key; nullptr when this is not a map or has no such key.
  const Value* find(std::string_view key) const;
  const Value* find(const char* key) const { return find(std::string_view(key)); }
  const Value* find(const std::string& key) const { return find(std::string_view(key)); }
  const Value* find(const Value& key) const;
  // List element; nullptr when out of range or not a list.
  const Value* at(size_t index) const;
  size_t size() const;  // elements of a list/map/typed list, bytes of data
  // True when no other value shares this one's payload (its bytes, list,
  // map...), and for kinds held inline: a holder of the only reference to
  // this value may then give the payload's memory back while it reads it.
  bool holdsPayloadAlone() const;

  bool operator==(const Value& other) const;
  bool operator!=(const Value& other) const { return !(*this == other); }
  size_t hash() const;
  std::string description() const;

 private:
  using Storage = std::variant<std::monostate, bool, int32_t, int64_t, double, std::string,
                               std::shared_ptr<const Bytes>,
                               std::shared_ptr<const std::vector<int32_t>>,
                               std::shared_ptr<const std::vector<int64_t>>,
                               std::shared_ptr<const std::vector<float>>,
                               std::shared_ptr<const std::vector<double>>,
                               std::shared_ptr<const ValueList>, std::shared_ptr<const ValueMap>,
                               std::shared_ptr<NSObject>>;
  Storage v_;
};

struct ValueHash {
  size_t operator()(const Value& v) const { return v.hash(); }
};

// Replaces the value of an equal key or appends a new entry.
void ValueMapSet(ValueMap& map, Value key, Value value);
// The shortest text that reads back (strtod) as exactly `d`: "0.8", "1e+300",
// "-0", "1"; "nan", "inf" and "-inf" for the values that have no number text.
std::string ShortestDoubleText(double d);
const Value* ValueMapFind(const ValueMap& map, std::string_view key);
