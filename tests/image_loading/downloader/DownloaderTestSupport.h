#pragma once

// What the downloader tests share: image bodies for the loopback server and
// a recorder of what a caller's blocks were told.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "image_loading/downloader/ILRemoteImageDownloader.h"

namespace il_test {

// PNG bytes of a solid w x h image.
std::string PNGBody(size_t w = 4, size_t h = 3);

// Every call a caller's progress and completion blocks received.
struct DownloadRecord : std::enable_shared_from_this<DownloadRecord> {
  std::mutex mutex;
  std::vector<std::pair<int64_t, int64_t>> progress;
  int completions = 0;
  int finalCompletions = 0;
  UIImagePtr image;
  NSDataPtr data;
  NSErrorPtr error;

  ILRemoteImageDownloaderProgressBlock progressBlock();
  ILRemoteImageDownloaderCompletedBlock completedBlock();
  int finals();
  NSErrorPtr lastError();
};
using DownloadRecordPtr = std::shared_ptr<DownloadRecord>;

}  // namespace il_test
