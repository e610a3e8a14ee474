#pragma once
// An http(s) resource streamed through the URL session into an unlinked
// temporary file, which libavformat reads as it fills: playback starts with
// the first bytes, reads past what has arrived wait for it, and memory stays
// bounded whatever the length.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/ThreadChecks.h"

class NSURLSession;
class NSURLSessionDataTask;
struct AVIOContext;

class AVRemoteMediaSource : public std::enable_shared_from_this<AVRemoteMediaSource> {
 public:
  // Starts the transfer and waits for the response: nullptr with the
  // transport's error, or with the platform's error for a status other than
  // success.
  static std::shared_ptr<AVRemoteMediaSource> open(const NSURLPtr& url, const std::atomic<bool>& cancelled,
                                                   NSErrorPtr* error);
  ~AVRemoteMediaSource();

  // A read context over the file as it fills; freed by the caller.
  AVIOContext* makeIOContext();
  NSErrorPtr failure() const;

  // The URL session's side.
  void received(int64_t status, int64_t expectedLength);
  void append(const uint8_t* bytes, size_t length);
  void finished(const NSErrorPtr& error);

  AVRemoteMediaSource(const std::atomic<bool>& cancelled, int fd);

 private:
  static int readPacket(void* opaque, uint8_t* buffer, int size);
  static int64_t seek(void* opaque, int64_t offset, int whence);
  // Waits until `until` holds, the transfer ends or the reader is cancelled.
  void waitFor(MutexLock& lock, const std::function<bool()>& until) REQUIRES(mutex_);

  const std::atomic<bool>& cancelled_;
  const int fd_;
  std::shared_ptr<NSURLSession> session_;
  std::shared_ptr<NSURLSessionDataTask> task_;
  int64_t position_ = 0;  // the reader's, touched by its queue only

  mutable Mutex mutex_;
  std::condition_variable changed_;
  bool responded_ GUARDED_BY(mutex_) = false;
  int64_t status_ GUARDED_BY(mutex_) = 0;
  int64_t expected_ GUARDED_BY(mutex_) = -1;
  int64_t received_ GUARDED_BY(mutex_) = 0;
  bool done_ GUARDED_BY(mutex_) = false;
  NSErrorPtr failure_ GUARDED_BY(mutex_);
};
