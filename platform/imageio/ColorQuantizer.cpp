#include "ColorQuantizer.h"

#include <algorithm>
#include <array>
#include <limits>

namespace {

constexpr uint8_t kAlphaThreshold = 128;

inline bool Transparent(const uint8_t* p) { return p[3] < kAlphaThreshold; }
inline uint32_t Key(const uint8_t* p) { return (uint32_t(p[0]) << 16) | (p[1] << 8) | p[2]; }
inline uint32_t Bin(const uint8_t* p) {
  return ((p[0] >> 3) << 10) | ((p[1] >> 3) << 5) | (p[2] >> 3);
}

// Colour to palette index for at most 256 colours: open addressing over 1024
// slots, far cheaper per pixel than a node-based map.
class SmallColorTable {
 public:
  SmallColorTable() : keys_(kSlots, kEmpty), values_(kSlots, 0) {}
  // The index of the colour, adding it when new; -1 when the table is full.
  int find(uint32_t key, size_t maxColors, std::vector<uint8_t>& palette) {
    size_t slot = (key * 2654435761u) >> 22;
    while (keys_[slot] != kEmpty) {
      if (keys_[slot] == key) return values_[slot];
      slot = (slot + 1) & (kSlots - 1);
    }
    if (count_ >= maxColors) return -1;
    keys_[slot] = key;
    values_[slot] = uint8_t(count_);
    palette.insert(palette.end(), {uint8_t(key >> 16), uint8_t(key >> 8), uint8_t(key)});
    return int(count_++);
  }

 private:
  static constexpr size_t kSlots = 1024;
  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;
  std::vector<uint32_t> keys_;
  std::vector<uint8_t> values_;
  size_t count_ = 0;
};

// Exact palette when the image has few enough colours.
bool ExactPalette(const ImageBitmap& b, size_t maxColors, QuantizedImage& q) {
  SmallColorTable table;
  const size_t n = size_t(b.width) * b.height;
  q.indices.resize(n);
  uint32_t lastKey = 0xFFFFFFFFu;
  int lastIndex = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* p = &b.pixels[i * 4];
    if (Transparent(p)) continue;
    const uint32_t key = Key(p);
    if (key != lastKey) {
      lastIndex = table.find(key, maxColors, q.palette);
      if (lastIndex < 0) return false;
      lastKey = key;
    }
    q.indices[i] = uint8_t(lastIndex);
  }
  return true;
}

struct Box {
  std::vector<uint32_t> bins;  // histogram bins inside the box
  uint64_t weight = 0;
};

struct Histogram {
  std::vector<uint32_t> count = std::vector<uint32_t>(1 << 15, 0);
  std::vector<std::array<uint64_t, 3>> sum = std::vector<std::array<uint64_t, 3>>(1 << 15);
};

int Channel(uint32_t bin, int c) { return (bin >> (10 - 5 * c)) & 31; }

// Splits the box along its widest channel at the weighted median.
bool Split(const Histogram& h, Box& box, Box& other) {
  if (box.bins.size() < 2) return false;
  int lo[3] = {31, 31, 31}, hi[3] = {0, 0, 0};
  for (uint32_t bin : box.bins) {
    for (int c = 0; c < 3; ++c) {
      lo[c] = std::min(lo[c], Channel(bin, c));
      hi[c] = std::max(hi[c], Channel(bin, c));
    }
  }
  int axis = 0;
  for (int c = 1; c < 3; ++c) {
    if (hi[c] - lo[c] > hi[axis] - lo[axis]) axis = c;
  }
  std::sort(box.bins.begin(), box.bins.end(),
            [&](uint32_t a, uint32_t b) { return Channel(a, axis) < Channel(b, axis); });
  uint64_t acc = 0;
  size_t cut = 1;
  for (; cut < box.bins.size(); ++cut) {
    acc += h.count[box.bins[cut - 1]];
    if (acc * 2 >= box.weight) break;
  }
  cut = std::min(cut, box.bins.size() - 1);
  other.bins.assign(box.bins.begin() + cut, box.bins.end());
  box.bins.resize(cut);
  other.weight = box.weight = 0;
  for (uint32_t b : box.bins) box.weight += h.count[b];
  for (uint32_t b : other.bins) other.weight += h.count[b];
  return true;
}

void MedianCut(const ImageBitmap& b, size_t maxColors, QuantizedImage& q) {
  Histogram h;
  const size_t n = size_t(b.width) * b.height;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* p = &b.pixels[i * 4];
    if (Transparent(p)) continue;
    const uint32_t bin = Bin(p);
    ++h.count[bin];
    for (int c = 0; c < 3; ++c) h.sum[bin][c] += p[c];
  }
  std::vector<Box> boxes(1);
  for (uint32_t bin = 0; bin < h.count.size(); ++bin) {
    if (h.count[bin]) {
      boxes[0].bins.push_back(bin);
      boxes[0].weight += h.count[bin];
    }
  }
  while (boxes.size() < maxColors) {
    // The heaviest box that can still be split.
    size_t pick = boxes.size();
    for (size_t i = 0; i < boxes.size(); ++i) {
      if (boxes[i].bins.size() > 1 &&
          (pick == boxes.size() || boxes[i].weight > boxes[pick].weight)) {
        pick = i;
      }
    }
    if (pick == boxes.size()) break;
    Box other;
    if (!Split(h, boxes[pick], other)) break;
    boxes.push_back(std::move(other));
  }
  std::vector<uint8_t> binIndex(1 << 15, 0);
  for (size_t i = 0; i < boxes.size(); ++i) {
    std::array<uint64_t, 3> s = {0, 0, 0};
    for (uint32_t bin : boxes[i].bins) {
      for (int c = 0; c < 3; ++c) s[c] += h.sum[bin][c];
      binIndex[bin] = uint8_t(i);
    }
    const uint64_t w = std::max<uint64_t>(1, boxes[i].weight);
    q.palette.insert(q.palette.end(), {uint8_t(s[0] / w), uint8_t(s[1] / w), uint8_t(s[2] / w)});
  }
  q.indices.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* p = &b.pixels[i * 4];
    if (!Transparent(p)) q.indices[i] = binIndex[Bin(p)];
  }
}

}  // namespace

QuantizedImage ColorQuantize(const ImageBitmap& bitmap) {
  QuantizedImage q;
  bool anyTransparent = false;
  for (size_t i = 3; i < bitmap.pixels.size(); i += 4) {
    if (bitmap.pixels[i] < kAlphaThreshold) {
      anyTransparent = true;
      break;
    }
  }
  const size_t maxColors = anyTransparent ? 255 : 256;
  if (!ExactPalette(bitmap, maxColors, q)) {
    q = QuantizedImage();
    MedianCut(bitmap, maxColors, q);
  }
  if (q.palette.empty()) q.palette = {0, 0, 0};
  if (anyTransparent) {
    q.transparentIndex = int(q.palette.size() / 3);
    q.palette.insert(q.palette.end(), {0, 0, 0});
    const size_t n = size_t(bitmap.width) * bitmap.height;
    for (size_t i = 0; i < n; ++i) {
      if (Transparent(&bitmap.pixels[i * 4])) q.indices[i] = uint8_t(q.transparentIndex);
    }
  }
  return q;
}
