#include "platform/avfoundation/AVCaptureHardware.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/avfoundation/AVAsset.h"
#include "platform/avfoundation/AVFrameImage.h"
#include "platform/avfoundation/LibavLibrary.h"
#include "platform/avfoundation/AVLibavPlaybackProvider.h"
#include "platform/avfoundation/LibavPointers.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageBitmap.h"
#include "platform/imageio/ImageIOProperties.h"

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

// libavformat's readers of single images: "image2" for named files,
// "image2pipe" and one "<format>_pipe" per image format for probed ones.
bool IsImageReader(const AVInputFormat* format) {
  const std::string name = format && format->name ? format->name : "";
  const std::string pipe = "_pipe";
  return name == "image2" || name == "image2pipe" ||
         (name.size() > pipe.size() && name.compare(name.size() - pipe.size(), pipe.size(), pipe) == 0);
}

// Per-stream codec options for libav that refuse pictures of more than
// `maxPixels` before anything is allocated for them.
class PixelLimit {
 public:
  PixelLimit(unsigned streams, int64_t maxPixels) : options_(streams, nullptr) {
    const std::string limit = std::to_string(maxPixels);
    for (AVDictionary*& options : options_) Libav().av_dict_set(&options, "max_pixels", limit.c_str(), 0);
  }
  ~PixelLimit() {
    for (AVDictionary*& options : options_) Libav().av_dict_free(&options);
  }
  PixelLimit(const PixelLimit&) = delete;
  PixelLimit& operator=(const PixelLimit&) = delete;
  AVDictionary** streams() { return options_.empty() ? nullptr : options_.data(); }
  AVDictionary** stream(size_t index) { return index < options_.size() ? &options_[index] : nullptr; }

 private:
  std::vector<AVDictionary*> options_;
};

class FormatSource : public AVCaptureFrameSource {
 public:
  bool open(const std::string& path, NSErrorPtr& error);
  AVCaptureFramePtr frameAt(double elapsed, NSErrorPtr& error) override;
  CGSize dimensions() const override {
    MutexLock lock(mutex_);
    return size_;
  }

 private:
  enum class LargeStill { No, Opened, Refused };
  LargeStill openLargeStill(const SourceFile& file, const std::string& path, NSErrorPtr& error)
      REQUIRES(mutex_);
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
  // A still image is held to the limits of every image, a video or a
  // camera to those of the videos that play: libav decodes each picture
  // whole, so one past them is refused before it is decoded.
  const bool still = !device_ && IsImageReader(raw->iformat);
  if (still) {
    const LargeStill large = openLargeStill(file, path, error);
    if (large != LargeStill::No) return large == LargeStill::Opened;
  }
  PixelLimit limit(raw->nb_streams, still ? int64_t(kImageMaxPixels) : kAVMaxVideoPixels);
  const AVCodec* codec = nullptr;
  if (Libav().avformat_find_stream_info(raw, limit.streams()) < 0 ||
      (stream_ = Libav().av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0)) < 0 ||
      !codec) {
    error = captureError(AVErrorFileFormatNotRecognized, path + " has no video");
    return false;
  }
  AVStream* stream = raw->streams[stream_];
  const int width = stream->codecpar->width, height = stream->codecpar->height;
  if (!(still ? ImageSizeAllowed(uint64_t(std::max(width, 0)), uint64_t(std::max(height, 0)))
              : width > 0 && height > 0 && AVVideoSizeAllowed(width, height))) {
    error = captureError(AVErrorFileFormatNotRecognized,
                         path + " has larger pictures than a camera may deliver");
    return false;
  }
  decoder_.reset(Libav().avcodec_alloc_context3(codec));
  if (!decoder_ || Libav().avcodec_parameters_to_context(decoder_.get(), stream->codecpar) < 0 ||
      Libav().avcodec_open2(decoder_.get(), codec, limit.stream(size_t(stream_))) < 0) {
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

// A still past what may be decoded whole is read as any image is (see
// ImageBitmap.h): scaled down to the largest size within the limits, its
// rows folded in as they are read, where libav would hold every pixel it
// declares (a 16000 x 16000 PNG took 1.78 GB). Past even what can be read
// scaled down it is refused. No when the still is within the limits, or of a
// format only libav reads (which then holds it to them).
FormatSource::LargeStill FormatSource::openLargeStill(const SourceFile& file,
                                                      const std::string& path, NSErrorPtr& error) {
  auto source = CGImageSourceCreateWithURL(file.name());
  CGImageSourceImageGeometry geometry;
  if (!source || !CGImageSourceGetGeometryAtIndex(source, 0, &geometry) ||
      ImageSizeAllowed(geometry.frame.width, geometry.frame.height)) {
    return LargeStill::No;
  }
  CGImageRef image = CGImageSourceCreateImageAtIndex(
      source, 0, Value::map({{kCGImageSourceShouldCacheImmediately, true}}));
  if (!image) {
    error = captureError(AVErrorFileFormatNotRecognized,
                         path + " has more pixels than an image may have");
    return LargeStill::Refused;
  }
  auto frame = std::make_shared<AVCaptureFrame>();
  frame->image = std::move(image);
  current_ = std::move(frame);
  decoded_ = 0;
  count_ = 1;
  size_ = {double(current_->image->width()), double(current_->image->height())};
  format_.reset();  // the one frame there is has been read
  return LargeStill::Opened;
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
