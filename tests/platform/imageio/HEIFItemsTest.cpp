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
#include "support/HEIFLayout.h"
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

// A sequence parameter set NAL unit (4:2:0 unless said).
Bytes SPS(uint32_t codedWidth, uint32_t codedHeight, Window window = {}, uint32_t chroma = 1,
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
  return sps.nal();
}

// An 'hvcC' body holding the NAL units in one array, its data's units led
// by lengths of `lengthSize` bytes.
Bytes ConfigOf(const std::vector<Bytes>& nals, size_t lengthSize = 4) {
  Bytes config(22, 0);
  config[0] = 1;
  config[21] = uint8_t(0xFC | (lengthSize - 1));
  config.push_back(1);  // one array
  config.push_back(0x80 | 33);
  AppendBE16(config, uint32_t(nals.size()));
  for (const Bytes& nal : nals) {
    AppendBE16(config, uint32_t(nal.size()));
    config.insert(config.end(), nal.begin(), nal.end());
  }
  return config;
}

// An 'hvcC' body holding one sequence parameter set.
Bytes Config(uint32_t codedWidth, uint32_t codedHeight, Window window = {}, uint32_t chroma = 1,
             uint32_t subLayers = 0) {
  return ConfigOf({SPS(codedWidth, codedHeight, window, chroma, subLayers)});
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

namespace {

// A NAL unit led by its length in `lengthSize` bytes, as an item's data
// carries it.
Bytes Unit(const Bytes& nal, size_t lengthSize = 4) {
  Bytes unit;
  for (size_t i = lengthSize; i > 0; --i) unit.push_back(uint8_t(nal.size() >> (8 * (i - 1))));
  unit.insert(unit.end(), nal.begin(), nal.end());
  return unit;
}

// A coded slice of a picture (its payload is never read here).
const Bytes kSlice = {19 << 1, 1, 0xAF, 0x12, 0x34, 0x56};
const Bytes kVPS = {32 << 1, 1, 0x0C, 0x01, 0xFF, 0xFF};
const Bytes kPPS = {34 << 1, 1, 0xC1, 0x73, 0xD0, 0x89};

HEIFLayoutItem Coded(uint32_t id, const char* type, const Bytes& config, uint32_t width,
                     uint32_t height, const Bytes& data = {}) {
  return {id,
          type,
          {HEIFBox(std::string(type) == "av01" ? "av1C" : "hvcC", config), HEIFIspe(width, height)},
          data};
}

HEIFItemDecode DecodeOf(const HEIFLayout& layout, uint32_t item) {
  const Bytes file = HEIFLayoutWrite(layout);
  return HEIFItems(file).decode(item);
}

struct Judged {
  bool known, agrees, withinLimit;
};

void ExpectJudged(const HEIFItemDecode& decode, Judged expected) {
  EXPECT_EQ(decode.known, expected.known);
  EXPECT_EQ(decode.agrees, expected.agrees);
  EXPECT_EQ(decode.withinLimit, expected.withinLimit);
}

}  // namespace

TEST_F(HEIFItemsTest, EveryParameterSetInAnItemsDataIsJudgedBeforeADecode) {
  const Bytes lie = Join({Unit(kVPS), Unit(SPS(16000, 12000)), Unit(kPPS)});
  const Bytes truthful = Join({Unit(kVPS), Unit(SPS(960, 720)), Unit(kPPS)});
  Bytes manyUnits, tooManyUnits;
  for (int i = 0; i < 4095; ++i) manyUnits = Join({manyUnits, Unit({1 << 1, 1})});
  manyUnits = Join({manyUnits, Unit(SPS(960, 720))});  // the last a decoder meets
  tooManyUnits = Join({Unit({1 << 1, 1}), manyUnits});
  // Read with lengths of 2 bytes, its length of 4 (70,000) goes astray
  // and the units after it are skipped.
  Bytes largeSlice = kSlice;
  largeSlice.resize(70000, 0xAA);
  // Its length says 8 bytes more than the data holds.
  Bytes pastTheEnd = Unit(SPS(16000, 12000));
  pastTheEnd[3] = uint8_t(pastTheEnd[3] + 8);
  Bytes sixteen, seventeen;
  for (int i = 0; i < 15; ++i) sixteen = Join({sixteen, Unit(SPS(960, 720))});
  seventeen = Join({sixteen, Unit(SPS(960, 720))});
  struct Case {
    const char* what;
    Bytes config, data;
    Judged judged;
  };
  const Case cases[] = {
      {"slices only", Config(960, 720), Unit(kSlice), {true, true, true}},
      {"leading with parameter sets of 16000 x 12000",
       Config(960, 720),
       Join({lie, Unit(kSlice)}),
       {true, false, false}},
      {"leading with the configuration's own",
       Config(960, 720),
       Join({truthful, Unit(kSlice)}),
       {true, true, true}},
      // Within the limit, but not the picture declared.
      {"a parameter set of 1024 x 768 between slices",
       Config(960, 720),
       Join({Unit(kSlice), Unit(SPS(1024, 768)), Unit(kSlice)}),
       {true, false, true}},
      {"parameter sets in the data only",
       ConfigOf({}),
       Join({truthful, Unit(kSlice)}),
       {true, true, true}},
      {"a lie in the data only", ConfigOf({}), Join({lie, Unit(kSlice)}), {true, false, false}},
      {"lengths of 2 bytes, as the configuration says",
       ConfigOf({SPS(960, 720)}, 2),
       Join({Unit(SPS(16000, 12000), 2), Unit(kSlice, 2)}),
       {true, false, false}},
      // libheif reads lengths of 4 bytes whatever the configuration says.
      {"lengths of 4 bytes where the configuration says 2",
       ConfigOf({SPS(960, 720)}, 2),
       Join({Unit(largeSlice), Unit(SPS(16000, 12000))}),
       {true, false, false}},
      {"a parameter set cut by the data's end",
       Config(960, 720),
       Join({Unit(kSlice), pastTheEnd}),
       {true, false, false}},
      {"a parameter set that does not read",
       Config(960, 720),
       Join({Unit(CutShort(SPS(960, 720), 4)), Unit(kSlice)}),
       {false, false, false}},
      {"4096 units, the last a parameter set", Config(960, 720), manyUnits, {true, true, true}},
      {"4097 units", Config(960, 720), tooManyUnits, {false, false, false}},
      {"16 parameter sets", Config(960, 720), sixteen, {true, true, true}},
      {"17 parameter sets", Config(960, 720), seventeen, {false, false, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HEIFLayout layout;
    layout.items = {Coded(1, "hvc1", c.config, 960, 720, c.data)};
    layout.primary = 1;
    ExpectJudged(DecodeOf(layout, 1), c.judged);
  }
}

TEST_F(HEIFItemsTest, EverySequenceHeaderInAnAV1ItemsDataIsJudgedBeforeADecode) {
  const Bytes frame = {6 << 3 | 2, 3, 0x10, 0x20, 0x30};
  const Bytes av1C = {0x81, 0, 0x0C, 0};
  const auto withHeader = [&](const AV1Header& h) { return Join({av1C, SequenceHeaderOBU(h)}); };
  struct Case {
    const char* what;
    Bytes config, data;
    uint32_t declaredWidth, declaredHeight;
    Judged judged;
  };
  const Case cases[] = {
      {"a header in the data as declared",
       av1C,
       Join({kTemporalDelimiter, SequenceHeaderOBU({64, 48, true}), frame}),
       64,
       48,
       {true, true, true}},
      {"a header in the data larger than the configuration's",
       withHeader({64, 48, true}),
       Join({kTemporalDelimiter, SequenceHeaderOBU({16000, 12000, true}), frame}),
       64,
       48,
       {true, false, false}},
      {"a second header after the first frame",
       withHeader({64, 48, true}),
       Join({SequenceHeaderOBU({64, 48, true}), frame, SequenceHeaderOBU({1024, 768}), frame}),
       64,
       48,
       {true, false, true}},
      // Declared within the limit, coded past it: judged by what is coded.
      {"coded a row past the limit, declared under it",
       withHeader({8192, 8193, true}),
       frame,
       64,
       48,
       {true, false, false}},
      {"coded at the limit, declared under it",
       withHeader({8192, 8192, true}),
       frame,
       64,
       48,
       {true, false, true}},
      {"coded a row past the limit in the data only",
       av1C,
       Join({SequenceHeaderOBU({8192, 8193, true}), frame}),
       8192,
       8192,
       {true, false, false}},
      {"a header that does not read",
       withHeader({64, 48, true}),
       Join({Bytes{1 << 3 | 2, 1, 0}, frame}),
       64,
       48,
       {false, false, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HEIFLayout layout;
    layout.items = {Coded(1, "av01", c.config, c.declaredWidth, c.declaredHeight, c.data)};
    layout.primary = 1;
    ExpectJudged(DecodeOf(layout, 1), c.judged);
  }
}

TEST_F(HEIFItemsTest, AnImageIsJudgedWithItsAlphaAndAGridWithEachTileAndItsCount) {
  const Bytes lie = Join({Unit(SPS(16000, 12000)), Unit(kSlice)});
  // An image of 960 x 720 and an auxiliary item of `auxiliary` naming it.
  const auto withAuxiliary = [&](const Bytes& auxC, uint32_t w, uint32_t h, const Bytes& data) {
    HEIFLayout layout;
    layout.items = {Coded(1, "hvc1", Config(960, 720), 960, 720, Unit(kSlice)),
                    Coded(2, "hvc1", Config(w, h), w, h, data)};
    layout.items[1].properties.push_back(auxC);
    layout.items[1].hidden = true;
    layout.references = {{"auxl", 2, {1}}};
    layout.primary = 1;
    return layout;
  };
  const Bytes alpha = HEIFAlphaProperty();
  const std::string otherUrn = "urn:mpeg:mpegB:cicp:systems:auxiliary:alpha";
  Bytes otherName(otherUrn.begin(), otherUrn.end());
  otherName.push_back(0);
  const Bytes alphaByItsOtherName = HEIFBox("auxC", otherName, 0);
  const std::string depthUrn = "urn:mpeg:hevc:2015:auxid:2";
  Bytes depthName(depthUrn.begin(), depthUrn.end());
  depthName.push_back(0);
  const Bytes depth = HEIFBox("auxC", depthName, 0);
  struct Case {
    const char* what;
    HEIFLayout layout;
    Judged judged;
  };
  const Case alphaCases[] = {
      {"an alpha as large as its image",
       withAuxiliary(alpha, 960, 720, Unit(kSlice)),
       {true, true, true}},
      {"an alpha whose data announces 16000 x 12000",
       withAuxiliary(alpha, 960, 720, lie),
       {true, false, false}},
      {"an alpha by its other name, lying",
       withAuxiliary(alphaByItsOtherName, 960, 720, lie),
       {true, false, false}},
      {"an alpha larger than its image",
       withAuxiliary(alpha, 961, 720, Unit(kSlice)),
       {true, false, true}},
      {"an alpha smaller than its image",
       withAuxiliary(alpha, 480, 360, Unit(kSlice)),
       {true, true, true}},
      // libheif decodes no other auxiliary image with the image.
      {"a depth map, lying", withAuxiliary(depth, 960, 720, lie), {true, true, true}},
  };
  for (const Case& c : alphaCases) {
    SCOPED_TRACE(c.what);
    ExpectJudged(DecodeOf(c.layout, 1), c.judged);
  }

  // Grids of rows x columns tiles of 64 x 64; tile `lying` (from 0) leads
  // its data with parameter sets of 16000 x 12000.
  const auto grid = [&](uint32_t rows, uint32_t columns, int lying = -1) {
    HEIFLayout layout;
    const uint32_t w = columns * 64, h = rows * 64;
    layout.items.push_back({1, "grid", {HEIFIspe(w, h)}, HEIFGridDescription(rows, columns, w, h)});
    HEIFLayoutReference tiles{"dimg", 1, {}};
    const Bytes config = HEIFBox("hvcC", Config(64, 64)), size = HEIFIspe(64, 64);
    for (uint32_t i = 0; i < rows * columns; ++i) {
      const Bytes data = int(i) == lying ? lie : Unit(kSlice);
      layout.items.push_back({i + 2, "hvc1", {config, size}, data, true});
      tiles.to.push_back(i + 2);
    }
    layout.references = {tiles};
    layout.primary = 1;
    return layout;
  };
  // Of 512-pixel tiles, an image of 16897 x 63489 (within the limits of a
  // source) needs 34 x 125; 39 x 109 is one more.
  const Case gridCases[] = {
      {"2 x 2", grid(2, 2), {true, true, true}},
      {"2 x 2, one tile lying", grid(2, 2, 3), {true, false, false}},
      {"4250 tiles", grid(34, 125), {true, true, true}},
      {"4251 tiles", grid(39, 109), {false, false, false}},
  };
  for (const Case& c : gridCases) {
    SCOPED_TRACE(c.what);
    ExpectJudged(DecodeOf(c.layout, 1), c.judged);
  }
  // Files of a grid's items and as many more: libheif's reading of them
  // takes seconds past the bound.
  for (const auto& [count, few] : {std::pair<uint32_t, bool>{8500, true}, {8501, false}}) {
    SCOPED_TRACE(count);
    HEIFLayout layout = grid(1, 1);
    for (uint32_t id = 3; layout.items.size() < count; ++id) {
      layout.items.push_back({id, "mime", {}, {}, true});
    }
    const Bytes file = HEIFLayoutWrite(layout);
    EXPECT_EQ(HEIFItems(file).fewEnoughItems(), few);
  }
  // Each tile is judged on its own as well.
  const HEIFLayout lying = grid(2, 2, 3);
  ExpectJudged(DecodeOf(lying, 4), {true, true, true});
  ExpectJudged(DecodeOf(lying, 5), {true, false, false});
}

}  // namespace heif_items_test
