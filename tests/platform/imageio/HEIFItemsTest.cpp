// What a HEIF item's boxes say decoding it would make and cost, read from
// HEVC sequence parameters and AV1 sequence headers written here bit by
// bit: the coded picture, the conformance window that cuts it, the largest
// frame, and how they stand against the size the item declares and the
// full-decode limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/imageio/ImageBitmap.h"
#include "platform/imageio/ImageDecoder.h"
#include "platform/imageio/internal/HEIFItems.h"
#include "support/TestEnvironment.h"

namespace heif_items_test {

namespace {

// Bits written most significant first, then a NAL unit's payload with its
// emulation prevention bytes put in.
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
  // Written as they are, zeros to a byte.
  Bytes raw() {
    while (bits_.size() % 8) bits_.push_back(0);
    Bytes out;
    for (size_t i = 0; i < bits_.size(); i += 8) {
      uint8_t byte = 0;
      for (size_t b = 0; b < 8; ++b) byte = uint8_t(byte << 1 | bits_[i + b]);
      out.push_back(byte);
    }
    return out;
  }
  // AV1's variable-length code.
  void uvlc(uint32_t value) {
    const uint64_t v = uint64_t(value) + 1;
    int zeros = 0;
    while ((v >> (zeros + 1)) != 0) ++zeros;
    u(0, zeros);
    u(1, 1);
    u(uint32_t(v - (uint64_t(1) << zeros)), zeros);
  }
  Bytes nal() {
    u(1, 1);  // the stop bit, then zeros to a byte
    while (bits_.size() % 8) bits_.push_back(0);
    Bytes out;
    int zeros = 0;
    for (size_t i = 0; i < bits_.size(); i += 8) {
      uint8_t byte = 0;
      for (size_t b = 0; b < 8; ++b) byte = uint8_t(byte << 1 | bits_[i + b]);
      if (zeros >= 2 && byte <= 3) {
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

struct Window {
  uint32_t left = 0, right = 0, top = 0, bottom = 0;
};

// An 'hvcC' body holding one sequence parameter set (4:2:0 unless said).
Bytes Config(uint32_t codedWidth, uint32_t codedHeight, Window window = {}, uint32_t chroma = 1,
             uint32_t subLayers = 0) {
  BitWriter sps;
  sps.u(33 << 1, 8);  // NAL unit header: a sequence parameter set
  sps.u(1, 8);
  sps.u(0, 4);          // video parameter set
  sps.u(subLayers, 3);  // sub-layers - 1
  sps.u(1, 1);
  sps.u(0x01600000, 32);  // general profile: Main...
  sps.u(0, 32);
  sps.u(0, 32);
  for (uint32_t i = 0; i < subLayers; ++i) sps.u(0b11, 2);  // profile and level present
  if (subLayers > 0) sps.u(0, 2 * (8 - subLayers));
  for (uint32_t i = 0; i < subLayers; ++i) {
    sps.u(0, 32);
    sps.u(0, 32);
    sps.u(0, 24);
    sps.u(90, 8);
  }
  sps.ue(0);  // its identifier
  sps.ue(chroma);
  if (chroma == 3) sps.u(0, 1);
  sps.ue(codedWidth);
  sps.ue(codedHeight);
  const bool cut = window.left || window.right || window.top || window.bottom;
  sps.u(cut, 1);
  if (cut) {
    sps.ue(window.left);
    sps.ue(window.right);
    sps.ue(window.top);
    sps.ue(window.bottom);
  }
  sps.ue(0);  // bit depths and the rest: never read
  const Bytes nal = sps.nal();
  Bytes config(22, 0);
  config[0] = 1;
  config.push_back(1);  // one array
  config.push_back(0x80 | 33);
  AppendBE16(config, 1);  // one unit
  AppendBE16(config, uint32_t(nal.size()));
  config.insert(config.end(), nal.begin(), nal.end());
  return config;
}

struct AV1Header {
  uint32_t width, height;
  bool reduced = false;
  bool timing = false, decoderModel = false, initialDelay = false;
  uint32_t points = 1;
};

int BitsFor(uint32_t value) {
  int bits = 1;
  while (bits < 32 && (value >> bits) != 0) ++bits;
  return bits;
}

// A sequence header OBU (with its size field; `extension`: with an
// extension byte).
Bytes SequenceHeaderOBU(const AV1Header& h, bool extension = false) {
  BitWriter b;
  b.u(0, 3);  // profile
  b.u(1, 1);  // still picture
  b.u(h.reduced, 1);
  if (h.reduced) {
    b.u(8, 5);
  } else {
    b.u(h.timing, 1);
    if (h.timing) {
      b.u(1, 32);
      b.u(30, 32);
      b.u(1, 1);  // equal picture interval
      b.uvlc(5);
      b.u(h.decoderModel, 1);
      if (h.decoderModel) {
        b.u(9, 5);  // delays of 10 bits
        b.u(1, 32);
        b.u(4, 5);
        b.u(4, 5);
      }
    }
    b.u(h.initialDelay, 1);
    b.u(h.points - 1, 5);
    for (uint32_t i = 0; i < h.points; ++i) {
      b.u(0x10F, 12);
      b.u(i == 0 ? 9 : 4, 5);  // a level past 7 carries a tier
      if (i == 0) b.u(1, 1);
      if (h.decoderModel) {
        b.u(1, 1);
        b.u(0x155, 10);
        b.u(0x2AA, 10);
        b.u(1, 1);
      }
      if (h.initialDelay) {
        b.u(1, 1);
        b.u(3, 4);
      }
    }
  }
  const int widthBits = BitsFor(h.width - 1), heightBits = BitsFor(h.height - 1);
  b.u(widthBits - 1, 4);
  b.u(heightBits - 1, 4);
  b.u(h.width - 1, widthBits);
  b.u(h.height - 1, heightBits);
  b.u(0, 16);  // the rest: never read
  const Bytes payload = b.raw();
  Bytes obu = {uint8_t(1 << 3 | (extension ? 4 : 0) | 2)};
  if (extension) obu.push_back(0);
  obu.push_back(uint8_t(payload.size()));  // under 128: one byte
  obu.insert(obu.end(), payload.begin(), payload.end());
  return obu;
}

const Bytes kTemporalDelimiter = {2 << 3 | 2, 0};

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Bytes CutShort(Bytes b, size_t by) {
  b.resize(b.size() - by);
  return b;
}

Bytes Box(const char* type, const Bytes& body, int version = -1) {
  Bytes b;
  AppendBE32(b, uint32_t(body.size() + 8 + (version >= 0 ? 4 : 0)));
  b.insert(b.end(), type, type + 4);
  if (version >= 0) b.insert(b.end(), {uint8_t(version), 0, 0, 0});
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

// A file whose one item (1) is an 'hvc1' of the configuration (or an
// 'av01' of the 'av1C' body), declaring width x height; its data nowhere.
Bytes File(const Bytes& config, uint32_t width, uint32_t height, bool av1 = false) {
  Bytes infe;
  AppendBE16(infe, 1);
  AppendBE16(infe, 0);
  const char* type = av1 ? "av01" : "hvc1";
  infe.insert(infe.end(), type, type + 4);
  infe.push_back(0);
  Bytes iinf;
  AppendBE16(iinf, 1);
  const Bytes entry = Box("infe", infe, 2);
  iinf.insert(iinf.end(), entry.begin(), entry.end());
  Bytes size;
  AppendBE32(size, width);
  AppendBE32(size, height);
  Bytes ipco = Box(av1 ? "av1C" : "hvcC", config);
  const Bytes ispe = Box("ispe", size, 0);
  ipco.insert(ipco.end(), ispe.begin(), ispe.end());
  Bytes ipma;
  AppendBE32(ipma, 1);
  AppendBE16(ipma, 1);
  ipma.insert(ipma.end(), {2, 0x81, 0x02});
  Bytes iprp = Box("ipco", ipco);
  const Bytes associations = Box("ipma", ipma, 0);
  iprp.insert(iprp.end(), associations.begin(), associations.end());
  Bytes meta = Box("iinf", iinf, 0);
  const Bytes properties = Box("iprp", iprp);
  meta.insert(meta.end(), properties.begin(), properties.end());
  Bytes file = Box("ftyp", {'h', 'e', 'i', 'c', 0, 0, 0, 0, 'm', 'i', 'f', '1'});
  const Bytes metaBox = Box("meta", meta, 0);
  file.insert(file.end(), metaBox.begin(), metaBox.end());
  return file;
}

// A file whose item 1 is a grid of one tile (item 2, an 'hvc1' of the
// configuration declaring tileWidth x tileHeight) making width x height;
// the grid's description and the tile's data in 'idat'.
Bytes GridFile(const Bytes& config, uint32_t tileWidth, uint32_t tileHeight, uint32_t width,
               uint32_t height) {
  Bytes iinf;
  AppendBE16(iinf, 2);
  for (const auto& [id, type] : {std::pair<uint16_t, const char*>{1, "grid"}, {2, "hvc1"}}) {
    Bytes infe;
    AppendBE16(infe, id);
    AppendBE16(infe, 0);
    infe.insert(infe.end(), type, type + 4);
    infe.push_back(0);
    const Bytes entry = Box("infe", infe, 2);
    iinf.insert(iinf.end(), entry.begin(), entry.end());
  }
  Bytes description = {0, 1, 0, 0};  // 32-bit sizes, one row, one column
  AppendBE32(description, width);
  AppendBE32(description, height);
  const Bytes tileData = {0, 0, 0, 2, 0x26, 0x01};
  Bytes idat = description;
  idat.insert(idat.end(), tileData.begin(), tileData.end());
  // Version 1: in 'idat' (construction method 1); 4-byte offsets and lengths.
  Bytes iloc = {0x44, 0x00};
  AppendBE16(iloc, 2);
  uint32_t offset = 0;
  for (const auto& [id, length] : {std::pair<uint16_t, uint32_t>{1, uint32_t(description.size())},
                                   {2, uint32_t(tileData.size())}}) {
    AppendBE16(iloc, id);
    AppendBE16(iloc, 1);
    AppendBE16(iloc, 0);
    AppendBE16(iloc, 1);
    AppendBE32(iloc, offset);
    AppendBE32(iloc, length);
    offset += length;
  }
  auto ispe = [](uint32_t w, uint32_t h) {
    Bytes size;
    AppendBE32(size, w);
    AppendBE32(size, h);
    return Box("ispe", size, 0);
  };
  Bytes ipco = ispe(width, height);
  for (const Bytes& box : {Box("hvcC", config), ispe(tileWidth, tileHeight)}) {
    ipco.insert(ipco.end(), box.begin(), box.end());
  }
  Bytes ipma;
  AppendBE32(ipma, 2);
  AppendBE16(ipma, 1);
  ipma.insert(ipma.end(), {1, 0x01});
  AppendBE16(ipma, 2);
  ipma.insert(ipma.end(), {2, 0x82, 0x03});
  Bytes iprp = Box("ipco", ipco);
  const Bytes associations = Box("ipma", ipma, 0);
  iprp.insert(iprp.end(), associations.begin(), associations.end());
  const Bytes dimg = Box("dimg", {0, 1, 0, 1, 0, 2});
  Bytes meta;
  for (const Bytes& box : {Box("iinf", iinf, 0), Box("iloc", iloc, 1), Box("iref", dimg, 0),
                           Box("iprp", iprp), Box("idat", idat)}) {
    meta.insert(meta.end(), box.begin(), box.end());
  }
  Bytes file = Box("ftyp", {'h', 'e', 'i', 'c', 0, 0, 0, 0, 'm', 'i', 'f', '1'});
  const Bytes metaBox = Box("meta", meta, 0);
  file.insert(file.end(), metaBox.begin(), metaBox.end());
  return file;
}

}  // namespace

using HEIFItemsTest = PlatformTest;

// A grid is within the limit when its picture and each of its tiles' coded
// pictures are: a tile's cost is its own, whatever the grid cuts of it.
// Its layout and each tile, as a file of its own, are what a decode by
// tiles reads.
TEST_F(HEIFItemsTest, AGridIsWithinTheLimitWhenItsPictureAndEveryTileAre) {
  struct Case {
    const char* what;
    Bytes config;
    uint32_t tileWidth, tileHeight, width, height;
    bool agrees, withinLimit;
  };
  const Case cases[] = {
      {"a tile of 512", Config(512, 512), 512, 512, 500, 510, true, true},
      {"a tile at the limit", Config(8192, 8192), 8192, 8192, 8192, 8190, true, true},
      {"a tile a row past the limit, cut to it", Config(8192, 8194), 8192, 8194, 8192, 8192, true,
       false},
      {"a picture a row past the limit", Config(8192, 8194), 8192, 8194, 8192, 8193, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes file = GridFile(c.config, c.tileWidth, c.tileHeight, c.width, c.height);
    const HEIFItems items(file);
    const HEIFItemDecode decode = items.decode(1);
    EXPECT_TRUE(decode.known);
    EXPECT_EQ(decode.agrees, c.agrees);
    EXPECT_EQ(decode.withinLimit, c.withinLimit);
    HEIFGridLayout layout;
    ASSERT_TRUE(items.gridLayout(1, layout));
    EXPECT_EQ(layout.rows, 1u);
    EXPECT_EQ(layout.columns, 1u);
    EXPECT_EQ(layout.width, c.width);
    EXPECT_EQ(layout.height, c.height);
    EXPECT_EQ(layout.tiles, std::vector<uint32_t>{2});
    EXPECT_FALSE(items.gridLayout(2, layout));
    // The tile alone: the same configuration and size, its data after them.
    const Bytes alone = items.standaloneFile(2);
    ASSERT_FALSE(alone.empty());
    const HEIFItemDecode tile = HEIFItems(alone).decode(1);
    const HEIFItemDecode inGrid = items.decode(2);
    EXPECT_TRUE(tile.known);
    EXPECT_EQ(tile.width, inGrid.width);
    EXPECT_EQ(tile.height, inGrid.height);
    EXPECT_EQ(tile.agrees, inGrid.agrees);
    EXPECT_EQ(tile.withinLimit, inGrid.withinLimit);
    const Bytes data = {0, 0, 0, 2, 0x26, 0x01};
    EXPECT_TRUE(std::equal(data.rbegin(), data.rend(), alone.rbegin()));
    EXPECT_TRUE(items.standaloneFile(1).empty()) << "a grid is no coded picture";
  }
}

TEST_F(HEIFItemsTest, SequenceParametersTellTheCodedPictureAndWhatItsWindowLeaves) {
  struct Case {
    const char* what;
    Bytes config;
    bool read;
    uint32_t codedWidth, codedHeight, width, height;
  };
  const Case cases[] = {
      {"no window", Config(640, 480), true, 640, 480, 640, 480},
      // Offsets count chroma samples: two pixels each way in 4:2:0.
      {"4:2:0 window", Config(264, 200, {0, 3, 0, 3}), true, 264, 200, 258, 194},
      {"4:2:2 window", Config(264, 200, {1, 2, 1, 2}, 2), true, 264, 200, 258, 197},
      {"4:4:4 window", Config(264, 200, {1, 2, 1, 2}, 3), true, 264, 200, 261, 197},
      {"sub-layers", Config(128, 96, {0, 0, 0, 1}, 1, 2), true, 128, 96, 128, 94},
      {"a window one pixel short of the picture", Config(64, 64, {0, 31, 0, 0}), true, 64, 64, 2,
       64},
      {"a window as wide as the picture", Config(64, 64, {0, 32, 0, 0}), false, 0, 0, 0, 0},
      {"cut short", CutShort(Config(64, 64), 4), false, 0, 0, 0, 0},
      {"no parameter set", Bytes(23, 0), false, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HEVCPictureSize size;
    ASSERT_EQ(HEVCPictureSizeOf(c.config, size), c.read);
    if (!c.read) continue;
    EXPECT_EQ(size.codedWidth, c.codedWidth);
    EXPECT_EQ(size.codedHeight, c.codedHeight);
    EXPECT_EQ(size.width, c.width);
    EXPECT_EQ(size.height, c.height);
  }
}

TEST_F(HEIFItemsTest, AnItemAgreesWhenItCodesWhatItDeclaresAndOnlyItsPaddingMore) {
  // 8192 x 8192 is kImageMaxPixels exactly.
  static_assert(uint64_t(8192) * 8192 == kImageMaxPixels);
  struct Case {
    const char* what;
    Bytes config;
    uint32_t declaredWidth, declaredHeight;
    bool agrees, withinLimit;
  };
  const Case cases[] = {
      {"as declared", Config(64, 48), 64, 48, true, true},
      {"larger than declared", Config(96, 72), 64, 48, false, true},
      {"smaller than declared", Config(64, 48), 96, 72, false, true},
      // Coded pictures are padded by less than 64 pixels.
      {"cut by 62 rows", Config(128, 112, {0, 0, 0, 31}), 128, 50, true, true},
      {"cut by 64 rows", Config(128, 112, {0, 0, 0, 32}), 128, 48, false, true},
      {"cut by 64 columns", Config(192, 48, {0, 32, 0, 0}), 128, 48, false, true},
      {"at the limit", Config(8192, 8192), 8192, 8192, true, true},
      {"a row past the limit", Config(8192, 8194), 8192, 8194, true, false},
      // The window hides the picture's cost: judged by the coded size.
      {"cut to under the limit", Config(8192, 8194, {0, 0, 0, 1}), 8192, 8192, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes file = File(c.config, c.declaredWidth, c.declaredHeight);
    const HEIFItems items(file);
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(items.declaredSize(1, w, h));
    const HEIFItemDecode decode = items.decode(1);
    EXPECT_TRUE(decode.known);
    EXPECT_EQ(decode.agrees, c.agrees);
    EXPECT_EQ(decode.withinLimit, c.withinLimit);
  }
  // An item of no known codec is judged by what it declares.
  Bytes unknown = File(Bytes(23, 0), 8192, 8192);
  EXPECT_FALSE(HEIFItems(unknown).decode(1).known);
  EXPECT_TRUE(HEIFItems(unknown).decode(1).withinLimit);
  unknown = File(Bytes(23, 0), 8192, 8193);
  EXPECT_FALSE(HEIFItems(unknown).decode(1).withinLimit);
}

TEST_F(HEIFItemsTest, AV1SequenceHeadersTellTheLargestFrame) {
  struct Case {
    const char* what;
    Bytes obus;
    bool read;
    uint32_t width, height;
  };
  const AV1Header full{4032, 3024, false, true, true, true, 2};
  const Case cases[] = {
      {"reduced still picture header", SequenceHeaderOBU({64, 48, true}), true, 64, 48},
      {"timing, decoder model, two operating points", SequenceHeaderOBU(full), true, 4032, 3024},
      {"no timing", SequenceHeaderOBU({640, 480}), true, 640, 480},
      {"after a temporal delimiter, with an extension",
       Join({kTemporalDelimiter, SequenceHeaderOBU({8192, 8193}, true)}), true, 8192, 8193},
      {"a side of 65536", SequenceHeaderOBU({65536, 1, true}), true, 65536, 1},
      {"without its size field, the last unit", CutShort(SequenceHeaderOBU({64, 48, true}), 0),
       true, 64, 48},
      {"cut short", CutShort(SequenceHeaderOBU(full), 6), false, 0, 0},
      {"no sequence header", kTemporalDelimiter, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes obus = c.obus;
    if (std::string(c.what).rfind("without", 0) == 0) {
      obus[0] &= uint8_t(~2);  // no size field: the header's payload runs to the end
      obus.erase(obus.begin() + 1);
    }
    uint32_t w = 0, h = 0;
    ASSERT_EQ(AV1FrameSizeOf(obus, w, h), c.read);
    if (!c.read) continue;
    EXPECT_EQ(w, c.width);
    EXPECT_EQ(h, c.height);
  }
  // In an item: the header from its configuration.
  struct ItemCase {
    const char* what;
    AV1Header header;
    uint32_t declaredWidth, declaredHeight;
    bool agrees, withinLimit;
  };
  const ItemCase items[] = {
      {"as declared", {64, 48, true}, 64, 48, true, true},
      {"larger than declared", {96, 72, true}, 64, 48, false, true},
      {"at the limit", {8192, 8192, true}, 8192, 8192, true, true},
      {"a row past the limit", {8192, 8193, true}, 8192, 8193, true, false},
  };
  for (const ItemCase& c : items) {
    SCOPED_TRACE(c.what);
    const Bytes file = File(Join({{0x81, 0, 0x0C, 0}, SequenceHeaderOBU(c.header)}),
                            c.declaredWidth, c.declaredHeight, true);
    const HEIFItemDecode decode = HEIFItems(file).decode(1);
    EXPECT_TRUE(decode.known);
    EXPECT_EQ(decode.agrees, c.agrees);
    EXPECT_EQ(decode.withinLimit, c.withinLimit);
  }
  // No header in the configuration and no data to find one in.
  const Bytes bare = File({0x81, 0, 0x0C, 0}, 64, 48, true);
  EXPECT_FALSE(HEIFItems(bare).decode(1).known);
}

}  // namespace heif_items_test
