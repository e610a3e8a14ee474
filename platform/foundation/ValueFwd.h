#pragma once

// The names of the value types without their definitions, for headers that
// only pass values by reference or return them; Value.h is what reaches most
// of the tree, so a header includes it only when it holds a Value by value or
// calls into one inline.

#include <cstdint>
#include <utility>
#include <vector>

class Value;
struct ValueHash;

using ValueList = std::vector<Value>;
using ValueMap = std::vector<std::pair<Value, Value>>;
using Bytes = std::vector<uint8_t>;

// One shared null value, for default arguments (`const Value& options =
// NullValue()`) in headers that only name Value.
const Value& NullValue();
