#include "platform/avfoundation/AVCaptureHardware.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/avfoundation/AVAsset.h"
#include "platform/foundation/SingletonResets.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

namespace {

struct FormatCloser {
  void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct CodecFreer {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFreer {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ScalerFreer {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};

NSErrorPtr captureError(int64_t code, const std::string& what) {
  return NSError::errorWithDescription(AVFoundationErrorDomain, code, what);
}

bool IsDevicePath(const std::string& path) { return path.rfind("/dev/", 0) == 0; }

// A packet that is a whole baseline JPEG file: starts with SOI and carries
// its Huffman tables (many MJPEG cameras leave them out).
bool IsSelfContainedJPEG(const AVPacket& packet) {
  const uint8_t* d = packet.data;
  const size_t n = size_t(packet.size);
  if (n < 4 || d[0] != 0xFF || d[1] != 0xD8) return false;
  for (size_t i = 2; i + 1 < n; ++i) {
    if (d[i] != 0xFF) continue;
    if (d[i + 1] == 0xC4) return true;
    if (d[i + 1] == 0xDA) return false;
  }
  return false;
}

class FormatSource : public AVCaptureFrameSource {
 public:
  bool open(const std::string& path, NSErrorPtr& error);
  AVCaptureFramePtr frameAt(double elapsed, NSErrorPtr& error) override;
  CGSize dimensions() const override { return size_; }

 private:
  bool decodeNext();
  bool rewind();
  AVCaptureFramePtr makeFrame(std::shared_ptr<const Bytes> jpeg);

  std::mutex mutex_;  // guards everything below: the libav contexts are not thread-safe
  std::unique_ptr<AVFormatContext, FormatCloser> format_;
  std::unique_ptr<AVCodecContext, CodecFreer> decoder_;
  std::unique_ptr<AVFrame, FrameFreer> frame_{av_frame_alloc()};
  std::unique_ptr<AVPacket, PacketFreer> packet_{av_packet_alloc()};
  std::unique_ptr<SwsContext, ScalerFreer> scaler_;
  int stream_ = -1;
  bool device_ = false;
  bool drained_ = false;  // the decoder was sent the end of the stream
  double fps_ = 25;
  CGSize size_ = CGSizeZero;
  int64_t decoded_ = -1;  // index of current_
  std::optional<int64_t> count_;
  AVCaptureFramePtr current_;
};

bool FormatSource::open(const std::string& path, NSErrorPtr& error) {
  static std::once_flag once;
  std::call_once(once, [] { avdevice_register_all(); });
  AVQuietMediaLibraryLogs();
  device_ = IsDevicePath(path);
  const AVInputFormat* input = device_ ? av_find_input_format("video4linux2") : nullptr;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), input, nullptr) < 0) {
    error = device_ ? captureError(AVErrorDeviceNotConnected, "Cannot open camera " + path)
                    : captureError(AVErrorFileFormatNotRecognized, "Cannot read " + path);
    return false;
  }
  format_.reset(raw);
  const AVCodec* codec = nullptr;
  if (avformat_find_stream_info(raw, nullptr) < 0 ||
      (stream_ = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0)) < 0 || !codec) {
    error = captureError(AVErrorFileFormatNotRecognized, path + " has no video");
    return false;
  }
  AVStream* stream = raw->streams[stream_];
  decoder_.reset(avcodec_alloc_context3(codec));
  if (!decoder_ || avcodec_parameters_to_context(decoder_.get(), stream->codecpar) < 0 ||
      avcodec_open2(decoder_.get(), codec, nullptr) < 0) {
    error = captureError(AVErrorFileFormatNotRecognized, path + " cannot be decoded");
    return false;
  }
  AVRational rate = stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
  if (rate.num > 0 && rate.den > 0) fps_ = av_q2d(rate);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!decodeNext()) {
    error = captureError(AVErrorFileFormatNotRecognized, path + " has no frame");
    return false;
  }
  size_ = {double(current_->image->width()), double(current_->image->height())};
  return true;
}

AVCaptureFramePtr FormatSource::makeFrame(std::shared_ptr<const Bytes> jpeg) {
  const int w = frame_->width, h = frame_->height;
  scaler_.reset(sws_getCachedContext(scaler_.release(), w, h, AVPixelFormat(frame_->format), w, h,
                                     AV_PIX_FMT_RGBA, SWS_BILINEAR, nullptr, nullptr, nullptr));
  if (!scaler_) return nullptr;
  auto pixels = std::make_shared<Bytes>(size_t(w) * size_t(h) * 4);
  uint8_t* planes[1] = {pixels->data()};
  int strides[1] = {w * 4};
  sws_scale(scaler_.get(), frame_->data, frame_->linesize, 0, h, planes, strides);
  auto out = std::make_shared<AVCaptureFrame>();
  out->image = CGImage::create(size_t(w), size_t(h), 8, 32, size_t(w) * 4,
                               kCGImageAlphaNoneSkipLast, pixels);
  out->jpeg = std::move(jpeg);
  out->index = decoded_ + 1;
  return out;
}

bool FormatSource::decodeNext() {
  std::shared_ptr<const Bytes> jpeg;
  for (;;) {
    const int got = avcodec_receive_frame(decoder_.get(), frame_.get());
    if (got >= 0) {
      auto frame = makeFrame(jpeg);
      av_frame_unref(frame_.get());
      if (!frame) return false;
      current_ = std::move(frame);
      ++decoded_;
      return true;
    }
    if (got != AVERROR(EAGAIN) || drained_) return false;
    const int read = av_read_frame(format_.get(), packet_.get());
    if (read < 0) {
      if (device_) return false;  // a camera that stopped
      drained_ = true;
      avcodec_send_packet(decoder_.get(), nullptr);
      continue;
    }
    if (packet_->stream_index == stream_) {
      jpeg = IsSelfContainedJPEG(*packet_)
                 ? std::make_shared<const Bytes>(packet_->data, packet_->data + packet_->size)
                 : nullptr;
      avcodec_send_packet(decoder_.get(), packet_.get());
    }
    av_packet_unref(packet_.get());
  }
}

bool FormatSource::rewind() {
  if (av_seek_frame(format_.get(), stream_, 0, AVSEEK_FLAG_BACKWARD) < 0 &&
      avformat_seek_file(format_.get(), -1, INT64_MIN, 0, 0, 0) < 0) {
    return false;
  }
  avcodec_flush_buffers(decoder_.get());
  drained_ = false;
  decoded_ = -1;
  return true;
}

AVCaptureFramePtr FormatSource::frameAt(double elapsed, NSErrorPtr& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (device_) {
    // A camera has no past: each request takes what it delivers next.
    if (!decodeNext()) {
      error = captureError(AVErrorDeviceNotConnected, "The camera stopped delivering frames");
      return nullptr;
    }
    return current_;
  }
  const double frames = std::isfinite(elapsed) && elapsed > 0 ? std::floor(elapsed * fps_) : 0;
  int64_t target = frames < 9e15 ? int64_t(frames) : 0;
  for (int pass = 0; pass < 3; ++pass) {
    if (count_) target %= *count_;
    if (target == decoded_) return current_;
    if (target < decoded_ && !rewind()) break;
    while (decoded_ < target && decodeNext()) {
    }
    if (decoded_ == target) return current_;
    if (decoded_ < 0) break;
    count_ = decoded_ + 1;  // the end came first: now the length is known
  }
  if (current_ && decoded_ >= 0) return current_;
  error = captureError(AVErrorDeviceNotConnected, "The camera stopped delivering frames");
  return nullptr;
}

std::mutex gMutex;
std::shared_ptr<AVCaptureHardware> gHardware;  // guarded by gMutex

void registerReset() {
  static std::once_flag once;
  std::call_once(once, [] {
    SingletonResets::add([] {
      std::lock_guard<std::mutex> lock(gMutex);
      gHardware.reset();
    });
  });
}

}  // namespace

AVCaptureFrameSourcePtr AVOpenCaptureSource(const std::string& path, NSErrorPtr& error) {
  auto source = std::make_shared<FormatSource>();
  if (!source->open(path, error)) return nullptr;
  return source;
}

std::shared_ptr<AVCaptureHardware> AVCaptureHardware::current() {
  registerReset();
  std::lock_guard<std::mutex> lock(gMutex);
  if (!gHardware) gHardware = std::make_shared<AVEnvironmentCaptureHardware>();
  return gHardware;
}

void AVCaptureHardware::setCurrent(std::shared_ptr<AVCaptureHardware> hardware) {
  registerReset();
  std::lock_guard<std::mutex> lock(gMutex);
  gHardware = std::move(hardware);
}

std::vector<AVCaptureCamera> AVEnvironmentCaptureHardware::cameras() {
  std::vector<AVCaptureCamera> out;
  const char* back = std::getenv("QX_CAMERA_SOURCE");
  const char* front = std::getenv("QX_FRONT_CAMERA_SOURCE");
  if (back && *back) out.push_back({"camera.back", AVCaptureDevicePositionBack, back, true});
  if (front && *front) out.push_back({"camera.front", AVCaptureDevicePositionFront, front, false});
  return out;
}

AVCaptureFrameSourcePtr AVEnvironmentCaptureHardware::openSource(const AVCaptureCamera& camera,
                                                                 NSErrorPtr& error) {
  return AVOpenCaptureSource(camera.source, error);
}

std::optional<AVAuthorizationStatus> AVEnvironmentCaptureHardware::statusNamed(
    const std::string& s) {
  if (s == "authorized") return AVAuthorizationStatusAuthorized;
  if (s == "denied") return AVAuthorizationStatusDenied;
  if (s == "restricted") return AVAuthorizationStatusRestricted;
  if (s == "notDetermined") return AVAuthorizationStatusNotDetermined;
  return std::nullopt;
}

namespace {

// The status an environment variable names, `fallback` when unset or unknown.
AVAuthorizationStatus statusFromEnvironment(const char* variable, AVAuthorizationStatus fallback) {
  const char* text = std::getenv(variable);
  if (!text) return fallback;
  return AVEnvironmentCaptureHardware::statusNamed(text).value_or(fallback);
}

}  // namespace

AVAuthorizationStatus AVEnvironmentCaptureHardware::authorizationStatus() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!status_) {
    status_ = statusFromEnvironment("QX_CAMERA_AUTHORIZATION", AVAuthorizationStatusAuthorized);
  }
  return *status_;
}

AVAuthorizationStatus AVEnvironmentCaptureHardware::requestAccess() {
  const AVAuthorizationStatus now = authorizationStatus();
  std::lock_guard<std::mutex> lock(mutex_);
  if (now == AVAuthorizationStatusNotDetermined) {
    AVAuthorizationStatus answer =
        statusFromEnvironment("QX_CAMERA_AUTHORIZATION_PROMPT", AVAuthorizationStatusAuthorized);
    if (answer == AVAuthorizationStatusNotDetermined) answer = AVAuthorizationStatusDenied;
    status_ = answer;
  }
  return *status_;
}
