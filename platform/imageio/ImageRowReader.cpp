#include "platform/imageio/ImageRowReader.h"

#include <algorithm>
#include <cstring>

void ImageRowReader::reset() {
  past_.clear();
  last_.reset();
  nextRow_ = 0;
  out_ = nullptr;
}

void ImageRowReader::emitRow(const uint8_t* rgba) {
  const uint32_t row = nextRow_++;
  if (out_ && row >= outFirst_ && row - outFirst_ < out_->height) {
    // Straight into the band: its rows are never held twice.
    std::memcpy(out_->row(row - outFirst_), rgba, size_t(width_) * 4);
    return;
  }
  if (out_ && row < outFirst_) return;  // before the band: dropped
  past_.emplace_back(rgba, rgba + size_t(width_) * 4);
}

uint32_t ImageRowReader::firstKeptRow() const {
  return last_ ? lastFirst_ : nextRow_ - uint32_t(past_.size());
}

// Rows of the band that the last band or the rows decoded past it hold.
void ImageRowReader::copyKeptRows(ImageBitmap& band, uint32_t first) {
  const uint32_t end = first + band.height;
  const size_t rowBytes = size_t(width_) * 4;
  if (last_) {
    const uint32_t lastEnd = lastFirst_ + last_->height;
    for (uint32_t row = std::max(first, lastFirst_); row < std::min(end, lastEnd); ++row) {
      std::memcpy(band.row(row - first), last_->row(row - lastFirst_), rowBytes);
    }
  }
  while (!past_.empty() && nextRow_ - past_.size() < end) {
    const uint32_t row = nextRow_ - uint32_t(past_.size());
    if (row >= first) std::memcpy(band.row(row - first), past_.front().data(), rowBytes);
    past_.pop_front();
  }
}

std::shared_ptr<const ImageBitmap> ImageRowReader::readRows(uint32_t first, uint32_t count) {
  if (count == 0 || first >= height_ || count > height_ - first) return nullptr;
  const uint32_t end = first + count;
  if (stale_ || first < firstKeptRow()) {
    reset();
    if (!restart()) return nullptr;
    stale_ = false;
  }
  auto band = std::make_shared<ImageBitmap>();
  if (!band->allocate(width_, count)) return nullptr;
  band->hasAlpha = hasAlpha_;
  copyKeptRows(*band, first);
  // What the new band needs of the last one is in it now.
  last_.reset();
  if (first > nextRow_ && !skipTo(first)) {
    // The format cannot skip: the rows before the band are decoded and dropped.
  }
  out_ = band.get();
  outFirst_ = first;
  while (nextRow_ < end) {
    if (!decodeMore()) {
      reset();
      stale_ = true;  // a later request starts over rather than reading on from a failure
      return nullptr;
    }
  }
  out_ = nullptr;
  last_ = band;
  lastFirst_ = first;
  return band;
}
