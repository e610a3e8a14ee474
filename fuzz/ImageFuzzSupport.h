#pragma once

// What every image fuzz target does with its input: read it whole and in two
// updates, then decode what it announces, so that the parsers, the decoders,
// the compositing and the thumbnail path all see hostile bytes.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageIOProperties.h"

inline void FuzzImageSource(const CGImageSourceRef& source) {
  if (!source) return;
  CGImageSourceCopyProperties(source);
  const size_t n = CGImageSourceGetCount(source);
  for (size_t i = 0; i < n && i < 8; ++i) {
    CGImageSourceCopyPropertiesAtIndex(source, i);
    if (auto image = CGImageSourceCreateImageAtIndex(
            source, i, Value::map({{kCGImageSourceShouldCacheImmediately, true}}))) {
      image->pixelData();
    }
  }
  CGImageSourceCreateThumbnailAtIndex(
      source, 0,
      Value::map({{kCGImageSourceCreateThumbnailFromImageAlways, true},
                  {kCGImageSourceThumbnailMaxPixelSize, 16},
                  {kCGImageSourceCreateThumbnailWithTransform, true}}));
}

// Inputs without the format's signature get it, so the fuzzer spends its time
// past the sniffing.
inline int FuzzImageBytes(const uint8_t* data, size_t size, const uint8_t* magic,
                          size_t magicSize) {
  Bytes bytes;
  if (size < magicSize || std::memcmp(data, magic, magicSize) != 0) {
    bytes.assign(magic, magic + magicSize);
  }
  bytes.insert(bytes.end(), data, data + size);
  auto whole = std::make_shared<const Bytes>(bytes);
  FuzzImageSource(CGImageSourceCreateWithBytes(whole));
  auto incremental = CGImageSourceCreateIncremental();
  CGImageSourceUpdateBytes(
      incremental, std::make_shared<const Bytes>(bytes.begin(), bytes.begin() + bytes.size() / 2),
      false);
  FuzzImageSource(incremental);
  CGImageSourceUpdateBytes(incremental, whole, true);
  FuzzImageSource(incremental);
  return 0;
}
