#include "support/heif/HEICFixtures.h"

#include <libheif/heif.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <tuple>

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, uint32_t v) { b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)}); }
void Put32(Bytes& b, uint32_t v) {
  b.insert(b.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
}
void PutTag(Bytes& b, const char* tag) { b.insert(b.end(), tag, tag + 4); }
void Append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }
uint32_t Read32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

Bytes Box(const char* type, const Bytes& body) {
  Bytes b;
  Put32(b, uint32_t(body.size() + 8));
  PutTag(b, type);
  Append(b, body);
  return b;
}

Bytes FullBox(const char* type, uint8_t version, uint32_t flags, const Bytes& body) {
  Bytes b = {version, uint8_t(flags >> 16), uint8_t(flags >> 8), uint8_t(flags)};
  Append(b, body);
  return Box(type, b);
}

Bytes Ispe(uint32_t w, uint32_t h) {
  Bytes b;
  Put32(b, w);
  Put32(b, h);
  return FullBox("ispe", 0, 0, b);
}

// The boxes laid end to end in [data, data + size).
std::map<std::string, std::pair<const uint8_t*, size_t>> Children(const uint8_t* data,
                                                                   size_t size) {
  std::map<std::string, std::pair<const uint8_t*, size_t>> boxes;
  for (size_t pos = 0; pos + 8 <= size;) {
    const size_t length = Read32(data + pos);
    if (length < 8 || length > size - pos) break;
    boxes.emplace(std::string(reinterpret_cast<const char*>(data + pos + 4), 4),
                  std::make_pair(data + pos + 8, length - 8));
    pos += length;
  }
  return boxes;
}

heif_error WriteToBytes(heif_context*, const void* data, size_t size, void* out) {
  auto* bytes = static_cast<Bytes*>(out);
  bytes->insert(bytes->end(), static_cast<const uint8_t*>(data),
                static_cast<const uint8_t*>(data) + size);
  return {heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

// A picture of one colour coded by libheif's encoder: its decoder
// configuration (the body of its 'hvcC' box) and its coded data. Even sizes
// of at least 64 only: libheif writes others as a grid of one tile.
struct Coded {
  Bytes config, stream;
};

bool Code(uint32_t w, uint32_t h, uint32_t colour, Coded& coded) {
  heif_context* context = heif_context_alloc();
  heif_encoder* encoder = nullptr;
  if (heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder).code !=
      heif_error_Ok) {
    heif_context_free(context);
    return false;
  }
  heif_encoder_set_lossy_quality(encoder, 90);
  heif_image* image = nullptr;
  heif_image_create(int(w), int(h), heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
  heif_image_add_plane(image, heif_channel_interleaved, int(w), int(h), 8);
  int stride = 0;
  uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t* p = plane + size_t(y) * size_t(stride) + size_t(x) * 3;
      p[0] = uint8_t(colour >> 16);
      p[1] = uint8_t(colour >> 8);
      p[2] = uint8_t(colour);
    }
  }
  bool ok = heif_context_encode_image(context, image, encoder, nullptr, nullptr).code ==
            heif_error_Ok;
  heif_image_release(image);
  heif_encoder_release(encoder);
  Bytes file;
  heif_writer writer{1, WriteToBytes};
  ok = ok && heif_context_write(context, &writer, &file).code == heif_error_Ok;
  heif_context_free(context);
  if (!ok) return false;
  // One item: the 'iloc' has one extent, the 'ipco' one 'hvcC'.
  const auto top = Children(file.data(), file.size());
  auto meta = top.find("meta");
  if (meta == top.end()) return false;
  const auto inner = Children(meta->second.first + 4, meta->second.second - 4);
  auto iprp = inner.find("iprp"), iloc = inner.find("iloc");
  if (iprp == inner.end() || iloc == inner.end()) return false;
  const auto properties = Children(iprp->second.first, iprp->second.second);
  auto ipco = properties.find("ipco");
  if (ipco == properties.end()) return false;
  const auto configs = Children(ipco->second.first, ipco->second.second);
  auto hvcC = configs.find("hvcC");
  if (hvcC == configs.end()) return false;
  coded.config.assign(hvcC->second.first, hvcC->second.first + hvcC->second.second);
  const uint8_t* l = iloc->second.first;
  const int version = l[0], offsetSize = l[4] >> 4, lengthSize = l[4] & 15, baseSize = l[5] >> 4;
  size_t pos = 8 + 2 + (version >= 1 ? 2 : 0) + 2;  // item id, method, data reference
  auto read = [&](int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | l[pos++];
    return v;
  };
  const uint64_t base = read(baseSize);
  if (read(2) != 1) return false;
  const uint64_t offset = base + read(offsetSize), length = read(lengthSize);
  if (offset + length > file.size()) return false;
  coded.stream.assign(file.begin() + ptrdiff_t(offset), file.begin() + ptrdiff_t(offset + length));
  return true;
}

// Coded once per process: x265 takes a while to start for each picture.
bool CodeOnce(uint32_t w, uint32_t h, uint32_t colour, Coded& coded) {
  static std::mutex mutex;
  static std::map<std::tuple<uint32_t, uint32_t, uint32_t>, Coded> made;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = made.find({w, h, colour});
  if (it == made.end()) {
    Coded fresh;
    if (!Code(w, h, colour, fresh)) return false;
    it = made.emplace(std::make_tuple(w, h, colour), std::move(fresh)).first;
  }
  coded = it->second;
  return true;
}

}  // namespace

uint32_t HEICGridPaletteColour(uint32_t column, uint32_t row) {
  return kHEICGridPalette[column % 2 + 2 * (row % 2)];
}

std::vector<uint8_t> MakeHEICGrid(const HEICGridFixture& f) {
  heif_init(nullptr);
  auto colourOf = f.colourOf ? f.colourOf : HEICGridPaletteColour;
  const uint32_t columns = (f.width + f.tile - 1) / f.tile, rows = (f.height + f.tile - 1) / f.tile;
  const bool hasThumbnail = f.thumbnailWidth > 0;
  // Each colour coded once; its data lies once in the file.
  std::map<uint32_t, size_t> codedOf;
  std::vector<Coded> coded;
  std::vector<size_t> tileCoded;
  for (uint32_t r = 0; r < rows; ++r) {
    for (uint32_t c = 0; c < columns; ++c) {
      const uint32_t colour = colourOf(c, r);
      auto [it, added] = codedOf.emplace(colour, coded.size());
      if (added) {
        coded.emplace_back();
        if (!CodeOnce(f.tile, f.tile, colour, coded.back())) return {};
      }
      tileCoded.push_back(it->second);
    }
  }
  Coded thumbnail;
  if (hasThumbnail && !CodeOnce(f.thumbnailWidth, f.thumbnailHeight, f.thumbnailColour, thumbnail)) {
    return {};
  }
  const bool wide = f.width > 0xFFFF || f.height > 0xFFFF;
  Bytes grid = {0, uint8_t(wide ? 1 : 0), uint8_t(rows - 1), uint8_t(columns - 1)};
  if (wide) {
    Put32(grid, f.width);
    Put32(grid, f.height);
  } else {
    Put16(grid, f.width);
    Put16(grid, f.height);
  }
  // Properties: each coded colour's configuration, then the sizes.
  Bytes ipco;
  uint32_t next = 1;
  auto add = [&](const Bytes& box) {
    Append(ipco, box);
    return next++;
  };
  std::vector<uint32_t> configOf;
  for (const Coded& c : coded) configOf.push_back(add(Box("hvcC", c.config)));
  const uint32_t tileSize = add(Ispe(f.tile, f.tile));
  const uint32_t gridSize = add(Ispe(f.width, f.height));
  const uint32_t turn = f.rotation ? add(Box("irot", {uint8_t(f.rotation & 3)})) : 0;
  const uint32_t thumbConfig = hasThumbnail ? add(Box("hvcC", thumbnail.config)) : 0;
  const uint32_t thumbSize = hasThumbnail ? add(Ispe(f.thumbnailWidth, f.thumbnailHeight)) : 0;

  const uint32_t gridID = 1, tiles = rows * columns, thumbnailID = tiles + 2;
  const uint32_t count = tiles + 1 + (hasThumbnail ? 1 : 0);
  Bytes ipma, iinf, dimg;
  Put32(ipma, count);
  Put16(iinf, count);
  auto describe = [&](uint32_t id, const char* type, const std::vector<uint32_t>& properties,
                      bool hidden) {
    Bytes infe;
    Put16(infe, id);
    Put16(infe, 0);
    PutTag(infe, type);
    infe.push_back(0);
    Append(iinf, FullBox("infe", 2, hidden ? 1 : 0, infe));
    Put16(ipma, id);
    ipma.push_back(uint8_t(properties.size()));
    for (uint32_t p : properties) Put16(ipma, 0x8000 | p);
  };
  std::vector<uint32_t> gridProperties = {gridSize};
  if (turn) gridProperties.push_back(turn);
  describe(gridID, "grid", gridProperties, false);
  Put16(dimg, gridID);
  Put16(dimg, tiles);
  for (uint32_t i = 0; i < tiles; ++i) {
    describe(i + 2, "hvc1", {configOf[tileCoded[i]], tileSize}, true);
    Put16(dimg, i + 2);
  }
  if (hasThumbnail) describe(thumbnailID, "hvc1", {thumbConfig, thumbSize}, false);
  Bytes iref = Box("dimg", dimg);
  if (hasThumbnail) {
    Bytes thmb;
    Put16(thmb, thumbnailID);
    Put16(thmb, 1);
    Put16(thmb, gridID);
    Append(iref, Box("thmb", thmb));
  }
  // The media data: the grid's description, each colour's picture, the
  // thumbnail.
  std::vector<const Bytes*> data = {&grid};
  for (const Coded& c : coded) data.push_back(&c.stream);
  if (hasThumbnail) data.push_back(&thumbnail.stream);

  Bytes ftyp;
  PutTag(ftyp, "heic");
  Put32(ftyp, 0);
  PutTag(ftyp, "mif1");
  PutTag(ftyp, "heic");
  ftyp = Box("ftyp", ftyp);
  auto meta = [&](uint32_t mdatStart) {
    std::vector<uint32_t> offsets;
    uint32_t offset = mdatStart;
    for (const Bytes* d : data) {
      offsets.push_back(offset);
      offset += uint32_t(d->size());
    }
    Bytes hdlr(4, 0);
    PutTag(hdlr, "pict");
    hdlr.insert(hdlr.end(), 13, 0);
    Bytes pitm;
    Put16(pitm, gridID);
    Bytes iloc = {0x44, 0x00};  // 4-byte offsets and lengths, no base offset
    Put16(iloc, count);
    auto locate = [&](uint32_t id, size_t piece) {
      Put16(iloc, id);
      Put16(iloc, 0);
      Put16(iloc, 1);
      Put32(iloc, offsets[piece]);
      Put32(iloc, uint32_t(data[piece]->size()));
    };
    locate(gridID, 0);
    for (uint32_t i = 0; i < tiles; ++i) locate(i + 2, 1 + tileCoded[i]);
    if (hasThumbnail) locate(thumbnailID, data.size() - 1);
    Bytes iprp = Box("ipco", ipco);
    Append(iprp, FullBox("ipma", 0, 1, ipma));
    Bytes body;
    for (const Bytes& box : {FullBox("hdlr", 0, 0, hdlr), FullBox("pitm", 0, 0, pitm),
                             FullBox("iloc", 0, 0, iloc), FullBox("iinf", 0, 0, iinf),
                             FullBox("iref", 0, 0, iref), Box("iprp", iprp)}) {
      Append(body, box);
    }
    return FullBox("meta", 0, 0, body);
  };
  Bytes file = ftyp;
  Append(file, meta(uint32_t(ftyp.size() + meta(0).size() + 8)));
  size_t mdat = 8;
  for (const Bytes* d : data) mdat += d->size();
  Put32(file, uint32_t(mdat));
  PutTag(file, "mdat");
  for (const Bytes* d : data) Append(file, *d);
  return file;
}
