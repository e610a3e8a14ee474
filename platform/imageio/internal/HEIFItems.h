#pragma once

// What a HEIF file's boxes say of its items, read without libheif: their
// types, properties, references and where their data lies; the turn an
// item's rotation and mirroring make; and what decoding an item would make
// and cost, told by every picture size a decoder will meet (HEVC's sequence
// parameter sets, AV1's sequence headers: in the codec's configuration and
// among the units of the item's own data, whose payloads are skipped by
// their lengths) and a grid's description, so that a decode is refused
// before it starts rather than after it has spent its memory.

#include <cstdint>
#include <map>
#include <span>
#include <vector>

// What decoding an item would do, as its configuration and data say. An
// image is judged with its alpha, which is decoded with it: it agrees only
// when its alpha agrees too and is no larger than it, and is within the
// limit only when its alpha is. Data that cannot be read for its picture
// sizes (a parameter set that does not read, more units or announcements
// than a picture has), or a grid of more tiles than the bound (see
// HEIFItems.cpp), makes all three false.
struct HEIFItemDecode {
  // Whether the picture sizes were read: HEVC and AV1 items, and grids of
  // them.
  bool known = false;
  // What decoding makes when known, before the item's own turns.
  uint32_t width = 0, height = 0;
  // Decoding makes the size the item declares (its 'ispe', which writers
  // give before or after the item's quarter turns), making no picture
  // larger than that size and its coding's padding.
  bool agrees = false;
  // No picture the decode makes (the output, each coded picture of it)
  // has more than kImageMaxPixels pixels. Judged by the declared sizes
  // where no picture size is announced.
  bool withinLimit = false;
};

// A grid item's layout, as its description and references give it.
struct HEIFGridLayout {
  uint32_t rows = 0, columns = 0;
  // The picture it makes, before the item's turns; its tiles overhang it
  // right and bottom.
  uint32_t width = 0, height = 0;
  std::vector<uint32_t> tiles;  // row by row
};

class HEIFItems {
 public:
  // `file`: the whole file; only its 'meta' box, a grid's description and
  // the units' lengths and parameter sets of an item judged are read.
  explicit HEIFItems(std::span<const uint8_t> file);

  // The EXIF orientation equal to the item's rotation ('irot', a quarter
  // turn anticlockwise each) and mirroring ('imir') properties, in the
  // order they are listed; 1 when it has none.
  int orientation(uint32_t item) const;
  // The size the item declares ('ispe'), before its turns; false when it
  // declares none.
  bool declaredSize(uint32_t item, uint32_t& width, uint32_t& height) const;
  HEIFItemDecode decode(uint32_t item) const { return decode(item, 0); }
  // Whether the file holds no more items than a photo may: libheif's
  // reading of a file's items takes time growing with the square of their
  // count (seconds at 8,500, minutes at 65,536), before any is decoded.
  bool fewEnoughItems() const;
  // False when the item is no grid, or its description or its list of
  // tiles does not read.
  bool gridLayout(uint32_t item, HEIFGridLayout& out) const;
  // Whether the item has a property of the type ("clap", ...).
  bool hasProperty(uint32_t item, const char (&type)[5]) const;
  // A coded item (HEVC or AV1) as a file of its own, its one image: its
  // configuration, size and colour properties and its data, for a decoder
  // that reads only whole files. Empty for items of other types and items
  // whose data does not lie whole in the file.
  std::vector<uint8_t> standaloneFile(uint32_t item) const;

 private:
  struct Property {
    uint32_t type = 0;
    std::span<const uint8_t> body;
  };
  struct Extent {
    uint64_t offset = 0, length = 0;
  };
  struct Location {
    int method = 0;  // 0: in the file, 1: in 'idat'
    std::vector<Extent> extents;
  };

  HEIFItemDecode decode(uint32_t item, int depth) const;
  // The item alone, without its alpha.
  HEIFItemDecode decodeCoded(uint32_t item, int depth) const;
  HEIFItemDecode decodeGrid(uint32_t item, int depth) const;
  // Whether the item is an alpha plane ('auxC' names it one).
  bool isAlpha(uint32_t item) const;
  // Whether `width` x `height` is the size the item declares, either way
  // round when the item makes a quarter turn.
  bool declares(uint32_t item, uint32_t width, uint32_t height) const;
  std::vector<Property> propertiesOf(uint32_t item) const;
  const Property* property(uint32_t item, uint32_t type) const;
  // The item's data when it is small (a grid's description); empty when
  // it lies outside the file or is larger than `most`.
  std::vector<uint8_t> smallData(uint32_t item, size_t most) const;
  // The item's data, extent by extent, as far as it lies in the file.
  std::vector<std::span<const uint8_t>> dataParts(uint32_t item) const;

  void readItemInfo(std::span<const uint8_t> iinf);
  void readLocations(std::span<const uint8_t> iloc);
  void readReferences(std::span<const uint8_t> iref);
  void readAssociations(std::span<const uint8_t> ipma);

  std::span<const uint8_t> file_;
  std::span<const uint8_t> idat_;
  std::map<uint32_t, uint32_t> types_;
  size_t itemCount_ = 0;                                   // every 'infe', of whatever version
  std::vector<Property> properties_;                       // of 'ipco', in order
  std::map<uint32_t, std::vector<size_t>> associations_;   // item: indices into properties_
  std::map<uint32_t, std::vector<uint32_t>> derivedFrom_;  // 'dimg': item to its inputs
  std::map<uint32_t, std::vector<uint32_t>> auxiliaries_;  // 'auxl': item to its auxiliaries
  std::map<uint32_t, Location> locations_;
};

// The picture an HEVC decoder configuration ('hvcC' body) codes: its coded
// size and the size its conformance window leaves. False when it carries
// no sequence parameter set that reads.
struct HEVCPictureSize {
  uint32_t codedWidth = 0, codedHeight = 0;
  uint32_t width = 0, height = 0;
};
bool HEVCPictureSizeOf(std::span<const uint8_t> hvcC, HEVCPictureSize& out);

// The largest frame of AV1 open bitstream units (an 'av1C' box's, or an
// item's data) as their sequence header says; false without one.
bool AV1FrameSizeOf(std::span<const uint8_t> obus, uint32_t& width, uint32_t& height);
