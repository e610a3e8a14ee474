#pragma once

// EXIF metadata: the TIFF-structured block that JPEG (APP1), PNG (eXIf),
// WebP (EXIF chunk) and HEIF (Exif item) carry, read into the "{TIFF}",
// "{Exif}" and "{GPS}" property dictionaries and written back from them.
// Only tags with a known property key are read or written; maker notes and
// other private data are left out.

#include <cstddef>
#include <cstdint>

// Value is named, not defined, here: the decoders holding ExifData and the
// encoders writing it do not all need it; code that makes or reads an
// ExifData's dictionaries includes Value.h.
#include "platform/foundation/ValueFwd.h"

struct ExifData {
  ValueMap tiff;
  ValueMap exif;
  ValueMap gps;
  int orientation = 0;  // 0 when the block holds none
  // The thumbnail of the second directory, relative to the block's start.
  size_t thumbnailOffset = 0;
  size_t thumbnailLength = 0;
};

// Reads a block that starts with the byte-order mark ("II*\0" or "MM\0*").
// False when the block is malformed; what was read before stays in `out`.
bool ExifParse(const uint8_t* block, size_t size, ExifData& out);

// A big-endian block from the "{TIFF}", "{Exif}" and "{GPS}" dictionaries of
// `properties` and the orientation (0 leaves it out), with an optional JPEG
// thumbnail. Empty when there is nothing to write.
Bytes ExifWrite(const ValueMap& properties, int orientation, const Bytes& thumbnailJPEG = {});

// Adds the parsed dictionaries to a frame's properties (and the top-level
// orientation when the block has one).
void ExifMergeInto(const ExifData& exif, ValueMap& properties);
