#pragma once
// A media resource opened by libavformat: a local file, or an http(s) URL
// streamed through the URL session. Failures come back as the platform's
// errors: a missing file, a scheme nothing reads, bytes that are not media,
// media that cannot be parsed.

#include <atomic>
#include <memory>

#include "platform/foundation/NSError.h"
#include "platform/foundation/NSURL.h"

struct AVFormatContext;
class AVRemoteMediaSource;

class AVMediaInput {
 public:
  // Stream information is read; `cancelled` interrupts blocking reads for
  // as long as the input lives, so it must outlive it.
  static std::unique_ptr<AVMediaInput> open(const NSURLPtr& url, const std::atomic<bool>& cancelled,
                                            NSErrorPtr* error);
  ~AVMediaInput();
  AVMediaInput(const AVMediaInput&) = delete;
  AVMediaInput& operator=(const AVMediaInput&) = delete;

  AVFormatContext* format() const { return format_; }
  // The transport's error once a remote read has failed; null otherwise.
  NSErrorPtr failure() const;

 private:
  AVMediaInput() = default;
  AVFormatContext* format_ = nullptr;
  std::shared_ptr<AVRemoteMediaSource> remote_;
  struct AVIOContext* io_ = nullptr;
};
