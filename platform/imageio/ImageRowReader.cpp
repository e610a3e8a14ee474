#include "platform/imageio/ImageRowReader.h"

#include <algorithm>
#include <cstring>

namespace {

// Rows of a band kept for the next band, which starts a little before this
// one ends; at least this many, or an eighth of the band.
constexpr uint32_t kMinTailRows = 16;

}  // namespace

void ImageRowReader::reset() {
  rows_.clear();
  nextRow_ = 0;
  keepFrom_ = 0;
}

void ImageRowReader::emitRow(const uint8_t* rgba) {
  const uint32_t row = nextRow_++;
  if (row < keepFrom_) return;
  rows_.emplace_back(rgba, rgba + size_t(width_) * 4);
}

bool ImageRowReader::readRows(uint32_t first, uint32_t count, ImageBitmap& out) {
  if (count == 0 || first >= height_ || count > height_ - first) return false;
  const uint32_t end = first + count;
  const uint32_t keptFirst = nextRow_ - uint32_t(rows_.size());
  if (stale_ || first < keptFirst) {
    reset();
    if (!restart()) return false;
    stale_ = false;
  }
  keepFrom_ = first;
  while (!rows_.empty() && nextRow_ - rows_.size() < first) rows_.pop_front();
  if (rows_.empty() && first > nextRow_ && !skipTo(first)) {
    // The format cannot skip: the rows before the band are decoded and dropped.
  }
  while (nextRow_ < end) {
    if (!decodeMore()) {
      reset();
      stale_ = true;  // a later request starts over rather than reading on from a failure
      return false;
    }
  }
  if (!out.allocate(width_, count)) return false;
  out.hasAlpha = hasAlpha_;
  const uint32_t base = nextRow_ - uint32_t(rows_.size());
  for (uint32_t y = 0; y < count; ++y) {
    std::memcpy(out.row(y), rows_[first + y - base].data(), size_t(width_) * 4);
  }
  // Keep the band's tail for the overlap of the next one, and whatever the
  // format decoded past the band.
  const uint32_t tail = std::max(kMinTailRows, count / 8);
  const uint32_t keepFrom = end > tail ? end - tail : 0;
  while (!rows_.empty() && nextRow_ - rows_.size() < keepFrom) rows_.pop_front();
  keepFrom_ = keepFrom;
  return true;
}
