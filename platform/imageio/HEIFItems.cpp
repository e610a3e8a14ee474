#include "internal/HEIFItems.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/imageio/ImageBitmap.h"
#include "platform/imageio/ImageDecoder.h"

namespace {

constexpr uint32_t Tag(const char (&t)[5]) {
  return (uint32_t(uint8_t(t[0])) << 24) | (uint32_t(uint8_t(t[1])) << 16) |
         (uint32_t(uint8_t(t[2])) << 8) | uint8_t(t[3]);
}

struct Box {
  uint32_t type = 0;
  std::span<const uint8_t> body;
};

// The boxes laid end to end in `data`, until one does not fit. Only the
// headers are read: a mapped file's media data is never touched.
std::vector<Box> Boxes(std::span<const uint8_t> data) {
  std::vector<Box> boxes;
  size_t pos = 0;
  while (data.size() - pos >= 8) {
    uint64_t size = ReadBE32(&data[pos]);
    size_t header = 8;
    if (size == 1) {
      if (data.size() - pos < 16) break;
      size = (uint64_t(ReadBE32(&data[pos + 8])) << 32) | ReadBE32(&data[pos + 12]);
      header = 16;
    } else if (size == 0) {
      size = data.size() - pos;
    }
    if (size < header || size > data.size() - pos) break;
    boxes.push_back({ReadBE32(&data[pos + 4]), data.subspan(pos + header, size_t(size) - header)});
    pos += size_t(size);
  }
  return boxes;
}

std::span<const uint8_t> Child(const std::vector<Box>& boxes, uint32_t type) {
  for (const Box& box : boxes) {
    if (box.type == type) return box.body;
  }
  return {};
}

// Big-endian fields read in order; past the end they read as 0 and the
// reader is no longer ok.
class Fields {
 public:
  explicit Fields(std::span<const uint8_t> data) : data_(data) {}
  uint64_t read(size_t bytes) {
    if (bytes > 8 || data_.size() - pos_ < bytes) {
      ok_ = false;
      pos_ = data_.size();
      return 0;
    }
    uint64_t v = 0;
    for (size_t i = 0; i < bytes; ++i) v = (v << 8) | data_[pos_++];
    return v;
  }
  std::span<const uint8_t> take(size_t bytes) {
    if (data_.size() - pos_ < bytes) {
      ok_ = false;
      pos_ = data_.size();
      return {};
    }
    pos_ += bytes;
    return data_.subspan(pos_ - bytes, bytes);
  }
  bool ok() const { return ok_; }
  bool atEnd() const { return pos_ >= data_.size(); }
  std::span<const uint8_t> rest() const { return data_.subspan(pos_); }

 private:
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// --- A turn or flip of the plane, as where it takes the axes (y down).
using Turn = std::array<int, 4>;  // {xx, xy, yx, yy}: (x, y) -> (xx x + xy y, yx x + yy y)

Turn Then(const Turn& first, const Turn& next) {
  return {next[0] * first[0] + next[1] * first[2], next[0] * first[1] + next[1] * first[3],
          next[2] * first[0] + next[3] * first[2], next[2] * first[1] + next[3] * first[3]};
}

int OrientationOf(const Turn& turn) {
  static constexpr Turn kOrientations[8] = {{1, 0, 0, 1},   {-1, 0, 0, 1}, {-1, 0, 0, -1},
                                            {1, 0, 0, -1},  {0, 1, 1, 0},  {0, -1, 1, 0},
                                            {0, -1, -1, 0}, {0, 1, -1, 0}};
  for (int o = 0; o < 8; ++o) {
    if (kOrientations[o] == turn) return o + 1;
  }
  return 1;
}

// --- HEVC's sequence parameters, as far as the picture's size.

// Bits read most significant first: of an HEVC NAL unit's payload, its
// emulation prevention bytes taken out, or of an AV1 OBU as they are.
class Bits {
 public:
  enum Kind { kNAL, kOBU };
  Bits(std::span<const uint8_t> data, Kind kind) {
    rbsp_.reserve(data.size());
    int zeros = 0;
    for (uint8_t b : data) {
      if (kind == kNAL && zeros >= 2 && b == 3) {
        zeros = 0;
        continue;
      }
      zeros = b == 0 ? zeros + 1 : 0;
      rbsp_.push_back(b);
    }
  }
  uint32_t u(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      if (pos_ >= rbsp_.size() * 8) {
        ok_ = false;
        return 0;
      }
      v = (v << 1) | ((rbsp_[pos_ / 8] >> (7 - pos_ % 8)) & 1);
      ++pos_;
    }
    return v;
  }
  void skip(size_t n) {
    pos_ += n;
    if (pos_ > rbsp_.size() * 8) ok_ = false;
  }
  // Exp-Golomb, as sizes and identifiers are coded; at most 32 bits.
  uint32_t ue() {
    int zeros = 0;
    while (ok_ && u(1) == 0) {
      if (++zeros > 31) {
        ok_ = false;
        return 0;
      }
    }
    return zeros == 0 ? 0 : uint32_t((uint64_t(1) << zeros) - 1 + u(zeros));
  }
  bool ok() const { return ok_; }

 private:
  std::vector<uint8_t> rbsp_;
  size_t pos_ = 0;
  bool ok_ = true;
};

bool SequenceParameters(std::span<const uint8_t> nal, HEVCPictureSize& out) {
  if (nal.size() < 3 || ((nal[0] >> 1) & 0x3F) != 33) return false;
  Bits bits(nal.subspan(2), Bits::kNAL);
  bits.skip(4);  // video parameter set
  const uint32_t subLayers = bits.u(3);
  bits.skip(1);
  // profile_tier_level: the general profile (88 bits) and level (8), then
  // which sub-layers carry their own.
  bits.skip(96);
  bool profile[8] = {}, level[8] = {};
  for (uint32_t i = 0; i < subLayers; ++i) {
    profile[i] = bits.u(1);
    level[i] = bits.u(1);
  }
  if (subLayers > 0) bits.skip(2 * (8 - subLayers));
  for (uint32_t i = 0; i < subLayers; ++i) bits.skip((profile[i] ? 88 : 0) + (level[i] ? 8 : 0));
  bits.ue();  // its own identifier
  const uint32_t chroma = bits.ue();
  const bool separatePlanes = chroma == 3 && bits.u(1);
  const uint32_t width = bits.ue(), height = bits.ue();
  uint32_t left = 0, right = 0, top = 0, bottom = 0;
  if (bits.u(1)) {
    left = bits.ue();
    right = bits.ue();
    top = bits.ue();
    bottom = bits.ue();
  }
  if (!bits.ok() || chroma > 3 || width == 0 || height == 0) return false;
  // The window's offsets count chroma samples.
  const uint64_t unitX = (chroma == 1 || chroma == 2) && !separatePlanes ? 2 : 1;
  const uint64_t unitY = chroma == 1 && !separatePlanes ? 2 : 1;
  const uint64_t cutX = unitX * (uint64_t(left) + right), cutY = unitY * (uint64_t(top) + bottom);
  if (cutX >= width || cutY >= height) return false;
  out = {width, height, uint32_t(width - cutX), uint32_t(height - cutY)};
  return true;
}

// --- AV1's sequence header, as far as the largest frame.

// An AV1 variable-length size; false past the data or 8 bytes.
bool ReadLEB128(Fields& f, uint64_t& value) {
  value = 0;
  for (int i = 0; i < 8; ++i) {
    const uint64_t byte = f.read(1);
    if (!f.ok()) return false;
    value |= (byte & 0x7F) << (7 * i);
    if (!(byte & 0x80)) return true;
  }
  return false;
}

bool SequenceHeader(std::span<const uint8_t> obu, uint32_t& width, uint32_t& height) {
  Bits bits(obu, Bits::kOBU);
  bits.skip(3);  // profile
  bits.skip(1);  // still picture
  if (bits.u(1)) {
    bits.skip(5);  // reduced still picture header: one level
  } else {
    bool decoderModel = false;
    uint32_t delayLength = 0;
    if (bits.u(1)) {  // timing info
      bits.skip(64);
      if (bits.u(1)) {  // equal picture interval: uvlc
        int zeros = 0;
        while (bits.ok() && bits.u(1) == 0) {
          if (++zeros >= 32) return false;
        }
        bits.skip(size_t(zeros));
      }
      decoderModel = bits.u(1);
      if (decoderModel) {
        delayLength = bits.u(5) + 1;
        bits.skip(32 + 5 + 5);
      }
    }
    const bool initialDelay = bits.u(1);
    const uint32_t points = bits.u(5) + 1;
    for (uint32_t i = 0; i < points && bits.ok(); ++i) {
      bits.skip(12);
      if (bits.u(5) > 7) bits.skip(1);  // level, tier
      if (decoderModel && bits.u(1)) bits.skip(2 * delayLength + 1);
      if (initialDelay && bits.u(1)) bits.skip(4);
    }
  }
  const int widthBits = int(bits.u(4)) + 1, heightBits = int(bits.u(4)) + 1;
  width = bits.u(widthBits) + 1;
  height = bits.u(heightBits) + 1;
  return bits.ok();
}

// Coded pictures are padded to whole coding blocks: never by 64 pixels.
constexpr uint64_t kCodingPadding = 64;

// Whether `count` tiles of `tile` pixels lay out `size` pixels: they cover
// it, and overhang it by less than a tile (a single tile: by less than a
// coded picture's padding).
bool TilesLayOut(uint32_t count, uint32_t tile, uint32_t size) {
  const uint64_t covered = uint64_t(count) * tile;
  return covered >= size && covered < uint64_t(size) + (count > 1 ? tile : kCodingPadding);
}

// The most tiles of `tile` pixels a grid of a size a source may declare
// needs: the narrowest image of each count of columns, as tall as it may
// then be.
constexpr uint64_t MostTilesOf(uint64_t tile) {
  uint64_t most = 0;
  for (uint64_t across = 1; (across - 1) * tile < kImageMaxSourceDimension; ++across) {
    const uint64_t width = (across - 1) * tile + 1;
    const uint64_t height =
        std::min<uint64_t>(kImageMaxSourceDimension, kImageMaxSourcePixels / width);
    most = std::max(most, across * ((height + tile - 1) / tile));
  }
  return most;
}

// A grid's tiles are each decoded apart, each with its decoder's setup and
// its own pasting, at a cost that grows faster than their count: 4,250
// tiles of 16 or 64 pixels take about 4 seconds of CPU, 10,000 take 12.
// Phones write 512-pixel tiles, and a grid of any size a source may declare
// needs no more of them than this.
constexpr uint64_t kMostGridTiles = MostTilesOf(512);
static_assert(kMostGridTiles == 4250);

// A grid of the most tiles, and as many again for an auxiliary grid of the
// same layout (an alpha, a gain map) and the file's other items.
constexpr size_t kMostItems = 2 * kMostGridTiles;

// What a decoder meets before and within an item's coded data: the
// parameter sets (HEVC) or sequence headers (AV1) of every picture it may
// make. A still picture is a few slices or tiles; no encoder writes more
// than a few hundred units for one, so past this many the data is not
// judged.
constexpr size_t kMostCodedUnits = 4096;
// Of a parameter set or sequence header, only the start is read: the
// picture's size comes within its first hundred bytes or so, however its
// optional parts are laid out.
constexpr size_t kParameterSetBytes = 1024;

// The coded pictures' sizes an item's configuration and data announce, and
// whether each announcement could be read.
struct Announced {
  std::vector<HEVCPictureSize> pictures;
  bool unreadable = false;
};

// An item announces its picture once or a few times; past this many
// announcements its data is not judged.
constexpr size_t kMostAnnouncements = 16;

void AnnounceHEVC(std::span<const uint8_t> nal, Announced& out) {
  if (nal.size() < 1 || ((nal[0] >> 1) & 0x3F) != 33) return;
  if (out.pictures.size() == kMostAnnouncements) {
    out.unreadable = true;
    return;
  }
  HEVCPictureSize picture;
  if (SequenceParameters(nal.first(std::min(nal.size(), kParameterSetBytes)), picture)) {
    out.pictures.push_back(picture);
  } else {
    out.unreadable = true;
  }
}

void AnnounceAV1(std::span<const uint8_t> payload, Announced& out) {
  if (out.pictures.size() == kMostAnnouncements) {
    out.unreadable = true;
    return;
  }
  uint32_t width = 0, height = 0;
  if (SequenceHeader(payload.first(std::min(payload.size(), kParameterSetBytes)), width, height)) {
    out.pictures.push_back({width, height, width, height});
  } else {
    out.unreadable = true;
  }
}

// An item's data: its extents, in order, as one run of bytes, of which
// only the few bytes asked for are read.
class ItemData {
 public:
  explicit ItemData(const std::vector<std::span<const uint8_t>>& parts) {
    for (std::span<const uint8_t> part : parts) {
      if (part.empty()) continue;
      starts_.push_back(size_);
      parts_.push_back(part);
      size_ += part.size();
    }
  }
  uint64_t size() const { return size_; }
  // Up to `most` bytes from `pos` into `out`, fewer at the end; how many.
  size_t read(uint64_t pos, uint8_t* out, size_t most) const {
    if (pos >= size_) return 0;
    size_t i =
        parts_.size() == 1
            ? 0
            : size_t(std::upper_bound(starts_.begin(), starts_.end(), pos) - starts_.begin()) - 1;
    size_t done = 0;
    for (; done < most && i < parts_.size(); ++i) {
      const size_t from = size_t(pos - starts_[i]);
      const size_t n = std::min(parts_[i].size() - from, most - done);
      std::memcpy(out + done, parts_[i].data() + from, n);
      done += n;
      pos += n;
    }
    return done;
  }
  std::vector<uint8_t> copy(uint64_t pos, size_t most) const {
    std::vector<uint8_t> out(size_t(std::min<uint64_t>(most, pos < size_ ? size_ - pos : 0)));
    out.resize(read(pos, out.data(), out.size()));
    return out;
  }

 private:
  std::vector<std::span<const uint8_t>> parts_;
  std::vector<uint64_t> starts_;
  uint64_t size_ = 0;
};

// Every sequence parameter set among NAL units each led by its length in
// `lengthSize` bytes; the payloads between are skipped by their lengths.
// Units cut short by the data's end are read as far as they go, as a
// decoder would. False past kMostCodedUnits.
bool AnnounceNALUnits(const ItemData& data, size_t lengthSize, Announced& out) {
  uint64_t pos = 0;
  for (size_t count = 0; pos < data.size(); ++count) {
    if (count == kMostCodedUnits) return false;
    uint8_t prefix[5];
    if (data.read(pos, prefix, lengthSize + 1) < lengthSize) break;
    uint64_t length = 0;
    for (size_t i = 0; i < lengthSize; ++i) length = (length << 8) | prefix[i];
    pos += lengthSize;
    if (length > 0 && pos < data.size() && ((prefix[lengthSize] >> 1) & 0x3F) == 33) {
      AnnounceHEVC(data.copy(pos, size_t(std::min<uint64_t>(length, kParameterSetBytes))), out);
    }
    pos += length;
  }
  return true;
}

// Every sequence header among AV1 open bitstream units, the other units
// skipped by their sizes; read until a unit does not. False past
// kMostCodedUnits.
bool AnnounceOBUs(const ItemData& data, Announced& out) {
  uint64_t pos = 0;
  for (size_t count = 0; pos < data.size(); ++count) {
    if (count == kMostCodedUnits) return false;
    // A header, its extension and a size of 8 bytes at most.
    uint8_t head[10];
    const size_t got = data.read(pos, head, sizeof head);
    Fields f({head, got});
    const uint64_t header = f.read(1);
    if (header & 4) f.read(1);  // extension
    uint64_t size = 0;
    const bool sized = header & 2;
    if (sized && !ReadLEB128(f, size)) break;
    pos += got - f.rest().size();
    if (!sized) size = data.size() - pos;  // the last unit: to the end
    if (((header >> 3) & 15) == 1) {
      AnnounceAV1(data.copy(pos, size_t(std::min<uint64_t>(size, kParameterSetBytes))), out);
    }
    if (size > data.size() - pos) break;
    pos += size;
  }
  return true;
}

// Hands each NAL unit of an HEVC configuration's arrays to `unit`, in
// order, until it answers true; whether one did.
template <typename Unit>
bool EachConfigurationUnit(std::span<const uint8_t> hvcC, Unit&& unit) {
  Fields f(hvcC);
  f.take(22);
  const uint64_t arrays = f.read(1);
  for (uint64_t a = 0; a < arrays && f.ok(); ++a) {
    f.read(1);  // completeness, NAL unit type
    const uint64_t units = f.read(2);
    for (uint64_t u = 0; u < units && f.ok(); ++u) {
      const std::span<const uint8_t> nal = f.take(size_t(f.read(2)));
      if (f.ok() && unit(nal)) return true;
    }
  }
  return false;
}

}  // namespace

bool HEVCPictureSizeOf(std::span<const uint8_t> hvcC, HEVCPictureSize& out) {
  return EachConfigurationUnit(
      hvcC, [&](std::span<const uint8_t> nal) { return SequenceParameters(nal, out); });
}

bool AV1FrameSizeOf(std::span<const uint8_t> obus, uint32_t& width, uint32_t& height) {
  Announced announced;
  AnnounceOBUs(ItemData({obus}), announced);
  if (announced.unreadable || announced.pictures.empty()) return false;
  width = announced.pictures.front().codedWidth;
  height = announced.pictures.front().codedHeight;
  return true;
}

HEIFItems::HEIFItems(std::span<const uint8_t> file) : file_(file) {
  const std::span<const uint8_t> meta = Child(Boxes(file), Tag("meta"));
  if (meta.size() < 4) return;
  const std::vector<Box> boxes = Boxes(meta.subspan(4));
  idat_ = Child(boxes, Tag("idat"));
  readItemInfo(Child(boxes, Tag("iinf")));
  readLocations(Child(boxes, Tag("iloc")));
  readReferences(Child(boxes, Tag("iref")));
  const std::vector<Box> iprp = Boxes(Child(boxes, Tag("iprp")));
  for (const Box& property : Boxes(Child(iprp, Tag("ipco")))) {
    properties_.push_back({property.type, property.body});
  }
  for (const Box& box : iprp) {
    if (box.type == Tag("ipma")) readAssociations(box.body);
  }
}

void HEIFItems::readItemInfo(std::span<const uint8_t> iinf) {
  Fields f(iinf);
  const uint64_t version = f.read(1);
  f.read(3);
  f.read(version == 0 ? 2 : 4);  // entry count: the boxes tell
  for (const Box& infe : Boxes(f.rest())) {
    if (infe.type != Tag("infe")) continue;
    ++itemCount_;
    Fields e(infe.body);
    const uint64_t v = e.read(1);
    e.read(3);
    if (v < 2) continue;  // no item type
    const uint32_t id = uint32_t(e.read(v == 2 ? 2 : 4));
    e.read(2);  // protection
    const uint32_t type = uint32_t(e.read(4));
    if (e.ok()) types_[id] = type;
  }
}

void HEIFItems::readLocations(std::span<const uint8_t> iloc) {
  Fields f(iloc);
  const uint64_t version = f.read(1);
  f.read(3);
  const uint64_t sizes = f.read(2);
  const size_t offsetSize = (sizes >> 12) & 15, lengthSize = (sizes >> 8) & 15,
               baseSize = (sizes >> 4) & 15, indexSize = version >= 1 ? sizes & 15 : 0;
  const uint64_t count = f.read(version < 2 ? 2 : 4);
  for (uint64_t i = 0; i < count && f.ok(); ++i) {
    const uint32_t id = uint32_t(f.read(version < 2 ? 2 : 4));
    Location location;
    if (version >= 1) location.method = int(f.read(2) & 15);
    f.read(2);  // data reference
    const uint64_t base = f.read(baseSize);
    const uint64_t extents = f.read(2);
    for (uint64_t e = 0; e < extents && f.ok(); ++e) {
      f.read(indexSize);
      const uint64_t offset = f.read(offsetSize), length = f.read(lengthSize);
      location.extents.push_back({base + offset, length});
    }
    if (f.ok()) locations_[id] = std::move(location);
  }
}

void HEIFItems::readReferences(std::span<const uint8_t> iref) {
  Fields f(iref);
  const uint64_t version = f.read(1);
  f.read(3);
  const size_t idSize = version == 0 ? 2 : 4;
  for (const Box& reference : Boxes(f.rest())) {
    const bool derived = reference.type == Tag("dimg");
    if (!derived && reference.type != Tag("auxl")) continue;
    Fields r(reference.body);
    const uint32_t from = uint32_t(r.read(idSize));
    const uint64_t count = r.read(2);
    std::vector<uint32_t> to;
    for (uint64_t i = 0; i < count && r.ok(); ++i) to.push_back(uint32_t(r.read(idSize)));
    if (!r.ok()) continue;
    if (derived) {
      derivedFrom_[from] = std::move(to);
    } else {
      for (uint32_t image : to) auxiliaries_[image].push_back(from);
    }
  }
}

void HEIFItems::readAssociations(std::span<const uint8_t> ipma) {
  Fields f(ipma);
  const uint64_t version = f.read(1);
  const bool longIndices = f.read(3) & 1;
  const uint64_t entries = f.read(4);
  for (uint64_t e = 0; e < entries && f.ok(); ++e) {
    const uint32_t id = uint32_t(f.read(version >= 1 ? 4 : 2));
    const uint64_t count = f.read(1);
    for (uint64_t a = 0; a < count && f.ok(); ++a) {
      const size_t index = longIndices ? f.read(2) & 0x7FFF : f.read(1) & 0x7F;
      if (f.ok() && index >= 1 && index <= properties_.size()) {
        associations_[id].push_back(index - 1);
      }
    }
  }
}

std::vector<HEIFItems::Property> HEIFItems::propertiesOf(uint32_t item) const {
  std::vector<Property> properties;
  if (auto it = associations_.find(item); it != associations_.end()) {
    for (size_t index : it->second) properties.push_back(properties_[index]);
  }
  return properties;
}

const HEIFItems::Property* HEIFItems::property(uint32_t item, uint32_t type) const {
  auto it = associations_.find(item);
  if (it == associations_.end()) return nullptr;
  for (size_t index : it->second) {
    if (properties_[index].type == type) return &properties_[index];
  }
  return nullptr;
}

int HEIFItems::orientation(uint32_t item) const {
  Turn turn = {1, 0, 0, 1};
  for (const Property& property : propertiesOf(item)) {
    if (property.body.empty()) continue;
    if (property.type == Tag("irot")) {
      for (int i = 0; i < (property.body[0] & 3); ++i) turn = Then(turn, {0, 1, -1, 0});
    } else if (property.type == Tag("imir")) {
      // The axis bit as libheif reads it (1: left and right change places),
      // so that a thumbnail turns the way libheif turns its image.
      turn = Then(turn, (property.body[0] & 1) ? Turn{-1, 0, 0, 1} : Turn{1, 0, 0, -1});
    }
  }
  return OrientationOf(turn);
}

bool HEIFItems::fewEnoughItems() const { return itemCount_ <= kMostItems; }

bool HEIFItems::declaredSize(uint32_t item, uint32_t& width, uint32_t& height) const {
  const Property* ispe = property(item, Tag("ispe"));
  if (!ispe) return false;
  Fields f(ispe->body);
  f.read(4);
  width = uint32_t(f.read(4));
  height = uint32_t(f.read(4));
  return f.ok() && width > 0 && height > 0;
}

std::vector<std::span<const uint8_t>> HEIFItems::dataParts(uint32_t item) const {
  std::vector<std::span<const uint8_t>> parts;
  auto it = locations_.find(item);
  if (it == locations_.end() || it->second.method > 1) return parts;
  const std::span<const uint8_t> from = it->second.method == 0 ? file_ : idat_;
  for (const Extent& e : it->second.extents) {
    // What lies outside the file is never read, by a decoder either.
    if (e.offset >= from.size()) break;
    // A length of 0 stands for the rest of the file.
    const uint64_t length = e.length ? e.length : from.size() - e.offset;
    parts.push_back(
        from.subspan(size_t(e.offset), size_t(std::min<uint64_t>(length, from.size() - e.offset))));
  }
  return parts;
}

bool HEIFItems::isAlpha(uint32_t item) const {
  const Property* auxC = property(item, Tag("auxC"));
  if (!auxC || auxC->body.size() < 4) return false;
  const std::span<const uint8_t> name = auxC->body.subspan(4);
  const std::string type(name.begin(), std::find(name.begin(), name.end(), 0));
  return type == "urn:mpeg:hevc:2015:auxid:1" ||
         type == "urn:mpeg:mpegB:cicp:systems:auxiliary:alpha";
}

std::vector<uint8_t> HEIFItems::smallData(uint32_t item, size_t most) const {
  auto it = locations_.find(item);
  if (it == locations_.end()) return {};
  const std::span<const uint8_t> from = it->second.method == 0   ? file_
                                        : it->second.method == 1 ? idat_
                                                                 : std::span<const uint8_t>();
  std::vector<uint8_t> data;
  for (const Extent& e : it->second.extents) {
    if (e.offset > from.size() || e.length > from.size() - e.offset ||
        e.length > most - data.size()) {
      return {};
    }
    data.insert(data.end(), from.begin() + ptrdiff_t(e.offset),
                from.begin() + ptrdiff_t(e.offset + e.length));
  }
  return data;
}

bool HEIFItems::declares(uint32_t item, uint32_t width, uint32_t height) const {
  uint32_t w = 0, h = 0;
  if (!declaredSize(item, w, h)) return false;
  return (w == width && h == height) || (orientation(item) >= 5 && w == height && h == width);
}

HEIFItemDecode HEIFItems::decode(uint32_t item, int depth) const {
  HEIFItemDecode decode = decodeCoded(item, depth);
  auto auxiliaries = auxiliaries_.find(item);
  if (depth > 0 || auxiliaries == auxiliaries_.end()) return decode;
  // An image's alpha is decoded with it, and costs what it costs.
  uint32_t width = decode.width, height = decode.height;
  if (!decode.known) declaredSize(item, width, height);
  for (uint32_t auxiliary : auxiliaries->second) {
    if (auxiliary == item || !isAlpha(auxiliary)) continue;
    const HEIFItemDecode alpha = decodeCoded(auxiliary, depth);
    uint32_t alphaWidth = alpha.width, alphaHeight = alpha.height;
    if (!alpha.known) declaredSize(auxiliary, alphaWidth, alphaHeight);
    decode.known = decode.known && alpha.known;
    decode.withinLimit = decode.withinLimit && alpha.withinLimit;
    // A plane of the image's own: larger than the image, it is a lie of
    // one of them.
    decode.agrees = decode.agrees && alpha.agrees && alphaWidth <= width && alphaHeight <= height;
  }
  return decode;
}

HEIFItemDecode HEIFItems::decodeCoded(uint32_t item, int depth) const {
  HEIFItemDecode decode;
  uint32_t width = 0, height = 0;
  if (!declaredSize(item, width, height)) return decode;
  decode.withinLimit = uint64_t(width) * height <= kImageMaxPixels;
  auto type = types_.find(item);
  if (type == types_.end()) return decode;
  // Every picture size a decoder will meet: in the configuration it is
  // given first, and in the item's own data after it.
  Announced announced;
  bool whole = true;
  const ItemData data(dataParts(item));
  if (type->second == Tag("hvc1")) {
    const Property* hvcC = property(item, Tag("hvcC"));
    if (!hvcC || hvcC->body.size() < 23) return decode;
    EachConfigurationUnit(hvcC->body, [&](std::span<const uint8_t> nal) {
      AnnounceHEVC(nal, announced);
      return false;
    });
    // The data's units are led by lengths of the size the configuration
    // gives; libheif reads them as 4 bytes whatever it gives. Whichever
    // way a decoder reads them, its parameter sets are among those read.
    const size_t lengthSize = (hvcC->body[21] & 3) + 1;
    whole = AnnounceNALUnits(data, lengthSize, announced) &&
            (lengthSize == 4 || AnnounceNALUnits(data, 4, announced));
  } else if (type->second == Tag("av01")) {
    const Property* av1C = property(item, Tag("av1C"));
    if (!av1C || av1C->body.size() < 4) return decode;
    whole =
        AnnounceOBUs(ItemData({av1C->body.subspan(4)}), announced) && AnnounceOBUs(data, announced);
  } else {
    // A grid's tiles are coded items; a grid of grids is not read.
    if (type->second == Tag("grid") && depth == 0) return decodeGrid(item, depth);
    return decode;
  }
  // What cannot be read may say anything: nothing tells what decoding costs.
  if (!whole || announced.unreadable) return {};
  // Nothing to decode by: as declared.
  if (announced.pictures.empty()) return decode;
  decode.known = true;
  decode.width = announced.pictures.front().width;
  decode.height = announced.pictures.front().height;
  // Judged by what is coded, not by what the item declares; by the coded
  // size, as a window may hide the picture's cost.
  decode.withinLimit = decode.agrees = true;
  for (const HEVCPictureSize& picture : announced.pictures) {
    decode.withinLimit =
        decode.withinLimit && uint64_t(picture.codedWidth) * picture.codedHeight <= kImageMaxPixels;
    decode.agrees = decode.agrees && declares(item, picture.width, picture.height) &&
                    picture.codedWidth < picture.width + kCodingPadding &&
                    picture.codedHeight < picture.height + kCodingPadding;
  }
  return decode;
}

HEIFItemDecode HEIFItems::decodeGrid(uint32_t item, int depth) const {
  HEIFItemDecode decode;
  uint32_t width = 0, height = 0;
  declaredSize(item, width, height);
  decode.withinLimit = uint64_t(width) * height <= kImageMaxPixels;
  // version, flags (1: 32-bit sizes), rows - 1, columns - 1, output size.
  const std::vector<uint8_t> description = smallData(item, 16);
  Fields f(description);
  f.read(1);
  const bool wide = f.read(1) & 1;
  const uint32_t rows = uint32_t(f.read(1)) + 1, columns = uint32_t(f.read(1)) + 1;
  decode.width = uint32_t(f.read(wide ? 4 : 2));
  decode.height = uint32_t(f.read(wide ? 4 : 2));
  auto tiles = derivedFrom_.find(item);
  if (!f.ok() || tiles == derivedFrom_.end() || tiles->second.size() != size_t(rows) * columns) {
    return {.withinLimit = decode.withinLimit};
  }
  // However small its tiles, past the bound a grid costs more time than
  // any photo's.
  if (uint64_t(rows) * columns > kMostGridTiles) return {};
  decode.known = true;
  decode.agrees = declares(item, decode.width, decode.height);
  decode.withinLimit =
      decode.withinLimit && uint64_t(decode.width) * decode.height <= kImageMaxPixels;
  uint32_t tileWidth = 0, tileHeight = 0;
  for (uint32_t tile : tiles->second) {
    const HEIFItemDecode each = this->decode(tile, depth + 1);
    decode.known = decode.known && each.known;
    decode.withinLimit = decode.withinLimit && each.withinLimit;
    // Tiles are pasted as they decode: all of one size.
    decode.agrees = decode.agrees && each.agrees &&
                    (tileWidth == 0 || (each.width == tileWidth && each.height == tileHeight));
    tileWidth = each.width;
    tileHeight = each.height;
  }
  decode.agrees = decode.known && decode.agrees && TilesLayOut(columns, tileWidth, decode.width) &&
                  TilesLayOut(rows, tileHeight, decode.height);
  return decode;
}

bool HEIFItems::gridLayout(uint32_t item, HEIFGridLayout& out) const {
  auto type = types_.find(item);
  if (type == types_.end() || type->second != Tag("grid")) return false;
  // version, flags (1: 32-bit sizes), rows - 1, columns - 1, output size.
  const std::vector<uint8_t> description = smallData(item, 16);
  Fields f(description);
  f.read(1);
  const bool wide = f.read(1) & 1;
  HEIFGridLayout layout;
  layout.rows = uint32_t(f.read(1)) + 1;
  layout.columns = uint32_t(f.read(1)) + 1;
  layout.width = uint32_t(f.read(wide ? 4 : 2));
  layout.height = uint32_t(f.read(wide ? 4 : 2));
  auto tiles = derivedFrom_.find(item);
  if (!f.ok() || layout.width == 0 || layout.height == 0 || tiles == derivedFrom_.end() ||
      tiles->second.size() != size_t(layout.rows) * layout.columns) {
    return false;
  }
  layout.tiles = tiles->second;
  out = std::move(layout);
  return true;
}

bool HEIFItems::hasProperty(uint32_t item, const char (&type)[5]) const {
  return property(item, Tag(type)) != nullptr;
}

namespace {

void Put16(std::vector<uint8_t>& b, uint32_t v) { b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)}); }

void Put32(std::vector<uint8_t>& b, uint32_t v) {
  b.insert(b.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
}

void PutTag(std::vector<uint8_t>& b, uint32_t tag) { Put32(b, tag); }

void Append(std::vector<uint8_t>& b, std::span<const uint8_t> more) {
  b.insert(b.end(), more.begin(), more.end());
}

std::vector<uint8_t> MakeBox(uint32_t type, std::span<const uint8_t> body) {
  std::vector<uint8_t> box;
  box.reserve(body.size() + 8);
  Put32(box, uint32_t(body.size() + 8));
  PutTag(box, type);
  Append(box, body);
  return box;
}

std::vector<uint8_t> MakeFullBox(uint32_t type, uint32_t versionAndFlags,
                                 std::span<const uint8_t> body) {
  std::vector<uint8_t> b;
  Put32(b, versionAndFlags);
  Append(b, body);
  return MakeBox(type, b);
}

}  // namespace

std::vector<uint8_t> HEIFItems::standaloneFile(uint32_t item) const {
  auto type = types_.find(item);
  if (type == types_.end() || (type->second != Tag("hvc1") && type->second != Tag("av01"))) {
    return {};
  }
  const uint32_t brand = type->second == Tag("hvc1") ? Tag("heic") : Tag("avif");
  const std::vector<uint8_t> data = smallData(item, file_.size());
  if (data.empty() || data.size() > UINT32_MAX / 2) return {};
  // What the decode reads of the item's properties; its turns and crops
  // are its image's business, not its picture's.
  std::vector<uint8_t> ipco, associations;
  uint8_t index = 0;
  for (const Property& p : propertiesOf(item)) {
    const bool configuration = p.type == Tag("hvcC") || p.type == Tag("av1C");
    if (!configuration && p.type != Tag("ispe") && p.type != Tag("colr") &&
        p.type != Tag("pixi")) {
      continue;
    }
    if (++index > 127) return {};
    Append(ipco, MakeBox(p.type, p.body));
    associations.push_back(uint8_t((configuration ? 0x80 : 0) | index));
  }
  std::vector<uint8_t> ftyp;
  PutTag(ftyp, brand);
  Put32(ftyp, 0);
  PutTag(ftyp, Tag("mif1"));
  PutTag(ftyp, brand);
  ftyp = MakeBox(Tag("ftyp"), ftyp);
  std::vector<uint8_t> hdlr(4, 0);
  PutTag(hdlr, Tag("pict"));
  hdlr.insert(hdlr.end(), 13, 0);
  std::vector<uint8_t> pitm, infe, iinf, ipma;
  Put16(pitm, 1);
  Put16(infe, 1);  // its id
  Put16(infe, 0);  // protection
  PutTag(infe, type->second);
  infe.push_back(0);  // no name
  Put16(iinf, 1);
  Append(iinf, MakeFullBox(Tag("infe"), 2u << 24, infe));
  Put32(ipma, 1);
  Put16(ipma, 1);
  ipma.push_back(uint8_t(associations.size()));
  Append(ipma, associations);
  std::vector<uint8_t> iprp = MakeBox(Tag("ipco"), ipco);
  Append(iprp, MakeFullBox(Tag("ipma"), 0, ipma));
  // The data follows the meta box, whose size does not depend on where.
  auto meta = [&](uint32_t offset) {
    std::vector<uint8_t> iloc = {0x44, 0x00};  // 4-byte offsets and lengths, no base
    Put16(iloc, 1);
    Put16(iloc, 1);  // the item
    Put16(iloc, 0);  // in this file
    Put16(iloc, 1);  // one extent
    Put32(iloc, offset);
    Put32(iloc, uint32_t(data.size()));
    std::vector<uint8_t> body;
    for (const std::vector<uint8_t>& box :
         {MakeFullBox(Tag("hdlr"), 0, hdlr), MakeFullBox(Tag("pitm"), 0, pitm),
          MakeFullBox(Tag("iloc"), 0, iloc), MakeFullBox(Tag("iinf"), 0, iinf),
          MakeBox(Tag("iprp"), iprp)}) {
      Append(body, box);
    }
    return MakeFullBox(Tag("meta"), 0, body);
  };
  const size_t metaSize = meta(0).size();
  std::vector<uint8_t> file = ftyp;
  file.reserve(ftyp.size() + metaSize + 8 + data.size());
  Append(file, meta(uint32_t(ftyp.size() + metaSize + 8)));
  Put32(file, uint32_t(data.size() + 8));
  PutTag(file, Tag("mdat"));
  Append(file, data);
  return file;
}
