// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdlib>

#include "platform/foundation/Value.h"
#include "platform/imageio/ExifMetadata.h"
#include "platform/imageio/internal/ImageEncoder.h"

namespace {

constexpr double kThumbnailMaxPixelSize = 160;

struct EncoderErrorManager {
  jpeg_error_mgr pub;
  jmp_buf jump;
};

void OnEncoderError(j_common_ptr cinfo) {
  longjmp(reinterpret_cast<EncoderErrorManager*>(cinfo->err)->jump, 1);
}
void OnEncoderMessage(j_common_ptr) {}

bool Compress(const ImageBitmap& bitmap, int quality, const EncodeSettings& settings,
              const Bytes& exif, Bytes& out) {
  jpeg_compress_struct cinfo;
  EncoderErrorManager err;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = OnEncoderError;
  err.pub.output_message = OnEncoderMessage;
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&cinfo);
    std::free(buffer);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = bitmap.width;
  cinfo.image_height = bitmap.height;
  cinfo.input_components = 4;
  cinfo.in_color_space = JCS_EXT_RGBX;  // alpha was flattened by the destination
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  cinfo.optimize_coding = TRUE;
  if (settings.dpiWidth > 0 && settings.dpiHeight > 0) {
    cinfo.density_unit = 1;
    cinfo.X_density = uint16_t(std::lround(std::min(settings.dpiWidth, 65535.0)));
    cinfo.Y_density = uint16_t(std::lround(std::min(settings.dpiHeight, 65535.0)));
  } else {
    cinfo.density_unit = 1;
    cinfo.X_density = cinfo.Y_density = 72;
  }
  jpeg_start_compress(&cinfo, TRUE);
  if (!exif.empty() && exif.size() + 8 < 65533) {
    Bytes app1 = {'E', 'x', 'i', 'f', 0, 0};
    app1.insert(app1.end(), exif.begin(), exif.end());
    jpeg_write_marker(&cinfo, JPEG_APP0 + 1, app1.data(), unsigned(app1.size()));
  }
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(bitmap.row(cinfo.next_scanline));
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  out.assign(buffer, buffer + size);
  std::free(buffer);
  return true;
}

}  // namespace

bool EncodeJPEG(const EncodeFrame& frame, const EncodeSettings& settings, Bytes& out) {
  const int quality = std::clamp(int(std::lround(settings.quality * 100)), 1, 100);
  Bytes thumbnail;
  if (settings.embedThumbnail) {
    uint32_t w = 0, h = 0;
    ImageBitmapFitSize(frame.bitmap.width, frame.bitmap.height, kThumbnailMaxPixelSize, w, h);
    const ImageBitmap small = ImageBitmapResized(frame.bitmap, w, h);
    EncodeSettings plain;
    if (!Compress(small, std::min(quality, 80), plain, {}, thumbnail)) thumbnail.clear();
  }
  const Bytes exif = ExifWrite(settings.metadata, settings.orientation, thumbnail);
  return Compress(frame.bitmap, quality, settings, exif, out);
}
