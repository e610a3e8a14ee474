#include "internal/JPEGDecoder.h"

// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/imageio/internal/ImageRowResampler.h"

namespace {

// Every 8x8 block takes at least one bit, so a frame claiming far more pixels
// than its bytes could describe is refused before its buffers are allocated.
constexpr uint64_t kMaxPixelsPerByte = 512;
constexpr uint64_t kPixelSlack = 1 << 20;
constexpr int kMaxScans = 1000;
// A scan visits every block of its components, however little data it holds
// (a run of empty blocks is a few bits), so the blocks all scans visit are
// held to the data: real progressive files visit a few blocks per byte.
constexpr uint64_t kMaxScanBlocksPerByte = 256;
constexpr uint64_t kScanBlockSlack = 1 << 20;
constexpr long kMaxDecoderMemory = 512L * 1024 * 1024;

struct ErrorManager {
  jpeg_error_mgr pub;
  jmp_buf jump;
};

void OnError(j_common_ptr cinfo) { longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1); }
void OnMessage(j_common_ptr) {}

// Progressive files can hold any number of scans; a crafted one with
// thousands of tiny scans would take minutes, so the work is counted as each
// scan starts and refused once the data cannot account for it.
struct ScanBudget {
  jpeg_progress_mgr pub;
  uint64_t blocksLeft;
  int lastScan = 0;
};

void OnProgress(j_common_ptr cinfo) {
  auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  auto* budget = reinterpret_cast<ScanBudget*>(cinfo->progress);
  if (d->input_scan_number == budget->lastScan) return;
  budget->lastScan = d->input_scan_number;
  uint64_t blocks = 0;
  for (int i = 0; i < d->comps_in_scan; ++i) {
    blocks +=
        uint64_t(d->cur_comp_info[i]->width_in_blocks) * d->cur_comp_info[i]->height_in_blocks;
  }
  if (d->input_scan_number > kMaxScans || blocks > budget->blocksLeft) OnError(cinfo);
  budget->blocksLeft -= blocks;
}

// libjpeg's own conversion (jdcolor.c), rounded, on pixels averaged in
// YCbCr. libjpeg gives every row (data that ends early decodes as grey), so
// every row of the result has been made.
void YCbCrToRGB(ImageBitmap& b) {
  for (uint32_t y = 0; y < b.height; ++y) {
    uint8_t* p = b.row(y);
    for (uint32_t x = 0; x < b.width; ++x, p += 4) {
      const float luma = p[0], cb = float(p[1]) - 128, cr = float(p[2]) - 128;
      const float rgb[3] = {luma + 1.402f * cr, luma - 0.34414f * cb - 0.71414f * cr,
                            luma + 1.772f * cb};
      for (int c = 0; c < 3; ++c) p[c] = uint8_t(std::clamp(rgb[c] + 0.5f, 0.0f, 255.0f));
    }
  }
}

bool IsFrameMarker(uint8_t m) {
  return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

// CMYK rows as libjpeg gives them to RGBA; Adobe writes CMYK inverted.
void CMYKToRGBA(const uint8_t* cmyk, uint8_t* rgba, uint32_t width, bool inverted) {
  for (uint32_t x = 0; x < width; ++x) {
    const uint8_t* s = cmyk + x * 4;
    const unsigned k = inverted ? s[3] : 255 - s[3];
    for (int c = 0; c < 3; ++c) {
      const unsigned v = inverted ? s[c] : 255 - s[c];
      rgba[x * 4 + c] = uint8_t((v * k + 127) / 255);
    }
    rgba[x * 4 + 3] = 255;
  }
}

// A progressive stream with the AC scans of its full-resolution components
// left out: its headers, its tables wherever they stand, every DC scan and
// the AC scans of subsampled (chroma) components, then the end marker. At
// the DCT scale 1/8 each 8x8 block of a full-resolution component becomes
// one pixel, its DC coefficient; libjpeg scales subsampled components up in
// the DCT instead (2x2 from a block), so theirs are kept. libjpeg gives the
// same pixels from this as from the whole file, without decoding most of
// the data (luma's AC). Empty when the headers do not parse (libjpeg then
// reads the file as it is and says what is wrong).
Bytes DCScansOnly(const uint8_t* data, size_t size) {
  std::vector<uint8_t> fullResolution;  // component ids
  Bytes out;
  if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return out;
  // The scans end at the end marker, however much the file goes on past it.
  out.reserve(std::min<size_t>(size / 4, 1 << 20));
  out.insert(out.end(), data, data + 2);
  size_t pos = 2;
  while (pos + 2 <= size) {
    if (data[pos] != 0xFF) return {};
    const uint8_t marker = data[pos + 1];
    if (marker == 0xFF) {  // fill byte
      ++pos;
      continue;
    }
    if (marker == 0xD9) break;
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length
      pos += 2;
      continue;
    }
    if (pos + 4 > size) return {};
    const size_t length = ReadBE16(data + pos + 2);
    if (length < 2 || length > size - pos - 2) return {};
    size_t end = pos + 2 + length;
    const uint8_t* p = data + pos + 4;
    bool keep = true;
    if (IsFrameMarker(marker)) {
      if (length < 8 || length < 8u + 3u * p[5]) return {};
      int maxH = 0, maxV = 0;
      for (int i = 0; i < p[5]; ++i) {
        maxH = std::max(maxH, p[7 + 3 * i] >> 4);
        maxV = std::max(maxV, p[7 + 3 * i] & 15);
      }
      fullResolution.clear();
      for (int i = 0; i < p[5]; ++i) {
        if (p[7 + 3 * i] >> 4 == maxH && (p[7 + 3 * i] & 15) == maxV) {
          fullResolution.push_back(p[6 + 3 * i]);
        }
      }
    }
    if (marker == 0xDA) {
      // The scan's entropy-coded data runs to the next marker other than a
      // stuffed zero or a restart.
      if (length < 3 || length < 2u + 1 + 2u * p[0] + 3) return {};
      keep = p[1 + 2 * p[0]] == 0;  // Ss: DC
      for (int i = 0; i < p[0]; ++i) {
        const bool full = std::find(fullResolution.begin(), fullResolution.end(), p[1 + 2 * i]) !=
                          fullResolution.end();
        keep = keep || !full;
      }
      while (end < size) {
        const void* ff = std::memchr(data + end, 0xFF, size - end);
        if (!ff) {
          end = size;
          break;
        }
        end = size_t(static_cast<const uint8_t*>(ff) - data);
        if (end + 1 >= size) {
          end = size;
          break;
        }
        const uint8_t next = data[end + 1];
        if (next != 0x00 && !(next >= 0xD0 && next <= 0xD7)) break;
        end += 2;
      }
    }
    if (keep) out.insert(out.end(), data + pos, data + end);
    pos = end;
  }
  out.push_back(0xFF);
  out.push_back(0xD9);
  return out;
}

// Decodes at the DCT scale scaleNumerator/8. With a fit size (non-zero),
// the scaled rows are folded into a bitmap of that size as they come;
// otherwise they go straight into one of the scaled size. Either way only
// the bitmap made is held to the size limits, and it is refused before
// libjpeg allocates anything for the pixels.
// The scan budget is `budgetBytes`' (the whole file's, when the stream given
// is part of it).
bool DecodeWithLibjpeg(const uint8_t* data, size_t size, size_t budgetBytes,
                       unsigned scaleNumerator, uint32_t fitWidth, uint32_t fitHeight,
                       ImageBitmap& out) {
  jpeg_decompress_struct cinfo;
  ErrorManager err;
  ScanBudget progress;
  progress.blocksLeft = budgetBytes * kMaxScanBlocksPerByte + kScanBlockSlack;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = OnError;
  err.pub.output_message = OnMessage;
  volatile bool started = false;
  volatile bool ycc = false;
  JSAMPROW volatile rowBuffer = nullptr;
  ImageRowResampler* volatile resampler = nullptr;
  auto cleanUp = [&] {
    jpeg_destroy_decompress(&cinfo);
    delete[] rowBuffer;
    if (resampler) {
      if (started) out = resampler->take();
      if (started && ycc) YCbCrToRGB(out);
      delete resampler;
    }
  };
  if (setjmp(err.jump)) {
    cleanUp();
    return started;
  }
  jpeg_create_decompress(&cinfo);
  cinfo.mem->max_memory_to_use = kMaxDecoderMemory;
  progress.pub.progress_monitor = OnProgress;
  cinfo.progress = &progress.pub;
  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(&cinfo, TRUE);
  const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
  // Adobe writes CMYK inverted; the marker says so.
  const bool inverted = cmyk && cinfo.saw_Adobe_marker;
  cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_RGBA;
  cinfo.scale_num = scaleNumerator;
  cinfo.scale_denom = 8;
  // Smoothing guesses the low AC coefficients of blocks whose scans have not
  // come; a 1/8 decode never uses them.
  if (scaleNumerator == 1) cinfo.do_block_smoothing = FALSE;
  jpeg_calc_output_dimensions(&cinfo);
  const uint32_t w = cinfo.output_width, h = cinfo.output_height;
  const bool fit = fitWidth && fitHeight && (fitWidth != w || fitHeight != h) && fitHeight <= h;
  // Rows folded into a smaller bitmap are averaged in YCbCr as libjpeg
  // decodes them, and only the result's pixels are converted: less work, and
  // libjpeg's vectorised conversion, which reads past a row's last pixel
  // into its buffers' uninitialised padding, is never run.
  ycc = fit && cinfo.jpeg_color_space == JCS_YCbCr;
  if (ycc) cinfo.out_color_space = JCS_YCbCr;
  if (fit) {
    resampler = new ImageRowResampler(w, h, fitWidth, fitHeight, false, ycc ? 3 : 4);
    if (!resampler->valid()) OnError(reinterpret_cast<j_common_ptr>(&cinfo));
  } else if (!out.allocate(w, h)) {
    OnError(reinterpret_cast<j_common_ptr>(&cinfo));
  }
  jpeg_start_decompress(&cinfo);
  out.hasAlpha = false;
  started = true;
  // Scaled CMYK rows need a second row: the converted one.
  if (cmyk || fit) rowBuffer = new JSAMPLE[size_t(w) * (fit && cmyk ? 8 : 4)];
  uint8_t* const rgba = fit && cmyk ? rowBuffer + size_t(w) * 4 : nullptr;
  while (cinfo.output_scanline < h) {
    const uint32_t y = cinfo.output_scanline;
    JSAMPROW row = rowBuffer ? rowBuffer : out.row(y);
    if (jpeg_read_scanlines(&cinfo, &row, 1) != 1) break;
    if (!fit) {
      if (cmyk) CMYKToRGBA(rowBuffer, out.row(y), w, inverted);
      continue;
    }
    if (cmyk) CMYKToRGBA(rowBuffer, rgba, w, inverted);
    resampler->addRow(cmyk ? rgba : rowBuffer);
  }
  jpeg_finish_decompress(&cinfo);
  cleanUp();
  return true;
}

// A libjpeg decompressor left open between bands: each band reads on from
// where the last one stopped, and rows before a band are skipped without
// being colour converted.
class JPEGRowReader : public ImageRowReader {
 public:
  JPEGRowReader(const uint8_t* data, size_t size, uint32_t width, uint32_t height)
      : ImageRowReader(width, height, false), data_(data), size_(size) {}
  ~JPEGRowReader() override { close(); }

 protected:
  bool restart() override {
    close();
    progress_.blocksLeft = size_ * kMaxScanBlocksPerByte + kScanBlockSlack;
    progress_.lastScan = 0;
    cinfo_.err = jpeg_std_error(&err_.pub);
    err_.pub.error_exit = OnError;
    err_.pub.output_message = OnMessage;
    if (setjmp(err_.jump)) {
      close();
      return false;
    }
    jpeg_create_decompress(&cinfo_);
    open_ = true;
    cinfo_.mem->max_memory_to_use = kMaxDecoderMemory;
    progress_.pub.progress_monitor = OnProgress;
    cinfo_.progress = &progress_.pub;
    jpeg_mem_src(&cinfo_, data_, static_cast<unsigned long>(size_));
    jpeg_read_header(&cinfo_, TRUE);
    cmyk_ = cinfo_.jpeg_color_space == JCS_CMYK || cinfo_.jpeg_color_space == JCS_YCCK;
    inverted_ = cmyk_ && cinfo_.saw_Adobe_marker;
    cinfo_.out_color_space = cmyk_ ? JCS_CMYK : JCS_EXT_RGBA;
    jpeg_start_decompress(&cinfo_);
    if (cinfo_.output_width != width() || cinfo_.output_height != height()) {
      close();
      return false;
    }
    row_.assign(size_t(width()) * 4, 0);
    rgba_.assign(size_t(width()) * 4, 0);
    return true;
  }

  bool decodeMore() override {
    if (!open_) return false;
    if (setjmp(err_.jump)) {
      close();
      return false;
    }
    JSAMPROW row = row_.data();
    if (jpeg_read_scanlines(&cinfo_, &row, 1) != 1) return false;
    emitRow(cmyk_ ? toRGBA() : row_.data());
    return true;
  }

  bool skipTo(uint32_t target) override {
    if (!open_) return false;
    if (setjmp(err_.jump)) {
      close();
      return false;
    }
    const JDIMENSION skipped = jpeg_skip_scanlines(&cinfo_, target - nextRow());
    skippedTo(nextRow() + skipped);
    return true;
  }

 private:
  const uint8_t* toRGBA() {
    CMYKToRGBA(row_.data(), rgba_.data(), width(), inverted_);
    return rgba_.data();
  }

  void close() {
    if (open_) jpeg_destroy_decompress(&cinfo_);
    open_ = false;
  }

  const uint8_t* const data_;
  const size_t size_;
  jpeg_decompress_struct cinfo_{};
  ErrorManager err_{};
  ScanBudget progress_{};
  bool open_ = false;
  bool cmyk_ = false, inverted_ = false;
  std::vector<uint8_t> row_, rgba_;
};

}  // namespace

// Rows the data never reached (and CMYK rows, written without alpha) are made
// opaque: a JPEG has no transparency.
static void MakeOpaque(ImageBitmap& out) {
  for (uint32_t y = out.height; y-- > 0;) {
    uint8_t* row = out.row(y);
    if (row[3] == 255) break;  // decoded rows carry alpha 255 already
    for (uint32_t x = 0; x < out.width; ++x) row[x * 4 + 3] = 255;
  }
}

bool JPEGDecodeStream(const uint8_t* data, size_t size, ImageBitmap& out) {
  if (!DecodeWithLibjpeg(data, size, size, 8, 0, 0, out)) return false;
  MakeOpaque(out);
  return true;
}

bool JPEGDecoder::sniff(const uint8_t* d, size_t n, const char*) {
  return n >= 3 && d[0] == 0xFF && d[1] == 0xD8 && d[2] == 0xFF;
}

CGImageSourceStatus JPEGDecoder::onParse() {
  // In memory or mapped: the markers before the image data are all that is
  // read here, so a file padded far past its image is not walked.
  const std::span<const uint8_t> d = bytes();
  if (d.size() < 3) return complete_ ? kCGImageStatusInvalidData : kCGImageStatusReadingHeader;
  if (d[0] != 0xFF || d[1] != 0xD8 || d[2] != 0xFF) return kCGImageStatusInvalidData;
  size_t pos = 2;
  while (pos + 4 <= d.size()) {
    if (d[pos] != 0xFF) return kCGImageStatusInvalidData;
    const uint8_t marker = d[pos + 1];
    if (marker == 0xFF) {  // fill byte
      ++pos;
      continue;
    }
    if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
      pos += 2;
      continue;
    }
    if (marker == 0xD9) break;
    const size_t length = ReadBE16(&d[pos + 2]);
    if (length < 2) return kCGImageStatusInvalidData;
    if (d.size() - pos - 2 < length) break;  // segment not all here yet
    const uint8_t* p = &d[pos + 4];
    const size_t n = length - 2;
    if (marker == 0xE0 && n >= 14 && std::memcmp(p, "JFIF\0", 5) == 0) readJFIF(p, n);
    if (marker == 0xE1 && n > 6 && std::memcmp(p, "Exif\0\0", 6) == 0 && !hasExif_) {
      hasExif_ = true;
      exifOffset_ = pos + 4 + 6;
      ExifParse(p + 6, n - 6, exif_);
    }
    if (IsFrameMarker(marker)) {
      if (n < 6) return kCGImageStatusInvalidData;
      height_ = ReadBE16(p + 1);
      width_ = ReadBE16(p + 3);
      components_ = p[5];
      progressive_ = marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
      if (!ImageSourceSizeAllowed(width_, height_) || components_ == 0) {
        return kCGImageStatusInvalidData;
      }
      sawFrameHeader_ = true;
    }
    if (marker == 0xDA) break;  // entropy-coded data follows
    pos += 2 + length;
  }
  if (!sawFrameHeader_) return complete_ ? kCGImageStatusInvalidData : kCGImageStatusReadingHeader;
  if (!ImageDataCouldHold(uint64_t(width_) * height_, d.size(), kMaxPixelsPerByte, kPixelSlack)) {
    return ImageStatusUntilDataCouldHold(complete_);
  }
  return complete_ ? kCGImageStatusComplete : kCGImageStatusIncomplete;
}

void JPEGDecoder::readJFIF(const uint8_t* p, size_t) {
  hasJFIF_ = true;
  jfifMajor_ = p[5];
  jfifMinor_ = p[6];
  densityUnit_ = p[7];
  xDensity_ = ReadBE16(p + 8);
  yDensity_ = ReadBE16(p + 10);
}

ImageFrameGeometry JPEGDecoder::onFrameGeometry(size_t) const {
  const int orientation = exif_.orientation >= 1 && exif_.orientation <= 8 ? exif_.orientation : 0;
  return {width_, height_, false, orientation};
}

ValueMap JPEGDecoder::onFrameProperties(size_t) const {
  const char* model = components_ == 1   ? kCGImagePropertyColorModelGray
                      : components_ == 4 ? kCGImagePropertyColorModelCMYK
                                         : kCGImagePropertyColorModelRGB;
  ValueMap props = ImageFrameBaseProperties(width_, height_, false, model, 8);
  double dpiX = 72, dpiY = 72;
  if (hasJFIF_ && densityUnit_ != 0 && xDensity_ > 0 && yDensity_ > 0) {
    const double perInch = densityUnit_ == 2 ? 2.54 : 1.0;
    dpiX = xDensity_ * perInch;
    dpiY = yDensity_ * perInch;
  } else if (const Value* xr = ValueMapFind(exif_.tiff, kCGImagePropertyTIFFXResolution)) {
    if (xr->asDouble() > 0) dpiX = dpiY = xr->asDouble();
    if (const Value* yr = ValueMapFind(exif_.tiff, kCGImagePropertyTIFFYResolution)) {
      if (yr->asDouble() > 0) dpiY = yr->asDouble();
    }
  }
  ValueMapSet(props, kCGImagePropertyDPIWidth, dpiX);
  ValueMapSet(props, kCGImagePropertyDPIHeight, dpiY);
  if (hasJFIF_) {
    ValueMap jfif;
    ValueMapSet(jfif, kCGImagePropertyJFIFVersion,
                Value::list({Value::integer(jfifMajor_), Value::integer(jfifMinor_)}));
    ValueMapSet(jfif, kCGImagePropertyJFIFDensityUnit, Value::integer(densityUnit_));
    ValueMapSet(jfif, kCGImagePropertyJFIFXDensity, Value::integer(xDensity_));
    ValueMapSet(jfif, kCGImagePropertyJFIFYDensity, Value::integer(yDensity_));
    ValueMapSet(jfif, kCGImagePropertyJFIFIsProgressive, progressive_);
    ValueMapSet(props, kCGImagePropertyJFIFDictionary, Value(std::move(jfif)));
  }
  ExifMergeInto(exif_, props);
  return props;
}

bool JPEGDecoder::decode(unsigned scaleNumerator, uint32_t fitWidth, uint32_t fitHeight,
                         ImageBitmap& out) const {
  const std::span<const uint8_t> d = bytes();
  const Bytes dcOnly =
      progressive_ && scaleNumerator == 1 ? DCScansOnly(d.data(), d.size()) : Bytes();
  const bool whole = dcOnly.empty();
  const bool decoded =
      DecodeWithLibjpeg(whole ? d.data() : dcOnly.data(), whole ? d.size() : dcOnly.size(),
                        d.size(), scaleNumerator, fitWidth, fitHeight, out);
  releaseBytes();  // a mapped file's pages read by the decode are given back
  if (!decoded) return false;
  MakeOpaque(out);
  // Larger than the image (rows cannot be folded into more rows): resized.
  if (fitWidth && fitHeight && (out.width != fitWidth || out.height != fitHeight)) {
    out = ImageBitmapResized(out, fitWidth, fitHeight);
  }
  return !out.empty();
}

bool JPEGDecoder::onDecodeFrame(size_t, ImageBitmap& out, size_t) { return decode(8, 0, 0, out); }

bool JPEGDecoder::onDecodeFrameScaled(size_t, uint32_t width, uint32_t height, ImageBitmap& out) {
  // The smallest DCT scale (n/8) whose output still covers the wanted size;
  // its rows are then averaged down to it as they come.
  unsigned n = 1;
  while (n < 8 && (uint64_t(width_) * n + 7) / 8 < width) ++n;
  while (n < 8 && (uint64_t(height_) * n + 7) / 8 < height) ++n;
  return decode(n, width, height, out);
}

bool JPEGDecoder::onCanDecodeRows(size_t) const { return complete_ && sawFrameHeader_; }

std::unique_ptr<ImageRowReader> JPEGDecoder::onMakeRowReader(size_t) const {
  return std::make_unique<JPEGRowReader>(bytes().data(), bytes().size(), width_, height_);
}

Bytes JPEGDecoder::onEmbeddedThumbnail(size_t) const {
  if (exif_.thumbnailLength == 0) return {};
  const std::span<const uint8_t> d = bytes();
  const size_t start = exifOffset_ + exif_.thumbnailOffset;
  if (start > d.size() || exif_.thumbnailLength > d.size() - start) return {};
  return Bytes(d.begin() + start, d.begin() + start + exif_.thumbnailLength);
}
