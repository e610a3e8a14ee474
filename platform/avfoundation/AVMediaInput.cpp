#include "platform/avfoundation/internal/AVMediaInput.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/avfoundation/AVAsset.h"
#include "platform/avfoundation/AVError.h"
#include "platform/avfoundation/AVPlaybackProvider.h"
#include "platform/avfoundation/LibavLibrary.h"
#include "platform/avfoundation/internal/AVRemoteMediaSource.h"
#include "platform/foundation/Value.h"
#include "platform/network/NSURLError.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

namespace {

int interrupted(void* flag) { return static_cast<const std::atomic<bool>*>(flag)->load() ? 1 : 0; }

NSErrorPtr missingFile(const NSURLPtr& url, int err) {
  ValueMap info;
  ValueMapSet(info, NSLocalizedDescriptionKey, Value("The requested URL was not found on this server."));
  ValueMapSet(info, NSURLErrorFailingURLStringErrorKey, Value(url->absoluteString()));
  ValueMapSet(info, NSUnderlyingErrorKey, Value(std::static_pointer_cast<NSObject>(NSError::posixError(err, "open"))));
  return NSError::errorWithDomain(NSURLErrorDomain, NSURLErrorFileDoesNotExist, Value(std::move(info)));
}

// Whether the first bytes look like any container libavformat knows: bytes
// that do not are not media at all; bytes that do but fail to open are
// damaged media.
bool looksLikeMedia(const std::string& path) {
  std::vector<uint8_t> head(4096 + AVPROBE_PADDING_SIZE, 0);
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  size_t n = std::fread(head.data(), 1, 4096, file);
  std::fclose(file);
  AVProbeData probe{};
  probe.filename = "";
  probe.buf = head.data();
  probe.buf_size = static_cast<int>(n);
  int score = 0;
  return n > 0 && Libav().av_probe_input_format2(&probe, 1, &score) != nullptr;
}

NSErrorPtr notMedia() {
  return AVMakeError(AVErrorFileFormatNotRecognized, "Cannot Open", "This media format is not supported.");
}
NSErrorPtr damaged() {
  return AVMakeError(AVErrorFileFailedToParse, "Cannot Open", "This media may be damaged.");
}

}  // namespace

std::unique_ptr<AVMediaInput> AVMediaInput::open(const NSURLPtr& url,
                                                 const std::atomic<bool>& cancelled,
                                                 NSErrorPtr* error) {
  auto fail = [&](NSErrorPtr e) -> std::unique_ptr<AVMediaInput> {
    if (error) *error = std::move(e);
    return nullptr;
  };
  if (NSErrorPtr unavailable; !AVLoadMediaLibraries(&unavailable)) return fail(unavailable);
  if (!url) return fail(NSURLErrorMake(NSURLErrorBadURL, "", "bad URL"));
  std::string scheme = url->scheme().value_or("");
  for (auto& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::unique_ptr<AVMediaInput> input(new AVMediaInput());
  input->format_ = Libav().avformat_alloc_context();
  input->format_->interrupt_callback.callback = interrupted;
  input->format_->interrupt_callback.opaque = const_cast<std::atomic<bool>*>(&cancelled);
  std::string path;
  if (url->isFileURL()) {
    path = url->path();
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return fail(missingFile(url, errno));
    if (!S_ISREG(st.st_mode)) return fail(notMedia());
  } else if (scheme == "http" || scheme == "https") {
    NSErrorPtr transport;
    input->remote_ = AVRemoteMediaSource::open(url, cancelled, &transport);
    if (!input->remote_) return fail(transport);
    input->io_ = input->remote_->makeIOContext();
    input->format_->pb = input->io_;
    input->format_->flags |= AVFMT_FLAG_CUSTOM_IO;
    // Playback starts from the first second of a stream rather than
    // waiting for five to arrive.
    input->format_->max_analyze_duration = AV_TIME_BASE;
  } else {
    return fail(NSURLErrorMake(NSURLErrorUnsupportedURL, url->absoluteString(), "unsupported URL"));
  }
  AVFormatContext* format = input->format_;
  int opened =
      Libav().avformat_open_input(&format, path.empty() ? nullptr : path.c_str(), nullptr, nullptr);
  if (opened < 0) {
    input->format_ = nullptr;  // freed by the failed open
    if (input->remote_ && input->remote_->failure()) return fail(input->remote_->failure());
    if (cancelled) return fail(NSURLErrorMake(NSURLErrorCancelled, url->absoluteString()));
    if (!path.empty() && !looksLikeMedia(path)) return fail(notMedia());
    return fail(input->remote_ ? notMedia() : damaged());
  }
  if (Libav().avformat_find_stream_info(format, nullptr) < 0) {
    if (input->remote_ && input->remote_->failure()) return fail(input->remote_->failure());
    return fail(damaged());
  }
  // Opened: seeks may go anywhere now, waiting for the bytes if need be.
  if (input->io_) input->io_->seekable = AVIO_SEEKABLE_NORMAL;
  return input;
}

AVMediaInput::~AVMediaInput() {
  if (format_) Libav().avformat_close_input(&format_);
  if (io_) {
    Libav().av_freep(&io_->buffer);
    Libav().avio_context_free(&io_);
  }
}

NSErrorPtr AVMediaInput::failure() const { return remote_ ? remote_->failure() : nullptr; }
