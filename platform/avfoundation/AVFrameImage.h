#pragma once

// Decoded libav pictures as 32-bit bitmaps, converted by libswscale.
//
// libswscale's vector code stores whole vectors (up to 16 pixels), so on a
// row whose width is not a multiple of that it writes past the row's end.
// Every row it writes into is therefore padded to kAVScaledRowAlignment bytes
// and the buffer ends with slack, as av_frame_get_buffer lays out its own
// pictures; the bitmap keeps the padded rows as its bytes per row instead of
// paying a copy to pack them.

#include <cstddef>
#include <memory>
#include <vector>

#include "platform/avfoundation/LibavPointers.h"
#include "platform/coregraphics/CGImage.h"

inline constexpr size_t kAVScaledRowAlignment = 64;
// Bytes past the last row that the buffer keeps.
inline constexpr size_t kAVScaledBufferSlack = 64 + 16;

// The bytes per row of a converted picture `width` pixels wide.
size_t AVScaledBytesPerRow(size_t width);

enum class AVFrameImageLayout {
  RGBX,  // bytes R, G, B, skipped alpha (kCGImageAlphaNoneSkipLast)
  BGRX,  // host order with alpha first skipped: bytes B, G, R, skipped alpha
};

// Converts pictures of one stream, keeping libswscale's context between
// pictures of the same size and format. Not thread-safe.
class AVFrameImageConverter {
 public:
  explicit AVFrameImageConverter(AVFrameImageLayout layout) : layout_(layout) {}
  AVFrameImageConverter(const AVFrameImageConverter&) = delete;
  AVFrameImageConverter& operator=(const AVFrameImageConverter&) = delete;

  // The picture as an opaque bitmap of its size; nullptr when it has no
  // pixels or libswscale cannot read its format.
  CGImageRef convert(const AVFrame& frame);

  // Buffers of the pictures last handed out, at most this many: one that no
  // image holds any more is written again, so a stream's pictures cost no
  // new (zeroed) buffer each. A player holds a few pictures at once.
  static constexpr size_t kKeptBuffers = 6;

 private:
  AVFrameImageLayout layout_;
  LibavScalerPtr context_;
  std::vector<std::shared_ptr<Bytes>> buffers_;  // oldest first
  // A buffer of `size` bytes that no image holds, or a new one.
  std::shared_ptr<Bytes> buffer(size_t size);
};
