#pragma once

#include <cstdint>
#include <string>

// Appends the UTF-8 encoding of one Unicode code point.
void AppendUTF8(std::string& out, uint32_t codePoint);

// The value of one hexadecimal digit (either case), or -1 for any other character.
int HexDigitValue(char c);

// The code point of a UTF-16 surrogate pair (high 0xD800-0xDBFF, low 0xDC00-0xDFFF).
inline uint32_t CombineSurrogates(uint32_t high, uint32_t low) {
  return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}
