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
  out_ = nullptr;
}

void ImageRowReader::emitRow(const uint8_t* rgba) {
  const uint32_t row = nextRow_++;
  if (out_ && row >= outFirst_ && row - outFirst_ < out_->height) {
    // Straight into the band: its rows are never held twice.
    std::memcpy(out_->row(row - outFirst_), rgba, size_t(width_) * 4);
    return;
  }
  if (row < keepFrom_) return;
  rows_.emplace_back(rgba, rgba + size_t(width_) * 4);
}

bool ImageRowReader::readRows(uint32_t first, uint32_t count, ImageBitmap& out) {
  if (count == 0 || first >= height_ || count > height_ - first) return false;
  const uint32_t end = first + count;
  if (stale_ || first < nextRow_ - uint32_t(rows_.size())) {
    reset();
    if (!restart()) return false;
    stale_ = false;
  }
  if (!out.allocate(width_, count)) return false;
  out.hasAlpha = hasAlpha_;
  // Rows kept from the last band (its tail, what was decoded past it).
  while (!rows_.empty() && nextRow_ - rows_.size() < end) {
    const uint32_t row = nextRow_ - uint32_t(rows_.size());
    if (row >= first) std::memcpy(out.row(row - first), rows_.front().data(), size_t(width_) * 4);
    rows_.pop_front();
  }
  keepFrom_ = end;
  if (first > nextRow_ && !skipTo(first)) {
    // The format cannot skip: the rows before the band are decoded and dropped.
  }
  out_ = &out;
  outFirst_ = first;
  while (nextRow_ < end) {
    if (!decodeMore()) {
      out_ = nullptr;
      reset();
      stale_ = true;  // a later request starts over rather than reading on from a failure
      return false;
    }
  }
  out_ = nullptr;
  // The band's last rows, for the next band that starts a little before it ends.
  const uint32_t tail = std::min(count, std::max(kMinTailRows, count / 8));
  for (uint32_t row = end; row-- > end - tail;) {
    rows_.emplace_front(out.row(row - first), out.row(row - first) + size_t(width_) * 4);
  }
  return true;
}
