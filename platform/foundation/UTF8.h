#pragma once

#include <cstdint>
#include <cstddef>
#include <string>
#include <string_view>

// Appends the UTF-8 encoding of one Unicode code point.
void AppendUTF8(std::string& out, uint32_t codePoint);

// The value of one hexadecimal digit (either case), or -1 for any other character.
int HexDigitValue(char c);

// The code point of a UTF-16 surrogate pair (high 0xD800-0xDBFF, low 0xDC00-0xDFFF).
inline uint32_t CombineSurrogates(uint32_t high, uint32_t low) {
  return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}

// The length of the well-formed UTF-8 sequence starting at `p` (at most `n`
// bytes available): 1 to 4, or 0 when the bytes there are not one (a stray
// continuation byte, a truncated sequence, an overlong form, an encoded
// surrogate or a code point beyond U+10FFFF).
size_t UTF8SequenceLength(const char* p, size_t n);

// `text` with every byte that is not part of a well-formed sequence replaced
// by U+FFFD, so the result is always valid UTF-8.
std::string ValidUTF8(std::string_view text);

// The code points of `text`; bytes that are not part of a well-formed
// sequence come out as U+FFFD each.
std::u32string UTF8CodePoints(std::string_view text);
