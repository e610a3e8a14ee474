#include "internal/GIFDecoder.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/foundation/Value.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/imageio/internal/ImageRowResampler.h"

namespace {

// An LZW code of at least 3 bits yields at most about 4096 pixels, so a canvas
// far larger than its file could ever fill is refused as a bomb.
constexpr uint64_t kGIFMaxPixelsPerByte = 3000;
constexpr uint64_t kCanvasSlack = 1 << 20;

// giflib reads the header, one frame and a trailer, without copying them.
struct Segments {
  const uint8_t* data;
  size_t headerEnd;
  size_t frameStart, frameEnd;
  size_t pos = 0;  // in the virtual stream
};

int ReadSegments(GifFileType* gif, GifByteType* out, int length) {
  auto* s = static_cast<Segments*>(gif->UserData);
  const size_t frameLen = s->frameEnd - s->frameStart;
  const size_t total = s->headerEnd + frameLen + 1;
  int n = 0;
  while (n < length && s->pos < total) {
    if (s->pos < s->headerEnd) {
      out[n] = s->data[s->pos];
    } else if (s->pos < s->headerEnd + frameLen) {
      out[n] = s->data[s->frameStart + (s->pos - s->headerEnd)];
    } else {
      out[n] = ';';
    }
    ++n;
    ++s->pos;
  }
  return n;
}

size_t ColorTableBytes(uint8_t packed) { return packed & 0x80 ? 3u * (2u << (packed & 7)) : 0; }

// Skips a chain of data sub-blocks; false when it runs past the data.
bool SkipSubBlocks(std::span<const uint8_t> d, size_t& pos, const ImageDecoder& decoder) {
  while (pos < d.size()) {
    decoder.releaseBytesAt(pos);
    const uint8_t len = d[pos++];
    if (len == 0) return true;
    if (d.size() - pos < len) return false;
    pos += len;
  }
  return false;
}

}  // namespace

bool GIFDecoder::sniff(const uint8_t* d, size_t n, const char*) {
  return n >= 6 && (std::memcmp(d, "GIF87a", 6) == 0 || std::memcmp(d, "GIF89a", 6) == 0);
}

CGImageSourceStatus GIFDecoder::onParse() {
  const std::span<const uint8_t> d = bytes();
  if (d.size() < 13) return complete_ ? kCGImageStatusInvalidData : kCGImageStatusReadingHeader;
  if (std::memcmp(d.data(), "GIF87a", 6) != 0 && std::memcmp(d.data(), "GIF89a", 6) != 0) {
    return kCGImageStatusInvalidData;
  }
  width_ = ReadLE16(&d[6]);
  height_ = ReadLE16(&d[8]);
  globalColorMap_ = d[10] & 0x80;
  headerEnd_ = 13 + ColorTableBytes(d[10]);
  if (d.size() < headerEnd_)
    return complete_ ? kCGImageStatusInvalidData : kCGImageStatusReadingHeader;
  // A canvas past the full-size limits can still give thumbnails of its
  // first frame; drawing it whole is refused when its bitmap is allocated.
  if (!ImageSourceSizeAllowed(width_, height_)) return kCGImageStatusInvalidData;
  if (!ImageDataCouldHold(uint64_t(width_) * height_, d.size(), kGIFMaxPixelsPerByte,
                          kCanvasSlack)) {
    return ImageStatusUntilDataCouldHold(complete_);
  }
  size_t pos = headerEnd_;
  Frame pending;
  while (pos < d.size() && !sawTrailer_ && frames_.size() < kImageMaxFrames) {
    const uint8_t tag = d[pos];
    if (tag == 0x3B) {
      sawTrailer_ = true;
    } else if (tag == 0x2C) {
      if (!readFrame(pos, pending)) break;
      pending = Frame();
      continue;
    } else if (tag == 0x21) {
      if (d.size() - pos < 2) break;
      const uint8_t label = d[pos + 1];
      size_t p = pos + 2;
      if (label == 0xF9 && d.size() - p >= 6 && d[p] >= 4) {
        const uint8_t packed = d[p + 1];
        pending.hasControl = true;
        pending.disposal = (packed >> 2) & 7;
        pending.delayCentiseconds = ReadLE16(&d[p + 2]);
        pending.transparentIndex = packed & 1 ? d[p + 4] : -1;
      } else if (label == 0xFF && d.size() - p >= 16 && d[p] == 11 &&
                 (std::memcmp(&d[p + 1], "NETSCAPE2.0", 11) == 0 ||
                  std::memcmp(&d[p + 1], "ANIMEXTS1.0", 11) == 0) &&
                 d[p + 12] >= 3 && d[p + 13] == 1) {
        hasLoopCount_ = true;
        loopCount_ = ReadLE16(&d[p + 14]);
      }
      if (!SkipSubBlocks(d, p, *this)) break;
      pos = p;
      continue;
    } else {
      // Garbage after the frames ends the file; before any frame it is invalid.
      if (frames_.empty()) return kCGImageStatusInvalidData;
      sawTrailer_ = true;
    }
    ++pos;
  }
  if (frames_.empty()) {
    return complete_ && (sawTrailer_ || pos >= d.size()) ? kCGImageStatusInvalidData
                                                         : kCGImageStatusReadingHeader;
  }
  for (const Frame& f : frames_) {
    if (f.transparentIndex >= 0 || f.disposal >= 2 || f.x != 0 || f.y != 0 ||
        uint32_t(f.width) < width_ || uint32_t(f.height) < height_) {
      hasAlpha_ = true;
    }
  }
  return sawTrailer_ && frames_.back().complete ? kCGImageStatusComplete : kCGImageStatusIncomplete;
}

bool GIFDecoder::readFrame(size_t& pos, Frame frame) {
  const std::span<const uint8_t> d = bytes();
  if (d.size() - pos < 11) return false;
  frame.start = pos;
  frame.x = ReadLE16(&d[pos + 1]);
  frame.y = ReadLE16(&d[pos + 3]);
  frame.width = ReadLE16(&d[pos + 5]);
  frame.height = ReadLE16(&d[pos + 7]);
  size_t p = pos + 10 + ColorTableBytes(d[pos + 9]);
  if (p >= d.size()) return false;
  ++p;  // LZW minimum code size
  frame.complete = SkipSubBlocks(d, p, *this);
  frame.end = frame.complete ? p : d.size();
  // A frame with no area is skipped by every reader; only its delay would count.
  if (frame.width == 0 || frame.height == 0) {
    pos = p;
    return frame.complete;
  }
  frames_.push_back(frame);
  pos = p;
  return frame.complete;
}

size_t GIFDecoder::onFrameCount() const {
  size_t n = 0;
  while (n < frames_.size() && frames_[n].complete) ++n;
  if (n == 0 && !frames_.empty()) n = 1;  // the first frame shows while it arrives
  return n;
}

CGImageSourceStatus GIFDecoder::onFrameStatus(size_t index) const {
  return frames_[index].complete ? kCGImageStatusComplete : kCGImageStatusIncomplete;
}

ValueMap GIFDecoder::onContainerProperties() const {
  ValueMap gif;
  if (hasLoopCount_) ValueMapSet(gif, kCGImagePropertyGIFLoopCount, Value::integer(loopCount_));
  ValueMapSet(gif, kCGImagePropertyGIFHasGlobalColorMap, globalColorMap_);
  ValueMapSet(gif, kCGImagePropertyGIFCanvasPixelWidth, Value::integer(width_));
  ValueMapSet(gif, kCGImagePropertyGIFCanvasPixelHeight, Value::integer(height_));
  ValueMap out;
  ValueMapSet(out, kCGImagePropertyGIFDictionary, Value(std::move(gif)));
  return out;
}

ValueMap GIFDecoder::onFrameProperties(size_t index) const {
  ValueMap props =
      ImageFrameBaseProperties(width_, height_, hasAlpha_, kCGImagePropertyColorModelRGB, 8);
  ValueMapSet(props, kCGImagePropertyIsIndexed, true);
  ValueMap gif;
  // A frame without a graphic control block has a delay of 0, as every GIF
  // reader takes it; the clamped value then gives it the usual tenth.
  const double delay = frames_[index].hasControl ? frames_[index].delayCentiseconds / 100.0 : 0.0;
  ValueMapSet(gif, kCGImagePropertyGIFUnclampedDelayTime, delay);
  ValueMapSet(gif, kCGImagePropertyGIFDelayTime, ImageFrameClampedDelay(delay));
  ValueMapSet(gif, kCGImagePropertyGIFHasGlobalColorMap, globalColorMap_);
  ValueMapSet(props, kCGImagePropertyGIFDictionary, Value(std::move(gif)));
  return props;
}

AnimatedImageDecoder::FrameRect GIFDecoder::frameRect(size_t index) const {
  // Only the part inside the canvas is drawn (none, for a frame beside it).
  const Frame& f = frames_[index];
  FrameRect r;
  r.x = std::min<uint32_t>(uint32_t(f.x), width_);
  r.y = std::min<uint32_t>(uint32_t(f.y), height_);
  r.width = std::min<uint32_t>(uint32_t(f.width), width_ - r.x);
  r.height = std::min<uint32_t>(uint32_t(f.height), height_ - r.y);
  r.disposal = f.disposal == 2   ? Disposal::kBackground
               : f.disposal == 3 ? Disposal::kPrevious
                                 : Disposal::kNone;
  return r;
}

namespace {

// giflib over the header and one frame, at the frame's first row.
class FrameReader {
 public:
  FrameReader(const uint8_t* data, size_t headerEnd, size_t start, size_t end)
      : segments_{data, headerEnd, start, end} {}
  ~FrameReader() {
    int error = 0;
    if (gif_) DGifCloseFile(gif_, &error);
  }
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;

  bool open(int width, int height) {
    int error = 0;
    gif_ = DGifOpen(&segments_, ReadSegments, &error);
    GifRecordType type = UNDEFINED_RECORD_TYPE;
    return gif_ && DGifGetRecordType(gif_, &type) == GIF_OK && type == IMAGE_DESC_RECORD_TYPE &&
           DGifGetImageDesc(gif_) == GIF_OK && gif_->Image.Width == width &&
           gif_->Image.Height == height;
  }
  bool interlaced() const { return gif_->Image.Interlace; }
  bool line(uint8_t* out, int width) { return DGifGetLine(gif_, out, width) == GIF_OK; }

  // Indices beyond the table, and the transparent one, stay transparent.
  void palette(int transparentIndex, uint32_t out[256]) const {
    std::fill(out, out + 256, 0u);
    const ColorMapObject* map = gif_->Image.ColorMap ? gif_->Image.ColorMap : gif_->SColorMap;
    for (int i = 0; map && i < map->ColorCount && i < 256; ++i) {
      const GifColorType& c = map->Colors[i];
      const uint8_t rgba[4] = {c.Red, c.Green, c.Blue, 255};
      std::memcpy(&out[i], rgba, 4);
    }
    if (transparentIndex >= 0 && transparentIndex < 256) out[transparentIndex] = 0;
  }

 private:
  Segments segments_;
  GifFileType* gif_ = nullptr;
};

// Interlaced frames store rows in four passes.
constexpr int kPassStart[4] = {0, 4, 2, 1}, kPassStep[4] = {8, 8, 4, 2};

// Rows decoded between two releases of a mapped file's pages.
constexpr uint32_t kRowsPerRelease = 512;

int PassOf(uint32_t row) { return row % 8 == 0 ? 0 : row % 8 == 4 ? 1 : row % 4 == 2 ? 2 : 3; }

}  // namespace

bool GIFDecoder::decodeFrameRegion(size_t index, ImageBitmap& region) {
  const Frame& f = frames_[index];
  const FrameRect r = frameRect(index);
  FrameReader reader(bytes().data(), headerEnd_, f.start, f.end);
  if (!reader.open(f.width, f.height) || !region.allocate(r.width, r.height)) return false;
  uint32_t palette[256];
  reader.palette(f.transparentIndex, palette);
  std::vector<uint8_t> line(size_t(f.width));
  // Rows below the canvas are read (the passes interleave them) but not kept.
  const int passes = reader.interlaced() ? 4 : 1;
  bool ok = true, any = false;
  for (int pass = 0; pass < passes && ok; ++pass) {
    const int start = passes == 1 ? 0 : kPassStart[pass], step = passes == 1 ? 1 : kPassStep[pass];
    for (int y = start; y < f.height; y += step) {
      // A non-interlaced frame is done once the canvas ends.
      if (passes == 1 && uint32_t(y) >= r.height) break;
      if (!reader.line(line.data(), f.width)) {
        ok = false;
        break;
      }
      if (uint32_t(y) >= r.height) continue;
      uint32_t* out = reinterpret_cast<uint32_t*>(region.row(uint32_t(y)));
      for (uint32_t x = 0; x < r.width; ++x) out[x] = palette[line[x]];
      any = true;
    }
  }
  return ok || any;
}

bool GIFDecoder::onDecodeFrameScaled(size_t index, uint32_t width, uint32_t height,
                                     ImageBitmap& out) {
  // Later frames are drawn over the ones before; enlarging needs the whole.
  if (index != 0 || height > height_) {
    return ImageDecoder::onDecodeFrameScaled(index, width, height, out);
  }
  const Frame& f = frames_[0];
  const FrameRect r = frameRect(0);
  // An opaque canvas goes as RGB: a quarter less to convert and to sum.
  const int channels = hasAlpha_ ? 4 : 3;
  ImageRowResampler resampler(width_, height_, width, height, hasAlpha_, channels);
  std::unique_ptr<FrameReader> readers[4];
  readers[0] = std::make_unique<FrameReader>(bytes().data(), headerEnd_, f.start, f.end);
  if (!resampler.valid() || !readers[0]->open(f.width, f.height)) return false;
  uint32_t palette[256];
  readers[0]->palette(f.transparentIndex, palette);
  const bool interlaced = readers[0]->interlaced();
  // Rows of an interlaced frame come in order from one reader a pass, each
  // reader first passing over the passes before its own: about twice the
  // decoding, for four rows of memory instead of the frame's indices.
  auto readerOf = [&](uint32_t row) -> FrameReader* {
    const int pass = interlaced ? PassOf(row) : 0;
    if (readers[pass]) return readers[pass].get();
    auto reader = std::make_unique<FrameReader>(bytes().data(), headerEnd_, f.start, f.end);
    if (!reader->open(f.width, f.height)) return nullptr;
    std::vector<uint8_t> skipped(size_t(f.width));
    for (int p = 0; p < pass; ++p) {
      for (int y = kPassStart[p]; y < f.height; y += kPassStep[p]) {
        if (!reader->line(skipped.data(), f.width)) return nullptr;
      }
    }
    readers[pass] = std::move(reader);
    return readers[pass].get();
  };
  std::vector<uint8_t> line(size_t(f.width));
  // Outside the frame's rectangle the canvas is transparent.
  std::vector<uint8_t> row(size_t(width_) * channels, 0), empty(row.size(), 0);
  uint8_t* framePart = row.data() + size_t(r.x) * channels;
  bool any = false;
  for (uint32_t y = 0; y < height_; ++y) {
    if (y < r.y || y - r.y >= r.height) {
      resampler.addRow(empty.data());
      continue;
    }
    FrameReader* reader = readerOf(y - r.y);
    if (!reader || !reader->line(line.data(), f.width)) break;
    if (channels == 4) {
      uint32_t* d = reinterpret_cast<uint32_t*>(framePart);
      for (uint32_t x = 0; x < r.width; ++x) d[x] = palette[line[x]];
    } else {
      uint8_t* d = framePart;
      for (uint32_t x = 0; x < r.width; ++x, d += 3) std::memcpy(d, &palette[line[x]], 3);
    }
    resampler.addRow(row.data());
    any = true;
    // A mapped file's pages are given back as the rows are read.
    if (y % kRowsPerRelease == kRowsPerRelease - 1) releaseBytes();
  }
  // Data that ends early gives what it reached, the rest transparent.
  if (!any) return false;
  out = resampler.take();
  out.hasAlpha = hasAlpha_;
  return true;
}
