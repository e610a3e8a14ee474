#include "TIFFDecoder.h"

#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/imageio/ImageIOProperties.h"

namespace {

// Strip codecs other than fax stay below a few thousand pixels per byte; the
// slack leaves room for blank fax pages.
constexpr uint64_t kMaxPixelsPerByte = 3000;
constexpr uint64_t kPixelSlack = 4u << 20;

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

CGImageSourceStatus TIFFDecoder::parse() {
  const Bytes& d = *data_;
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
    uint16_t planar = PLANARCONFIG_CONTIG;
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    p.contiguous = planar == PLANARCONFIG_CONTIG;
    p.tiled = TIFFIsTiled(tif);
    if (!ImageSizeAllowed(p.width, p.height) ||
        uint64_t(p.width) * p.height > d.size() * kMaxPixelsPerByte + kPixelSlack) {
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

ValueMap TIFFDecoder::frameProperties(size_t index) const {
  if (index >= pages_.size()) return {};
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

// Plain 8-bit RGB(A) strips are copied as stored, so straight alpha stays
// exact; everything else goes through libtiff's RGBA conversion.
bool TIFFDecoder::readScanlines(tiff* tif, const Page& p, ImageBitmap& out) const {
  const int spp = p.samples;
  std::vector<uint8_t> row(TIFFScanlineSize(tif));
  if (row.size() < size_t(p.width) * spp) return false;
  for (uint32_t y = 0; y < p.height; ++y) {
    if (TIFFReadScanline(tif, row.data(), y, 0) < 0) return false;
    uint8_t* d = out.row(y);
    for (uint32_t x = 0; x < p.width; ++x, d += 4) {
      const uint8_t* s = &row[size_t(x) * spp];
      d[0] = s[0];
      d[1] = s[1];
      d[2] = s[2];
      d[3] = spp == 4 ? s[3] : 255;
    }
  }
  return true;
}

bool TIFFDecoder::decodeFrame(size_t index, ImageBitmap& out) {
  if (index >= pages_.size()) return false;
  const Page& p = pages_[index];
  TIFF* tif = TIFFOpenMemory(data_->data(), data_->size());
  if (!tif) return false;
  bool ok = TIFFSetDirectory(tif, tdir_t(index)) && out.allocate(p.width, p.height);
  const bool plain = p.photometric == PHOTOMETRIC_RGB && p.bitsPerSample == 8 && p.contiguous &&
                     !p.tiled && (p.samples == 3 || (p.samples == 4 && p.hasAlpha));
  if (ok && plain) {
    ok = readScanlines(tif, p, out);
    TIFFClose(tif);
    if (!ok) return false;
    out.hasAlpha = p.hasAlpha;
    if (p.alphaAssociated) ImageBitmapUnpremultiply(out);
    return true;
  }
  TIFFRGBAImage img;
  char message[1024];
  if (ok) ok = TIFFRGBAImageOK(tif, message) && TIFFRGBAImageBegin(&img, tif, 0, message);
  if (ok) {
    // Rows as stored: the orientation is reported, not applied, as for JPEG.
    img.req_orientation = uint16_t(p.orientation);
    ok = img.width == p.width && img.height == p.height &&
         TIFFRGBAImageGet(&img, reinterpret_cast<uint32_t*>(out.pixels.data()), p.width, p.height);
    TIFFRGBAImageEnd(&img);
  }
  TIFFClose(tif);
  if (!ok) return false;
  // libtiff hands out premultiplied alpha; the working format is straight.
  out.hasAlpha = p.hasAlpha;
  ImageBitmapUnpremultiply(out);
  return true;
}
