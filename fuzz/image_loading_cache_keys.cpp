// Cache keys to file names and the reader of stored extended objects. The
// first byte picks the path; the rest is the key or the stored bytes.
#include <cstdint>
#include <string>

#include "image_loading/cache/ILDiskCache.h"
#include "image_loading/cache/ILExtendedObjectCoding.h"
#include "image_loading/transformers/ILImageTransformer.h"

namespace {

void checkFileName(const std::string& key) {
  const std::string name = ILDiskCacheFileNameForKey(key);
  if (name.size() < 32 || name.size() > 255) __builtin_trap();
  for (size_t i = 0; i < 32; ++i) {
    const char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) __builtin_trap();
  }
  if (name.size() > 32 && name[32] != '.') __builtin_trap();
  for (char c : name)
    if (c == '/' || c == '\0' || c == ':') __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 3) {
    case 0:
      checkFileName(rest);
      break;
    case 1:
      ILExtendedObjectCoding::unarchive(Bytes(data + 1, data + size));
      break;
    default: {
      const std::string key = ILThumbnailCacheKey(rest, CGSize{10, 20}, true);
      if (rest.empty() != key.empty()) __builtin_trap();
      checkFileName(key);
    }
  }
  return 0;
}
