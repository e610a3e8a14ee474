#pragma once

// High-quality separable resampling (Lanczos, three lobes, widened when
// shrinking so every source pixel contributes) of bitmaps with 8-bit,
// 16-bit unsigned or 32-bit float components. Rows are resampled one output
// row at a time over a window of horizontally resampled source rows, so the
// working memory is a few rows, never a second copy of the image.

#include <cstddef>
#include <cstdint>

enum class ILScalerComponent { UInt8, UInt16, Float32 };

struct ILScalerPlane {
  const uint8_t* data = nullptr;
  size_t width = 0, height = 0, bytesPerRow = 0;
};

struct ILScalerLayout {
  ILScalerComponent component = ILScalerComponent::UInt8;
  size_t channels = 4;        // components per pixel, 1 to 4
  bool bigEndian = false;     // byte order of 16- and 32-bit components
};

// Writes dstWidth × dstHeight pixels into `dst` (rows of dstBytesPerRow).
// False for an empty size or a bad layout.
bool ILScalerResample(const ILScalerPlane& src, const ILScalerLayout& layout, uint8_t* dst,
                      size_t dstWidth, size_t dstHeight, size_t dstBytesPerRow);
