#include "FlatJPEG.h"

#include <vector>

namespace {

void Marker(Bytes& out, uint8_t marker, const std::vector<uint8_t>& payload) {
  out.push_back(0xFF);
  out.push_back(marker);
  const size_t length = payload.size() + 2;
  out.push_back(uint8_t(length >> 8));
  out.push_back(uint8_t(length));
  out.insert(out.end(), payload.begin(), payload.end());
}

}  // namespace

Bytes FlatGreyJPEG(uint16_t width, uint16_t height) {
  Bytes out = {0xFF, 0xD8};
  // One quantisation table of ones.
  std::vector<uint8_t> dqt(65, 1);
  dqt[0] = 0;
  Marker(out, 0xDB, dqt);
  // One grey component, no subsampling.
  Marker(out, 0xC0,
         {8, uint8_t(height >> 8), uint8_t(height), uint8_t(width >> 8), uint8_t(width), 1, 1, 0x11,
          0});
  // Level-shifted mid grey has a DC of 0 and no AC: the DC table holds only
  // category 0 and the AC table only end-of-block, each coded as "0".
  std::vector<uint8_t> table(17, 0);
  table[1] = 1;
  table.push_back(0x00);
  std::vector<uint8_t> dht;
  for (uint8_t cls : {0x00, 0x10}) {
    dht.push_back(cls);
    dht.insert(dht.end(), table.begin() + 1, table.end());
  }
  Marker(out, 0xC4, dht);
  Marker(out, 0xDA, {1, 1, 0x00, 0, 63, 0});
  const uint64_t blocks = uint64_t((width + 7) / 8) * ((height + 7) / 8);
  const uint64_t bits = blocks * 2;
  out.insert(out.end(), bits / 8, 0x00);
  // The last byte is padded with ones.
  if (bits % 8) out.push_back(uint8_t(0xFF >> (bits % 8)));
  out.push_back(0xFF);
  out.push_back(0xD9);
  return out;
}
