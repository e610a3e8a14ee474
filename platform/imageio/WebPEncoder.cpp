// WebP through libwebp: still images lossy at the quality (lossless at 1),
// animations through the animation encoder, EXIF through the muxer.

#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>
#include <limits>

#include "platform/foundation/Value.h"
#include "platform/imageio/ExifMetadata.h"
#include "platform/imageio/internal/ImageEncoder.h"

namespace {

bool ConfigFor(double quality, WebPConfig& config) {
  if (!WebPConfigInit(&config)) return false;
  if (quality >= 1.0) {
    config.lossless = 1;
    config.quality = 75;
  } else {
    config.quality = float(std::clamp(quality, 0.0, 1.0) * 100);
  }
  return WebPValidateConfig(&config);
}

bool EncodeStill(const ImageBitmap& b, const WebPConfig& config, Bytes& out) {
  WebPPicture picture;
  if (!WebPPictureInit(&picture)) return false;
  picture.use_argb = config.lossless;
  picture.width = int(b.width);
  picture.height = int(b.height);
  WebPMemoryWriter writer;
  WebPMemoryWriterInit(&writer);
  picture.writer = WebPMemoryWrite;
  picture.custom_ptr = &writer;
  bool ok = WebPPictureImportRGBA(&picture, b.pixels.data(), int(b.bytesPerRow())) &&
            WebPEncode(&config, &picture);
  if (ok) out.assign(writer.mem, writer.mem + writer.size);
  WebPPictureFree(&picture);
  WebPMemoryWriterClear(&writer);
  return ok;
}

bool EncodeAnimation(const std::vector<EncodeFrame>& frames, const WebPConfig& config,
                     uint32_t loops, Bytes& out) {
  const int w = int(frames[0].bitmap.width), h = int(frames[0].bitmap.height);
  WebPAnimEncoderOptions options;
  if (!WebPAnimEncoderOptionsInit(&options)) return false;
  options.anim_params.loop_count = int(std::min<uint32_t>(loops, 65535));
  WebPAnimEncoder* encoder = WebPAnimEncoderNew(w, h, &options);
  if (!encoder) return false;
  bool ok = true;
  // The container holds 24-bit durations in milliseconds and the encoder
  // takes int timestamps: both saturate rather than wrap.
  constexpr uint32_t kMaxDuration = 0xFFFFFF;
  int64_t timestamp = 0;
  for (const EncodeFrame& f : frames) {
    if (f.bitmap.width != uint32_t(w) || f.bitmap.height != uint32_t(h)) {
      ok = false;
      break;
    }
    WebPPicture picture;
    ok = WebPPictureInit(&picture);
    if (!ok) break;
    picture.use_argb = 1;
    picture.width = w;
    picture.height = h;
    ok = WebPPictureImportRGBA(&picture, f.bitmap.pixels.data(), int(f.bitmap.bytesPerRow())) &&
         WebPAnimEncoderAdd(encoder, &picture, int(timestamp), &config);
    WebPPictureFree(&picture);
    if (!ok) break;
    timestamp = std::min<int64_t>(timestamp + EncodeDelayUnits(f.delay, 1000, kMaxDuration),
                                  std::numeric_limits<int>::max());
  }
  WebPData data;
  WebPDataInit(&data);
  ok = ok && WebPAnimEncoderAdd(encoder, nullptr, int(timestamp), nullptr) &&
       WebPAnimEncoderAssemble(encoder, &data);
  if (ok) out.assign(data.bytes, data.bytes + data.size);
  WebPDataClear(&data);
  WebPAnimEncoderDelete(encoder);
  return ok;
}

bool AddExif(const Bytes& exif, Bytes& out) {
  WebPData image{out.data(), out.size()};
  WebPMux* mux = WebPMuxCreate(&image, 1);
  if (!mux) return false;
  WebPData chunk{exif.data(), exif.size()};
  WebPData assembled;
  WebPDataInit(&assembled);
  const bool ok = WebPMuxSetChunk(mux, "EXIF", &chunk, 1) == WEBP_MUX_OK &&
                  WebPMuxAssemble(mux, &assembled) == WEBP_MUX_OK;
  if (ok) out.assign(assembled.bytes, assembled.bytes + assembled.size);
  WebPDataClear(&assembled);
  WebPMuxDelete(mux);
  return ok;
}

}  // namespace

bool EncodeWebP(const std::vector<EncodeFrame>& frames, const EncodeSettings& settings,
                Bytes& out) {
  WebPConfig config;
  if (!ConfigFor(settings.quality, config)) return false;
  const bool ok = frames.size() == 1
                      ? EncodeStill(frames[0].bitmap, config, out)
                      : EncodeAnimation(frames, config, settings.loopCount.value_or(0), out);
  if (!ok) return false;
  const Bytes exif = ExifWrite(settings.metadata, settings.orientation);
  return exif.empty() || AddExif(exif, out);
}
