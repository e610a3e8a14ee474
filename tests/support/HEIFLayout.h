#pragma once

// HEIF files as lists of items, read from a file made by an encoder and
// written back after a test has changed them, for files whose boxes or
// coded data say other things than each other: an item's data leading with
// parameter sets of another picture, an alpha item added, a grid of many
// tiles. Only the boxes are rewritten: the coded data stays the encoder's.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/foundation/ValueFwd.h"

struct HEIFLayoutItem {
  uint32_t id = 0;
  std::string type;               // "hvc1", "av01", "grid"
  std::vector<Bytes> properties;  // whole boxes, in their order
  Bytes data;
  bool hidden = false;
};

struct HEIFLayoutReference {
  std::string type;  // "dimg", "thmb", "auxl"
  uint32_t from = 0;
  std::vector<uint32_t> to;
};

struct HEIFLayout {
  std::vector<HEIFLayoutItem> items;
  std::vector<HEIFLayoutReference> references;
  uint32_t primary = 0;

  // The item of `id`; nullptr when there is none.
  HEIFLayoutItem* item(uint32_t id);
  // The body of the item's first property of `type`; empty when none.
  Bytes property(uint32_t id, const char* type) const;
};

// The items of a HEIF file whose data lies in the file or its 'idat'; an
// empty layout when its boxes do not read.
HEIFLayout HEIFLayoutRead(const Bytes& file);
// The file: its items' data in one 'mdat', in the items' order.
Bytes HEIFLayoutWrite(const HEIFLayout& layout);

// A box of `type` around `body`; a full box of `version` (flags 0) when
// `version` is at least 0.
Bytes HEIFBox(const char* type, const Bytes& body, int version = -1);
Bytes HEIFIspe(uint32_t width, uint32_t height);
// An 'auxC' naming the item an alpha plane.
Bytes HEIFAlphaProperty();
// A grid's description: rows x columns tiles making width x height.
Bytes HEIFGridDescription(uint32_t rows, uint32_t columns, uint32_t width, uint32_t height);

// The parameter sets of an 'hvcC' body as coded data carries them, each
// led by its length in 4 bytes, its sequence parameter set rewritten to
// code a picture of width x height (its conformance window kept) when
// width is not 0. Empty when the configuration holds no sequence parameter
// set that reads.
Bytes HEVCParameterSetsCoding(const Bytes& hvcC, uint32_t width = 0, uint32_t height = 0);

// The first AV1 sequence header among `obus` (a temporal delimiter, the
// header, a frame: an item's data), as a unit of its own that announces
// frames of width x height. Empty when none reads.
Bytes AV1SequenceHeaderAnnouncing(const Bytes& obus, uint32_t width, uint32_t height);

// The HEVC item's data led by its configuration's parameter sets (as some
// encoders write them), announcing width x height when width is not 0;
// false when they cannot be made.
bool HEIFLayoutLeadWithParameterSets(HEIFLayout& layout, uint32_t id, uint32_t width = 0,
                                     uint32_t height = 0);
// A copy of the HEVC image's item (id 100) added as its alpha, its data
// led by parameter sets announcing width x height when width is not 0.
bool HEIFLayoutAddAlpha(HEIFLayout& layout, uint32_t image, uint32_t width = 0,
                        uint32_t height = 0);
