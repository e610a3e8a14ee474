#pragma once
// The one gateway from the picker's data layer to the caching image
// manager: permission checks, image, data and video requests under
// identifiers of its own (1, 2, 3, ... per process), the mapping to the
// library's request identifiers for cancellation, and one retry with
// network access for assets that lie only in the cloud.

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "AKImagePickerController/data/AKAsset.h"
#include "platform/foundation/Mutex.h"
#include "platform/photos/PHImageManager.h"

inline constexpr int32_t AKImageInvalidRequestID = 0;

class AKImageDataManager : public std::enable_shared_from_this<AKImageDataManager> {
 public:
  AKImageDataManager();

  // Granted at once (on the caller's thread) when authorized; asked when not
  // determined, answered later on the main queue; refused at once otherwise.
  static void checkPhotoPermission(OnceCallback<void(bool)> handler);

  int32_t fetchImage(const AKAssetPtr& asset, CGSize size, const PHImageRequestOptionsPtr& options,
                     PHImageContentMode contentMode, AKImageCompletion completion);
  int32_t fetchImageData(const AKAssetPtr& asset, const PHImageRequestOptionsPtr& options,
                         AKDataCompletion completion);
  int32_t fetchAVAsset(const AKAssetPtr& asset, const PHVideoRequestOptionsPtr& options,
                       AKVideoCompletion completion);
  // Main-thread work; from another thread it is scheduled on the main queue.
  void cancelRequest(int32_t requestID);
  void cancelRequests(const std::vector<int32_t>& requestIDs);

  void startCachingAssets(const std::vector<PHAssetPtr>& assets, CGSize targetSize,
                          PHImageContentMode contentMode, const PHImageRequestOptionsPtr& options);
  void stopCachingAssets(const std::vector<PHAssetPtr>& assets, CGSize targetSize,
                         PHImageContentMode contentMode, const PHImageRequestOptionsPtr& options);
  void stopCachingForAllAssets();

  const PHCachingImageManagerPtr& manager() const { return manager_; }
  PHImageRequestOptionsPtr imageRequestOptions();
  PHVideoRequestOptionsPtr videoRequestOptions();

  // Bookkeeping, read on the main thread.
  size_t trackedRequestCount() const;
  bool isTracked(int32_t requestID) const;
  size_t cancelledRequestCount() const;
  size_t finishedRequestCount() const;

 private:
  struct Chain;
  int32_t nextRequestID();
  void trackRequest(int32_t requestID, PHImageRequestID platformRequestID);
  void finishRequest(int32_t requestID, const Value& info);
  // Hands out the identifier and starts the chain's first request.
  int32_t issue(const std::shared_ptr<Chain>& chain);
  // One request of the chain to the library (the first, or the cloud retry).
  void start(const std::shared_ptr<Chain>& chain);
  // True when the delivery was taken over by the cloud retry.
  bool retriedInCloud(const std::shared_ptr<Chain>& chain, bool hasResult, const Value& info);

  PHCachingImageManagerPtr manager_;
  Mutex lock_;  // the manager's own lock: guards the counter and the lazy options
  int32_t seed_ GUARDED_BY(lock_) = 0;
  PHImageRequestOptionsPtr imageRequestOptions_ GUARDED_BY(lock_);
  PHVideoRequestOptionsPtr videoRequestOptions_ GUARDED_BY(lock_);
  // Issued requests whose library identifier is not recorded yet.
  std::set<int32_t> untracked_ GUARDED_BY(lock_);
  // Changed on the main thread only; the lock lets the cloud retry read
  // them from the thread the library answers on.
  mutable Mutex books_;  // guards requestIDs_, finishedRequestIDs_ and cancelledRequestIDs_
  std::map<int32_t, PHImageRequestID> requestIDs_ GUARDED_BY(books_);
  std::set<int32_t> finishedRequestIDs_ GUARDED_BY(books_);
  std::set<int32_t> cancelledRequestIDs_ GUARDED_BY(books_);
};
using AKImageDataManagerPtr = std::shared_ptr<AKImageDataManager>;

AKImageDataManagerPtr getImageDataManager();
