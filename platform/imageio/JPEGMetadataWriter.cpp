#include "platform/imageio/internal/JPEGMetadataWriter.h"

#include <cstring>

#include "platform/foundation/Value.h"
#include "platform/imageio/ExifMetadata.h"
#include "platform/imageio/ImageIOProperties.h"

namespace {

constexpr uint8_t kSOI = 0xD8, kSOS = 0xDA, kAPP0 = 0xE0, kAPP1 = 0xE1;
constexpr size_t kMaxSegmentPayload = 0xFFFF - 2;
constexpr char kExifHeader[] = {'E', 'x', 'i', 'f', 0, 0};

struct Segment {
  size_t start = 0;  // the 0xFF of the marker
  size_t end = 0;    // one past the payload
  uint8_t marker = 0;
};

bool StandsAlone(uint8_t marker) {
  return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7);
}

bool IsExifSegment(const uint8_t* data, const Segment& s) {
  return s.marker == kAPP1 && s.end - s.start >= 4 + sizeof(kExifHeader) &&
         std::memcmp(data + s.start + 4, kExifHeader, sizeof(kExifHeader)) == 0;
}

// The segments from the first after SOI up to and including the first scan
// header, whose end is where the entropy-coded data begins.
bool ReadHeaderSegments(const uint8_t* data, size_t size, std::vector<Segment>& out) {
  if (size < 4 || data[0] != 0xFF || data[1] != kSOI) return false;
  size_t pos = 2;
  while (pos < size) {
    if (data[pos] != 0xFF) return false;
    size_t m = pos;
    while (m < size && data[m] == 0xFF) ++m;  // fill bytes belong to the marker
    if (m >= size) return false;
    Segment s{pos, m + 1, data[m]};
    if (!StandsAlone(s.marker)) {
      if (m + 3 > size) return false;
      const size_t length = (size_t(data[m + 1]) << 8) | data[m + 2];
      if (length < 2 || m + 1 + length > size) return false;
      s.end = m + 1 + length;
    }
    out.push_back(s);
    if (s.marker == kSOS) return true;
    pos = s.end;
  }
  return false;
}

const ValueMap* DictionaryIn(const ValueMap& properties, const char* key) {
  const Value* v = ValueMapFind(properties, key);
  return v && v->isMap() ? &v->asMap() : nullptr;
}

}  // namespace

bool JPEGReplaceMetadata(const uint8_t* data, size_t size, const ValueMap& properties, bool merge,
                         Bytes& out) {
  std::vector<Segment> segments;
  segments.reserve(16);
  if (!ReadHeaderSegments(data, size, segments)) return false;

  ExifData exif;
  const Segment* oldExif = nullptr;
  for (const Segment& s : segments) {
    if (IsExifSegment(data, s)) {
      oldExif = &s;
      const size_t header = 4 + sizeof(kExifHeader);
      if (merge) ExifParse(data + s.start + header, s.end - s.start - header, exif);
      break;
    }
  }
  if (const Value* o = ValueMapFind(properties, kCGImagePropertyOrientation); o && o->isNumber()) {
    const int64_t orientation = o->asInt64();
    if (orientation >= 1 && orientation <= 8) exif.orientation = int(orientation);
  }
  const uint8_t* thumbnail = nullptr;
  size_t thumbnailSize = 0;
  if (oldExif && exif.thumbnailLength > 0) {
    thumbnail = data + oldExif->start + 4 + sizeof(kExifHeader) + exif.thumbnailOffset;
    thumbnailSize = exif.thumbnailLength;
  }
  // The given dictionaries are merged over the file's key by key as the
  // block is laid out, not copied first.
  const ExifBlockWriter block(
      {&exif.tiff, DictionaryIn(properties, kCGImagePropertyTIFFDictionary)},
      {&exif.exif, DictionaryIn(properties, kCGImagePropertyExifDictionary)},
      {&exif.gps, DictionaryIn(properties, kCGImagePropertyGPSDictionary)}, exif.orientation,
      thumbnail, thumbnailSize);
  if (block.size() + sizeof(kExifHeader) > kMaxSegmentPayload) return false;

  // One allocation of the output's size, each byte written once.
  const size_t newSegment = block.size() == 0 ? 0 : 4 + sizeof(kExifHeader) + block.size();
  const size_t oldSegment = oldExif ? oldExif->end - oldExif->start : 0;
  Bytes result;
  result.reserve(size - oldSegment + newSegment);
  result.insert(result.end(), data, data + 2);
  // The JFIF segment must stay first; the EXIF segment follows it.
  size_t first = 0;
  if (!segments.empty() && segments[0].marker == kAPP0) {
    result.insert(result.end(), data + segments[0].start, data + segments[0].end);
    first = 1;
  }
  if (block.size() != 0) {
    const size_t length = 2 + sizeof(kExifHeader) + block.size();
    const uint8_t head[4] = {0xFF, kAPP1, uint8_t(length >> 8), uint8_t(length & 0xFF)};
    result.insert(result.end(), head, head + 4);
    result.insert(result.end(), kExifHeader, kExifHeader + sizeof(kExifHeader));
    block.appendTo(result);
  }
  // Runs of kept segments are copied in one piece; the scan and everything
  // after it in the last.
  size_t runStart = first < segments.size() ? segments[first].start : size;
  for (size_t i = first; i < segments.size(); ++i) {
    if (&segments[i] != oldExif) continue;
    result.insert(result.end(), data + runStart, data + segments[i].start);
    runStart = segments[i].end;
  }
  result.insert(result.end(), data + runStart, data + size);
  out = std::move(result);
  return true;
}
