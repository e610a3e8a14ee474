// Writes the HEIF samples of tests/data/imageio whose thumbnail items lie
// about their cost or pass the limits, or are of AV1. They are stored rather than made by
// the tests: x265 takes seconds over the large ones, and valgrind takes
// what it reads of its own memory as undefined.
//
//   g++ -std=c++20 -O2 tools/make-heic-thumbnail-samples.cpp $(pkg-config
//       --cflags --libs libheif) -o /tmp/make-heic-samples
//   /tmp/make-heic-samples tests/data/imageio
//
// Small pictures show quadrants red, green, blue and white; thumbnails
// show them at half brightness, so a pixel tells which item it came from.
// Pictures of more than 8000 pixels a side are flat grey: they code to
// almost nothing.
// - thumbnail-16000x12000-of-640x480.heic: a 640 x 480 image whose one
//   thumbnail is 16000 x 12000, written through libheif's own API.
// - thumbnail-bounds-of-256x192.heic: eight images of 256 x 192, each with
//   one thumbnail: (0) 256 x 192, its image's size; (1) 257 x 192 and
//   (2) 256 x 193, a pixel past it (a grid of one padded tile, as libheif
//   writes odd sizes); (3) declaring 64 x 48 but coded 96 x 72; (4) a grid
//   of 2 x 2 tiles of 64 x 64 making 128 x 96; (5) a grid declaring
//   64 x 48 whose one tile is coded 256 x 192; (6) 120 x 90, coded 120 x 96
//   and cut to its size by the coding's conformance window; (7) a grid of
//   64 x 48 whose one tile declares 32 x 32 but is coded 64 x 64.
// - thumbnails-of-8200x8200.heic: an image past the full-decode limit with
//   thumbnails of 8194 x 8194 (past it too) and of 256 x 256.
// - thumbnail-64x48-of-256x192.avif: the same in AV1, its thumbnail 64 x 48.
#include <libheif/heif.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::exit(1);
}

void Check(heif_error e) {
  if (e.code != heif_error_Ok) Fail(e.message);
}

// Quadrants red, green, blue and white at `level` of a picture of `full`
// pixels, the part of w x h from (x0, y0) of it (past its edges, its last
// row and column repeat); grey at `level` when larger than 8000 pixels a
// side.
struct Part {
  uint32_t fullWidth = 0, fullHeight = 0, x0 = 0, y0 = 0;
};

heif_image* Quadrants(uint32_t w, uint32_t h, uint8_t level, Part part = {}) {
  if (!part.fullWidth) part = {w, h, 0, 0};
  const bool flat = w > 8000 || h > 8000;
  heif_image* image = nullptr;
  Check(heif_image_create(int(w), int(h), heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image));
  Check(heif_image_add_plane(image, heif_channel_interleaved, int(w), int(h), 8));
  int stride = 0;
  uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      const uint32_t fx = std::min(part.x0 + x, part.fullWidth - 1);
      const uint32_t fy = std::min(part.y0 + y, part.fullHeight - 1);
      const bool right = fx >= part.fullWidth / 2, bottom = fy >= part.fullHeight / 2;
      uint8_t* p = plane + size_t(y) * stride + size_t(x) * 3;
      if (flat) {
        p[0] = p[1] = p[2] = level;
        continue;
      }
      p[0] = !right && !bottom ? level : right && bottom ? level : 0;
      p[1] = right ? level : 0;
      p[2] = bottom ? level : 0;
    }
  }
  return image;
}

heif_error WriteToBytes(heif_context*, const void* data, size_t size, void* out) {
  auto* bytes = static_cast<Bytes*>(out);
  bytes->insert(bytes->end(), static_cast<const uint8_t*>(data),
                static_cast<const uint8_t*>(data) + size);
  return {heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

Bytes Written(heif_context* context) {
  Bytes file;
  heif_writer writer{1, WriteToBytes};
  Check(heif_context_write(context, &writer, &file));
  return file;
}

heif_encoder* Encoder(heif_context* context, int quality = 50,
                      heif_compression_format format = heif_compression_HEVC) {
  heif_encoder* encoder = nullptr;
  Check(heif_context_get_encoder_for_format(context, format, &encoder));
  Check(heif_encoder_set_lossy_quality(encoder, quality));
  return encoder;
}

// A picture coded by libheif: its decoder configuration (the body of its
// 'hvcC' box) and its bitstream. Sizes of at least 64 and even only: libheif
// writes others as a grid of one padded tile.
struct Coded {
  Bytes config, stream;
};

struct Child {
  std::string type;
  const uint8_t* body;
  size_t size;
};

std::vector<Child> Children(const uint8_t* data, size_t size) {
  std::vector<Child> boxes;
  for (size_t pos = 0; pos + 8 <= size;) {
    const size_t length = Read32(data + pos);
    if (length < 8 || length > size - pos) break;
    boxes.push_back({std::string(reinterpret_cast<const char*>(data + pos + 4), 4), data + pos + 8,
                     length - 8});
    pos += length;
  }
  return boxes;
}

const Child* Find(const std::vector<Child>& boxes, const char* type) {
  for (const Child& c : boxes) {
    if (c.type == type) return &c;
  }
  return nullptr;
}

Coded Code(uint32_t w, uint32_t h, uint8_t level, Part part = {}) {
  if (w < 64 || h < 64 || w % 2 || h % 2) Fail("libheif pads this size");
  heif_context* context = heif_context_alloc();
  heif_encoder* encoder = Encoder(context, w > 8000 ? 0 : 50);
  heif_image* image = Quadrants(w, h, level, part);
  Check(heif_context_encode_image(context, image, encoder, nullptr, nullptr));
  heif_image_release(image);
  heif_encoder_release(encoder);
  const Bytes file = Written(context);
  heif_context_free(context);
  // One item: the iloc has one extent, the ipco one hvcC.
  const auto top = Children(file.data(), file.size());
  const Child* meta = Find(top, "meta");
  if (!meta) Fail("no meta");
  const auto inner = Children(meta->body + 4, meta->size - 4);
  Coded coded;
  const Child* iprp = Find(inner, "iprp");
  const Child* ipco = iprp ? Find(Children(iprp->body, iprp->size), "ipco") : nullptr;
  const auto properties = ipco ? Children(ipco->body, ipco->size) : std::vector<Child>();
  const Child* hvcC = Find(properties, "hvcC");
  const Child* iloc = Find(inner, "iloc");
  if (!hvcC || !iloc) Fail("no hvcC or iloc");
  coded.config.assign(hvcC->body, hvcC->body + hvcC->size);
  const uint8_t* l = iloc->body;
  const int version = l[0], offsetSize = l[4] >> 4, lengthSize = l[4] & 15, baseSize = l[5] >> 4;
  if ((l[6] << 8 | l[7]) != 1) Fail("not one item");
  size_t pos = 8 + 2 + (version >= 1 ? 2 : 0) + 2;  // item id, method, data reference
  auto read = [&](int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | l[pos++];
    return v;
  };
  const uint64_t base = read(baseSize);
  if (read(2) != 1) Fail("not one extent");
  const uint64_t offset = base + read(offsetSize), length = read(lengthSize);
  coded.stream.assign(&file[offset], &file[offset + length]);
  return coded;
}

// A HEIF file of items laid out by hand.
struct Item {
  uint32_t id;
  const char* type;
  std::vector<Bytes> properties;  // whole boxes
  Bytes data;
  bool hidden = false;
};
struct Reference {
  const char* type;
  uint32_t from;
  std::vector<uint32_t> to;
};

Item Coded1(uint32_t id, const Coded& coded, uint32_t declaredW, uint32_t declaredH,
            bool hidden = false) {
  return {id, "hvc1", {Box("hvcC", coded.config), Ispe(declaredW, declaredH)}, coded.stream,
          hidden};
}

Item Grid(uint32_t id, uint32_t rows, uint32_t columns, uint32_t w, uint32_t h) {
  Bytes description = {0, 0, uint8_t(rows - 1), uint8_t(columns - 1)};
  Put16(description, w);
  Put16(description, h);
  return {id, "grid", {Ispe(w, h)}, description};
}

Bytes File(const std::vector<Item>& items, const std::vector<Reference>& references,
           uint32_t primary) {
  Bytes ftyp;
  PutTag(ftyp, "heic");
  Put32(ftyp, 0);
  PutTag(ftyp, "mif1");
  PutTag(ftyp, "heic");
  ftyp = Box("ftyp", ftyp);
  Bytes ipco, ipma, iinf, iref;
  uint32_t next = 1;
  Put32(ipma, uint32_t(items.size()));
  Put16(iinf, uint32_t(items.size()));
  for (const Item& item : items) {
    Bytes infe;
    Put16(infe, item.id);
    Put16(infe, 0);
    PutTag(infe, item.type);
    infe.push_back(0);
    Append(iinf, FullBox("infe", 2, item.hidden ? 1 : 0, infe));
    Put16(ipma, item.id);
    ipma.push_back(uint8_t(item.properties.size()));
    for (const Bytes& property : item.properties) {
      Append(ipco, property);
      Put16(ipma, (std::strncmp(reinterpret_cast<const char*>(&property[4]), "hvcC", 4) == 0
                       ? 0x8000
                       : 0) |
                      next++);
    }
  }
  for (const Reference& r : references) {
    Bytes body;
    Put16(body, r.from);
    Put16(body, uint32_t(r.to.size()));
    for (uint32_t to : r.to) Put16(body, to);
    Append(iref, Box(r.type, body));
  }
  auto meta = [&](uint32_t mdatStart) {
    Bytes hdlr(4, 0);
    PutTag(hdlr, "pict");
    hdlr.insert(hdlr.end(), 13, 0);
    Bytes pitm;
    Put16(pitm, primary);
    Bytes iloc = {0x44, 0x00};  // 4-byte offsets and lengths, no base offset
    Put16(iloc, uint32_t(items.size()));
    uint32_t offset = mdatStart;
    for (const Item& item : items) {
      Put16(iloc, item.id);
      Put16(iloc, 0);
      Put16(iloc, 1);
      Put32(iloc, offset);
      Put32(iloc, uint32_t(item.data.size()));
      offset += uint32_t(item.data.size());
    }
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
  for (const Item& item : items) mdat += item.data.size();
  Put32(file, uint32_t(mdat));
  PutTag(file, "mdat");
  for (const Item& item : items) Append(file, item.data);
  return file;
}

void Save(const std::string& path, const Bytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) Fail("cannot write");
  std::fclose(f);
  std::printf("%s: %zu bytes\n", path.c_str(), bytes.size());
}

// The reported file: libheif's own API encodes the image and a thumbnail
// larger than it, and assigns the one to the other.
Bytes ThumbnailLargerThanItsImage() {
  heif_context* context = heif_context_alloc();
  heif_encoder* encoder = Encoder(context);
  heif_encoder* flat = Encoder(context, 0);
  heif_image* image = Quadrants(640, 480, 255);
  heif_image* large = Quadrants(16000, 12000, 127);
  heif_image_handle* primary = nullptr;
  heif_image_handle* thumbnail = nullptr;
  Check(heif_context_encode_image(context, image, encoder, nullptr, &primary));
  Check(heif_context_encode_image(context, large, flat, nullptr, &thumbnail));
  Check(heif_context_set_primary_image(context, primary));
  // libheif 1.15 takes the two the other way round from what its header
  // says: the thumbnail first.
  Check(heif_context_assign_thumbnail(context, thumbnail, primary));
  const Bytes file = Written(context);
  heif_image_handle_release(thumbnail);
  heif_image_handle_release(primary);
  heif_image_release(large);
  heif_image_release(image);
  heif_encoder_release(flat);
  heif_encoder_release(encoder);
  heif_context_free(context);
  return file;
}

Bytes AV1Thumbnail() {
  heif_context* context = heif_context_alloc();
  heif_encoder* encoder = Encoder(context, 50, heif_compression_AV1);
  heif_image* image = Quadrants(256, 192, 255);
  heif_image* small = Quadrants(64, 48, 127);
  heif_image_handle* primary = nullptr;
  heif_image_handle* thumbnail = nullptr;
  Check(heif_context_encode_image(context, image, encoder, nullptr, &primary));
  Check(heif_context_encode_image(context, small, encoder, nullptr, &thumbnail));
  Check(heif_context_set_primary_image(context, primary));
  Check(heif_context_assign_thumbnail(context, thumbnail, primary));  // as above
  const Bytes file = Written(context);
  heif_image_handle_release(thumbnail);
  heif_image_handle_release(primary);
  heif_image_release(small);
  heif_image_release(image);
  heif_encoder_release(encoder);
  heif_context_free(context);
  return file;
}

Bytes ThumbnailBounds() {
  const Coded image = Code(256, 192, 255);
  const Coded exact = Code(256, 192, 127);
  const Coded wider = Code(258, 192, 127);
  const Coded taller = Code(256, 194, 127);
  const Coded larger = Code(96, 72, 127);
  const Coded windowed = Code(120, 90, 127);
  // The 128 x 96 grid's tiles, row by row.
  std::vector<Coded> tiles;
  for (uint32_t y : {0u, 64u}) {
    for (uint32_t x : {0u, 64u}) tiles.push_back(Code(64, 64, 127, {128, 96, x, y}));
  }
  std::vector<Item> items;
  std::vector<Reference> references;
  uint32_t id = 1;
  // Each image, then its thumbnail's items.
  auto add = [&](std::vector<Item> thumbnail) {
    const uint32_t imageID = id++;
    items.push_back(Coded1(imageID, image, 256, 192));
    uint32_t thumbnailID = 0;
    std::vector<uint32_t> tiles;
    for (Item& item : thumbnail) {
      item.id = id++;
      if (std::strcmp(item.type, "grid") == 0) {
        thumbnailID = item.id;
      } else if (item.hidden) {
        tiles.push_back(item.id);
      } else {
        thumbnailID = item.id;
      }
      items.push_back(std::move(item));
    }
    if (!tiles.empty()) references.push_back({"dimg", thumbnailID, tiles});
    references.push_back({"thmb", thumbnailID, {imageID}});
  };
  add({Coded1(0, exact, 256, 192)});
  add({Grid(0, 1, 1, 257, 192), Coded1(0, wider, 258, 192, true)});
  add({Grid(0, 1, 1, 256, 193), Coded1(0, taller, 256, 194, true)});
  add({Coded1(0, larger, 64, 48)});
  add({Grid(0, 2, 2, 128, 96), Coded1(0, tiles[0], 64, 64, true),
       Coded1(0, tiles[1], 64, 64, true), Coded1(0, tiles[2], 64, 64, true),
       Coded1(0, tiles[3], 64, 64, true)});
  add({Grid(0, 1, 1, 64, 48), Coded1(0, exact, 256, 192, true)});
  add({Coded1(0, windowed, 120, 90)});
  add({Grid(0, 1, 1, 64, 48), Coded1(0, tiles[0], 32, 32, true)});
  return File(items, references, 1);
}

Bytes PastTheLimit() {
  const Coded image = Code(8200, 8200, 255);
  const Coded large = Code(8194, 8194, 127);
  const Coded small = Code(256, 256, 127);
  return File({Coded1(1, image, 8200, 8200), Coded1(2, large, 8194, 8194),
               Coded1(3, small, 256, 256)},
              {{"thmb", 2, {1}}, {"thmb", 3, {1}}}, 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) Fail("usage: make-heic-thumbnail-samples FOLDER");
  heif_init(nullptr);
  const std::string dir = argv[1];
  Save(dir + "/thumbnail-16000x12000-of-640x480.heic", ThumbnailLargerThanItsImage());
  Save(dir + "/thumbnail-bounds-of-256x192.heic", ThumbnailBounds());
  Save(dir + "/thumbnails-of-8200x8200.heic", PastTheLimit());
  Save(dir + "/thumbnail-64x48-of-256x192.avif", AV1Thumbnail());
  heif_deinit();
  return 0;
}
