#include "support/HEIFLayout.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/foundation/ValueFwd.h"

namespace {

void Put16(Bytes& b, uint32_t v) { b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)}); }
void Put32(Bytes& b, uint32_t v) {
  b.insert(b.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
}
void Append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

struct Child {
  std::string type;
  Bytes whole, body;
};

std::vector<Child> Children(const uint8_t* data, size_t size) {
  std::vector<Child> boxes;
  for (size_t pos = 0; size - pos >= 8;) {
    const size_t length = (size_t(data[pos]) << 24) | (size_t(data[pos + 1]) << 16) |
                          (size_t(data[pos + 2]) << 8) | data[pos + 3];
    if (length < 8 || length > size - pos) break;
    boxes.push_back({std::string(reinterpret_cast<const char*>(data + pos + 4), 4),
                     Bytes(data + pos, data + pos + length),
                     Bytes(data + pos + 8, data + pos + length)});
    pos += length;
  }
  return boxes;
}

std::vector<Child> Children(const Bytes& b, size_t from = 0) {
  return b.size() < from ? std::vector<Child>() : Children(b.data() + from, b.size() - from);
}

const Child* Find(const std::vector<Child>& boxes, const char* type) {
  for (const Child& c : boxes) {
    if (c.type == type) return &c;
  }
  return nullptr;
}

// Big-endian fields in order; past the end they read 0 and `ok` goes false.
struct Reader {
  const Bytes& b;
  size_t pos = 0;
  bool ok = true;
  uint64_t read(size_t n) {
    if (b.size() - pos < n || pos > b.size()) {
      ok = false;
      return 0;
    }
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = (v << 8) | b[pos++];
    return v;
  }
};

// Bits of a payload: read from one (its emulation prevention bytes taken
// out when a NAL unit's), written to another.
class BitReader {
 public:
  BitReader(const uint8_t* data, size_t size, bool nal) {
    int zeros = 0;
    for (size_t i = 0; i < size; ++i) {
      if (nal && zeros >= 2 && data[i] == 3) {
        zeros = 0;
        continue;
      }
      zeros = data[i] == 0 ? zeros + 1 : 0;
      bytes_.push_back(data[i]);
    }
  }
  uint32_t u(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 1) | bit();
    return v;
  }
  uint32_t ue() {
    int zeros = 0;
    while (ok() && bit() == 0) ++zeros;
    return zeros == 0 ? 0 : uint32_t((uint64_t(1) << zeros) - 1 + u(zeros));
  }
  bool ok() const { return pos_ <= bytes_.size() * 8; }
  size_t pos() const { return pos_; }
  size_t size() const { return bytes_.size() * 8; }
  uint32_t bit() {
    const uint32_t v = pos_ < bytes_.size() * 8 ? (bytes_[pos_ / 8] >> (7 - pos_ % 8)) & 1 : 0;
    ++pos_;
    return v;
  }

 private:
  Bytes bytes_;
  size_t pos_ = 0;
};

class BitWriter {
 public:
  void u(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) bits_.push_back((value >> i) & 1);
  }
  void ue(uint32_t value) {
    const uint64_t v = uint64_t(value) + 1;
    int length = 0;
    while ((v >> length) > 1) ++length;
    u(0, length);
    for (int i = length; i >= 0; --i) bits_.push_back((v >> i) & 1);
  }
  // The rest of `from`: its trailing one bit ends the payload again once
  // the zeros after it are dropped and the bytes filled.
  void rest(BitReader& from) {
    while (from.pos() < from.size()) bits_.push_back(from.bit());
    while (!bits_.empty() && !bits_.back()) bits_.pop_back();
    while (bits_.size() % 8) bits_.push_back(false);
  }
  Bytes bytes(bool nal) const {
    Bytes out;
    int zeros = 0;
    for (size_t i = 0; i < bits_.size(); i += 8) {
      uint8_t byte = 0;
      for (size_t b = 0; b < 8; ++b) byte = uint8_t(byte << 1 | bits_[i + b]);
      if (nal && zeros >= 2 && byte <= 3) {
        out.push_back(3);
        zeros = 0;
      }
      zeros = byte == 0 ? zeros + 1 : 0;
      out.push_back(byte);
    }
    return out;
  }

 private:
  std::vector<bool> bits_;
};

// The sequence parameter set NAL unit rewritten to code width x height.
Bytes Resized(const uint8_t* nal, size_t size, uint32_t width, uint32_t height) {
  BitReader in(nal + 2, size - 2, true);
  BitWriter out;
  out.u(in.u(4), 4);  // video parameter set
  const uint32_t subLayers = in.u(3);
  out.u(subLayers, 3);
  out.u(in.u(1), 1);
  for (int i = 0; i < 3; ++i) out.u(in.u(32), 32);  // general profile and level
  std::vector<uint32_t> flags;
  for (uint32_t i = 0; i < subLayers; ++i) {
    flags.push_back(in.u(2));
    out.u(flags.back(), 2);
  }
  if (subLayers > 0) out.u(in.u(int(2 * (8 - subLayers))), int(2 * (8 - subLayers)));
  for (uint32_t f : flags) {
    for (int n = (f & 2 ? 88 : 0) + (f & 1 ? 8 : 0); n > 0; n -= 8) out.u(in.u(8), 8);
  }
  out.ue(in.ue());  // its identifier
  const uint32_t chroma = in.ue();
  out.ue(chroma);
  if (chroma == 3) out.u(in.u(1), 1);
  in.ue();
  in.ue();
  out.ue(width);
  out.ue(height);
  out.rest(in);
  Bytes rewritten(nal, nal + 2);
  Append(rewritten, out.bytes(true));
  return in.ok() ? rewritten : Bytes();
}

}  // namespace

HEIFLayoutItem* HEIFLayout::item(uint32_t id) {
  for (HEIFLayoutItem& i : items) {
    if (i.id == id) return &i;
  }
  return nullptr;
}

Bytes HEIFLayout::property(uint32_t id, const char* type) const {
  for (const HEIFLayoutItem& i : items) {
    if (i.id != id) continue;
    for (const Bytes& p : i.properties) {
      if (p.size() >= 8 && std::memcmp(&p[4], type, 4) == 0) return Bytes(p.begin() + 8, p.end());
    }
  }
  return {};
}

HEIFLayout HEIFLayoutRead(const Bytes& file) {
  HEIFLayout layout;
  const std::vector<Child> top = Children(file);
  const Child* meta = Find(top, "meta");
  if (!meta) return {};
  const std::vector<Child> boxes = Children(meta->body, 4);
  const Child* pitm = Find(boxes, "pitm");
  const Child* iinf = Find(boxes, "iinf");
  const Child* iloc = Find(boxes, "iloc");
  const Child* iprp = Find(boxes, "iprp");
  const Child* idat = Find(boxes, "idat");
  if (!pitm || !iinf || !iloc || !iprp) return {};
  Reader p{pitm->body};
  const size_t idSize = p.read(1) == 0 ? 2 : 4;
  p.read(3);
  layout.primary = uint32_t(p.read(idSize));
  Reader i{iinf->body};
  i.pos = i.read(1) == 0 ? 6 : 8;
  for (const Child& infe : Children(iinf->body, i.pos)) {
    Reader e{infe.body};
    const uint64_t version = e.read(1);
    const bool hidden = e.read(3) & 1;
    HEIFLayoutItem item;
    item.id = uint32_t(e.read(version == 2 ? 2 : 4));
    e.read(2);
    const uint64_t type = e.read(4);
    for (int shift = 24; shift >= 0; shift -= 8) item.type.push_back(char(type >> shift));
    item.hidden = hidden;
    layout.items.push_back(item);
  }
  Reader l{iloc->body};
  const uint64_t version = l.read(1);
  l.read(3);
  const uint64_t sizes = l.read(2);
  const size_t offsetSize = (sizes >> 12) & 15, lengthSize = (sizes >> 8) & 15,
               baseSize = (sizes >> 4) & 15, indexSize = version >= 1 ? sizes & 15 : 0;
  const uint64_t count = l.read(version < 2 ? 2 : 4);
  for (uint64_t n = 0; n < count && l.ok; ++n) {
    HEIFLayoutItem* item = layout.item(uint32_t(l.read(version < 2 ? 2 : 4)));
    const uint64_t method = version >= 1 ? l.read(2) & 15 : 0;
    l.read(2);
    const uint64_t base = l.read(baseSize), extents = l.read(2);
    const Bytes& from = method == 1 && idat ? idat->body : file;
    for (uint64_t e = 0; e < extents && l.ok; ++e) {
      l.read(indexSize);
      const uint64_t offset = base + l.read(offsetSize), length = l.read(lengthSize);
      if (!item || offset > from.size() || length > from.size() - offset) return {};
      item->data.insert(item->data.end(), from.begin() + ptrdiff_t(offset),
                        from.begin() + ptrdiff_t(offset + length));
    }
  }
  const std::vector<Child> properties = Children(iprp->body);
  const Child* ipco = Find(properties, "ipco");
  const Child* ipma = Find(properties, "ipma");
  if (!ipco || !ipma) return {};
  const std::vector<Child> all = Children(ipco->body);
  Reader a{ipma->body};
  const uint64_t ipmaVersion = a.read(1);
  const bool longIndices = a.read(3) & 1;
  const uint64_t entries = a.read(4);
  for (uint64_t n = 0; n < entries && a.ok; ++n) {
    HEIFLayoutItem* item = layout.item(uint32_t(a.read(ipmaVersion >= 1 ? 4 : 2)));
    const uint64_t associated = a.read(1);
    for (uint64_t k = 0; k < associated && a.ok; ++k) {
      const size_t index = longIndices ? a.read(2) & 0x7FFF : a.read(1) & 0x7F;
      if (item && index >= 1 && index <= all.size())
        item->properties.push_back(all[index - 1].whole);
    }
  }
  if (const Child* iref = Find(boxes, "iref")) {
    Reader r{iref->body};
    const size_t idSize = r.read(1) == 0 ? 2 : 4;
    for (const Child& reference : Children(iref->body, 4)) {
      Reader f{reference.body};
      HEIFLayoutReference ref{reference.type, uint32_t(f.read(idSize)), {}};
      const uint64_t to = f.read(2);
      for (uint64_t n = 0; n < to && f.ok; ++n) ref.to.push_back(uint32_t(f.read(idSize)));
      layout.references.push_back(ref);
    }
  }
  return layout;
}

Bytes HEIFBox(const char* type, const Bytes& body, int version) {
  Bytes b;
  Put32(b, uint32_t(body.size() + 8 + (version >= 0 ? 4 : 0)));
  b.insert(b.end(), type, type + 4);
  if (version >= 0) b.insert(b.end(), {uint8_t(version), 0, 0, 0});
  Append(b, body);
  return b;
}

Bytes HEIFIspe(uint32_t width, uint32_t height) {
  Bytes b;
  Put32(b, width);
  Put32(b, height);
  return HEIFBox("ispe", b, 0);
}

Bytes HEIFAlphaProperty() {
  const std::string urn = "urn:mpeg:hevc:2015:auxid:1";
  Bytes body(urn.begin(), urn.end());
  body.push_back(0);
  return HEIFBox("auxC", body, 0);
}

Bytes HEIFGridDescription(uint32_t rows, uint32_t columns, uint32_t width, uint32_t height) {
  Bytes b = {0, 0, uint8_t(rows - 1), uint8_t(columns - 1)};
  Put16(b, width);
  Put16(b, height);
  return b;
}

Bytes HEIFLayoutWrite(const HEIFLayout& layout) {
  Bytes ipco, ipma, iinf, iref;
  uint32_t next = 1;
  Put32(ipma, uint32_t(layout.items.size()));
  Put16(iinf, uint32_t(layout.items.size()));
  for (const HEIFLayoutItem& item : layout.items) {
    Bytes infe;
    Put16(infe, item.id);
    Put16(infe, 0);
    infe.insert(infe.end(), item.type.begin(), item.type.end());
    infe.push_back(0);
    Bytes entry = HEIFBox("infe", infe, 2);
    entry[11] = item.hidden ? 1 : 0;
    Append(iinf, entry);
    Put16(ipma, item.id);
    ipma.push_back(uint8_t(item.properties.size()));
    for (const Bytes& property : item.properties) {
      Append(ipco, property);
      const bool essential =
          std::memcmp(&property[4], "hvcC", 4) == 0 || std::memcmp(&property[4], "av1C", 4) == 0;
      Put16(ipma, (essential ? 0x8000 : 0) | next++);
    }
  }
  for (const HEIFLayoutReference& r : layout.references) {
    Bytes body;
    Put16(body, r.from);
    Put16(body, uint32_t(r.to.size()));
    for (uint32_t to : r.to) Put16(body, to);
    Append(iref, HEIFBox(r.type.c_str(), body));
  }
  auto meta = [&](uint32_t mdatStart) {
    Bytes hdlr(4, 0);
    hdlr.insert(hdlr.end(), {'p', 'i', 'c', 't'});
    hdlr.insert(hdlr.end(), 13, 0);
    Bytes pitm;
    Put16(pitm, layout.primary);
    Bytes iloc = {0x44, 0x00};  // 4-byte offsets and lengths, no base offset
    Put16(iloc, uint32_t(layout.items.size()));
    uint32_t offset = mdatStart;
    for (const HEIFLayoutItem& item : layout.items) {
      Put16(iloc, item.id);
      Put16(iloc, 0);
      Put16(iloc, 1);
      Put32(iloc, offset);
      Put32(iloc, uint32_t(item.data.size()));
      offset += uint32_t(item.data.size());
    }
    Bytes properties = HEIFBox("ipco", ipco);
    Bytes associations = HEIFBox("ipma", ipma, 0);
    associations[11] = 1;  // 16-bit property indices
    Append(properties, associations);
    Bytes body;
    for (const Bytes& box :
         {HEIFBox("hdlr", hdlr, 0), HEIFBox("pitm", pitm, 0), HEIFBox("iloc", iloc, 0),
          HEIFBox("iinf", iinf, 0), HEIFBox("iref", iref, 0), HEIFBox("iprp", properties)}) {
      Append(body, box);
    }
    return HEIFBox("meta", body, 0);
  };
  bool av1 = false;
  for (const HEIFLayoutItem& item : layout.items) av1 = av1 || item.type == "av01";
  Bytes ftyp;
  const char* brands = av1 ? "avif\0\0\0\0mif1avif" : "heic\0\0\0\0mif1heic";
  ftyp.insert(ftyp.end(), brands, brands + 16);
  Bytes file = HEIFBox("ftyp", ftyp);
  Append(file, meta(uint32_t(file.size() + meta(0).size() + 8)));
  size_t mdat = 8;
  for (const HEIFLayoutItem& item : layout.items) mdat += item.data.size();
  Put32(file, uint32_t(mdat));
  file.insert(file.end(), {'m', 'd', 'a', 't'});
  for (const HEIFLayoutItem& item : layout.items) Append(file, item.data);
  return file;
}

Bytes HEVCParameterSetsCoding(const Bytes& hvcC, uint32_t width, uint32_t height) {
  Reader f{hvcC};
  f.pos = 22;
  const uint64_t arrays = f.read(1);
  Bytes out;
  bool sequence = false;
  for (uint64_t a = 0; a < arrays && f.ok; ++a) {
    f.read(1);
    const uint64_t units = f.read(2);
    for (uint64_t u = 0; u < units && f.ok; ++u) {
      const size_t size = size_t(f.read(2));
      if (!f.ok || hvcC.size() - f.pos < size || size < 3) return {};
      const uint8_t* nal = &hvcC[f.pos];
      f.pos += size;
      Bytes unit(nal, nal + size);
      if (((nal[0] >> 1) & 0x3F) == 33) {
        sequence = true;
        if (width) unit = Resized(nal, size, width, height);
        if (unit.empty()) return {};
      }
      Put32(out, uint32_t(unit.size()));
      Append(out, unit);
    }
  }
  return sequence ? out : Bytes();
}

Bytes AV1SequenceHeaderAnnouncing(const Bytes& obus, uint32_t width, uint32_t height) {
  for (size_t pos = 0; pos < obus.size();) {
    const uint8_t header = obus[pos];
    size_t at = pos + 1 + (header & 4 ? 1 : 0);
    if (!(header & 2) || at >= obus.size() || obus[at] & 0x80) return {};  // sizes of one byte
    const size_t size = obus[at++];
    if (obus.size() - at < size) return {};
    if (((header >> 3) & 15) == 1) {
      BitReader in(&obus[at], size, false);
      BitWriter out;
      out.u(in.u(3), 3);  // profile
      out.u(in.u(1), 1);  // still picture
      const uint32_t reduced = in.u(1);
      out.u(reduced, 1);
      if (reduced) {
        out.u(in.u(5), 5);
      } else {
        if (in.u(1)) return {};  // timing info: not written here
        out.u(0, 1);
        const uint32_t initialDelay = in.u(1);
        out.u(initialDelay, 1);
        const uint32_t points = in.u(5);
        out.u(points, 5);
        for (uint32_t i = 0; i <= points; ++i) {
          out.u(in.u(12), 12);
          const uint32_t level = in.u(5);
          out.u(level, 5);
          if (level > 7) out.u(in.u(1), 1);
          if (initialDelay && in.u(1)) {
            out.u(1, 1);
            out.u(in.u(4), 4);
          } else if (initialDelay) {
            out.u(0, 1);
          }
        }
      }
      const int widthBits = int(in.u(4)) + 1, heightBits = int(in.u(4)) + 1;
      in.u(widthBits);
      in.u(heightBits);
      out.u(15, 4);
      out.u(15, 4);
      out.u(width - 1, 16);
      out.u(height - 1, 16);
      out.rest(in);
      const Bytes payload = out.bytes(false);
      if (!in.ok() || payload.size() > 127) return {};
      Bytes unit = {uint8_t(header & ~4), uint8_t(payload.size())};
      Append(unit, payload);
      return unit;
    }
    pos = at + size;
  }
  return {};
}

bool HEIFLayoutLeadWithParameterSets(HEIFLayout& layout, uint32_t id, uint32_t width,
                                     uint32_t height) {
  const Bytes sets = HEVCParameterSetsCoding(layout.property(id, "hvcC"), width, height);
  HEIFLayoutItem* item = layout.item(id);
  if (sets.empty() || !item) return false;
  item->data.insert(item->data.begin(), sets.begin(), sets.end());
  return true;
}

bool HEIFLayoutAddAlpha(HEIFLayout& layout, uint32_t image, uint32_t width, uint32_t height) {
  const HEIFLayoutItem* of = layout.item(image);
  if (!of) return false;
  HEIFLayoutItem alpha = *of;
  alpha.id = 100;
  alpha.hidden = true;
  alpha.properties.push_back(HEIFAlphaProperty());
  layout.items.push_back(alpha);
  layout.references.push_back({"auxl", alpha.id, {image}});
  return !width || HEIFLayoutLeadWithParameterSets(layout, alpha.id, width, height);
}
