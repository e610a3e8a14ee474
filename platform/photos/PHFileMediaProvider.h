#pragma once
// The media provider of the running host: answers requests from the
// library's files on a background queue. Images are decoded upright,
// resized through Core Graphics (exact: drawn to the scaled size; fast and
// none: the decoder's nearest downsampled size), a degraded small image
// coming first for opportunistic requests; image data is the file's bytes
// unchanged; videos are URL assets, and a video's image is a frame decoded
// with libavcodec. Cancelled requests are answered with PHImageCancelledKey.
// Every request reads the asset's file where the library has it now (a
// renamed file keeps its asset), and an asset the library no longer has is
// answered with PHImageErrorKey.

#include <list>
#include <map>
#include <set>
#include <string>
#include <tuple>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/photos/PHImageManager.h"

class CGImageSource;

class PHFileMediaProvider : public PHMediaProvider,
                            public std::enable_shared_from_this<PHFileMediaProvider> {
 public:
  explicit PHFileMediaProvider(size_t cacheLimit = 256);

  void requestImage(const PHImageRequest& request, PHImageResultHandler handler) override;
  void requestImageData(const PHImageRequest& request, PHImageDataResultHandler handler) override;
  void requestAVAsset(const PHVideoRequest& request, PHVideoResultHandler handler) override;
  void cancelRequest(PHImageRequestID requestID) override;
  void startCaching(const std::vector<PHAssetPtr>& assets, CGSize targetSize,
                    PHImageContentMode contentMode, const PHImageRequestOptionsPtr& options) override;
  void stopCaching(const std::vector<PHAssetPtr>& assets, CGSize targetSize,
                   PHImageContentMode contentMode, const PHImageRequestOptionsPtr& options) override;
  void stopCachingAll() override;

  size_t cachedImageCount() const;

  // The image of an asset (a photo, or a video's first frame) drawn upright
  // at the scaled size for the target; nullptr when the file cannot be read.
  static UIImagePtr renderImage(const PHAsset& asset, CGSize targetSize,
                                PHImageContentMode contentMode, bool exact);

 private:
  // The same, reading a photo through `source`, opened on first use and
  // kept: a second size of the photo (the degraded image, then the final
  // one) is made from what the first read and decoded.
  static UIImagePtr renderImage(const PHAsset& asset, CGSize targetSize,
                                PHImageContentMode contentMode, bool exact,
                                std::shared_ptr<CGImageSource>& source);
  using CacheKey = std::tuple<std::string, int64_t, int64_t, int64_t>;
  static CacheKey keyFor(const PHAsset& asset, CGSize size, PHImageContentMode mode);
  UIImagePtr cached(const CacheKey& key);
  void store(const CacheKey& key, UIImagePtr image);
  bool takeCancelled(PHImageRequestID requestID);
  void answerImage(const PHImageRequest& request, const PHImageResultHandler& handler);

  const size_t cacheLimit_;
  dispatch_queue_t queue_;
  mutable Mutex mutex_;
  std::set<PHImageRequestID> cancelled_ GUARDED_BY(mutex_);
  std::list<std::pair<CacheKey, UIImagePtr>> lru_ GUARDED_BY(mutex_);
  std::map<CacheKey, std::list<std::pair<CacheKey, UIImagePtr>>::iterator> cache_
      GUARDED_BY(mutex_);
};

// The first decodable frame of a video file as an upright bitmap; nullptr
// when there is none.
CGImageRef PHDecodeVideoFrame(const std::string& path);
