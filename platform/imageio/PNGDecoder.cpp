#include "PNGDecoder.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstring>
#include <memory>

#include "platform/foundation/Value.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/imageio/internal/ImageRowResampler.h"

namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

uint32_t ChunkType(const char* s) { return ReadBE32(reinterpret_cast<const uint8_t*>(s)); }

const uint32_t kIHDR = ChunkType("IHDR"), kIDAT = ChunkType("IDAT"), kIEND = ChunkType("IEND"),
               kacTL = ChunkType("acTL"), kfcTL = ChunkType("fcTL"), kfdAT = ChunkType("fdAT"),
               ktRNS = ChunkType("tRNS"), kpHYs = ChunkType("pHYs"), kgAMA = ChunkType("gAMA"),
               keXIf = ChunkType("eXIf");

bool CrcMatches(const uint8_t* chunk, uint32_t length) {
  uint32_t crc = static_cast<uint32_t>(crc32(0, chunk + 4, length + 4));
  return crc == ReadBE32(chunk + 8 + length);
}

bool ValidDepth(uint8_t colorType, uint8_t depth) {
  switch (colorType) {
    case 0:
      return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case 3:
      return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case 2:
    case 4:
    case 6:
      return depth == 8 || depth == 16;
    default:
      return false;
  }
}

void OnPNGError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void OnPNGWarning(png_structp, png_const_charp) {}

// libpng's progressive reader takes whatever bytes there are, so truncated
// data still yields the rows it reaches.
// With a fit size, rows in order are folded into a bitmap of that size as
// they come (interlaced rows, which come in passes, are gathered whole
// first).
struct Progress {
  ImageBitmap* out;
  uint32_t fitWidth = 0, fitHeight = 0;
  bool hasAlpha = false;
  bool started = false;
  std::unique_ptr<ImageRowResampler> resampler;
};

bool RowsHaveAlpha(png_structp png, png_infop info) {
  const int colorType = png_get_color_type(png, info);
  return (colorType & PNG_COLOR_MASK_ALPHA) || png_get_valid(png, info, PNG_INFO_tRNS);
}

// Every row comes out as 8-bit RGBA (or RGB for an opaque image when
// `rgbWhenOpaque`); answers whether the image has alpha.
bool SetUpRGBARows(png_structp png, png_infop info, bool rgbWhenOpaque = false) {
  const bool hasAlpha = RowsHaveAlpha(png, info);
  png_set_expand(png);
  png_set_scale_16(png);
  png_set_gray_to_rgb(png);
  const bool filler = !hasAlpha && !rgbWhenOpaque;
  if (filler) png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const size_t channels = hasAlpha || filler ? 4 : 3;
  if (png_get_rowbytes(png, info) != size_t(png_get_image_width(png, info)) * channels) {
    png_error(png, "unsupported");
  }
  return hasAlpha;
}

void OnInfo(png_structp png, png_infop info) {
  auto* p = static_cast<Progress*>(png_get_progressive_ptr(png));
  const uint32_t w = png_get_image_width(png, info), h = png_get_image_height(png, info);
  const bool interlaced = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
  const bool scaled = p->fitWidth && p->fitHeight && (p->fitWidth != w || p->fitHeight != h);
  const bool folded = scaled && p->fitHeight <= h && !interlaced;
  // Folded rows of an opaque image stay RGB: no filler to add or to sum.
  p->hasAlpha = SetUpRGBARows(png, info, folded);
  if (folded) {
    p->resampler = std::make_unique<ImageRowResampler>(w, h, p->fitWidth, p->fitHeight,
                                                       p->hasAlpha, p->hasAlpha ? 4 : 3);
    if (!p->resampler->valid()) png_error(png, "unsupported");
  } else if (!p->out->allocate(w, h)) {
    png_error(png, "unsupported");
  }
  p->out->hasAlpha = p->hasAlpha;
  p->started = true;
}

void OnRow(png_structp png, png_bytep row, png_uint_32 y, int) {
  auto* p = static_cast<Progress*>(png_get_progressive_ptr(png));
  if (!row) return;
  if (p->resampler) {
    p->resampler->addRow(row);
  } else if (y < p->out->height) {
    png_progressive_combine_row(png, p->out->row(y), row);
  }
}

void LimitReader(png_structp png) {
  png_set_user_limits(png, kImageMaxSourceDimension, kImageMaxSourceDimension);
  png_set_chunk_malloc_max(png, 16 * 1024 * 1024);
  png_set_chunk_cache_max(png, 1000);
  // The checksum of the inflated rows is only compared once every row has
  // been handed out (so a mismatch changes nothing shown), and computing it
  // is a tenth of a large image's decode.
  png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
}

// Data fed to libpng between two releases of a mapped file's pages.
constexpr size_t kReleaseBytes = ImageDecoder::kImageReleaseBytes;

bool DecodeWithLibpng(const uint8_t* data, size_t size, Progress& progress,
                      const ImageDecoder* file) {
  png_structp png =
      png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, OnPNGError, OnPNGWarning);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return progress.started;
  }
  LimitReader(png);
  png_set_progressive_read_fn(png, &progress, OnInfo, OnRow, nullptr);
  for (size_t pos = 0; pos < size;) {
    const size_t n = file ? std::min(kReleaseBytes, size - pos) : size;
    png_process_data(png, info, const_cast<uint8_t*>(data + pos), n);
    pos += n;
    if (file) file->releaseBytes();
  }
  png_destroy_read_struct(&png, &info, nullptr);
  return progress.started;
}

// libpng's progressive reader kept open between bands and fed a little data
// at a time, so it decodes only a few rows past the band asked for.
class PNGRowReader : public ImageRowReader {
 public:
  PNGRowReader(const ImageDecoder& decoder, uint32_t width, uint32_t height, bool hasAlpha)
      : ImageRowReader(width, height, hasAlpha),
        decoder_(decoder),
        data_(decoder.bytes().data()),
        size_(decoder.bytes().size()) {}
  ~PNGRowReader() override { close(); }

 protected:
  bool restart() override {
    close();
    pos_ = 0;
    png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, OnPNGError, OnPNGWarning);
    if (png_) info_ = png_create_info_struct(png_);
    if (!info_) {
      close();
      return false;
    }
    LimitReader(png_);
    png_set_progressive_read_fn(png_, this, OnReaderInfo, OnReaderRow, nullptr);
    return true;
  }

  bool decodeMore() override {
    const uint32_t before = nextRow();
    while (png_ && nextRow() == before && pos_ < size_) {
      if (setjmp(png_jmpbuf(png_))) {
        close();
        return false;
      }
      const size_t n = std::min(kFeedBytes, size_ - pos_);
      png_process_data(png_, info_, const_cast<uint8_t*>(data_ + pos_), n);
      pos_ += n;
      if (pos_ % kReleaseBytes < n) decoder_.releaseBytes();
    }
    return nextRow() != before;
  }

 private:
  // Little enough that even a highly compressed image yields only a few rows
  // past the band per feed.
  static constexpr size_t kFeedBytes = 1024;

  static void OnReaderInfo(png_structp png, png_infop info) {
    auto* self = static_cast<PNGRowReader*>(png_get_progressive_ptr(png));
    if (png_get_interlace_type(png, info) != PNG_INTERLACE_NONE ||
        png_get_image_width(png, info) != self->width() ||
        png_get_image_height(png, info) != self->height()) {
      png_error(png, "unsupported");
    }
    SetUpRGBARows(png, info);
  }

  static void OnReaderRow(png_structp png, png_bytep row, png_uint_32 y, int) {
    auto* self = static_cast<PNGRowReader*>(png_get_progressive_ptr(png));
    if (row && y == self->nextRow()) self->emitRow(row);
  }

  void close() {
    if (png_) png_destroy_read_struct(&png_, info_ ? &info_ : nullptr, nullptr);
    png_ = nullptr;
    info_ = nullptr;
  }

  const ImageDecoder& decoder_;  // owns this reader
  const uint8_t* const data_;
  const size_t size_;
  size_t pos_ = 0;
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
};

}  // namespace

void AppendPNGChunk(Bytes& out, const char* type, const uint8_t* data, size_t length) {
  AppendBE32(out, static_cast<uint32_t>(length));
  size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  if (length) out.insert(out.end(), data, data + length);
  AppendBE32(out, static_cast<uint32_t>(crc32(0, out.data() + start, uint32_t(length + 4))));
}

bool PNGDecodeStream(const uint8_t* data, size_t size, ImageBitmap& out, bool& hasAlpha,
                     uint32_t fitWidth, uint32_t fitHeight, const ImageDecoder* file) {
  Progress progress{&out, fitWidth, fitHeight, false, false, nullptr};
  const bool ok = DecodeWithLibpng(data, size, progress, file);
  hasAlpha = progress.hasAlpha;
  if (progress.resampler) {
    // Rows the data never reached stay transparent, as in a whole decode.
    out = progress.resampler->take();
    out.hasAlpha = hasAlpha;
  } else if (ok && fitWidth && fitHeight && (out.width != fitWidth || out.height != fitHeight)) {
    const bool alpha = out.hasAlpha;
    out = ImageBitmapResized(out, fitWidth, fitHeight);
    out.hasAlpha = alpha;
  }
  return ok && !out.empty();
}

bool PNGDecoder::sniff(const uint8_t* d, size_t n, const char*) {
  return n >= 8 && std::memcmp(d, kSignature, 8) == 0;
}

CGImageSourceStatus PNGDecoder::onParse() {
  const std::span<const uint8_t> d = bytes();
  const size_t n = d.size();
  if (std::memcmp(d.data(), kSignature, std::min<size_t>(n, 8)) != 0) {
    return kCGImageStatusInvalidData;
  }
  size_t pos = 8;
  while (pos + 8 <= n && !sawEnd_) {
    const uint32_t length = ReadBE32(&d[pos]);
    if (length > 0x7FFFFFFFu) return kCGImageStatusInvalidData;
    if (n - pos - 8 < size_t(length) + 4) {  // chunk not all here yet
      if (ReadBE32(&d[pos + 4]) == kIDAT && !idatDone_) partialIDAT_ = n - pos - 8;
      break;
    }
    CGImageSourceStatus s = readChunk(&d[pos], length, pos + 8);
    if (s != kCGImageStatusComplete) return s;
    pos += size_t(length) + 12;
    releaseBytesAt(pos);
  }
  if (!sawIHDR_) return complete_ ? kCGImageStatusInvalidData : kCGImageStatusReadingHeader;
  if (animated_) {
    // A frame is whole once the chunk after its data has arrived.
    if (sawEnd_ && !frames_.empty()) frames_.back().complete = true;
    if (sawEnd_ && frames_.size() != declaredFrames_) return kCGImageStatusInvalidData;
    if (frames_.empty() && sawEnd_) return kCGImageStatusInvalidData;
  }
  // Refused before any pixel buffer exists: data that cannot inflate to the
  // pixels it claims, whether or not the file ends as it should (the default
  // image of an animation is the canvas's size, so it bounds the canvas too).
  // Frames whose data never came are only not shown. While data still
  // arrives, what has come must already be able to hold the image: until it
  // can, nothing is offered to decode.
  const bool ended = sawEnd_ || complete_;
  if ((!idat_.empty() || partialIDAT_ || !ended) && frameLooksLikeBomb(stillFrame())) {
    return ImageStatusUntilDataCouldHold(ended);
  }
  for (size_t i = 0; i < frames_.size(); ++i) {
    const Frame& f = frames_[i];
    if (f.chunks.empty() || !frameLooksLikeBomb(f)) continue;
    if (ended || f.complete || i == 0) return ImageStatusUntilDataCouldHold(ended || f.complete);
    // A frame still arriving is offered once its data could fill it.
    frames_.resize(i);
    break;
  }
  return sawEnd_ ? kCGImageStatusComplete : kCGImageStatusIncomplete;
}

bool PNGDecoder::nextSequence(uint32_t seq) {
  if (seq != nextSeq_) return false;
  ++nextSeq_;
  return true;
}

CGImageSourceStatus PNGDecoder::readChunk(const uint8_t* chunk, uint32_t length,
                                          size_t dataOffset) {
  const uint32_t type = ReadBE32(chunk + 4);
  const uint8_t* p = chunk + 8;
  if (!sawIHDR_) {
    if (type != kIHDR || length != 13 || !CrcMatches(chunk, length))
      return kCGImageStatusInvalidData;
    width_ = ReadBE32(p);
    height_ = ReadBE32(p + 4);
    bitDepth_ = p[8];
    colorType_ = p[9];
    interlace_ = p[12];
    if (!ImageSourceSizeAllowed(width_, height_) || !ValidDepth(colorType_, bitDepth_) ||
        interlace_ > 1 || p[10] != 0 || p[11] != 0) {
      return kCGImageStatusInvalidData;
    }
    sawIHDR_ = true;
    return kCGImageStatusComplete;
  }
  if (type == kIDAT) {
    if (idatDone_) return kCGImageStatusInvalidData;
    sawIDAT_ = true;
    idat_.push_back({dataOffset, length});
    if (!frames_.empty() && frames_.back().fromIDAT)
      frames_.back().chunks.push_back({dataOffset, length});
    return kCGImageStatusComplete;
  }
  if (sawIDAT_ && !idatDone_) {
    idatDone_ = true;
    if (!frames_.empty() && frames_.back().fromIDAT) frames_.back().complete = true;
  }
  if (type == keXIf && !sawExif_) {
    sawExif_ = true;
    ExifParse(p, length, exif_);
    exif_.thumbnailOffset = exif_.thumbnailLength = 0;
  }
  if (type == kIEND) {
    sawEnd_ = true;
    return kCGImageStatusComplete;
  }
  if (type == kacTL) {
    if (sawIDAT_ || animated_ || length != 8 || !CrcMatches(chunk, length)) {
      return kCGImageStatusInvalidData;
    }
    declaredFrames_ = ReadBE32(p);
    plays_ = ReadBE32(p + 4);
    if (declaredFrames_ == 0 || declaredFrames_ > kImageMaxFrames) return kCGImageStatusInvalidData;
    // Frames are drawn on a canvas of the image's size: it must be one
    // that can be held, not only read scaled down.
    if (!ImageSizeAllowed(width_, height_)) return kCGImageStatusInvalidData;
    animated_ = true;
    return kCGImageStatusComplete;
  }
  if (type == kfcTL) return readFrameControl(chunk, length);
  if (type == kfdAT) {
    if (!animated_ || length < 4 || !CrcMatches(chunk, length) || !nextSequence(ReadBE32(p)) ||
        frames_.empty() || frames_.back().fromIDAT || !sawIDAT_) {
      return kCGImageStatusInvalidData;
    }
    frames_.back().chunks.push_back({dataOffset + 4, length - 4});
    return kCGImageStatusComplete;
  }
  if (!sawIDAT_) {
    if (type == ktRNS) hasTransparency_ = true;
    if (type == kpHYs && length == 9 && p[8] == 1) {
      hasPhys_ = true;
      ppmX_ = ReadBE32(p);
      ppmY_ = ReadBE32(p + 4);
    }
    if (type == kgAMA && length == 4) gamma_ = ReadBE32(p) / 100000.0;
    headerChunks_.push_back({dataOffset - 8, size_t(length) + 12});
  }
  return kCGImageStatusComplete;
}

CGImageSourceStatus PNGDecoder::readFrameControl(const uint8_t* chunk, uint32_t length) {
  const uint8_t* p = chunk + 8;
  if (!animated_ || length != 26 || !CrcMatches(chunk, length) || !nextSequence(ReadBE32(p))) {
    return kCGImageStatusInvalidData;
  }
  Frame f;
  f.width = ReadBE32(p + 4);
  f.height = ReadBE32(p + 8);
  f.x = ReadBE32(p + 12);
  f.y = ReadBE32(p + 16);
  f.delayNum = ReadBE16(p + 20);
  f.delayDen = ReadBE16(p + 22);
  f.dispose = p[24];
  f.blend = p[25];
  f.fromIDAT = !sawIDAT_;
  const bool fits = f.width > 0 && f.height > 0 && f.x <= width_ && f.width <= width_ - f.x &&
                    f.y <= height_ && f.height <= height_ - f.y;
  if (!fits || f.dispose > 2 || f.blend > 1 || frames_.size() >= declaredFrames_) {
    return kCGImageStatusInvalidData;
  }
  // The default image as first frame must fill the canvas.
  if (f.fromIDAT && (f.x || f.y || f.width != width_ || f.height != height_)) {
    return kCGImageStatusInvalidData;
  }
  if (sawIDAT_ && !idatDone_) return kCGImageStatusInvalidData;
  if (!frames_.empty()) frames_.back().complete = true;
  frames_.push_back(std::move(f));
  return kCGImageStatusComplete;
}

size_t PNGDecoder::onFrameCount() const {
  if (!sawIHDR_) return 0;
  if (!animated_) return 1;
  size_t n = 0;
  while (n < frames_.size() && frames_[n].complete) ++n;
  // The first frame may be shown while it arrives.
  if (n == 0 && !frames_.empty() && !frames_[0].chunks.empty()) n = 1;
  return n;
}

CGImageSourceStatus PNGDecoder::onFrameStatus(size_t index) const {
  if (!animated_) return idatDone_ ? kCGImageStatusComplete : kCGImageStatusIncomplete;
  return frames_[index].complete ? kCGImageStatusComplete : kCGImageStatusIncomplete;
}

double PNGDecoder::delaySeconds(const Frame& f) const {
  return double(f.delayNum) / (f.delayDen == 0 ? 100 : f.delayDen);
}

ValueMap PNGDecoder::onContainerProperties() const {
  ValueMap png;
  if (animated_) {
    ValueMapSet(png, kCGImagePropertyAPNGLoopCount, Value::integer(plays_));
    ValueMapSet(png, kCGImagePropertyAPNGCanvasPixelWidth, Value::integer(width_));
    ValueMapSet(png, kCGImagePropertyAPNGCanvasPixelHeight, Value::integer(height_));
  }
  ValueMap out;
  if (!png.empty()) ValueMapSet(out, kCGImagePropertyPNGDictionary, Value(std::move(png)));
  return out;
}

bool PNGDecoder::hasAlpha() const { return (colorType_ & 4) || hasTransparency_ || animated_; }

ImageFrameGeometry PNGDecoder::onFrameGeometry(size_t) const {
  const int orientation = exif_.orientation >= 1 && exif_.orientation <= 8 ? exif_.orientation : 0;
  return {width_, height_, hasAlpha(), orientation};
}

ValueMap PNGDecoder::onFrameProperties(size_t index) const {
  const bool alpha = hasAlpha();
  const char* model = (colorType_ == 0 || colorType_ == 4) ? kCGImagePropertyColorModelGray
                                                           : kCGImagePropertyColorModelRGB;
  ValueMap props = ImageFrameBaseProperties(width_, height_, alpha, model, bitDepth_);
  if (colorType_ == 3) ValueMapSet(props, kCGImagePropertyIsIndexed, true);
  ValueMap png;
  ValueMapSet(png, kCGImagePropertyPNGInterlaceType, Value::integer(interlace_));
  if (gamma_ > 0) ValueMapSet(png, kCGImagePropertyPNGGamma, gamma_);
  if (hasPhys_) {
    ValueMapSet(png, kCGImagePropertyPNGXPixelsPerMeter, Value::integer(ppmX_));
    ValueMapSet(png, kCGImagePropertyPNGYPixelsPerMeter, Value::integer(ppmY_));
    ValueMapSet(props, kCGImagePropertyDPIWidth, std::round(ppmX_ * 0.0254 * 100) / 100);
    ValueMapSet(props, kCGImagePropertyDPIHeight, std::round(ppmY_ * 0.0254 * 100) / 100);
  }
  if (animated_) {
    const double delay = delaySeconds(frames_[index]);
    ValueMapSet(png, kCGImagePropertyAPNGUnclampedDelayTime, delay);
    ValueMapSet(png, kCGImagePropertyAPNGDelayTime, ImageFrameClampedDelay(delay));
  }
  ValueMapSet(props, kCGImagePropertyPNGDictionary, Value(std::move(png)));
  ExifMergeInto(exif_, props);
  return props;
}

Bytes PNGDecoder::wrapFrame(const Frame& f) const {
  const std::span<const uint8_t> d = bytes();
  Bytes out(kSignature, kSignature + 8);
  uint8_t ihdr[13];
  const uint32_t wh[2] = {f.width, f.height};
  for (int i = 0; i < 2; ++i) {
    for (int b = 0; b < 4; ++b) ihdr[i * 4 + b] = uint8_t(wh[i] >> (24 - 8 * b));
  }
  ihdr[8] = bitDepth_;
  ihdr[9] = colorType_;
  ihdr[10] = ihdr[11] = 0;
  ihdr[12] = interlace_;
  AppendPNGChunk(out, "IHDR", ihdr, 13);
  for (const Range& r : headerChunks_)
    out.insert(out.end(), d.begin() + r.offset, d.begin() + r.offset + r.length);
  for (const Range& r : f.chunks) AppendPNGChunk(out, "IDAT", d.data() + r.offset, r.length);
  AppendPNGChunk(out, "IEND", nullptr, 0);
  return out;
}

PNGDecoder::Frame PNGDecoder::stillFrame() const {
  Frame still;
  still.width = width_;
  still.height = height_;
  still.complete = idatDone_;
  still.fromIDAT = true;
  still.chunks = idat_;
  return still;
}

// Also for a frame still arriving: until its data could fill it, decoding it
// would allocate for pixels that may never come.
bool PNGDecoder::frameLooksLikeBomb(const Frame& f) const {
  uint64_t compressed = f.fromIDAT || !animated_ ? partialIDAT_ : 0;
  for (const Range& r : f.chunks) compressed += r.length;
  const int channels = colorType_ == 2 ? 3 : colorType_ == 4 ? 2 : colorType_ == 6 ? 4 : 1;
  const uint64_t rowBytes = (uint64_t(f.width) * channels * bitDepth_ + 7) / 8 + 1;
  return !ImageDataCouldHold(rowBytes * f.height, compressed, kImageMaxRawBytesPerByte,
                             kImageRawBytesSlack);
}

bool PNGDecoder::decodeRegion(const Frame& f, ImageBitmap& out) const {
  if (frameLooksLikeBomb(f)) return false;
  bool alpha = false;
  if (f.fromIDAT || !animated_) {
    // The file itself is the default image's stream; libpng skips the
    // animation chunks as unknown ancillary ones.
    return PNGDecodeStream(bytes().data(), bytes().size(), out, alpha, 0, 0, this) &&
           out.width == f.width && out.height == f.height;
  }
  const Bytes stream = wrapFrame(f);
  return PNGDecodeStream(stream.data(), stream.size(), out, alpha) && out.width == f.width &&
         out.height == f.height;
}

AnimatedImageDecoder::FrameRect PNGDecoder::frameRect(size_t index) const {
  const Frame& f = frames_[index];
  FrameRect r;
  r.x = f.x;
  r.y = f.y;
  r.width = f.width;
  r.height = f.height;
  r.disposal = f.dispose == 1   ? Disposal::kBackground
               : f.dispose == 2 ? Disposal::kPrevious
                                : Disposal::kNone;
  r.blend = f.blend == 1;
  r.opaque = f.complete && !(colorType_ & 4) && !hasTransparency_;
  return r;
}

bool PNGDecoder::decodeFrameRegion(size_t index, ImageBitmap& region) {
  return decodeRegion(frames_[index], region);
}

bool PNGDecoder::onCanDecodeRows(size_t) const {
  return !animated_ && interlace_ == 0 && idatDone_ && !frameLooksLikeBomb(stillFrame());
}

std::unique_ptr<ImageRowReader> PNGDecoder::onMakeRowReader(size_t) const {
  return std::make_unique<PNGRowReader>(*this, width_, height_,
                                        (colorType_ & 4) || hasTransparency_);
}

bool PNGDecoder::onDecodeFrameScaled(size_t index, uint32_t width, uint32_t height,
                                     ImageBitmap& out) {
  if (animated_) return AnimatedImageDecoder::onDecodeFrameScaled(index, width, height, out);
  if (frameLooksLikeBomb(stillFrame())) return false;
  bool alpha = false;
  return PNGDecodeStream(bytes().data(), bytes().size(), out, alpha, width, height, this);
}

bool PNGDecoder::onDecodeFrame(size_t index, ImageBitmap& out, size_t prior) {
  return animated_ ? AnimatedImageDecoder::onDecodeFrame(index, out, prior)
                   : decodeRegion(stillFrame(), out);
}
