// HEIC through libheif and its HEVC encoder. Every frame becomes a top-level
// image (the first is the primary one); the orientation is written as
// rotation and mirroring boxes, which readers apply, so the EXIF block leaves
// it out.

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/foundation/BuildFlags.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/ExifMetadata.h"
#include "platform/imageio/internal/HEIFDecoder.h"
#include "platform/imageio/internal/HEIFLibrary.h"
#include "platform/imageio/internal/ImageEncoder.h"

namespace {

heif_error WriteToBytes(heif_context*, const void* data, size_t size, void* userdata) {
  auto* out = static_cast<Bytes*>(userdata);
  const auto* p = static_cast<const uint8_t*>(data);
  out->insert(out->end(), p, p + size);
  return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

heif_image* MakeImage(const ImageBitmap& b) {
  heif_image* image = nullptr;
  const heif_chroma chroma =
      b.hasAlpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB;
  if (Heif()
          .heif_image_create(int(b.width), int(b.height), heif_colorspace_RGB, chroma, &image)
          .code != heif_error_Ok) {
    return nullptr;
  }
  if (Heif()
          .heif_image_add_plane(image, heif_channel_interleaved, int(b.width), int(b.height), 8)
          .code != heif_error_Ok) {
    Heif().heif_image_release(image);
    return nullptr;
  }
  int stride = 0;
  uint8_t* plane = Heif().heif_image_get_plane(image, heif_channel_interleaved, &stride);
  for (uint32_t y = 0; y < b.height; ++y) {
    uint8_t* dst = plane + size_t(y) * stride;
    const uint8_t* src = b.row(y);
    if (b.hasAlpha) {
      std::memcpy(dst, src, size_t(b.width) * 4);
    } else {
      for (uint32_t x = 0; x < b.width; ++x) std::memcpy(dst + x * 3, src + x * 4, 3);
    }
  }
  return image;
}

}  // namespace

bool HEIFCanEncode() {
  if (!HEIFInitialiseOnce()) return false;
  return Heif().heif_have_encoder_for_format(heif_compression_HEVC);
}

bool EncodeHEIF(const std::vector<EncodeFrame>& frames, const EncodeSettings& settings,
                Bytes& out) {
  if (!HEIFInitialiseOnce()) return false;
  heif_context* context = Heif().heif_context_alloc();
  heif_encoder* encoder = nullptr;
  if (!context ||
      Heif().heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder).code !=
          heif_error_Ok) {
    if (context) Heif().heif_context_free(context);
    return false;
  }
  Heif().heif_encoder_set_lossy_quality(
      encoder, std::clamp(int(std::lround(settings.quality * 100)), 0, 100));
  heif_encoding_options* options = Heif().heif_encoding_options_alloc();
  if (settings.orientation >= 1 && settings.orientation <= 8) {
    options->image_orientation = static_cast<heif_orientation>(settings.orientation);
  }
  bool ok = true;
  for (size_t i = 0; i < frames.size() && ok; ++i) {
    heif_image* image = MakeImage(frames[i].bitmap);
    heif_image_handle* handle = nullptr;
    ok =
        image && Heif().heif_context_encode_image(context, image, encoder, options, &handle).code ==
                     heif_error_Ok;
    if (ok && i == 0) {
      const Bytes exif = ExifWrite(settings.metadata, 0);
      if (!exif.empty())
        Heif().heif_context_add_exif_metadata(context, handle, exif.data(), int(exif.size()));
    }
    if (handle) Heif().heif_image_handle_release(handle);
    if (image) Heif().heif_image_release(image);
  }
  heif_writer writer;
  writer.writer_api_version = 1;
  writer.write = WriteToBytes;
  ok = ok && Heif().heif_context_write(context, &writer, &out).code == heif_error_Ok;
  Heif().heif_encoding_options_free(options);
  Heif().heif_encoder_release(encoder);
  Heif().heif_context_free(context);
  return ok;
}

#if defined(QX_LEAK_CHECKED)
// x265 keeps one process-wide allocation for as long as the process lives,
// and fontconfig the font patterns it finds for poppler's text; the leak
// checker is told so, to keep its reports about our code. Weak: the test
// programs' main defines the same list for programs that read PDFs (poppler
// asks fontconfig too) without linking this file.
extern "C" __attribute__((weak)) const char* __lsan_default_suppressions() {
  return "leak:libx265.so\nleak:libfontconfig.so\n";
}
#endif

#if defined(__SANITIZE_THREAD__)
// x265's worker threads take their jobs through its own atomics, built
// without the thread sanitizer, which therefore cannot see the hand-over and
// reports the encoder's buffers as raced on. Its reports are set aside; races
// in our code still stop the test.
extern "C" const char* __tsan_default_suppressions() { return "race:libx265.so\n"; }
#endif
