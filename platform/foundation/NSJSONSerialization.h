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
// kMaxDepth, on trailing garbage, on bytes that are not UTF-8 and on escaped
// surrogates that do not pair up. A repeated key keeps its last value.
std::optional<Value> JSONObjectWithData(std::string_view text, std::string* error = nullptr);
// The same; when the text is an object, `memberText` also receives the text of
// its member `member` exactly as it stands (the last one when repeated), for
// values that must go back out unchanged. Empty when there is no such member.
std::optional<Value> JSONObjectWithData(std::string_view text, std::string_view member,
                                        std::string_view* memberText, std::string* error);

// Serialises null, bools, numbers, strings, lists and maps with string keys.
// Other kinds (bytes, typed lists, objects, non-string keys, non-finite
// doubles) are refused: nullopt and an error.
std::optional<std::string> dataWithJSONObject(const Value& value, bool pretty = false,
                                              std::string* error = nullptr);

// A JSON string literal for `s` (quotes included), escaping as JSON requires.
// Bytes of `s` that are not UTF-8 are written as U+FFFD, so the text always is.
std::string quoteString(std::string_view s);
// What quoteString writes between the quotes, appended to `out`. Text cut
// anywhere but right before a UTF-8 continuation byte (0x80-0xBF) appends, part
// by part, the same as when whole.
void appendEscaped(std::string& out, std::string_view s);
// Appends the text dataWithJSONObject writes for a finite double: the
// shortest that reads back as `d`, with a fraction or an exponent ("1.0").
void appendNumber(std::string& out, double d);

}  // namespace NSJSONSerialization
