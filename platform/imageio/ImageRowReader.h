#pragma once

// Reading a still image in horizontal bands, for formats that decode top to
// bottom (baseline and progressive JPEG, non-interlaced PNG), so a large
// image can be scaled down without its whole bitmap ever existing. The
// reader decodes forward only, each row straight into the band asked for.
// It keeps the last band it handed out (shared, never copied) and the rows
// the format decoded past it, so a band may start anywhere from the last
// band's first row on, however far the bands overlap; only a band starting
// before that starts the decoding again from the top. Not thread-safe: the
// image source serialises it with its decoder.

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "platform/imageio/ImageBitmap.h"

class ImageRowReader {
 public:
  virtual ~ImageRowReader() = default;
  ImageRowReader(const ImageRowReader&) = delete;
  ImageRowReader& operator=(const ImageRowReader&) = delete;

  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }

  // Rows [first, first + count) as straight RGBA; nullptr when the range
  // passes the image or the data cannot give the rows.
  std::shared_ptr<const ImageBitmap> readRows(uint32_t first, uint32_t count);

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
  // The first row a band may start at without decoding from the top again.
  uint32_t firstKeptRow() const;
  void copyKeptRows(ImageBitmap& band, uint32_t first);

  const uint32_t width_, height_;
  const bool hasAlpha_;
  bool stale_ = true;           // restart() before reading on
  uint32_t nextRow_ = 0;        // the row the format hands out next
  ImageBitmap* out_ = nullptr;  // the band being read; its rows go there
  uint32_t outFirst_ = 0;
  std::shared_ptr<const ImageBitmap> last_;  // the last band handed out
  uint32_t lastFirst_ = 0;                   // its first row
  // Rows decoded past the last band: [nextRow_ - past_.size(), nextRow_).
  std::deque<std::vector<uint8_t>> past_;
};
