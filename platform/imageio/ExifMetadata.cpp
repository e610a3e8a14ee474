#include "platform/imageio/ExifMetadata.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <set>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"
#include "platform/imageio/ImageDecoder.h"
#include "platform/imageio/ImageIOProperties.h"

namespace {

enum Dir { kTIFF, kExif, kGPS };
enum Type : uint16_t {
  kByte = 1,
  kAscii = 2,
  kShort = 3,
  kLong = 4,
  kRational = 5,
  kUndefined = 7,
  kSLong = 9,
  kSRational = 10
};
enum class Kind { Plain, Version, Degrees, Time, GPSVersion };

struct TagInfo {
  Dir dir;
  uint16_t tag;
  uint16_t type;
  std::string_view key;
  Kind kind = Kind::Plain;
};

constexpr uint16_t kExifPointer = 0x8769, kGPSPointer = 0x8825, kOrientationTag = 0x112;
constexpr uint16_t kThumbOffsetTag = 0x201, kThumbLengthTag = 0x202;

constexpr TagInfo kTags[] = {
    {kTIFF, 0x010E, kAscii, "ImageDescription"},
    {kTIFF, 0x010F, kAscii, "Make"},
    {kTIFF, 0x0110, kAscii, "Model"},
    {kTIFF, 0x0112, kShort, "Orientation"},
    {kTIFF, 0x011A, kRational, "XResolution"},
    {kTIFF, 0x011B, kRational, "YResolution"},
    {kTIFF, 0x0128, kShort, "ResolutionUnit"},
    {kTIFF, 0x0131, kAscii, "Software"},
    {kTIFF, 0x0132, kAscii, "DateTime"},
    {kTIFF, 0x013B, kAscii, "Artist"},
    {kTIFF, 0x013C, kAscii, "HostComputer"},
    {kTIFF, 0x8298, kAscii, "Copyright"},
    {kExif, 0x829A, kRational, "ExposureTime"},
    {kExif, 0x829D, kRational, "FNumber"},
    {kExif, 0x8822, kShort, "ExposureProgram"},
    {kExif, 0x8827, kShort, "ISOSpeedRatings"},
    {kExif, 0x9000, kUndefined, "ExifVersion", Kind::Version},
    {kExif, 0x9003, kAscii, "DateTimeOriginal"},
    {kExif, 0x9004, kAscii, "DateTimeDigitized"},
    {kExif, 0x9010, kAscii, "OffsetTime"},
    {kExif, 0x9011, kAscii, "OffsetTimeOriginal"},
    {kExif, 0x9012, kAscii, "OffsetTimeDigitized"},
    {kExif, 0x9201, kSRational, "ShutterSpeedValue"},
    {kExif, 0x9202, kRational, "ApertureValue"},
    {kExif, 0x9203, kSRational, "BrightnessValue"},
    {kExif, 0x9204, kSRational, "ExposureBiasValue"},
    {kExif, 0x9205, kRational, "MaxApertureValue"},
    {kExif, 0x9207, kShort, "MeteringMode"},
    {kExif, 0x9209, kShort, "Flash"},
    {kExif, 0x920A, kRational, "FocalLength"},
    {kExif, 0x9214, kShort, "SubjectArea"},
    {kExif, 0x9290, kAscii, "SubsecTime"},
    {kExif, 0x9291, kAscii, "SubsecTimeOriginal"},
    {kExif, 0x9292, kAscii, "SubsecTimeDigitized"},
    {kExif, 0xA000, kUndefined, "FlashPixVersion", Kind::Version},
    {kExif, 0xA001, kShort, "ColorSpace"},
    {kExif, 0xA002, kLong, "PixelXDimension"},
    {kExif, 0xA003, kLong, "PixelYDimension"},
    {kExif, 0xA217, kShort, "SensingMethod"},
    {kExif, 0xA402, kShort, "ExposureMode"},
    {kExif, 0xA403, kShort, "WhiteBalance"},
    {kExif, 0xA404, kRational, "DigitalZoomRatio"},
    {kExif, 0xA405, kShort, "FocalLenIn35mmFilm"},
    {kExif, 0xA406, kShort, "SceneCaptureType"},
    {kExif, 0xA432, kRational, "LensSpecification"},
    {kExif, 0xA433, kAscii, "LensMake"},
    {kExif, 0xA434, kAscii, "LensModel"},
    {kGPS, 0x0000, kByte, "GPSVersion", Kind::GPSVersion},
    {kGPS, 0x0001, kAscii, "LatitudeRef"},
    {kGPS, 0x0002, kRational, "Latitude", Kind::Degrees},
    {kGPS, 0x0003, kAscii, "LongitudeRef"},
    {kGPS, 0x0004, kRational, "Longitude", Kind::Degrees},
    {kGPS, 0x0005, kByte, "AltitudeRef"},
    {kGPS, 0x0006, kRational, "Altitude"},
    {kGPS, 0x0007, kRational, "TimeStamp", Kind::Time},
    {kGPS, 0x000C, kAscii, "SpeedRef"},
    {kGPS, 0x000D, kRational, "Speed"},
    {kGPS, 0x000E, kAscii, "TrackRef"},
    {kGPS, 0x000F, kRational, "Track"},
    {kGPS, 0x0010, kAscii, "ImgDirectionRef"},
    {kGPS, 0x0011, kRational, "ImgDirection"},
    {kGPS, 0x0017, kAscii, "DestBearingRef"},
    {kGPS, 0x0018, kRational, "DestBearing"},
    {kGPS, 0x001D, kAscii, "DateStamp"},
    {kGPS, 0x001F, kRational, "HPositioningError"},
};

const TagInfo* FindTag(Dir dir, uint16_t tag) {
  for (const auto& t : kTags) {
    if (t.dir == dir && t.tag == tag) return &t;
  }
  return nullptr;
}

size_t TypeSize(uint16_t type) {
  switch (type) {
    case kByte:
    case kAscii:
    case kUndefined:
    case 6:
      return 1;
    case kShort:
    case 8:
      return 2;
    case kLong:
    case kSLong:
    case 11:
      return 4;
    case kRational:
    case kSRational:
    case 12:
      return 8;
    default:
      return 0;
  }
}

class Reader {
 public:
  Reader(const uint8_t* p, size_t n, bool little) : p_(p), n_(n), little_(little) {}
  bool has(size_t off, size_t len) const { return off <= n_ && len <= n_ - off; }
  uint16_t u16(size_t off) const { return little_ ? ReadLE16(p_ + off) : ReadBE16(p_ + off); }
  uint32_t u32(size_t off) const { return little_ ? ReadLE32(p_ + off) : ReadBE32(p_ + off); }
  const uint8_t* at(size_t off) const { return p_ + off; }

 private:
  const uint8_t* p_;
  size_t n_;
  bool little_;
};

double Rational(const Reader& r, size_t off, bool isSigned) {
  const uint32_t num = r.u32(off), den = r.u32(off + 4);
  if (den == 0) return 0;
  return isSigned ? double(int32_t(num)) / double(int32_t(den)) : double(num) / double(den);
}

int64_t Integer(const Reader& r, size_t off, uint16_t type) {
  switch (type) {
    case kByte:
    case kUndefined:
      return *r.at(off);
    case kShort:
      return r.u16(off);
    case kSLong:
      return int32_t(r.u32(off));
    default:
      return r.u32(off);
  }
}

std::string FormatSeconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%09.6f", s);
  std::string out(buf);
  while (out.back() == '0') out.pop_back();
  if (out.back() == '.') out.pop_back();
  return out;
}

Value ReadValue(const Reader& r, size_t off, uint16_t type, uint32_t count, const TagInfo& info) {
  const size_t size = TypeSize(type);
  if (type == kAscii) {
    std::string s(reinterpret_cast<const char*>(r.at(off)), count);
    while (!s.empty() && s.back() == '\0') s.pop_back();
    return Value(s.substr(0, s.find('\0')));
  }
  if (info.kind == Kind::Version) {
    ValueList digits;
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t c = *r.at(off + i);
      if (c >= '0' && c <= '9' && !(digits.empty() && c == '0'))
        digits.push_back(Value::integer(c - '0'));
    }
    return Value(std::move(digits));
  }
  if (type == kRational || type == kSRational) {
    std::vector<double> v;
    for (uint32_t i = 0; i < count; ++i)
      v.push_back(Rational(r, off + i * size, type == kSRational));
    if (info.kind == Kind::Degrees && count == 3) return Value(v[0] + v[1] / 60 + v[2] / 3600);
    if (info.kind == Kind::Time && count == 3) {
      // Rationals of 32-bit terms always fit a 64-bit integer; an int does
      // not hold every hour or minute a damaged file can claim.
      char buf[48];
      std::snprintf(buf, sizeof buf, "%02lld:%02lld:", static_cast<long long>(v[0]),
                    static_cast<long long>(v[1]));
      return Value(std::string(buf) + FormatSeconds(v[2]));
    }
    if (count == 1) return Value(v[0]);
    ValueList l;
    for (double d : v) l.push_back(Value(d));
    return Value(std::move(l));
  }
  if (count == 1 && info.kind != Kind::GPSVersion) return Value::integer(Integer(r, off, type));
  ValueList l;
  for (uint32_t i = 0; i < count; ++i)
    l.push_back(Value::integer(Integer(r, off + i * size, type)));
  return Value(std::move(l));
}

struct ParseState {
  const Reader& r;
  ExifData& out;
  std::set<uint32_t> visited;
};

bool ReadDirectory(ParseState& s, uint32_t offset, Dir dir, int depth, uint32_t* next);

bool ReadEntry(ParseState& s, size_t e, Dir dir, int depth) {
  const Reader& r = s.r;
  const uint16_t tag = r.u16(e), type = r.u16(e + 2);
  const uint32_t count = r.u32(e + 4);
  const size_t size = TypeSize(type);
  if (size == 0 || count == 0 || count > (1u << 20)) return true;  // unknown kinds are skipped
  const size_t total = size * count;
  const size_t valueOff = total <= 4 ? e + 8 : r.u32(e + 8);
  if (!r.has(valueOff, total)) return false;
  if (dir == kTIFF && (tag == kExifPointer || tag == kGPSPointer) && depth == 0) {
    return ReadDirectory(s, r.u32(e + 8), tag == kExifPointer ? kExif : kGPS, depth + 1, nullptr);
  }
  if (dir == kTIFF && depth == -1) {  // the thumbnail directory
    if (tag == kThumbOffsetTag) s.out.thumbnailOffset = r.u32(valueOff);
    if (tag == kThumbLengthTag) s.out.thumbnailLength = r.u32(valueOff);
    return true;
  }
  const TagInfo* info = FindTag(dir, tag);
  if (!info) return true;
  Value v = ReadValue(r, valueOff, type, count, *info);
  if (dir == kTIFF && tag == kOrientationTag && v.isInteger()) s.out.orientation = int(v.asInt64());
  ValueMap& target = dir == kTIFF ? s.out.tiff : dir == kExif ? s.out.exif : s.out.gps;
  ValueMapSet(target, Value(info->key), std::move(v));
  return true;
}

bool ReadDirectory(ParseState& s, uint32_t offset, Dir dir, int depth, uint32_t* next) {
  const Reader& r = s.r;
  if (!s.visited.insert(offset).second || !r.has(offset, 2)) return false;
  const uint16_t n = r.u16(offset);
  if (n > 1000 || !r.has(offset + 2, size_t(n) * 12 + 4)) return false;
  for (uint16_t i = 0; i < n; ++i) {
    if (!ReadEntry(s, offset + 2 + size_t(i) * 12, dir, depth)) return false;
  }
  if (next) *next = r.u32(offset + 2 + size_t(n) * 12);
  return true;
}

// ---- Writing ----

void PutBE16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}

void PutBE32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

// Nearest fraction with 32-bit terms (continued fractions).
void PutRational(Bytes& b, double v, bool isSigned) {
  const bool negative = v < 0;
  double x = std::fabs(v);
  const double limit = isSigned ? 2147483647.0 : 4294967295.0;
  if (!std::isfinite(x) || x > limit) x = 0;
  uint64_t h0 = 0, h1 = 1, k0 = 1, k1 = 0;
  if (x == std::floor(x)) {
    // What the expansion below ends on at its first step.
    h1 = uint64_t(x);
    k1 = 1;
  } else {
    double f = x;
    for (int i = 0; i < 32; ++i) {
      const double a = std::floor(f);
      const uint64_t h2 = uint64_t(a) * h1 + h0, k2 = uint64_t(a) * k1 + k0;
      if (h2 > limit || k2 > limit) break;
      h0 = h1;
      h1 = h2;
      k0 = k1;
      k1 = k2;
      if (std::fabs(double(h1) / double(k1) - x) < 1e-12 || f - a < 1e-12) break;
      f = 1.0 / (f - a);
    }
    if (k1 == 0) {
      h1 = 0;
      k1 = 1;
    }
  }
  int64_t num = negative ? -int64_t(h1) : int64_t(h1);
  AppendBE32(b, uint32_t(num));
  AppendBE32(b, uint32_t(k1));
}

// A caller's number as an unsigned field: truncated, held to [0, max], NaN 0.
uint32_t ClampedUnsigned(double d, uint32_t max) {
  if (!(d > 0)) return 0;
  return d >= double(max) ? max : uint32_t(d);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads digits from `p` (at most `maxDigits` of them) into `value`; the
// number of digits read.
size_t ReadDigits(const char* p, const char* end, size_t maxDigits, uint64_t& value) {
  size_t n = 0;
  value = 0;
  while (p + n < end && IsDigit(p[n]) && n < maxDigits) value = value * 10 + uint64_t(p[n++] - '0');
  return n;
}

// "h:m" or "h:m:s[.fff]" in plain digits, read exactly as the general parser
// below reads it: at most 15 digits of seconds are exact in a double, and
// one division by an exact power of ten then rounds as the full conversion
// does. False for anything else, which goes to the general parser.
bool ReadPlainTime(std::string_view s, double out[3]) {
  static constexpr double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  const char* p = s.data();
  const char* end = p + s.size();
  uint64_t h = 0, m = 0, whole = 0, frac = 0;
  size_t n = ReadDigits(p, end, 9, h);
  if (n == 0 || p + n == end || p[n] != ':') return false;
  p += n + 1;
  n = ReadDigits(p, end, 9, m);
  if (n == 0) return false;
  p += n;
  out[0] = double(h);
  out[1] = double(m);
  out[2] = 0;
  if (p == end) return true;
  if (*p != ':') return false;
  ++p;
  const size_t wholeDigits = ReadDigits(p, end, 15, whole);
  if (wholeDigits == 0) return false;
  p += wholeDigits;
  size_t fracDigits = 0;
  if (p < end && *p == '.') {
    ++p;
    fracDigits = ReadDigits(p, end, 15 - wholeDigits, frac);
    p += fracDigits;
  }
  if (p != end) return false;
  out[2] = double(whole * uint64_t(kPowers[fracDigits]) + frac) / kPowers[fracDigits];
  return true;
}

// One piece of a dotted version: plain digits are read directly.
double VersionPiece(std::string_view piece) {
  uint64_t v = 0;
  if (ReadDigits(piece.data(), piece.data() + piece.size(), 15, v) == piece.size())
    return double(v);
  return std::atof(std::string(piece).c_str());
}

// The numbers of a value: the value itself, or the numbers of a list.
template <class F>
void ForEachNumber(const Value& v, F&& f) {
  if (v.isNumber() || v.isBool()) f(v.asDouble());
  if (v.isList()) {
    for (const Value& e : v.asList()) {
      if (e.isNumber()) f(e.asDouble());
    }
  }
}

// Appends a tag's bytes to `d`; false, with `d` as it was, when the value
// does not suit the tag.
bool Encode(const TagInfo& info, const Value& v, Bytes& d, uint32_t& count) {
  if (info.type == kAscii) {
    if (!v.isString()) return false;
    const std::string& s = v.asString();
    d.insert(d.end(), s.begin(), s.end());
    d.push_back(0);
    count = uint32_t(s.size() + 1);
    return true;
  }
  if (info.kind == Kind::Version) {
    // The first four characters of the digits, padded on the left with
    // zeros to four: a string's own, or one digit per number.
    char digits[4];
    size_t n = 0;
    if (v.isString()) {
      for (char c : v.asString()) {
        if (n < 4) digits[n] = c;
        ++n;
      }
    } else {
      ForEachNumber(v, [&](double x) {
        if (n < 4) digits[n] = char('0' + ClampedUnsigned(x, 0xFFFFFFFF) % 10);
        ++n;
      });
    }
    const size_t pad = n < 4 ? 4 - n : 0;
    d.insert(d.end(), pad, uint8_t('0'));
    d.insert(d.end(), digits, digits + (4 - pad));
    count = 4;
    return true;
  }
  switch (info.type) {
    case kByte:
    case kShort:
    case kLong:
    case kRational:
    case kSRational:
      break;
    default:
      return false;
  }
  count = 0;
  auto put = [&](double x) {
    ++count;
    switch (info.type) {
      case kByte:
        d.push_back(uint8_t(ClampedUnsigned(x, 0xFF)));
        break;
      case kShort:
        AppendBE16(d, ClampedUnsigned(x, 0xFFFF));
        break;
      case kLong:
        AppendBE32(d, ClampedUnsigned(x, 0xFFFFFFFF));
        break;
      case kRational:
        PutRational(d, x, false);
        break;
      default:
        PutRational(d, x, true);
        break;
    }
  };
  if (info.kind == Kind::GPSVersion && v.isString()) {
    const std::string_view s = v.asString();
    for (size_t start = 0; start <= s.size();) {
      const size_t dot = s.find('.', start);
      put(VersionPiece(s.substr(start, dot == std::string_view::npos ? dot : dot - start)));
      if (dot == std::string_view::npos) break;
      start = dot + 1;
    }
  } else if (info.kind == Kind::Time && v.isString()) {
    double hms[3];
    if (!ReadPlainTime(v.asString(), hms)) {
      int h = 0, m = 0;
      double sec = 0;
      if (std::sscanf(v.asString().c_str(), "%d:%d:%lf", &h, &m, &sec) < 2) return false;
      hms[0] = h;
      hms[1] = m;
      hms[2] = sec;
    }
    for (double x : hms) put(x);
  } else if (info.kind == Kind::Degrees && v.isNumber()) {
    double deg = std::fabs(v.asDouble());
    double whole = std::floor(deg), minutes = std::floor((deg - whole) * 60);
    double seconds = ((deg - whole) * 60 - minutes) * 60;
    put(whole);
    put(minutes);
    put(std::round(seconds * 1e4) / 1e4);
  } else {
    ForEachNumber(v, put);
  }
  return count > 0;
}

const ValueMap* Dict(const ValueMap& props, const char* key) {
  const Value* v = ValueMapFind(props, key);
  return v && v->isMap() ? &v->asMap() : nullptr;
}

// A directory's tags are one run of the table.
struct TagRange {
  size_t first = 0, count = 0;
};

constexpr TagRange TagsOf(Dir dir) {
  TagRange r;
  for (size_t i = 0; i < std::size(kTags); ++i) {
    if (kTags[i].dir != dir) continue;
    if (r.count == 0) r.first = i;
    if (i != r.first + r.count) return {};  // not one run
    ++r.count;
  }
  return r;
}

constexpr TagRange kTagRanges[] = {TagsOf(kTIFF), TagsOf(kExif), TagsOf(kGPS)};

// Points each of a directory's tags at its value in `map`. The first entry
// of a key counts unless `last`, where a later one replaces it.
void FindValues(const ValueMap& map, TagRange range, bool last, const Value* slots[]) {
  for (const auto& [k, v] : map) {
    if (!k.isString()) continue;
    const std::string_view key = k.asString();
    for (size_t i = 0; i < range.count; ++i) {
      if (kTags[range.first + i].key == key) {
        if (last || !slots[i]) slots[i] = &v;
        break;
      }
    }
  }
}

}  // namespace

// Room for every known tag of a directory, the orientation and the two pointers.
static_assert(kTagRanges[kTIFF].count > 0 && kTagRanges[kTIFF].count + 3 <= 40 &&
              kTagRanges[kExif].count > 0 && kTagRanges[kExif].count + 3 <= 40 &&
              kTagRanges[kGPS].count > 0 && kTagRanges[kGPS].count + 3 <= 40);

size_t ExifBlockWriter::Directory::size() const {
  size_t size = 2 + count * 12 + 4;
  for (size_t i = 0; i < count; ++i) {
    if (fields[i].length > 4) size += (fields[i].length + 1) & ~size_t(1);
  }
  return size;
}

void ExifBlockWriter::Directory::insertSorted(const Field& f) {
  size_t i = 0;
  while (i < count && fields[i].tag < f.tag) ++i;
  if (i < count && fields[i].tag == f.tag) {
    fields[i] = f;
    return;
  }
  for (size_t j = count; j > i; --j) fields[j] = fields[j - 1];
  fields[i] = f;
  ++count;
}

ExifBlockWriter::Field ExifBlockWriter::addValue(uint16_t tag, uint16_t type, uint32_t count,
                                                 uint32_t length) {
  const Field f{tag, type, count, uint32_t(values_.size()), length};
  values_.resize(values_.size() + length);
  return f;
}

void ExifBlockWriter::encode(const ValueMap* file, const ValueMap* given, int dir, Directory& out) {
  const TagRange range = kTagRanges[dir];
  const Value* slots[40] = {};
  bool any = false;
  for (const auto& [map, last] : {std::pair{file, false}, std::pair{given, true}}) {
    if (map && !map->empty()) {
      FindValues(*map, range, last, slots);
      any = true;
    }
  }
  if (!any) return;
  for (size_t i = 0; i < range.count; ++i) {
    if (!slots[i]) continue;
    const TagInfo& info = kTags[range.first + i];
    const size_t at = values_.size();
    uint32_t count = 0;
    if (!Encode(info, *slots[i], values_, count)) {
      values_.resize(at);
      continue;
    }
    out.fields[out.count++] =
        Field{info.tag, info.type, count, uint32_t(at), uint32_t(values_.size() - at)};
  }
}

ExifBlockWriter::ExifBlockWriter(Layers tiff, Layers exif, Layers gps, int orientation,
                                 const uint8_t* thumbnail, size_t thumbnailSize)
    : thumbnail_(thumbnailSize ? thumbnail : nullptr),
      thumbnailSize_(thumbnail_ ? thumbnailSize : 0) {
  values_.reserve(256);
  encode(tiff.file, tiff.given, kTIFF, ifd0_);
  encode(exif.file, exif.given, kExif, exif_);
  encode(gps.file, gps.given, kGPS, gps_);
  if (orientation >= 1 && orientation <= 8) {
    const Field f = addValue(kOrientationTag, kShort, 1, 2);
    PutBE16(&values_[f.at], uint32_t(orientation));
    ifd0_.insertSorted(f);
  }
  if (ifd0_.count == 0 && exif_.count == 0 && gps_.count == 0 && thumbnailSize_ == 0) return;
  // The pointers take their place first, so the first directory's size is known.
  const Field exifPointer = addValue(kExifPointer, kLong, 1, 4);
  const Field gpsPointer = addValue(kGPSPointer, kLong, 1, 4);
  if (exif_.count) ifd0_.insertSorted(exifPointer);
  if (gps_.count) ifd0_.insertSorted(gpsPointer);
  exifOffset_ = 8 + uint32_t(ifd0_.size());
  gpsOffset_ = exifOffset_ + (exif_.count ? uint32_t(exif_.size()) : 0);
  ifd1Offset_ = gpsOffset_ + (gps_.count ? uint32_t(gps_.size()) : 0);
  PutBE32(&values_[exifPointer.at], exifOffset_);
  PutBE32(&values_[gpsPointer.at], gpsOffset_);
  size_ = ifd1Offset_;
  if (thumbnailSize_) {
    const Field compression = addValue(0x103, kShort, 1, 2);
    PutBE16(&values_[compression.at], 6);
    const Field offset = addValue(kThumbOffsetTag, kLong, 1, 4);
    const Field length = addValue(kThumbLengthTag, kLong, 1, 4);
    ifd1_.fields[0] = compression;
    ifd1_.fields[1] = offset;
    ifd1_.fields[2] = length;
    ifd1_.count = 3;
    PutBE32(&values_[offset.at], ifd1Offset_ + uint32_t(ifd1_.size()));
    PutBE32(&values_[length.at], uint32_t(thumbnailSize_));
    size_ += ifd1_.size() + thumbnailSize_;
  }
}

void ExifBlockWriter::write(uint8_t* block, uint32_t offset, const Directory& d,
                            uint32_t next) const {
  uint8_t* p = block + offset;
  uint32_t dataOffset = offset + uint32_t(2 + d.count * 12 + 4);
  PutBE16(p, uint32_t(d.count));
  p += 2;
  for (size_t i = 0; i < d.count; ++i, p += 12) {
    const Field& f = d.fields[i];
    PutBE16(p, f.tag);
    PutBE16(p + 2, f.type);
    PutBE32(p + 4, f.count);
    const uint8_t* value = values_.data() + f.at;
    if (f.length <= 4) {
      std::memcpy(p + 8, value, f.length);  // the rest of the four stays zero
    } else {
      PutBE32(p + 8, dataOffset);
      std::memcpy(block + dataOffset, value, f.length);
      dataOffset += (f.length + 1) & ~uint32_t(1);
    }
  }
  PutBE32(p, next);
}

void ExifBlockWriter::appendTo(Bytes& out) const {
  if (size_ == 0) return;
  const size_t start = out.size();
  out.resize(start + size_);  // zeros: the padding of short and odd-sized values
  uint8_t* block = out.data() + start;
  block[0] = block[1] = 'M';
  PutBE16(block + 2, 42);
  PutBE32(block + 4, 8);
  write(block, 8, ifd0_, thumbnailSize_ ? ifd1Offset_ : 0);
  if (exif_.count) write(block, exifOffset_, exif_, 0);
  if (gps_.count) write(block, gpsOffset_, gps_, 0);
  if (thumbnailSize_) {
    write(block, ifd1Offset_, ifd1_, 0);
    std::memcpy(block + ifd1Offset_ + ifd1_.size(), thumbnail_, thumbnailSize_);
  }
}

bool ExifParse(const uint8_t* block, size_t size, ExifData& out) {
  if (size < 8) return false;
  const bool little = block[0] == 'I' && block[1] == 'I';
  if (!little && !(block[0] == 'M' && block[1] == 'M')) return false;
  Reader r(block, size, little);
  if (r.u16(2) != 42) return false;
  ParseState s{r, out, {}};
  uint32_t next = 0;
  if (!ReadDirectory(s, r.u32(4), kTIFF, 0, &next)) return false;
  if (next != 0) ReadDirectory(s, next, kTIFF, -1, nullptr);
  if (out.thumbnailLength == 0 || !r.has(out.thumbnailOffset, out.thumbnailLength)) {
    out.thumbnailOffset = out.thumbnailLength = 0;
  }
  return true;
}

Bytes ExifWrite(const ValueMap& properties, int orientation, const Bytes& thumbnailJPEG) {
  const ExifBlockWriter writer({Dict(properties, kCGImagePropertyTIFFDictionary)},
                               {Dict(properties, kCGImagePropertyExifDictionary)},
                               {Dict(properties, kCGImagePropertyGPSDictionary)}, orientation,
                               thumbnailJPEG.data(), thumbnailJPEG.size());
  Bytes out;
  out.reserve(writer.size());
  writer.appendTo(out);
  return out;
}

void ExifMergeInto(const ExifData& exif, ValueMap& properties) {
  if (!exif.tiff.empty()) ValueMapSet(properties, kCGImagePropertyTIFFDictionary, Value(exif.tiff));
  if (!exif.exif.empty()) ValueMapSet(properties, kCGImagePropertyExifDictionary, Value(exif.exif));
  if (!exif.gps.empty()) ValueMapSet(properties, kCGImagePropertyGPSDictionary, Value(exif.gps));
  if (exif.orientation >= 1 && exif.orientation <= 8) {
    ValueMapSet(properties, kCGImagePropertyOrientation, Value::integer(exif.orientation));
  }
}
