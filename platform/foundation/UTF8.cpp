#include "UTF8.h"

void AppendUTF8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

size_t UTF8SequenceLength(const char* p, size_t n) {
  if (n == 0) return 0;
  const auto* s = reinterpret_cast<const unsigned char*>(p);
  const unsigned char c = s[0];
  if (c < 0x80) return 1;
  size_t len = 0;
  // The range of the second byte narrows for the lead bytes that would
  // otherwise allow overlong forms, surrogates or values past U+10FFFF.
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (n < len || s[1] < lo || s[1] > hi) return 0;
  for (size_t i = 2; i < len; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
  }
  return len;
}

std::string ValidUTF8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    size_t len = UTF8SequenceLength(text.data() + i, text.size() - i);
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(text.data() + i, len);
      i += len;
    }
  }
  return out;
}

std::u32string UTF8CodePoints(std::string_view text) {
  std::u32string out;
  for (size_t i = 0; i < text.size();) {
    size_t n = UTF8SequenceLength(text.data() + i, text.size() - i);
    if (n == 0) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    auto byte = [&](size_t k) { return uint32_t(static_cast<unsigned char>(text[i + k])); };
    uint32_t cp = n == 1 ? byte(0) : n == 2 ? byte(0) & 0x1F : n == 3 ? byte(0) & 0x0F : byte(0) & 0x07;
    for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (byte(k) & 0x3F);
    out.push_back(cp);
    i += n;
  }
  return out;
}
