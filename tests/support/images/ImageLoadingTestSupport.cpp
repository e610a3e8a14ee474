#include "ImageLoadingTestSupport.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/coregraphics/CGPixelLayout.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/uikit/UIImage.h"
#include "support/TestEnvironment.h"

namespace il_test {

CGImageRef SolidImage(size_t w, size_t h, std::array<uint8_t, 4> rgba) {
  auto bytes = std::make_shared<Bytes>(w * h * 4);
  for (size_t i = 0; i < w * h; ++i) {
    for (size_t c = 0; c < 4; ++c) (*bytes)[i * 4 + c] = rgba[c];
  }
  return CGImage::create(w, h, 8, 32, w * 4, kCGImageAlphaLast, bytes);
}

CGImageRef PatternImage(size_t w, size_t h) {
  auto bytes = std::make_shared<Bytes>(w * h * 4);
  for (size_t y = 0; y < h; ++y) {
    for (size_t x = 0; x < w; ++x) {
      uint8_t* p = &(*bytes)[(y * w + x) * 4];
      const bool left = x < w / 2, top = y < h / 2;
      p[0] = left ? 255 : 0;
      p[1] = top ? 255 : 0;
      p[2] = left ? 0 : 255;
      p[3] = 255;
    }
  }
  return CGImage::create(w, h, 8, 32, w * 4, kCGImageAlphaNoneSkipLast, bytes);
}

std::shared_ptr<UIImage> SolidUIImage(size_t w, size_t h, std::array<uint8_t, 4> rgba) {
  return UIImage::imageWithCGImage(SolidImage(w, h, rgba));
}

namespace {

const char* animationDictionary(const std::string& type) {
  if (type == "com.compuserve.gif") return kCGImagePropertyGIFDictionary;
  if (type == "public.png") return kCGImagePropertyPNGDictionary;
  return kCGImagePropertyWebPDictionary;
}

}  // namespace

NSDataPtr AnimatedFile(const char* type, const std::vector<TestFrame>& frames, size_t w, size_t h,
                       int64_t loopCount) {
  auto buffer = std::make_shared<Bytes>();
  auto destination = CGImageDestinationCreateWithData(buffer, type, frames.size());
  if (!destination) return nullptr;
  const char* dictionary = animationDictionary(type);
  if (loopCount >= 0) {
    CGImageDestinationSetProperties(
        destination,
        Value(ValueMap{{Value(dictionary), Value::map({{"LoopCount", Value::integer(loopCount)}})}}));
  }
  for (const TestFrame& frame : frames) {
    ValueMap properties;
    if (frame.delay >= 0) {
      properties.emplace_back(Value(dictionary),
                              Value::map({{"UnclampedDelayTime", frame.delay},
                                          {"DelayTime", frame.delay}}));
    }
    CGImageDestinationAddImage(destination, SolidImage(w, h, frame.rgba), Value(properties));
  }
  if (!CGImageDestinationFinalize(destination)) return nullptr;
  return NSData::dataWithBytes(*buffer);
}

NSDataPtr StillFile(const char* type, const CGImageRef& image, int64_t exifOrientation,
                    double quality) {
  auto buffer = std::make_shared<Bytes>();
  auto destination = CGImageDestinationCreateWithData(buffer, type, 1);
  if (!destination) return nullptr;
  CGImageDestinationAddImage(
      destination, image,
      Value::map({{kCGImagePropertyOrientation, Value::integer(exifOrientation)},
                  {kCGImageDestinationLossyCompressionQuality, quality}}));
  if (!CGImageDestinationFinalize(destination)) return nullptr;
  return NSData::dataWithBytes(*buffer);
}

NSDataPtr PDFFile(double width, double height, int pages) {
  // A hand-written document: catalog, page tree, one content stream that
  // fills the whole media box red, shared by every page.
  std::string out = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  auto object = [&](const std::string& body) {
    offsets.push_back(out.size());
    out += std::to_string(offsets.size()) + " 0 obj\n" + body + "\nendobj\n";
  };
  char content[128];
  std::snprintf(content, sizeof content, "1 0 0 rg 0 0 %g %g re f", width, height);
  const std::string stream = content;
  std::string kids;
  for (int i = 0; i < pages; ++i) kids += std::to_string(4 + i) + " 0 R ";
  object("<< /Type /Catalog /Pages 2 0 R >>");
  object("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) + " >>");
  object("<< /Length " + std::to_string(stream.size()) + " >>\nstream\n" + stream +
         "\nendstream");
  char box[96];
  std::snprintf(box, sizeof box, "[0 0 %g %g]", width, height);
  for (int i = 0; i < pages; ++i) {
    object(std::string("<< /Type /Page /Parent 2 0 R /MediaBox ") + box + " /Contents 3 0 R >>");
  }
  const size_t xref = out.size();
  out += "xref\n0 " + std::to_string(offsets.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t offset : offsets) {
    char line[24];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
    out += line;
  }
  out += "trailer\n<< /Size " + std::to_string(offsets.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return NSData::dataWithBytes(out.data(), out.size());
}

namespace {

uint64_t BigEndian(const Bytes& b, size_t at, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v = (v << 8) | b[at + i];
  return v;
}

struct Box {
  std::string type;
  size_t body = 0, end = 0;  // the contents (after the header) and the end
};

// The boxes in [from, to), in order; empty when one runs past the end.
std::vector<Box> Boxes(const Bytes& b, size_t from, size_t to) {
  std::vector<Box> out;
  for (size_t at = from; at + 8 <= to;) {
    uint64_t size = BigEndian(b, at, 4);
    Box box{std::string(reinterpret_cast<const char*>(&b[at + 4]), 4), at + 8, 0};
    if (size == 1) {
      if (at + 16 > to) return {};
      size = BigEndian(b, at + 8, 8);
      box.body = at + 16;
    } else if (size == 0) {
      size = to - at;
    }
    if (size < box.body - at || size > to - at) return {};
    box.end = at + size_t(size);
    out.push_back(box);
    at = box.end;
  }
  return out;
}

const Box* Find(const std::vector<Box>& boxes, const char* type) {
  for (const Box& box : boxes) {
    if (box.type == type) return &box;
  }
  return nullptr;
}

// Where the first extent of item `id` lies in the file (iloc, stored in
// the file itself); false when the item is not found there.
bool FirstExtent(const Bytes& b, const Box& iloc, uint64_t id, size_t& offset, size_t& length) {
  size_t at = iloc.body;
  const int version = b[at];
  at += 4;
  const size_t offsetSize = b[at] >> 4, lengthSize = b[at] & 15, baseSize = b[at + 1] >> 4;
  const size_t indexSize = version >= 1 ? b[at + 1] & 15 : 0;
  at += 2;
  const size_t idSize = version < 2 ? 2 : 4;
  const uint64_t count = BigEndian(b, at, idSize);
  at += idSize;
  for (uint64_t i = 0; i < count && at < iloc.end; ++i) {
    const uint64_t item = BigEndian(b, at, idSize);
    at += idSize;
    const uint64_t method = version >= 1 ? BigEndian(b, at, 2) & 15 : 0;
    at += (version >= 1 ? 2 : 0) + 2;  // construction method, data reference
    const uint64_t base = BigEndian(b, at, baseSize);
    at += baseSize;
    const uint64_t extents = BigEndian(b, at, 2);
    at += 2;
    for (uint64_t e = 0; e < extents; ++e) {
      at += indexSize;
      const uint64_t extentOffset = BigEndian(b, at, offsetSize);
      const uint64_t extentLength = BigEndian(b, at + offsetSize, lengthSize);
      at += offsetSize + lengthSize;
      if (item == id && e == 0 && method == 0) {
        offset = size_t(base + extentOffset);
        length = size_t(extentLength);
        return offset + length <= b.size();
      }
    }
  }
  return false;
}

// The items of `type` listed in iinf.
std::vector<uint64_t> ItemsOfType(const Bytes& b, const Box& iinf, const char* type) {
  const size_t countSize = b[iinf.body] == 0 ? 2 : 4;
  std::vector<uint64_t> out;
  for (const Box& infe : Boxes(b, iinf.body + 4 + countSize, iinf.end)) {
    const int version = b[infe.body];
    if (infe.type != "infe" || version < 2) continue;
    const size_t idSize = version == 2 ? 2 : 4;
    const size_t typeAt = infe.body + 4 + idSize + 2;
    if (typeAt + 4 > infe.end) continue;
    if (std::string(reinterpret_cast<const char*>(&b[typeAt]), 4) == type)
      out.push_back(BigEndian(b, infe.body + 4, idSize));
  }
  return out;
}

// The first slice of the coded data at [offset, offset + length) (NAL units,
// each after its 4-byte length) made to claim one byte more than the data
// holds after it; false when there is no slice.
bool ClaimPastTheEnd(Bytes& b, size_t offset, size_t length) {
  for (size_t at = offset; at + 5 <= offset + length;) {
    const size_t size = size_t(BigEndian(b, at, 4));
    if (((b[at + 4] >> 1) & 0x3F) < 32) {  // a slice: a picture's coded data
      const uint32_t claimed = uint32_t(offset + length - (at + 4) + 1);
      for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(claimed >> (24 - 8 * i));
      return true;
    }
    at += 4 + size;
  }
  return false;
}

}  // namespace

NSDataPtr UndecodableHEIC(size_t w, size_t h) {
  NSDataPtr good = StillFile("public.heic", PatternImage(w, h));
  if (!good) return nullptr;
  Bytes b = good->vector();
  const std::vector<Box> top = Boxes(b, 0, b.size());
  const Box* meta = Find(top, "meta");
  if (!meta) return nullptr;
  const std::vector<Box> inside = Boxes(b, meta->body + 4, meta->end);  // after version, flags
  const Box* iinf = Find(inside, "iinf");
  const Box* iloc = Find(inside, "iloc");
  if (!iinf || !iloc) return nullptr;
  // Every coded picture: the image itself, or each tile of a grid.
  size_t damaged = 0;
  for (uint64_t id : ItemsOfType(b, *iinf, "hvc1")) {
    size_t offset = 0, length = 0;
    if (FirstExtent(b, *iloc, id, offset, length) && ClaimPastTheEnd(b, offset, length)) ++damaged;
  }
  return damaged > 0 ? NSData::dataWithBytes(std::move(b)) : nullptr;
}

std::array<uint8_t, 4> PixelAt(const CGImageRef& image, size_t x, size_t y) {
  auto rgba = CGImageCopyPremultipliedRGBA(*image);
  if (!rgba || x >= image->width() || y >= image->height()) return {0, 0, 0, 0};
  const uint8_t* p = &(*rgba)[(y * image->width() + x) * 4];
  std::array<uint8_t, 4> out{p[0], p[1], p[2], p[3]};
  if (out[3] && out[3] < 255) {
    for (int c = 0; c < 3; ++c) out[c] = uint8_t(std::min(255, p[c] * 255 / p[3]));
  }
  return out;
}

bool Near(std::array<uint8_t, 4> a, std::array<uint8_t, 4> b, int tolerance) {
  for (int c = 0; c < 4; ++c) {
    if (std::abs(int(a[c]) - int(b[c])) > tolerance) return false;
  }
  return true;
}

}  // namespace il_test
