// Format detection: the first input byte picks a known leading signature
// (or none) put before the rest, so every detection branch sees hostile tails.
#include <cstdint>
#include <string_view>
#include <vector>

#include "image_loading/coders/ILImageFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* kPrefixes[] = {"", "RIFF", "%PDF", "<svg", "\x89PNG", "GIF8",
                                    std::string_view("\x00\x00\x00\x18" "ftyp", 8).data()};
  static const size_t kLengths[] = {0, 4, 4, 4, 4, 4, 8};
  if (size == 0) return 0;
  const size_t pick = data[0] % (sizeof kLengths / sizeof kLengths[0]);
  std::vector<uint8_t> bytes(kPrefixes[pick], kPrefixes[pick] + kLengths[pick]);
  bytes.insert(bytes.end(), data + 1, data + size);
  const ILImageFormatCode code = il_imageFormatForImageBytes(bytes.data(), bytes.size());
  if (code < ILImageFormatUndefined || code > ILImageFormatBMP) __builtin_trap();
  il_UTTypeFromImageFormat(code);
  return 0;
}
