#include "DownloaderTestSupport.h"

#include "support/images/ImageLoadingTestSupport.h"

namespace il_test {

std::string PNGBody(size_t w, size_t h) {
  NSDataPtr data = StillFile("public.png", SolidImage(w, h, {10, 200, 30, 255}));
  return std::string(reinterpret_cast<const char*>(data->bytes()), data->length());
}

ILRemoteImageDownloaderProgressBlock DownloadRecord::progressBlock() {
  return [self = shared_from_this()](int64_t received, int64_t expected, const NSURLPtr&) {
    std::lock_guard<std::mutex> lock(self->mutex);
    self->progress.emplace_back(received, expected);
  };
}

ILRemoteImageDownloaderCompletedBlock DownloadRecord::completedBlock() {
  return [self = shared_from_this()](UIImagePtr image, NSDataPtr data, NSErrorPtr error,
                                    bool finished) {
    std::lock_guard<std::mutex> lock(self->mutex);
    self->completions++;
    if (finished) self->finalCompletions++;
    self->image = image;
    self->data = data;
    self->error = error;
  };
}

int DownloadRecord::finals() {
  std::lock_guard<std::mutex> lock(mutex);
  return finalCompletions;
}

NSErrorPtr DownloadRecord::lastError() {
  std::lock_guard<std::mutex> lock(mutex);
  return error;
}

}  // namespace il_test
