// TIFF through libtiff, into memory: one directory per frame, LZW with the
// horizontal predictor, orientation and resolution tags.

#include <tiffio.h>

#include <algorithm>
#include <cstring>

#include "platform/foundation/Value.h"
#include "platform/imageio/internal/ImageEncoder.h"
#include "platform/imageio/ImageIOProperties.h"

namespace {

struct Sink {
  Bytes* out;
  toff_t pos = 0;
};

tsize_t EncoderReadProc(thandle_t h, tdata_t buf, tsize_t n) {
  auto* s = static_cast<Sink*>(h);
  if (n < 0 || s->pos >= s->out->size()) return 0;
  const size_t count = std::min<size_t>(size_t(n), s->out->size() - s->pos);
  std::memcpy(buf, s->out->data() + s->pos, count);
  s->pos += count;
  return tsize_t(count);
}
tsize_t EncoderWriteProc(thandle_t h, tdata_t buf, tsize_t n) {
  auto* s = static_cast<Sink*>(h);
  if (n < 0) return 0;
  if (s->out->size() < s->pos + size_t(n)) s->out->resize(s->pos + size_t(n));
  std::memcpy(s->out->data() + s->pos, buf, size_t(n));
  s->pos += size_t(n);
  return n;
}
toff_t EncoderSeekProc(thandle_t h, toff_t off, int whence) {
  auto* s = static_cast<Sink*>(h);
  const toff_t base = whence == SEEK_CUR ? s->pos : whence == SEEK_END ? s->out->size() : 0;
  s->pos = base + off;
  return s->pos;
}
int EncoderCloseProc(thandle_t) { return 0; }
toff_t EncoderSizeProc(thandle_t h) { return static_cast<Sink*>(h)->out->size(); }
int EncoderMapProc(thandle_t, tdata_t*, toff_t*) { return 0; }
void EncoderUnmapProc(thandle_t, tdata_t, toff_t) {}

void SetText(TIFF* tif, uint32_t tag, const ValueMap* dict, const char* key) {
  const Value* v = dict ? ValueMapFind(*dict, key) : nullptr;
  if (v && v->isString()) TIFFSetField(tif, tag, v->asString().c_str());
}

bool WritePage(TIFF* tif, const ImageBitmap& b, const EncodeSettings& s, bool alpha) {
  const uint16_t samples = alpha ? 4 : 3;
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, b.width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, b.height);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
  if (alpha) {
    const uint16_t extra = EXTRASAMPLE_UNASSALPHA;
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
  }
  TIFFSetField(tif, TIFFTAG_ORIENTATION, uint16_t(s.orientation >= 1 ? s.orientation : 1));
  TIFFSetField(tif, TIFFTAG_XRESOLUTION, float(s.dpiWidth > 0 ? s.dpiWidth : 72));
  TIFFSetField(tif, TIFFTAG_YRESOLUTION, float(s.dpiHeight > 0 ? s.dpiHeight : 72));
  TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  const Value* t = ValueMapFind(s.metadata, kCGImagePropertyTIFFDictionary);
  const ValueMap* tiff = t && t->isMap() ? &t->asMap() : nullptr;
  SetText(tif, TIFFTAG_MAKE, tiff, kCGImagePropertyTIFFMake);
  SetText(tif, TIFFTAG_MODEL, tiff, kCGImagePropertyTIFFModel);
  SetText(tif, TIFFTAG_SOFTWARE, tiff, kCGImagePropertyTIFFSoftware);
  SetText(tif, TIFFTAG_DATETIME, tiff, kCGImagePropertyTIFFDateTime);
  std::vector<uint8_t> row(size_t(b.width) * samples);
  for (uint32_t y = 0; y < b.height; ++y) {
    const uint8_t* src = b.row(y);
    if (alpha) {
      std::memcpy(row.data(), src, row.size());
    } else {
      for (uint32_t x = 0; x < b.width; ++x) std::memcpy(&row[x * 3], src + x * 4, 3);
    }
    if (TIFFWriteScanline(tif, row.data(), y, 0) < 0) return false;
  }
  return TIFFWriteDirectory(tif);
}

}  // namespace

bool EncodeTIFF(const std::vector<EncodeFrame>& frames, const EncodeSettings& settings,
                Bytes& out) {
  TIFFSetErrorHandler(nullptr);
  TIFFSetWarningHandler(nullptr);
  Sink sink{&out};
  TIFF* tif =
      TIFFClientOpen("memory", "wm", &sink, EncoderReadProc, EncoderWriteProc, EncoderSeekProc,
                     EncoderCloseProc, EncoderSizeProc, EncoderMapProc, EncoderUnmapProc);
  if (!tif) return false;
  bool ok = true;
  for (const EncodeFrame& f : frames) {
    if (!(ok = WritePage(tif, f.bitmap, settings, f.bitmap.hasAlpha))) break;
  }
  TIFFClose(tif);
  return ok;
}
