#pragma once

// Reading a still image in horizontal bands, for formats that decode top to
// bottom (baseline and progressive JPEG, non-interlaced PNG), so a large
// image can be scaled down without its whole bitmap ever existing. The
// reader decodes forward only, each row straight into the band asked for;
// it keeps a small tail of that band (bands overlap by a few rows) and what
// the format decoded past it; asking for rows before that starts it again
// from the top. Not thread-safe: the image source serialises it with its decoder.

#include <cstdint>
#include <deque>
#include <vector>

#include "platform/imageio/ImageBitmap.h"

class ImageRowReader {
 public:
  virtual ~ImageRowReader() = default;
  ImageRowReader(const ImageRowReader&) = delete;
  ImageRowReader& operator=(const ImageRowReader&) = delete;

  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }

  // Rows [first, first + count) as straight RGBA (`out` is made anew); false
  // when the range passes the image or the data cannot give the rows.
  bool readRows(uint32_t first, uint32_t count, ImageBitmap& out);

 protected:
  ImageRowReader(uint32_t width, uint32_t height, bool hasAlpha)
      : width_(width), height_(height), hasAlpha_(hasAlpha) {}

  // Starts decoding from the first row (also the first time); false when it
  // cannot.
  virtual bool restart() = 0;
  // Hands at least one more row, in order, to emitRow(); false on an error
  // or when the data ends before the image does.
  virtual bool decodeMore() = 0;
  // Moves past rows up to (not including) `row` without emitting them, when
  // the format can do that cheaply; false makes the reader decode and drop
  // them instead.
  virtual bool skipTo(uint32_t /*row*/) { return false; }

  // The next row of the image (straight RGBA, width * 4 bytes).
  void emitRow(const uint8_t* rgba);
  // After skipTo(): the rows up to `row` were passed over.
  void skippedTo(uint32_t row) { nextRow_ = row; }
  uint32_t nextRow() const { return nextRow_; }

 private:
  void reset();

  const uint32_t width_, height_;
  const bool hasAlpha_;
  bool stale_ = true;           // restart() before reading on
  uint32_t nextRow_ = 0;        // the row the format hands out next
  uint32_t keepFrom_ = 0;       // rows below this are dropped as they come
  ImageBitmap* out_ = nullptr;  // the band being read; its rows go there
  uint32_t outFirst_ = 0;
  std::deque<std::vector<uint8_t>> rows_;  // rows [nextRow_ - rows_.size(), nextRow_)
};
