#pragma once
// A media provider whose answers tests script: per request (in order, then a
// default) the result (final, degraded then final, in the cloud without
// network access, an error, or no answer at all), progress reports before
// it, and the thread it arrives on. It records every request, cancel and
// caching call. A held request (no answer) is answered as cancelled when it
// is cancelled, as the platform does.

#include <mutex>
#include <vector>

#include "platform/foundation/Dispatch.h"
#include "platform/photos/PHImageManager.h"

struct ScriptedAnswer {
  // InCloudWithoutNetwork answers only when network access is allowed;
  // InCloudAlways never does (the download failed).
  enum class Result { Final, DegradedThenFinal, InCloudWithoutNetwork, InCloudAlways, Error, Never };
  enum class Thread { Caller, Background, Main };
  Result result = Result::Final;
  Thread thread = Thread::Caller;
  std::vector<double> progress;
  UIImagePtr image;
  UIImagePtr degradedImage;
  NSDataPtr data;
  std::string dataUTI = "public.jpeg";
  AVAssetPtr avAsset;
  NSErrorPtr error;
};

class ScriptedMediaProvider : public PHMediaProvider {
 public:
  enum class Kind { Image, Data, Video };
  struct Call {
    Kind kind;
    PHImageRequestID requestID;
    PHAssetPtr asset;
    CGSize targetSize;
    PHImageContentMode contentMode;
    PHImageRequestOptionsPtr imageOptions;
    PHVideoRequestOptionsPtr videoOptions;
  };
  struct CachingCall {
    bool start;
    size_t assetCount;
    CGSize targetSize;
    PHImageContentMode contentMode;
  };

  void queueAnswer(ScriptedAnswer answer);
  void setDefaultAnswer(ScriptedAnswer answer);

  void requestImage(const PHImageRequest& request, PHImageResultHandler handler) override;
  void requestImageData(const PHImageRequest& request, PHImageDataResultHandler handler) override;
  void requestAVAsset(const PHVideoRequest& request, PHVideoResultHandler handler) override;
  void cancelRequest(PHImageRequestID requestID) override;
  void startCaching(const std::vector<PHAssetPtr>& assets, CGSize targetSize,
                    PHImageContentMode contentMode, const PHImageRequestOptionsPtr& options) override;
  void stopCaching(const std::vector<PHAssetPtr>& assets, CGSize targetSize,
                   PHImageContentMode contentMode, const PHImageRequestOptionsPtr& options) override;
  void stopCachingAll() override;

  std::vector<Call> calls() const;
  std::vector<PHImageRequestID> cancelled() const;
  std::vector<CachingCall> cachingCalls() const;
  size_t stopAllCount() const;
  // Waits (bounded, real time) until `count` requests were made.
  bool waitForCalls(size_t count);

  // Answers the info dictionaries as the library does.
  static Value infoFor(PHImageRequestID requestID, bool degraded, bool inCloud = false);

 private:
  ScriptedAnswer next();
  using Delivery = std::function<void(const ScriptedAnswer&, const Value& info, bool degraded)>;
  void run(const ScriptedAnswer& answer, PHImageRequestID id, bool networkAllowed,
           const PHAssetImageProgressHandler& progress, std::shared_ptr<Delivery> deliver);

  mutable std::mutex mutex_;
  std::vector<ScriptedAnswer> queued_;
  ScriptedAnswer default_;
  std::vector<Call> calls_;
  std::vector<PHImageRequestID> cancelled_;
  std::vector<CachingCall> caching_;
  size_t stopAll_ = 0;
  std::vector<std::pair<PHImageRequestID, std::shared_ptr<Delivery>>> held_;
  dispatch_semaphore_t called_ = dispatch_semaphore_create(0);
};
