#include "platform/avfoundation/internal/AVRemoteMediaSource.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "platform/avfoundation/AVError.h"
#include "platform/avfoundation/AVPlaybackProvider.h"
#include "platform/avfoundation/LibavLibrary.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/network/NSURLSession.h"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace {

// Hands the session's calls to the source while it lives.
class Delegate : public NSURLSessionDataDelegate {
 public:
  explicit Delegate(std::weak_ptr<AVRemoteMediaSource> source) : source_(std::move(source)) {}
  void didReceiveResponse(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr&,
                          const NSHTTPURLResponsePtr& response, NSURLSessionResponseHandler handler) override {
    bool ok = response && response->statusCode() >= 200 && response->statusCode() < 300;
    if (auto source = source_.lock()) {
      source->received(response ? response->statusCode() : 0, response ? response->expectedContentLength() : -1);
    }
    handler(ok ? NSURLSessionResponseDisposition::Allow : NSURLSessionResponseDisposition::Cancel);
  }
  void didReceiveData(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr&, const NSDataPtr& data) override {
    if (auto source = source_.lock()) source->append(data->bytes(), data->length());
  }
  void didCompleteWithError(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr&,
                            const NSErrorPtr& error) override {
    if (auto source = source_.lock()) source->finished(error);
  }

 private:
  std::weak_ptr<AVRemoteMediaSource> source_;
};

// How long a blocked read sleeps before it looks at its cancel flag again.
constexpr auto kCancelPoll = std::chrono::milliseconds(20);

}  // namespace

AVRemoteMediaSource::AVRemoteMediaSource(const std::atomic<bool>& cancelled, int fd)
    : cancelled_(cancelled), fd_(fd) {}

AVRemoteMediaSource::~AVRemoteMediaSource() {
  if (task_) task_->cancel();
  if (session_) session_->invalidateAndCancel();
  ::close(fd_);
}

std::shared_ptr<AVRemoteMediaSource> AVRemoteMediaSource::open(const NSURLPtr& url,
                                                               const std::atomic<bool>& cancelled,
                                                               NSErrorPtr* error) {
  std::string pattern = NSTemporaryDirectory() + "/qx-media-XXXXXX";
  int fd = mkstemp(pattern.data());
  if (fd < 0) {
    if (error) *error = NSError::posixError(errno, "mkstemp");
    return nullptr;
  }
  unlink(pattern.c_str());  // the open descriptor keeps it until the source goes
  auto source = std::make_shared<AVRemoteMediaSource>(cancelled, fd);
  auto configuration = NSURLSessionConfiguration::defaultSessionConfiguration();
  configuration.URLCache = nullptr;  // a video is not kept in memory
  source->session_ = NSURLSession::sessionWithConfiguration(
      configuration, std::make_shared<Delegate>(source));
  source->task_ = source->session_->dataTaskWithURL(url);
  source->task_->resume();
  MutexLock lock(source->mutex_);
  source->waitFor(lock, [&]() REQUIRES(source->mutex_) { return source->responded_; });
  if (source->failure_ || cancelled) {
    if (error) *error = source->failure_ ? source->failure_ : NSURLErrorMake(NSURLErrorCancelled, url->absoluteString());
    return nullptr;
  }
  if (source->status_ < 200 || source->status_ >= 300) {
    if (error) {
      *error = AVMakeError(AVErrorServerIncorrectlyConfigured, "Cannot Open",
                           "The server answered with status " + std::to_string(source->status_) + ".");
    }
    return nullptr;
  }
  return source;
}

void AVRemoteMediaSource::waitFor(MutexLock& lock, const std::function<bool()>& until) {
  while (!until() && !done_ && !cancelled_) lock.waitFor(changed_, kCancelPoll);
}

void AVRemoteMediaSource::received(int64_t status, int64_t expectedLength) {
  MutexLock lock(mutex_);
  responded_ = true;
  status_ = status;
  expected_ = expectedLength;
  changed_.notify_all();
}

void AVRemoteMediaSource::append(const uint8_t* bytes, size_t length) {
  MutexLock lock(mutex_);
  size_t written = 0;
  while (written < length) {
    ssize_t n = pwrite(fd_, bytes + written, length - written, received_ + written);
    if (n <= 0) {
      failure_ = NSError::posixError(errno, "pwrite");
      done_ = true;
      if (task_) task_->cancel();
      break;
    }
    written += n;
  }
  received_ += written;
  changed_.notify_all();
}

void AVRemoteMediaSource::finished(const NSErrorPtr& error) {
  MutexLock lock(mutex_);
  if (error && !failure_ && !(responded_ && (status_ < 200 || status_ >= 300))) failure_ = error;
  done_ = true;
  changed_.notify_all();
}

NSErrorPtr AVRemoteMediaSource::failure() const {
  MutexLock lock(mutex_);
  return failure_;
}

AVIOContext* AVRemoteMediaSource::makeIOContext() {
  constexpr int kBufferSize = 64 * 1024;
  auto* buffer = static_cast<uint8_t*>(Libav().av_malloc(kBufferSize));
  AVIOContext* io =
      buffer ? Libav().avio_alloc_context(buffer, kBufferSize, 0, this, readPacket, nullptr, seek)
             : nullptr;
  if (!io) Libav().av_free(buffer);  // the context owns it only once made
  if (io) {
    // Without a length, a demuxer that may seek looks for more of the file
    // past the media data, which would wait for all of it to arrive.
    MutexLock lock(mutex_);
    if (expected_ < 0) io->seekable = 0;
  }
  return io;
}

int AVRemoteMediaSource::readPacket(void* opaque, uint8_t* buffer, int size) {
  auto* self = static_cast<AVRemoteMediaSource*>(opaque);
  MutexLock lock(self->mutex_);
  self->waitFor(lock, [&]() REQUIRES(self->mutex_) { return self->received_ > self->position_; });
  if (self->cancelled_) return AVERROR_EXIT;
  int64_t available = self->received_ - self->position_;
  if (available <= 0) return self->failure_ ? AVERROR(EIO) : AVERROR_EOF;
  lock.unlock();
  ssize_t n = pread(self->fd_, buffer, static_cast<size_t>(std::min<int64_t>(available, size)), self->position_);
  if (n <= 0) return AVERROR(EIO);
  self->position_ += n;
  return static_cast<int>(n);
}

int64_t AVRemoteMediaSource::seek(void* opaque, int64_t offset, int whence) {
  auto* self = static_cast<AVRemoteMediaSource*>(opaque);
  MutexLock lock(self->mutex_);
  int64_t size = self->done_ && !self->failure_ ? self->received_ : self->expected_;
  if (whence & AVSEEK_SIZE) return size >= 0 ? size : AVERROR(ENOSYS);
  whence &= ~AVSEEK_FORCE;
  int64_t target = whence == SEEK_SET ? offset
                   : whence == SEEK_CUR ? self->position_ + offset
                   : whence == SEEK_END && size >= 0 ? size + offset
                                                      : -1;
  if (target < 0) return AVERROR(EINVAL);
  self->position_ = target;
  return target;
}
