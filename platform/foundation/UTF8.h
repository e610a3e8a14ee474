#pragma once

#include <cstdint>
#include <string>

// Appends the UTF-8 encoding of one Unicode code point.
void AppendUTF8(std::string& out, uint32_t codePoint);
