#include "internal/TIFFDecoder.h"

#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/foundation/Value.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/imageio/internal/ImageRowResampler.h"

namespace {

// Strip codecs other than fax stay below a few thousand pixels per byte; the
// slack leaves room for blank fax pages.
constexpr uint64_t kMaxPixelsPerByte = 3000;
constexpr uint64_t kPixelSlack = 4u << 20;

// Whether a band of `rows` rows of a page `width` wide may be held: no more
// pixels than a bitmap within the limits, however wide the page.
bool BandAllowed(uint32_t width, uint32_t rows) {
  return uint64_t(width) * rows <= kImageMaxPixels;
}

// Rows of a strip read at a time: about a megabyte of samples at 12000 pixels across.
constexpr uint32_t kStripBand = 32;
constexpr uint32_t kRowsPerRelease = 256;

struct MemoryFile {
  const uint8_t* data;
  size_t size;
  toff_t pos;
};

tsize_t ReadProc(thandle_t h, tdata_t buf, tsize_t n) {
  auto* f = static_cast<MemoryFile*>(h);
  if (n < 0 || f->pos >= f->size) return 0;
  const size_t count = std::min<size_t>(size_t(n), f->size - f->pos);
  std::memcpy(buf, f->data + f->pos, count);
  f->pos += count;
  return tsize_t(count);
}
tsize_t WriteProc(thandle_t, tdata_t, tsize_t) { return 0; }
toff_t SeekProc(thandle_t h, toff_t off, int whence) {
  auto* f = static_cast<MemoryFile*>(h);
  toff_t base = whence == SEEK_CUR ? f->pos : whence == SEEK_END ? f->size : 0;
  f->pos = base + off;
  return f->pos;
}
int CloseProc(thandle_t h) {
  delete static_cast<MemoryFile*>(h);
  return 0;
}
toff_t SizeProc(thandle_t h) { return static_cast<MemoryFile*>(h)->size; }
int MapProc(thandle_t, tdata_t*, toff_t*) { return 0; }
void UnmapProc(thandle_t, tdata_t, toff_t) {}

void Silence() {
  static std::once_flag once;
  std::call_once(once, [] {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
  });
}

}  // namespace

tiff* TIFFOpenMemory(const uint8_t* data, size_t size) {
  Silence();
  auto* f = new MemoryFile{data, size, 0};
  // "m": no memory mapping of the file; the procs serve the buffer.
  TIFF* t = TIFFClientOpen("memory", "rm", f, ReadProc, WriteProc, SeekProc, CloseProc, SizeProc,
                           MapProc, UnmapProc);
  if (!t) delete f;
  return t;
}

bool TIFFDecoder::sniff(const uint8_t* d, size_t n, const char*) {
  return n >= 4 && (std::memcmp(d, "II*\0", 4) == 0 || std::memcmp(d, "MM\0*", 4) == 0);
}

CGImageSourceStatus TIFFDecoder::onParse() {
  const std::span<const uint8_t> d = bytes();
  if (d.size() < 8) return complete_ ? kCGImageStatusInvalidData : kCGImageStatusReadingHeader;
  // libtiff seeks anywhere in the file, so only whole files are read.
  if (!complete_) return kCGImageStatusIncomplete;
  TIFF* tif = TIFFOpenMemory(d.data(), d.size());
  if (!tif) return kCGImageStatusInvalidData;
  do {
    Page p;
    uint16_t orientation = 1, samples = 3, bits = 8, photometric = 2, compression = 1, unit = 2;
    uint16_t extraCount = 0;
    uint16_t* extra = nullptr;
    float xr = 0, yr = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &p.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &p.height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extra);
    if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xr)) p.xResolution = xr;
    if (TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yr)) p.yResolution = yr;
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    p.orientation = orientation >= 1 && orientation <= 8 ? orientation : 1;
    p.samples = samples;
    p.bitsPerSample = bits;
    p.photometric = photometric;
    p.compression = compression;
    p.resolutionUnit = unit;
    p.hasAlpha = extraCount > 0;
    p.alphaAssociated = extraCount > 0 && extra && extra[0] == EXTRASAMPLE_ASSOCALPHA;
    uint16_t sampleFormat = SAMPLEFORMAT_UINT;
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &sampleFormat);
    p.sampleFormat = sampleFormat;
    uint16_t planar = PLANARCONFIG_CONTIG;
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    p.contiguous = planar == PLANARCONFIG_CONTIG;
    p.tiled = TIFFIsTiled(tif);
    // A page past the full-size limits is read in bands for thumbnails;
    // its whole bitmap is refused when allocated.
    if (!ImageSourceSizeAllowed(p.width, p.height) ||
        !ImageDataCouldHold(uint64_t(p.width) * p.height, d.size(), kMaxPixelsPerByte,
                            kPixelSlack)) {
      TIFFClose(tif);
      return kCGImageStatusInvalidData;
    }
    pages_.push_back(p);
  } while (pages_.size() < kImageMaxFrames && TIFFReadDirectory(tif));
  TIFFClose(tif);
  ExifParse(d.data(), d.size(), exif_);
  exif_.thumbnailOffset = exif_.thumbnailLength = 0;
  return kCGImageStatusComplete;
}

ValueMap TIFFDecoder::onFrameProperties(size_t index) const {
  const Page& p = pages_[index];
  const char* model = p.photometric <= 1   ? kCGImagePropertyColorModelGray
                      : p.photometric == 5 ? kCGImagePropertyColorModelCMYK
                                           : kCGImagePropertyColorModelRGB;
  ValueMap props = ImageFrameBaseProperties(p.width, p.height, p.hasAlpha, model, p.bitsPerSample);
  if (p.xResolution > 0 && p.yResolution > 0) {
    const double perInch = p.resolutionUnit == 3 ? 2.54 : 1.0;
    ValueMapSet(props, kCGImagePropertyDPIWidth, p.xResolution * perInch);
    ValueMapSet(props, kCGImagePropertyDPIHeight, p.yResolution * perInch);
  }
  if (index == 0) ExifMergeInto(exif_, props);
  ValueMap tiff;
  if (const Value* t = ValueMapFind(props, kCGImagePropertyTIFFDictionary)) tiff = t->asMap();
  ValueMapSet(tiff, kCGImagePropertyTIFFCompression, Value::integer(p.compression));
  ValueMapSet(tiff, kCGImagePropertyTIFFOrientation, Value::integer(p.orientation));
  ValueMapSet(props, kCGImagePropertyTIFFDictionary, Value(std::move(tiff)));
  ValueMapSet(props, kCGImagePropertyOrientation, Value::integer(p.orientation));
  return props;
}

namespace {

// Colour channels of the photometric interpretations read sample by sample.
int ColorChannels(int photometric) { return photometric == PHOTOMETRIC_RGB ? 3 : 1; }

// One 8 or 16-bit sample of a row of interleaved samples.
inline uint32_t SampleAt(const uint8_t* row, size_t index, int bits) {
  if (bits == 8) return row[index];
  uint16_t v;
  std::memcpy(&v, row + index * 2, 2);  // libtiff hands out native byte order
  return v;
}

// Reads rows [y0, y0 + rows) of samples, interleaved per pixel, strips or
// tiles, one plane or one plane per sample.
class SampleRows {
 public:
  SampleRows(TIFF* tif, uint32_t width, int spp, int bits, bool contiguous)
      : tif_(tif), width_(width), spp_(spp), bytes_(bits / 8), contiguous_(contiguous) {}

  bool read(uint32_t y0, uint32_t rows, std::vector<uint8_t>& out) {
    const size_t rowBytes = size_t(width_) * spp_ * bytes_;
    out.resize(rowBytes * rows);  // every byte is read over
    return TIFFIsTiled(tif_) ? readTiles(y0, rows, out) : readStrips(y0, rows, out);
  }

 private:
  // Copies `count` samples of one plane (or all of them) into pixel order.
  void place(const uint8_t* src, uint8_t* dst, uint32_t count, int plane) const {
    if (contiguous_) {
      std::memcpy(dst, src, size_t(count) * spp_ * bytes_);
      return;
    }
    for (uint32_t i = 0; i < count; ++i) {
      std::memcpy(dst + (size_t(i) * spp_ + plane) * bytes_, src + size_t(i) * bytes_, bytes_);
    }
  }

  bool readStrips(uint32_t y0, uint32_t rows, std::vector<uint8_t>& out) {
    const size_t scanline = size_t(TIFFScanlineSize(tif_));
    const int planes = contiguous_ ? 1 : spp_;
    const size_t need = size_t(width_) * (contiguous_ ? spp_ : 1) * bytes_;
    if (scanline < need) return false;
    const size_t rowBytes = size_t(width_) * spp_ * bytes_;
    if (scanline == rowBytes) {
      // Rows as stored (one plane of them all) are rows as wanted: read in place.
      for (uint32_t r = 0; r < rows; ++r) {
        if (TIFFReadScanline(tif_, out.data() + r * rowBytes, y0 + r, 0) < 0) return false;
      }
      return true;
    }
    line_.resize(scanline);
    std::vector<uint8_t>& line = line_;
    for (int plane = 0; plane < planes; ++plane) {
      for (uint32_t r = 0; r < rows; ++r) {
        if (TIFFReadScanline(tif_, line.data(), y0 + r, uint16_t(plane)) < 0) return false;
        place(line.data(), out.data() + r * rowBytes, width_, plane);
      }
    }
    return true;
  }

  bool readTiles(uint32_t y0, uint32_t rows, std::vector<uint8_t>& out) {
    uint32_t tw = 0, th = 0;
    TIFFGetField(tif_, TIFFTAG_TILEWIDTH, &tw);
    TIFFGetField(tif_, TIFFTAG_TILELENGTH, &th);
    std::vector<uint8_t> tile(size_t(TIFFTileSize(tif_)));
    const size_t pixelBytes = size_t(contiguous_ ? spp_ : 1) * bytes_;
    if (tw == 0 || th == 0 || tile.size() < size_t(tw) * th * pixelBytes) return false;
    const size_t rowBytes = size_t(width_) * spp_ * bytes_;
    const int planes = contiguous_ ? 1 : spp_;
    for (uint32_t y = y0; y < y0 + rows; y += th - (y % th)) {
      const uint32_t top = y - y % th;
      for (uint32_t x = 0; x < width_; x += tw) {
        for (int plane = 0; plane < planes; ++plane) {
          if (TIFFReadTile(tif_, tile.data(), x, top, 0, uint16_t(plane)) < 0) return false;
          const uint32_t count = std::min(tw, width_ - x);
          for (uint32_t r = y; r < std::min(top + th, y0 + rows); ++r) {
            place(tile.data() + size_t(r - top) * tw * pixelBytes,
                  out.data() + (r - y0) * rowBytes + size_t(x) * spp_ * bytes_, count, plane);
          }
        }
      }
    }
    return true;
  }

  TIFF* tif_;
  uint32_t width_;
  int spp_, bytes_;
  bool contiguous_;
  std::vector<uint8_t> line_;
};

}  // namespace

// Grey and RGB of 8 or 16 bits are read sample by sample: libtiff's RGBA
// conversion premultiplies colour into 8 bits (losing it where alpha is low)
// and drops the alpha of 16-bit grey.
bool TIFFDecoder::readsSamples(const Page& p) {
  const bool photometric = p.photometric == PHOTOMETRIC_MINISBLACK ||
                           p.photometric == PHOTOMETRIC_MINISWHITE ||
                           p.photometric == PHOTOMETRIC_RGB;
  return photometric && (p.bitsPerSample == 8 || p.bitsPerSample == 16) &&
         p.sampleFormat == SAMPLEFORMAT_UINT &&
         p.samples >= ColorChannels(p.photometric) + (p.hasAlpha ? 1 : 0) &&
         (p.hasAlpha || (p.photometric == PHOTOMETRIC_RGB && p.bitsPerSample == 8));
}

bool TIFFDecoder::readSamples(tiff* tif, const Page& p, int channels, const RowSink& sink) const {
  const int colors = ColorChannels(p.photometric), bits = p.bitsPerSample;
  const uint32_t max = (1u << bits) - 1;
  const bool invert = p.photometric == PHOTOMETRIC_MINISWHITE;
  // Opaque 8-bit RGB as stored is handed on as it is read.
  const bool asStored = channels == 3 && p.samples == 3 && bits == 8 && !p.hasAlpha &&
                        p.photometric == PHOTOMETRIC_RGB;
  SampleRows reader(tif, p.width, p.samples, bits, p.contiguous);
  // A row of tiles, or a strip of each plane, at a time, so compressed data
  // is decoded in order once, whatever the layout; a single plane's
  // scanlines are read in order whatever the strips' size, kStripBand rows
  // at a time.
  const uint32_t band =
      p.contiguous && !p.tiled ? std::min(kStripBand, p.height) : storedBand(tif, p);
  std::vector<uint8_t> rows;
  std::vector<uint8_t> converted(asStored ? 0 : size_t(p.width) * channels);
  const size_t rowBytes = size_t(p.width) * p.samples * (bits / 8);
  for (uint32_t y0 = 0; y0 < p.height; y0 += band) {
    const uint32_t count = std::min(band, p.height - y0);
    if (!reader.read(y0, count, rows)) return false;
    for (uint32_t r = 0; r < count; ++r) {
      const uint8_t* row = rows.data() + size_t(r) * rowBytes;
      if (asStored) {
        sink(y0 + r, row);
        continue;
      }
      uint8_t* d = converted.data();
      for (uint32_t x = 0; x < p.width; ++x, d += channels) {
        const size_t base = size_t(x) * p.samples;
        const uint32_t a = p.hasAlpha ? SampleAt(row, base + colors, bits) : max;
        for (int c = 0; c < 3; ++c) {
          uint32_t v = SampleAt(row, base + (colors == 3 ? c : 0), bits);
          if (invert) v = max - v;
          // Straightened at full precision before the scaling to 8 bits.
          if (p.alphaAssociated && a != 0 && a != max) v = std::min(max, (v * max + a / 2) / a);
          d[c] = uint8_t(bits == 8 ? v : (v + 128) / 257);
        }
        if (channels == 4) d[3] = uint8_t(bits == 8 ? a : (a + 128) / 257);
      }
      sink(y0 + r, converted.data());
    }
    releaseAfter(y0, count);
  }
  return true;
}

void TIFFDecoder::releaseAfter(uint32_t y0, uint32_t count) const {
  // A mapped file's pages are given back every few hundred rows.
  if ((y0 + count) / kRowsPerRelease != y0 / kRowsPerRelease) releaseBytes();
}

bool TIFFDecoder::readRGBA(tiff* tif, const Page& p, uint32_t band, const RowSink& sink) const {
  TIFFRGBAImage img;
  char message[1024];
  if (!TIFFRGBAImageOK(tif, message) || !TIFFRGBAImageBegin(&img, tif, 0, message)) return false;
  // Rows as stored: the orientation is reported, not applied, as for JPEG.
  img.req_orientation = uint16_t(p.orientation);
  // Not allocate(): a band of a page past the limits is as wide as the page.
  ImageBitmap rows;
  rows.width = p.width;
  rows.height = band;
  rows.pixels.resize(size_t(p.width) * band * 4);
  bool ok = img.width == p.width && img.height == p.height;
  for (uint32_t y0 = 0; ok && y0 < p.height; y0 += band) {
    const uint32_t count = std::min(band, p.height - y0);
    img.row_offset = int(y0);
    ok = TIFFRGBAImageGet(&img, reinterpret_cast<uint32_t*>(rows.pixels.data()), p.width, count);
    // libtiff premultiplies colour with alpha; the working format is
    // straight. (Grey with alpha, which it hands out as stored, is read as
    // samples.)
    if (ok && p.hasAlpha) ImageBitmapUnpremultiply(rows);
    for (uint32_t r = 0; ok && r < count; ++r) sink(y0 + r, rows.row(r));
    releaseAfter(y0, count);
  }
  TIFFRGBAImageEnd(&img);
  return ok;
}

uint32_t TIFFDecoder::storedBand(tiff* tif, const Page& p) {
  uint32_t band = 0;
  if (p.tiled) {
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &band);
  } else {
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &band);
  }
  return std::clamp<uint32_t>(band, 1, p.height);
}

bool TIFFDecoder::onDecodeFrame(size_t index, ImageBitmap& out, size_t) {
  const Page& p = pages_[index];
  if (!ImageSizeAllowed(p.width, p.height)) return false;
  TIFF* tif = TIFFOpenMemory(bytes().data(), bytes().size());
  if (!tif) return false;
  bool ok = TIFFSetDirectory(tif, tdir_t(index)) && out.allocate(p.width, p.height);
  const RowSink copy = [&](uint32_t y, const uint8_t* row) {
    std::memcpy(out.row(y), row, size_t(p.width) * 4);
  };
  if (ok && readsSamples(p)) {
    ok = readSamples(tif, p, 4, copy);
  } else if (ok) {
    // The whole image in one go: libtiff converts straight into the bitmap.
    TIFFRGBAImage img;
    char message[1024];
    ok = TIFFRGBAImageOK(tif, message) && TIFFRGBAImageBegin(&img, tif, 0, message);
    if (ok) {
      img.req_orientation = uint16_t(p.orientation);
      ok =
          img.width == p.width && img.height == p.height &&
          TIFFRGBAImageGet(&img, reinterpret_cast<uint32_t*>(out.pixels.data()), p.width, p.height);
      TIFFRGBAImageEnd(&img);
    }
    if (ok && p.hasAlpha) ImageBitmapUnpremultiply(out);
  }
  TIFFClose(tif);
  out.hasAlpha = p.hasAlpha;
  return ok;
}

bool TIFFDecoder::onDecodeFrameScaled(size_t index, uint32_t width, uint32_t height,
                                      ImageBitmap& out) {
  const Page& p = pages_[index];
  if (height > p.height) return ImageDecoder::onDecodeFrameScaled(index, width, height, out);
  TIFF* tif = TIFFOpenMemory(bytes().data(), bytes().size());
  if (!tif) return false;
  bool ok = TIFFSetDirectory(tif, tdir_t(index));
  const bool samples = readsSamples(p);
  const int channels = p.hasAlpha ? 4 : 3;
  ImageRowResampler resampler(p.width, p.height, width, height, p.hasAlpha, samples ? channels : 4);
  ok = ok && resampler.valid();
  const RowSink fold = [&](uint32_t, const uint8_t* row) { resampler.addRow(row); };
  if (ok && samples) {
    // A row of tiles, or a strip of each plane, is held: no more than a
    // bitmap within the limits (a single plane's strips are read in a few
    // rows whatever their size).
    ok = (p.contiguous && !p.tiled) || BandAllowed(p.width, storedBand(tif, p));
    ok = ok && readSamples(tif, p, channels, fold);
  } else if (ok) {
    // libtiff's conversion decodes whole strips or tiles: a band of them is
    // held, which for a file of one huge strip is the whole image (refused
    // past the limits as that is).
    const uint32_t band = storedBand(tif, p);
    ok = BandAllowed(p.width, band) && readRGBA(tif, p, band, fold);
  }
  TIFFClose(tif);
  if (!ok) return false;
  out = resampler.take();
  out.hasAlpha = p.hasAlpha;
  return true;
}
