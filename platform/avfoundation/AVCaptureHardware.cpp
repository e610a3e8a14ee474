#include "platform/avfoundation/AVCaptureHardware.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/avfoundation/AVAsset.h"
#include "platform/avfoundation/AVFrameImage.h"
#include "platform/avfoundation/LibavLibrary.h"
#include "platform/avfoundation/LibavPointers.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/SingletonResets.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

NSErrorPtr captureError(int64_t code, const std::string& what) {
  return NSError::errorWithDescription(AVFoundationErrorDomain, code, what);
}

bool IsDevicePath(const std::string& path) { return path.rfind("/dev/", 0) == 0; }

// Video4Linux's character devices (cameras among them) have this major number.
constexpr unsigned kVideoDeviceMajor = 81;

// The source opened without waiting, so that a fifo (whose opening waits for
// a writer) or another special file never holds the caller: only a regular
// file or a video device is read, and through this descriptor, so what is
// read is what was looked at.
class SourceFile {
 public:
  ~SourceFile() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool open(const std::string& path, NSErrorPtr& error) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
      const std::string why = std::strerror(errno);
      error =
          IsDevicePath(path)
              ? captureError(AVErrorDeviceNotConnected, "Cannot open camera " + path + ": " + why)
              : captureError(AVErrorFileFormatNotRecognized, "Cannot read " + path + ": " + why);
      return false;
    }
    device_ = S_ISCHR(st.st_mode) && major(st.st_rdev) == kVideoDeviceMajor;
    if (!S_ISREG(st.st_mode) && !device_) {
      error = captureError(AVErrorFileFormatNotRecognized,
                           path + " is neither a regular file nor a video device");
      return false;
    }
    return true;
  }

  bool isDevice() const { return device_; }
  // The name under which libavformat opens the same file again.
  std::string name() const { return "/proc/self/fd/" + std::to_string(fd_); }
  // The container a file's name and first bytes say it is (the name under
  // which libavformat opens it tells nothing); nullptr to let it probe.
  const AVInputFormat* probedFormat(const std::string& path) const {
    std::vector<uint8_t> head(4096 + AVPROBE_PADDING_SIZE, 0);
    const ssize_t n = ::pread(fd_, head.data(), 4096, 0);
    if (n <= 0) return nullptr;
    AVProbeData probe{};
    probe.filename = path.c_str();
    probe.buf = head.data();
    probe.buf_size = int(n);
    return Libav().av_probe_input_format(&probe, 1);
  }

 private:
  int fd_ = -1;
  bool device_ = false;
};

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
  CGSize dimensions() const override {
    MutexLock lock(mutex_);
    return size_;
  }

 private:
  bool decodeNext() REQUIRES(mutex_);
  bool rewind() REQUIRES(mutex_);
  AVCaptureFramePtr makeFrame(std::shared_ptr<const Bytes> jpeg) REQUIRES(mutex_);

  mutable Mutex mutex_;  // guards everything below: the libav contexts are not thread-safe
  LibavInputPtr format_ GUARDED_BY(mutex_);
  LibavCodecPtr decoder_ GUARDED_BY(mutex_);
  LibavFramePtr frame_ GUARDED_BY(mutex_){Libav().av_frame_alloc()};
  LibavPacketPtr packet_ GUARDED_BY(mutex_){Libav().av_packet_alloc()};
  AVFrameImageConverter converter_ GUARDED_BY(mutex_){AVFrameImageLayout::RGBX};
  int stream_ GUARDED_BY(mutex_) = -1;
  bool device_ GUARDED_BY(mutex_) = false;
  bool drained_ GUARDED_BY(mutex_) = false;  // the decoder was sent the end of the stream
  double fps_ GUARDED_BY(mutex_) = 25;
  CGSize size_ GUARDED_BY(mutex_) = CGSizeZero;
  int64_t decoded_ GUARDED_BY(mutex_) = -1;  // index of current_
  std::optional<int64_t> count_ GUARDED_BY(mutex_);
  AVCaptureFramePtr current_ GUARDED_BY(mutex_);
};

bool FormatSource::open(const std::string& path, NSErrorPtr& error) {
  SourceFile file;
  if (!file.open(path, error)) return false;
  // Only a device needs libavdevice (and most of the libraries it brings); a
  // file is read with libavformat's own demuxers. Loaded before taking the
  // lock: the load may take a while and needs nothing of this source.
  NSErrorPtr devicesError;
  if (file.isDevice() && !LibavLoadDevices(&devicesError)) {
    error = captureError(AVErrorDeviceNotConnected, "Cannot open camera " + path + ": " +
                                                        devicesError->localizedDescription());
    return false;
  }
  MutexLock lock(mutex_);
  device_ = file.isDevice();
  const AVInputFormat* input =
      device_ ? Libav().av_find_input_format("video4linux2") : file.probedFormat(path);
  AVFormatContext* raw = nullptr;
  if (Libav().avformat_open_input(&raw, file.name().c_str(), input, nullptr) < 0) {
    error = device_ ? captureError(AVErrorDeviceNotConnected, "Cannot open camera " + path)
                    : captureError(AVErrorFileFormatNotRecognized, "Cannot read " + path);
    return false;
  }
  format_.reset(raw);
  const AVCodec* codec = nullptr;
  if (Libav().avformat_find_stream_info(raw, nullptr) < 0 ||
      (stream_ = Libav().av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0)) < 0 ||
      !codec) {
    error = captureError(AVErrorFileFormatNotRecognized, path + " has no video");
    return false;
  }
  AVStream* stream = raw->streams[stream_];
  decoder_.reset(Libav().avcodec_alloc_context3(codec));
  if (!decoder_ || Libav().avcodec_parameters_to_context(decoder_.get(), stream->codecpar) < 0 ||
      Libav().avcodec_open2(decoder_.get(), codec, nullptr) < 0) {
    error = captureError(AVErrorFileFormatNotRecognized, path + " cannot be decoded");
    return false;
  }
  AVRational rate = stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
  if (rate.num > 0 && rate.den > 0) fps_ = av_q2d(rate);
  if (!decodeNext()) {
    error = captureError(AVErrorFileFormatNotRecognized, path + " has no frame");
    return false;
  }
  size_ = {double(current_->image->width()), double(current_->image->height())};
  return true;
}

AVCaptureFramePtr FormatSource::makeFrame(std::shared_ptr<const Bytes> jpeg) {
  CGImageRef image = converter_.convert(*frame_);
  if (!image) return nullptr;
  auto out = std::make_shared<AVCaptureFrame>();
  out->image = std::move(image);
  out->jpeg = std::move(jpeg);
  out->index = decoded_ + 1;
  return out;
}

bool FormatSource::decodeNext() {
  std::shared_ptr<const Bytes> jpeg;
  for (;;) {
    const int got = Libav().avcodec_receive_frame(decoder_.get(), frame_.get());
    if (got >= 0) {
      auto frame = makeFrame(jpeg);
      Libav().av_frame_unref(frame_.get());
      if (!frame) return false;
      current_ = std::move(frame);
      ++decoded_;
      return true;
    }
    if (got != AVERROR(EAGAIN) || drained_) return false;
    const int read = Libav().av_read_frame(format_.get(), packet_.get());
    if (read < 0) {
      if (device_) return false;  // a camera that stopped
      drained_ = true;
      Libav().avcodec_send_packet(decoder_.get(), nullptr);
      continue;
    }
    if (packet_->stream_index == stream_) {
      jpeg = IsSelfContainedJPEG(*packet_)
                 ? std::make_shared<const Bytes>(packet_->data, packet_->data + packet_->size)
                 : nullptr;
      Libav().avcodec_send_packet(decoder_.get(), packet_.get());
    }
    Libav().av_packet_unref(packet_.get());
  }
}

bool FormatSource::rewind() {
  if (Libav().av_seek_frame(format_.get(), stream_, 0, AVSEEK_FLAG_BACKWARD) < 0 &&
      Libav().avformat_seek_file(format_.get(), -1, INT64_MIN, 0, 0, 0) < 0) {
    return false;
  }
  Libav().avcodec_flush_buffers(decoder_.get());
  drained_ = false;
  decoded_ = -1;
  return true;
}

AVCaptureFramePtr FormatSource::frameAt(double elapsed, NSErrorPtr& error) {
  MutexLock lock(mutex_);
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

Mutex gMutex;
std::shared_ptr<AVCaptureHardware> gHardware GUARDED_BY(gMutex);

void registerReset() {
  static std::once_flag once;
  std::call_once(once, [] {
    SingletonResets::add([] {
      MutexLock lock(gMutex);
      gHardware.reset();
    });
  });
}

}  // namespace

AVCaptureFrameSourcePtr AVOpenCaptureSource(const std::string& path, NSErrorPtr& error) {
  // Loaded before the source is made: it allocates through them.
  if (!AVLoadMediaLibraries(&error)) return nullptr;
  auto source = std::make_shared<FormatSource>();
  if (!source->open(path, error)) return nullptr;
  return source;
}

std::shared_ptr<AVCaptureHardware> AVCaptureHardware::current() {
  registerReset();
  MutexLock lock(gMutex);
  if (!gHardware) gHardware = std::make_shared<AVEnvironmentCaptureHardware>();
  return gHardware;
}

void AVCaptureHardware::setCurrent(std::shared_ptr<AVCaptureHardware> hardware) {
  registerReset();
  MutexLock lock(gMutex);
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
  MutexLock lock(mutex_);
  if (!status_) {
    status_ = statusFromEnvironment("QX_CAMERA_AUTHORIZATION", AVAuthorizationStatusAuthorized);
  }
  return *status_;
}

AVAuthorizationStatus AVEnvironmentCaptureHardware::requestAccess() {
  const AVAuthorizationStatus now = authorizationStatus();
  MutexLock lock(mutex_);
  if (now == AVAuthorizationStatusNotDetermined) {
    AVAuthorizationStatus answer =
        statusFromEnvironment("QX_CAMERA_AUTHORIZATION_PROMPT", AVAuthorizationStatusAuthorized);
    if (answer == AVAuthorizationStatusNotDetermined) answer = AVAuthorizationStatusDenied;
    status_ = answer;
  }
  return *status_;
}
