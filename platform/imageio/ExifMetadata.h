#pragma once

// EXIF metadata: the TIFF-structured block that JPEG (APP1), PNG (eXIf),
// WebP (EXIF chunk) and HEIF (Exif item) carry, read into the "{TIFF}",
// "{Exif}" and "{GPS}" property dictionaries and written back from them.
// Only tags with a known property key are read or written; maker notes and
// other private data are left out.

#include <array>
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

// Writes a block in two steps, so that a caller can size the buffer it goes
// into before writing it there: the constructor encodes the values and lays
// the block out, appendTo writes it. Each dictionary is looked up in two
// layers: a key of `given` replaces the same key of `file` (of a key repeated
// in `given` the last counts, as when merged key by key; in `file` the first).
// The bytes are those ExifWrite gives for the merged dictionaries.
class ExifBlockWriter {
 public:
  struct Layers {
    const ValueMap* file = nullptr;
    const ValueMap* given = nullptr;
  };
  ExifBlockWriter(Layers tiff, Layers exif, Layers gps, int orientation,
                  const uint8_t* thumbnail = nullptr, size_t thumbnailSize = 0);
  // 0 when there is nothing to write.
  size_t size() const { return size_; }
  void appendTo(Bytes& out) const;

 private:
  struct Field {
    uint16_t tag;
    uint16_t type;
    uint32_t count;
    uint32_t at;  // the value's bytes in values_, big-endian
    uint32_t length;
  };
  struct Directory {
    std::array<Field, 40> fields;
    size_t count = 0;
    size_t size() const;
    void insertSorted(const Field& f);
  };
  Field addValue(uint16_t tag, uint16_t type, uint32_t count, uint32_t length);
  void encode(const ValueMap* file, const ValueMap* given, int dir, Directory& out);
  void write(uint8_t* block, uint32_t offset, const Directory& d, uint32_t next) const;

  Directory ifd0_, exif_, gps_, ifd1_;
  Bytes values_;
  const uint8_t* thumbnail_;
  size_t thumbnailSize_;
  uint32_t exifOffset_ = 0, gpsOffset_ = 0, ifd1Offset_ = 0;
  size_t size_ = 0;
};

// Adds the parsed dictionaries to a frame's properties (and the top-level
// orientation when the block has one).
void ExifMergeInto(const ExifData& exif, ValueMap& properties);
