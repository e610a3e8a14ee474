#include "platform/avfoundation/AVLibavPlaybackProvider.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <mutex>

#include "platform/avfoundation/AVError.h"
#include "platform/avfoundation/AVFrameImage.h"
#include "platform/avfoundation/LibavLibrary.h"
#include "platform/avfoundation/LibavPointers.h"
#include "platform/avfoundation/internal/AVMediaInput.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/foundation/Value.h"
#include "platform/network/NSURLError.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

bool AVVideoSizeAllowed(int width, int height) {
  return width <= kAVMaxVideoSide && height <= kAVMaxVideoSide &&
         static_cast<int64_t>(width) * height <= kAVMaxVideoPixels;
}

NSErrorPtr AVMakeError(int64_t code, const std::string& description, const std::string& failureReason) {
  ValueMap info;
  ValueMapSet(info, NSLocalizedDescriptionKey, Value(description));
  if (!failureReason.empty()) ValueMapSet(info, "NSLocalizedFailureReason", Value(failureReason));
  return NSError::errorWithDomain(AVFoundationErrorDomain, code, Value(std::move(info)));
}

namespace {

Mutex providerMutex;
std::shared_ptr<AVPlaybackProvider> sharedProvider GUARDED_BY(providerMutex);

// The duration in the timescale of the stream that lasts longest, or in
// microseconds from the container; indefinite when nothing says.
CMTime durationOf(const AVFormatContext* format) {
  CMTime best = kCMTimeInvalid;
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVStream* stream = format->streams[i];
    if (stream->duration == AV_NOPTS_VALUE || stream->duration <= 0) continue;
    if (stream->time_base.num <= 0 || stream->time_base.den <= 0) continue;
    int64_t num = stream->time_base.num;
    if (stream->duration > INT64_MAX / num) continue;
    CMTime d = CMTimeMake(stream->duration * num, stream->time_base.den);
    if (!CMTIME_IS_VALID(best) || d > best) best = d;
  }
  if (CMTIME_IS_VALID(best)) return best;
  if (format->duration != AV_NOPTS_VALUE && format->duration > 0) {
    return CMTimeMake(format->duration, AV_TIME_BASE);
  }
  return kCMTimeIndefinite;
}

// One converter per reader, shared by its pictures: the reader's queue
// converts most of them, a layer drawing early converts the rest.
struct Converter {
  Mutex mutex;
  AVFrameImageConverter converter GUARDED_BY(mutex){AVFrameImageLayout::BGRX};

  CGImageRef convert(const AVFrame* frame) {
    MutexLock lock(mutex);
    return converter.convert(*frame);
  }
};

// A picture holding a reference to the decoder's frame until it is
// converted to a bitmap.
class LibavPicture : public AVVideoPicture {
 public:
  LibavPicture(LibavFramePtr frame, double time, std::shared_ptr<Converter> converter)
      : frame_(std::move(frame)), time_(time), converter_(std::move(converter)) {}
  double time() const override { return time_; }
  CGImageRef image() override;

 private:
  Mutex mutex_;
  LibavFramePtr frame_ GUARDED_BY(mutex_);  // freed once converted
  double time_;
  std::shared_ptr<Converter> converter_;
  CGImageRef image_ GUARDED_BY(mutex_);
};

CGImageRef LibavPicture::image() {
  MutexLock lock(mutex_);
  if (!image_) {
    image_ = converter_->convert(frame_.get());
    frame_.reset();
  }
  return image_;
}

class LibavVideoReader : public AVVideoReader {
 public:
  LibavVideoReader(std::unique_ptr<AVMediaInput> input, int streamIndex, LibavCodecPtr codec)
      : input_(std::move(input)),
        stream_(streamIndex),
        codec_(std::move(codec)),
        converter_(std::make_shared<Converter>()),
        packet_(Libav().av_packet_alloc()),
        frame_(Libav().av_frame_alloc()) {
    const AVFormatContext* format = input_->format();
    if (format->start_time != AV_NOPTS_VALUE) startSeconds_ = double(format->start_time) / AV_TIME_BASE;
  }

  CGSize pictureSize() const override { return {double(codec_->width), double(codec_->height)}; }

  bool seekToKeyFrameBefore(double seconds, NSErrorPtr* error) override {
    AVStream* stream = input_->format()->streams[stream_];
    int64_t ts =
        Libav().av_rescale_q(static_cast<int64_t>((seconds + startSeconds_) * AV_TIME_BASE),
                             AVRational{1, AV_TIME_BASE}, stream->time_base);
    if (Libav().av_seek_frame(input_->format(), stream_, ts, AVSEEK_FLAG_BACKWARD) < 0 &&
        Libav().av_seek_frame(input_->format(), stream_, ts,
                              AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY) < 0) {
      if (error) *error = AVMakeError(AVErrorDecodeFailed, "Cannot Decode", "The media could not be positioned.");
      return false;
    }
    Libav().avcodec_flush_buffers(codec_.get());
    draining_ = false;
    return true;
  }

  AVVideoPicturePtr nextPicture(NSErrorPtr* error) override {
    for (;;) {
      int got = Libav().avcodec_receive_frame(codec_.get(), frame_.get());
      if (got == 0) return takeFrame();
      if (got == AVERROR_EOF) return nullptr;
      if (got != AVERROR(EAGAIN)) return fail(error);
      if (draining_) return nullptr;
      int read = Libav().av_read_frame(input_->format(), packet_.get());
      if (read < 0) {
        if (input_->failure()) {
          if (error) *error = input_->failure();
          return nullptr;
        }
        // The end of the data (or of a truncated file): what the decoder
        // still holds comes out, then the end.
        draining_ = true;
        Libav().avcodec_send_packet(codec_.get(), nullptr);
        continue;
      }
      if (packet_->stream_index == stream_) {
        int sent = Libav().avcodec_send_packet(codec_.get(), packet_.get());
        // A damaged packet is skipped, as players do; the decoder resyncs
        // at the next key frame.
        (void)sent;
      }
      Libav().av_packet_unref(packet_.get());
    }
  }

 private:
  AVVideoPicturePtr takeFrame() {
    if (frame_->width != codec_->width || frame_->height != codec_->height ||
        !AVVideoSizeAllowed(frame_->width, frame_->height)) {
      // A stream whose pictures change size mid-way is shown at the size it
      // declared; pictures of other sizes are dropped.
      Libav().av_frame_unref(frame_.get());
      return nextPicture(nullptr);
    }
    AVStream* stream = input_->format()->streams[stream_];
    int64_t pts = frame_->best_effort_timestamp;
    double time = pts == AV_NOPTS_VALUE ? lastTime_ + 1.0 / 30 : pts * av_q2d(stream->time_base) - startSeconds_;
    lastTime_ = time;
    LibavFramePtr kept(Libav().av_frame_alloc());
    Libav().av_frame_move_ref(kept.get(), frame_.get());
    return std::make_shared<LibavPicture>(std::move(kept), time, converter_);
  }

  AVVideoPicturePtr fail(NSErrorPtr* error) {
    if (error) *error = AVMakeError(AVErrorDecodeFailed, "Cannot Decode", "The media data could not be decoded.");
    return nullptr;
  }

  std::unique_ptr<AVMediaInput> input_;
  int stream_;
  LibavCodecPtr codec_;
  std::shared_ptr<Converter> converter_;
  LibavPacketPtr packet_;
  LibavFramePtr frame_;
  double startSeconds_ = 0;
  double lastTime_ = 0;
  bool draining_ = false;
};

}  // namespace

std::shared_ptr<AVPlaybackProvider> AVPlaybackProvider::shared() {
  MutexLock lock(providerMutex);
  if (!sharedProvider) {
    static std::once_flag once;
    std::call_once(once, [] { SingletonResets::add([] { AVPlaybackProvider::setShared(nullptr); }); });
    sharedProvider = std::make_shared<AVLibavPlaybackProvider>();
  }
  return sharedProvider;
}

void AVPlaybackProvider::setShared(std::shared_ptr<AVPlaybackProvider> provider) {
  MutexLock lock(providerMutex);
  sharedProvider = std::move(provider);
}

AVAssetDescription AVLibavPlaybackProvider::describeAsset(const NSURLPtr& url,
                                                          const std::atomic<bool>& cancelled) {
  AVAssetDescription out;
  auto input = AVMediaInput::open(url, cancelled, &out.error);
  if (!input) return out;
  AVFormatContext* format = input->format();
  out.duration = durationOf(format);
  AVMediaProbe probe = AVProbeOpenedMedia(format);
  out.tracks = probe.tracks;
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVCodecParameters* par = format->streams[i]->codecpar;
    if (format->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC) continue;
    if (par->codec_type == AVMEDIA_TYPE_AUDIO) out.playable = true;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO && Libav().avcodec_find_decoder(par->codec_id) &&
        par->width > 0 && par->height > 0 && AVVideoSizeAllowed(par->width, par->height)) {
      out.playable = true;
    }
  }
  return out;
}

std::unique_ptr<AVVideoReader> AVLibavPlaybackProvider::openVideo(const NSURLPtr& url,
                                                                  const std::atomic<bool>& cancelled,
                                                                  NSErrorPtr* error) {
  auto input = AVMediaInput::open(url, cancelled, error);
  if (!input) return nullptr;
  AVFormatContext* format = input->format();
  int index = Libav().av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (index < 0) return nullptr;  // audio only: nothing to show
  // Only the video is demuxed further; audio packets are skipped unread.
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    if (int(i) != index) format->streams[i]->discard = AVDISCARD_ALL;
  }
  const AVCodecParameters* par = format->streams[index]->codecpar;
  if (par->width <= 0 || par->height <= 0 || !AVVideoSizeAllowed(par->width, par->height)) {
    if (error) {
      *error = AVMakeError(AVErrorDecodeFailed, "Cannot Decode",
                           "The video is " + std::to_string(par->width) + " by " +
                               std::to_string(par->height) + " pixels, larger than this system plays.");
    }
    return nullptr;
  }
  const AVCodec* decoder = Libav().avcodec_find_decoder(par->codec_id);
  LibavCodecPtr codec(decoder ? Libav().avcodec_alloc_context3(decoder) : nullptr);
  if (!codec || Libav().avcodec_parameters_to_context(codec.get(), par) < 0) {
    if (error) *error = AVMakeError(AVErrorDecoderNotFound, "Cannot Decode", "No decoder reads this video.");
    return nullptr;
  }
  // Decoding runs on the item's own queue; libavcodec starts no threads.
  codec->thread_count = 1;
  codec->pkt_timebase = format->streams[index]->time_base;
  if (Libav().avcodec_open2(codec.get(), decoder, nullptr) < 0) {
    if (error) *error = AVMakeError(AVErrorDecodeFailed, "Cannot Decode", "The video decoder could not start.");
    return nullptr;
  }
  return std::make_unique<LibavVideoReader>(std::move(input), index, std::move(codec));
}
