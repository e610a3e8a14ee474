#include "WebPDecoder.h"

#include <webp/decode.h>
#include <webp/demux.h>

#include <cstring>

#include "platform/imageio/ImageIOProperties.h"

namespace {

// Pixels whose data is far too small for them are refused before any decode.
bool FrameFitsData(uint64_t width, uint64_t height, size_t bytes) {
  return ImageDataCouldHold(width * height * 4, bytes, kImageMaxRawBytesPerByte,
                            kImageRawBytesSlack);
}

}  // namespace

WebPDecoder::~WebPDecoder() { dropCaches(); }

CGImageSourceStatus WebPDecoder::parse() {
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
  if (!ImageSizeAllowed(width_, height_) || frames > kImageMaxFrames) {
    status = kCGImageStatusInvalidData;
  } else {
    WebPIterator iter;
    if (WebPDemuxGetFrame(demux, 1, &iter)) {
      do {
        if (!iter.complete) break;
        if (!FrameFitsData(iter.width, iter.height, iter.fragment.size)) {
          status = kCGImageStatusInvalidData;
          break;
        }
        if (!animated_ && iter.has_alpha) hasAlpha_ = true;
        durations_.push_back(iter.duration);
      } while (WebPDemuxNextFrame(&iter));
      WebPDemuxReleaseIterator(&iter);
    }
    // The canvas itself must be one the whole file could fill.
    if (complete_ && !FrameFitsData(width_, height_, d.size())) status = kCGImageStatusInvalidData;
    if (!animated_ && durations_.size() > 1) durations_.resize(1);
    WebPChunkIterator chunk;
    if (WebPDemuxGetChunk(demux, "EXIF", 1, &chunk)) {
      ExifParse(chunk.chunk.bytes, chunk.chunk.size, exif_);
      WebPDemuxReleaseChunkIterator(&chunk);
    }
    if (status == kCGImageStatusInvalidData) {
      durations_.clear();
    } else if (state != WEBP_DEMUX_DONE) {
      status =
          complete_ && durations_.empty() ? kCGImageStatusInvalidData : kCGImageStatusIncomplete;
    }
    // Animations are composited by libwebp from the whole file only.
    if (animated_ && state != WEBP_DEMUX_DONE) durations_.clear();
  }
  WebPDemuxDelete(demux);
  if (status == kCGImageStatusComplete && durations_.empty()) return kCGImageStatusInvalidData;
  return status;
}

ValueMap WebPDecoder::containerProperties() const {
  ValueMap webp;
  if (animated_) ValueMapSet(webp, kCGImagePropertyWebPLoopCount, Value::integer(loopCount_));
  ValueMapSet(webp, kCGImagePropertyWebPCanvasPixelWidth, Value::integer(width_));
  ValueMapSet(webp, kCGImagePropertyWebPCanvasPixelHeight, Value::integer(height_));
  ValueMap out;
  ValueMapSet(out, kCGImagePropertyWebPDictionary, Value(std::move(webp)));
  return out;
}

ValueMap WebPDecoder::frameProperties(size_t index) const {
  ValueMap props = ImageFrameBaseProperties(width_, height_, hasAlpha_ || animated_,
                                            kCGImagePropertyColorModelRGB, 8);
  ValueMap webp;
  ValueMapSet(webp, kCGImagePropertyWebPCanvasPixelWidth, Value::integer(width_));
  ValueMapSet(webp, kCGImagePropertyWebPCanvasPixelHeight, Value::integer(height_));
  if (animated_ && index < durations_.size()) {
    const double delay = durations_[index] / 1000.0;
    ValueMapSet(webp, kCGImagePropertyWebPUnclampedDelayTime, delay);
    ValueMapSet(webp, kCGImagePropertyWebPDelayTime, ImageFrameClampedDelay(delay));
  }
  ValueMapSet(props, kCGImagePropertyWebPDictionary, Value(std::move(webp)));
  ExifMergeInto(exif_, props);
  return props;
}

bool WebPDecoder::decodeStill(ImageBitmap& out) const {
  int w = 0, h = 0;
  if (!WebPGetInfo(data_->data(), data_->size(), &w, &h) || !out.allocate(w, h)) return false;
  out.hasAlpha = hasAlpha_;
  return WebPDecodeRGBAInto(data_->data(), data_->size(), out.pixels.data(), out.pixels.size(),
                            int(out.bytesPerRow())) != nullptr;
}

bool WebPDecoder::decodeAnimated(size_t index, ImageBitmap& out) {
  if (!anim_ || index + 1 < nextFrame_) {
    dropCaches();
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options)) return false;
    options.color_mode = MODE_RGBA;
    options.use_threads = 0;
    WebPData webp{data_->data(), data_->size()};
    anim_ = WebPAnimDecoderNew(&webp, &options);
    if (!anim_) return false;
  }
  if (index + 1 == nextFrame_ && !lastOutput_.empty()) {
    out = lastOutput_;
    return true;
  }
  uint8_t* pixels = nullptr;
  int timestamp = 0;
  while (nextFrame_ <= index) {
    if (!WebPAnimDecoderGetNext(anim_, &pixels, &timestamp)) {
      dropCaches();
      return false;
    }
    ++nextFrame_;
  }
  if (!lastOutput_.allocate(width_, height_)) return false;
  std::memcpy(lastOutput_.pixels.data(), pixels, lastOutput_.pixels.size());
  lastOutput_.hasAlpha = true;
  out = lastOutput_;
  return true;
}

bool WebPDecoder::decodeFrame(size_t index, ImageBitmap& out) {
  if (index >= durations_.size()) return false;
  return animated_ ? decodeAnimated(index, out) : decodeStill(out);
}

void WebPDecoder::dropCaches() {
  if (anim_) WebPAnimDecoderDelete(anim_);
  anim_ = nullptr;
  nextFrame_ = 0;
  lastOutput_ = ImageBitmap();
}
