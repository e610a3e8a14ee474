#include "platform/imageio/ExifMetadata.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

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
  const char* key;
  Kind kind = Kind::Plain;
};

constexpr uint16_t kExifPointer = 0x8769, kGPSPointer = 0x8825, kOrientationTag = 0x112;
constexpr uint16_t kThumbOffsetTag = 0x201, kThumbLengthTag = 0x202;

const TagInfo kTags[] = {
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

struct Entry {
  uint16_t tag;
  uint16_t type;
  uint32_t count;
  Bytes data;  // big-endian
};

// Nearest fraction with 32-bit terms (continued fractions).
void PutRational(Bytes& b, double v, bool isSigned) {
  const bool negative = v < 0;
  double x = std::fabs(v);
  const double limit = isSigned ? 2147483647.0 : 4294967295.0;
  if (!std::isfinite(x) || x > limit) x = 0;
  uint64_t h0 = 0, h1 = 1, k0 = 1, k1 = 0;
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
  int64_t num = negative ? -int64_t(h1) : int64_t(h1);
  AppendBE32(b, uint32_t(num));
  AppendBE32(b, uint32_t(k1));
}

// A caller's number as an unsigned field: truncated, held to [0, max], NaN 0.
uint32_t ClampedUnsigned(double d, uint32_t max) {
  if (!(d > 0)) return 0;
  return d >= double(max) ? max : uint32_t(d);
}

std::vector<double> Numbers(const Value& v) {
  std::vector<double> out;
  if (v.isNumber() || v.isBool()) out.push_back(v.asDouble());
  if (v.isList()) {
    for (const Value& e : v.asList()) {
      if (e.isNumber()) out.push_back(e.asDouble());
    }
  }
  return out;
}

bool Encode(const TagInfo& info, const Value& v, Entry& e) {
  e.tag = info.tag;
  e.type = info.type;
  if (info.type == kAscii) {
    if (!v.isString()) return false;
    e.data.assign(v.asString().begin(), v.asString().end());
    e.data.push_back(0);
    e.count = uint32_t(e.data.size());
    return true;
  }
  if (info.kind == Kind::Version) {
    std::string digits;
    if (v.isString()) digits = v.asString();
    for (double d : v.isString() ? std::vector<double>{} : Numbers(v))
      digits += char('0' + ClampedUnsigned(d, 0xFFFFFFFF) % 10);
    while (digits.size() < 4) digits.insert(digits.begin(), '0');
    e.data.assign(digits.begin(), digits.begin() + 4);
    e.count = 4;
    return true;
  }
  std::vector<double> n;
  if (info.kind == Kind::GPSVersion && v.isString()) {
    std::string s = v.asString();
    for (size_t start = 0; start <= s.size();) {
      size_t dot = s.find('.', start);
      n.push_back(std::atof(s.substr(start, dot - start).c_str()));
      if (dot == std::string::npos) break;
      start = dot + 1;
    }
  } else if (info.kind == Kind::Time && v.isString()) {
    int h = 0, m = 0;
    double sec = 0;
    if (std::sscanf(v.asString().c_str(), "%d:%d:%lf", &h, &m, &sec) < 2) return false;
    n = {double(h), double(m), sec};
  } else if (info.kind == Kind::Degrees && v.isNumber()) {
    double deg = std::fabs(v.asDouble());
    double whole = std::floor(deg), minutes = std::floor((deg - whole) * 60);
    double seconds = ((deg - whole) * 60 - minutes) * 60;
    n = {whole, minutes, std::round(seconds * 1e4) / 1e4};
  } else {
    n = Numbers(v);
  }
  if (n.empty()) return false;
  e.count = uint32_t(n.size());
  for (double d : n) {
    switch (info.type) {
      case kByte:
        e.data.push_back(uint8_t(ClampedUnsigned(d, 0xFF)));
        break;
      case kShort:
        AppendBE16(e.data, ClampedUnsigned(d, 0xFFFF));
        break;
      case kLong:
        AppendBE32(e.data, ClampedUnsigned(d, 0xFFFFFFFF));
        break;
      case kRational:
        PutRational(e.data, d, false);
        break;
      case kSRational:
        PutRational(e.data, d, true);
        break;
      default:
        return false;
    }
  }
  return true;
}

std::vector<Entry> Directory(const ValueMap* dict, Dir dir) {
  std::vector<Entry> out;
  if (!dict) return out;
  for (const auto& info : kTags) {
    if (info.dir != dir) continue;
    const Value* v = ValueMapFind(*dict, info.key);
    Entry e;
    if (v && Encode(info, *v, e)) out.push_back(std::move(e));
  }
  return out;
}

size_t DirectorySize(const std::vector<Entry>& entries) {
  size_t size = 2 + entries.size() * 12 + 4;
  for (const auto& e : entries) {
    if (e.data.size() > 4) size += (e.data.size() + 1) & ~size_t(1);
  }
  return size;
}

void WriteDirectory(Bytes& out, const std::vector<Entry>& entries, uint32_t next) {
  const size_t base = out.size();
  size_t dataOff = base + 2 + entries.size() * 12 + 4;
  Bytes data;
  AppendBE16(out, uint32_t(entries.size()));
  for (const auto& e : entries) {
    AppendBE16(out, e.tag);
    AppendBE16(out, e.type);
    AppendBE32(out, e.count);
    if (e.data.size() <= 4) {
      Bytes inline4 = e.data;
      inline4.resize(4, 0);
      out.insert(out.end(), inline4.begin(), inline4.end());
    } else {
      AppendBE32(out, uint32_t(dataOff + data.size()));
      data.insert(data.end(), e.data.begin(), e.data.end());
      if (data.size() & 1) data.push_back(0);
    }
  }
  AppendBE32(out, next);
  out.insert(out.end(), data.begin(), data.end());
}

const ValueMap* Dict(const ValueMap& props, const char* key) {
  const Value* v = ValueMapFind(props, key);
  return v && v->isMap() ? &v->asMap() : nullptr;
}

Entry LongEntry(uint16_t tag, uint32_t value) {
  Entry e{tag, kLong, 1, {}};
  AppendBE32(e.data, value);
  return e;
}

void InsertSorted(std::vector<Entry>& entries, Entry e) {
  auto it = entries.begin();
  while (it != entries.end() && it->tag < e.tag) ++it;
  if (it != entries.end() && it->tag == e.tag)
    *it = std::move(e);
  else
    entries.insert(it, std::move(e));
}

}  // namespace

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
  std::vector<Entry> ifd0 = Directory(Dict(properties, kCGImagePropertyTIFFDictionary), kTIFF);
  std::vector<Entry> exif = Directory(Dict(properties, kCGImagePropertyExifDictionary), kExif);
  std::vector<Entry> gps = Directory(Dict(properties, kCGImagePropertyGPSDictionary), kGPS);
  if (orientation >= 1 && orientation <= 8) {
    Entry e{kOrientationTag, kShort, 1, {}};
    AppendBE16(e.data, uint32_t(orientation));
    InsertSorted(ifd0, std::move(e));
  }
  if (ifd0.empty() && exif.empty() && gps.empty() && thumbnailJPEG.empty()) return {};
  // Pointers first with placeholder values, so the first directory's size is known.
  if (!exif.empty()) InsertSorted(ifd0, LongEntry(kExifPointer, 0));
  if (!gps.empty()) InsertSorted(ifd0, LongEntry(kGPSPointer, 0));
  const uint32_t ifd0Off = 8;
  const uint32_t exifOff = ifd0Off + uint32_t(DirectorySize(ifd0));
  const uint32_t gpsOff = exifOff + (exif.empty() ? 0 : uint32_t(DirectorySize(exif)));
  const uint32_t ifd1Off = gpsOff + (gps.empty() ? 0 : uint32_t(DirectorySize(gps)));
  for (auto& e : ifd0) {
    if (e.tag == kExifPointer) e = LongEntry(kExifPointer, exifOff);
    if (e.tag == kGPSPointer) e = LongEntry(kGPSPointer, gpsOff);
  }
  std::vector<Entry> ifd1;
  if (!thumbnailJPEG.empty()) {
    Entry compression{0x103, kShort, 1, {}};
    AppendBE16(compression.data, 6);
    ifd1.push_back(std::move(compression));
    ifd1.push_back(LongEntry(kThumbOffsetTag, 0));
    ifd1.push_back(LongEntry(kThumbLengthTag, uint32_t(thumbnailJPEG.size())));
    ifd1[1] = LongEntry(kThumbOffsetTag, ifd1Off + uint32_t(DirectorySize(ifd1)));
  }
  Bytes out = {'M', 'M', 0, 42};
  AppendBE32(out, ifd0Off);
  WriteDirectory(out, ifd0, ifd1.empty() ? 0 : ifd1Off);
  if (!exif.empty()) WriteDirectory(out, exif, 0);
  if (!gps.empty()) WriteDirectory(out, gps, 0);
  if (!ifd1.empty()) {
    WriteDirectory(out, ifd1, 0);
    out.insert(out.end(), thumbnailJPEG.begin(), thumbnailJPEG.end());
  }
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
