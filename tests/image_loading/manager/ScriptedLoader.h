#pragma once

// An image loader whose answers the manager and prefetcher tests decide.

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "support/images/ImageLoadingTestSupport.h"
#include "image_loading/cache/ILImageLoadersManager.h"
#include "image_loading/downloader/ILRemoteImageDefine.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Value.h"

namespace {

// A loader whose answers the test decides: by default it answers at once
// (on the main queue) with the image scripted for the URL.
class ScriptedLoader : public NSObject, public ILImageLoader {
 public:
  struct Request {
    NSURLPtr url;
    ILRemoteImageOptions options;
    ILRemoteImageContext context;
    ILImageLoaderCompletedBlock completed;
  };
  class Operation : public ILRemoteImageOperation {
   public:
    explicit Operation(ILImageLoaderCompletedBlock completed) : completed_(std::move(completed)) {}
    void cancel() override {
      if (cancelled_) return;
      cancelled_ = true;
      dispatch_async(dispatch_get_main_queue(), [completed = completed_] {
        completed(nullptr, nullptr, ILRemoteImageError(ILRemoteImageErrorCancelled, "cancelled"),
                  true);
      });
    }
    bool cancelled_ = false;
    ILImageLoaderCompletedBlock completed_;
  };

  bool canRequestImageForURL(const NSURLPtr& url) override { return url != nullptr; }
  ILRemoteImageOperationPtr requestImageWithURL(const NSURLPtr& url, ILRemoteImageOptions options,
                                                const ILRemoteImageContext& context,
                                                ILImageLoaderProgressBlock,
                                                ILImageLoaderCompletedBlock completed) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      requests.push_back({url, options, context, completed});
    }
    if (!hold) {
      dispatch_async(dispatch_get_main_queue(), [completed, image = nextImage, error = nextError] {
        completed(image, image ? NSData::dataWithBytes(Bytes{1, 2, 3}) : nullptr, error, true);
      });
    }
    return std::make_shared<Operation>(completed);
  }
  bool shouldBlockFailedURL(const NSURLPtr&, const NSErrorPtr& error) override {
    return ILIsRemoteImageError(error, ILRemoteImageErrorBadImageData);
  }

  // Answers a held request now, on the main queue.
  void answer(size_t index, UIImagePtr image, NSErrorPtr error = nullptr) {
    dispatch_async(dispatch_get_main_queue(), [completed = request(index).completed, image, error] {
      completed(image, image ? NSData::dataWithBytes(Bytes{1, 2, 3}) : nullptr, error, true);
    });
  }

  size_t requestCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return requests.size();
  }
  Request request(size_t index) {
    std::lock_guard<std::mutex> lock(mutex);
    return requests.at(index);
  }
  // Recorded completions hold their loads, and through them the manager.
  void forget() {
    std::lock_guard<std::mutex> lock(mutex);
    requests.clear();
  }

  std::atomic<bool> hold{false};
  UIImagePtr nextImage = il_test::SolidUIImage(4, 4, {200, 0, 0, 255});
  NSErrorPtr nextError;
  std::mutex mutex;
  std::vector<Request> requests;
};

}  // namespace
