#include "internal/WebPDecoder.h"

#include <webp/decode.h>
#include <webp/demux.h>

#include <cstring>

#include "platform/foundation/Value.h"
#include "platform/imageio/ImageIOProperties.h"

namespace {

// Lossy (VP8) data cannot be smaller than its macroblocks: every 16x16 block
// codes its luma and chroma prediction modes, at least 1.67 bits together
// with the key frame's fixed probabilities, so a byte describes at most
// about 1,230 pixels however flat the image. Flat photos come close to
// that; claims beyond it are bombs.
constexpr uint64_t kLossyMaxPixelsPerByte = 1300;
// Lossless (VP8L) data has no such floor (one colour costs nothing per
// pixel), so it is held to what real images need, with room for a flat
// picture of up to 8 megapixels.
constexpr uint64_t kLosslessSlack = 32ull * 1024 * 1024;

// Pixels whose data is far too small for them are refused before any decode.
bool FrameFitsData(uint64_t width, uint64_t height, const uint8_t* bits, size_t bytes) {
  WebPBitstreamFeatures features;
  const bool lossy = bits && WebPGetFeatures(bits, bytes, &features) == VP8_STATUS_OK &&
                     features.format == 1 && !features.has_alpha;
  if (lossy) return ImageDataCouldHold(width * height, bytes, kLossyMaxPixelsPerByte, 0);
  return ImageDataCouldHold(width * height * 4, bytes, kImageMaxRawBytesPerByte, kLosslessSlack);
}

}  // namespace

bool WebPDecoder::sniff(const uint8_t* d, size_t n, const char*) {
  return n >= 12 && std::memcmp(d, "RIFF", 4) == 0 && std::memcmp(d + 8, "WEBP", 4) == 0;
}

CGImageSourceStatus WebPDecoder::onParse() {
  const Bytes& d = *data_;
  if (d.size() < 12) return complete_ ? kCGImageStatusInvalidData : kCGImageStatusReadingHeader;
  if (std::memcmp(d.data(), "RIFF", 4) != 0 || std::memcmp(&d[8], "WEBP", 4) != 0) {
    return kCGImageStatusInvalidData;
  }
  WebPData webp{d.data(), d.size()};
  WebPDemuxState state = WEBP_DEMUX_PARSE_ERROR;
  WebPDemuxer* demux = WebPDemuxPartial(&webp, &state);
  if (!demux) {
    return state == WEBP_DEMUX_PARSING_HEADER && !complete_ ? kCGImageStatusReadingHeader
                                                            : kCGImageStatusInvalidData;
  }
  width_ = WebPDemuxGetI(demux, WEBP_FF_CANVAS_WIDTH);
  height_ = WebPDemuxGetI(demux, WEBP_FF_CANVAS_HEIGHT);
  const uint32_t flags = WebPDemuxGetI(demux, WEBP_FF_FORMAT_FLAGS);
  animated_ = flags & ANIMATION_FLAG;
  hasAlpha_ = flags & ALPHA_FLAG;
  loopCount_ = WebPDemuxGetI(demux, WEBP_FF_LOOP_COUNT);
  const uint32_t frames = WebPDemuxGetI(demux, WEBP_FF_FRAME_COUNT);
  CGImageSourceStatus status = kCGImageStatusComplete;
  // An animation is drawn on a canvas that must be held; a still image can
  // always be read scaled down.
  const bool sizeAllowed =
      animated_ ? ImageSizeAllowed(width_, height_) : ImageSourceSizeAllowed(width_, height_);
  if (!sizeAllowed || frames > kImageMaxFrames) {
    status = kCGImageStatusInvalidData;
  } else {
    WebPIterator iter;
    if (WebPDemuxGetFrame(demux, 1, &iter)) {
      do {
        if (!iter.complete) break;
        if (!FrameFitsData(iter.width, iter.height, iter.fragment.bytes, iter.fragment.size)) {
          status = kCGImageStatusInvalidData;
          break;
        }
        if (!animated_ && iter.has_alpha) hasAlpha_ = true;
        Frame f;
        f.rect.x = uint32_t(iter.x_offset);
        f.rect.y = uint32_t(iter.y_offset);
        f.rect.width = uint32_t(iter.width);
        f.rect.height = uint32_t(iter.height);
        f.rect.disposal =
            iter.dispose_method == WEBP_MUX_DISPOSE_BACKGROUND ? Disposal::kBackground : Disposal::kNone;
        f.rect.blend = iter.blend_method == WEBP_MUX_BLEND;
        f.rect.opaque = !iter.has_alpha;
        f.duration = iter.duration;
        f.offset = size_t(iter.fragment.bytes - d.data());
        f.size = iter.fragment.size;
        frames_.push_back(f);
      } while (WebPDemuxNextFrame(&iter));
      WebPDemuxReleaseIterator(&iter);
    }
    // The canvas itself must be one the whole file could fill (a complete
    // still image's is its one frame's, checked above; while a still image is
    // still arriving its frame is not known yet, so the canvas stands in).
    if (status == kCGImageStatusComplete && (animated_ || !complete_) &&
        !FrameFitsData(width_, height_, nullptr, d.size())) {
      status = ImageStatusUntilDataCouldHold(complete_);
    }
    if (!animated_ && frames_.size() > 1) frames_.resize(1);
    WebPChunkIterator chunk;
    if (WebPDemuxGetChunk(demux, "EXIF", 1, &chunk)) {
      ExifParse(chunk.chunk.bytes, chunk.chunk.size, exif_);
      WebPDemuxReleaseChunkIterator(&chunk);
    }
    if (status == kCGImageStatusInvalidData || status == kCGImageStatusReadingHeader) {
      frames_.clear();
    } else if (state != WEBP_DEMUX_DONE) {
      status =
          complete_ && frames_.empty() ? kCGImageStatusInvalidData : kCGImageStatusIncomplete;
    }
  }
  WebPDemuxDelete(demux);
  if (status == kCGImageStatusComplete && frames_.empty()) return kCGImageStatusInvalidData;
  return status;
}

ValueMap WebPDecoder::onContainerProperties() const {
  ValueMap webp;
  if (animated_) ValueMapSet(webp, kCGImagePropertyWebPLoopCount, Value::integer(loopCount_));
  ValueMapSet(webp, kCGImagePropertyWebPCanvasPixelWidth, Value::integer(width_));
  ValueMapSet(webp, kCGImagePropertyWebPCanvasPixelHeight, Value::integer(height_));
  ValueMap out;
  ValueMapSet(out, kCGImagePropertyWebPDictionary, Value(std::move(webp)));
  return out;
}

ValueMap WebPDecoder::onFrameProperties(size_t index) const {
  ValueMap props = ImageFrameBaseProperties(width_, height_, hasAlpha_ || animated_,
                                            kCGImagePropertyColorModelRGB, 8);
  ValueMap webp;
  ValueMapSet(webp, kCGImagePropertyWebPCanvasPixelWidth, Value::integer(width_));
  ValueMapSet(webp, kCGImagePropertyWebPCanvasPixelHeight, Value::integer(height_));
  if (animated_) {
    const double delay = frames_[index].duration / 1000.0;
    ValueMapSet(webp, kCGImagePropertyWebPUnclampedDelayTime, delay);
    ValueMapSet(webp, kCGImagePropertyWebPDelayTime, ImageFrameClampedDelay(delay));
  }
  ValueMapSet(props, kCGImagePropertyWebPDictionary, Value(std::move(webp)));
  ExifMergeInto(exif_, props);
  return props;
}

bool WebPDecoder::decodeFrameRegion(size_t index, ImageBitmap& region) {
  const Frame& f = frames_[index];
  const uint8_t* bits = data_->data() + f.offset;
  return region.allocate(f.rect.width, f.rect.height) &&
         WebPDecodeRGBAInto(bits, f.size, region.pixels.data(), region.pixels.size(),
                            int(region.bytesPerRow())) != nullptr;
}

bool WebPDecoder::onDecodeFrameScaled(size_t index, uint32_t width, uint32_t height,
                                      ImageBitmap& out) {
  if (animated_) return AnimatedImageDecoder::onDecodeFrameScaled(index, width, height, out);
  const Frame& f = frames_[0];
  const uint8_t* bits = data_->data() + f.offset;
  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config) ||
      WebPGetFeatures(bits, f.size, &config.input) != VP8_STATUS_OK) {
    return false;
  }
  // libwebp scales lossy rows as it decodes them, but holds a lossless image
  // (and a lossy one's alpha plane) whole: those are held to the limits.
  if ((config.input.format != 1 || config.input.has_alpha) &&
      !ImageSizeAllowed(f.rect.width, f.rect.height)) {
    return false;
  }
  if (!out.allocate(width, height)) return false;
  config.options.use_scaling = 1;
  config.options.scaled_width = int(width);
  config.options.scaled_height = int(height);
  config.output.colorspace = MODE_RGBA;
  config.output.is_external_memory = 1;
  config.output.u.RGBA.rgba = out.pixels.data();
  config.output.u.RGBA.stride = int(out.bytesPerRow());
  config.output.u.RGBA.size = out.pixels.size();
  const bool ok = WebPDecode(bits, f.size, &config) == VP8_STATUS_OK;
  WebPFreeDecBuffer(&config.output);
  out.hasAlpha = hasAlpha_;
  return ok;
}

bool WebPDecoder::onDecodeFrame(size_t index, ImageBitmap& out, size_t prior) {
  if (animated_) return AnimatedImageDecoder::onDecodeFrame(index, out, prior);
  if (!decodeFrameRegion(0, out)) return false;
  out.hasAlpha = hasAlpha_;
  return true;
}

// The container's blending, in the arithmetic of libwebp's own animation
// decoder so that frames come out as every other reader shows them.
void WebPDecoder::blendRow(const uint8_t* src, uint8_t* dst, uint32_t count) const {
  for (uint32_t i = 0; i < count; ++i, src += 4, dst += 4) {
    const uint32_t sa = src[3];
    if (sa == 255) std::memcpy(dst, src, 4);
    if (sa == 0 || sa == 255) continue;
    const uint32_t dstFactor = (dst[3] * (256 - sa)) >> 8;
    const uint32_t alpha = sa + dstFactor;
    const uint32_t scale = (1u << 24) / alpha;
    for (int c = 0; c < 3; ++c) {
      dst[c] = uint8_t(((src[c] * sa + dst[c] * dstFactor) * scale) >> 24);
    }
    dst[3] = uint8_t(alpha);
  }
}
