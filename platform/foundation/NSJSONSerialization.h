#pragma once

// JSON text <-> Value. Objects become maps with string keys (in document
// order), arrays lists, integral numbers int32 or int64 by magnitude, other
// numbers doubles.

#include <optional>
#include <string>
#include <string_view>

#include "Value.h"

namespace NSJSONSerialization {

inline constexpr int kMaxDepth = 256;

// nullopt on malformed text (error says why and where), on nesting deeper than
// kMaxDepth, and on trailing garbage.
std::optional<Value> JSONObjectWithData(std::string_view text, std::string* error = nullptr);

// Serialises null, bools, numbers, strings, lists and maps with string keys.
// Other kinds (bytes, typed lists, objects, non-string keys, non-finite
// doubles) are refused: nullopt and an error.
std::optional<std::string> dataWithJSONObject(const Value& value, bool pretty = false,
                                              std::string* error = nullptr);

// A JSON string literal for `s` (quotes included), escaping as JSON requires.
std::string quoteString(std::string_view s);

}  // namespace NSJSONSerialization
