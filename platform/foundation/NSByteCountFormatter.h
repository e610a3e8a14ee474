#pragma once

// Byte counts as the platform's size labels read: "Zero KB", "1 byte",
// "999 bytes", "12 KB", "1.2 MB", "3.45 GB".
//
// The format is fixed so that labels are stable across machines and locales:
// English unit names; kilobytes shown as whole numbers, megabytes with one
// decimal, gigabytes and larger with two, trailing zeros of the fraction
// dropped; a count that rounds up to 1000 (or 1024) of a unit is shown in the
// next unit ("1 MB", never "1000 KB"). The file and decimal styles count in
// powers of 1000, the memory and binary styles in powers of 1024.

#include <cstdint>
#include <string>

enum class NSByteCountFormatterCountStyle { File = 0, Memory = 1, Decimal = 2, Binary = 3 };

class NSByteCountFormatter {
 public:
  static std::string stringFromByteCount(int64_t byteCount,
                                         NSByteCountFormatterCountStyle countStyle);
};
