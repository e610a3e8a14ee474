#pragma once

// Several caches behind one: each operation goes to an ordered list of
// caches under its own policy. The last added cache has the highest
// priority and is asked first. Operations work on a copy of the list taken
// when they start; a serial chain stops quietly when the manager goes away.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "image_loading/cache/ILImageCacheProtocol.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/ThreadChecks.h"

using ILImageCachesManagerPolicy = uint64_t;
inline constexpr ILImageCachesManagerPolicy ILImageCachesManagerPolicySerial = 0;
inline constexpr ILImageCachesManagerPolicy ILImageCachesManagerPolicyConcurrent = 1;
inline constexpr ILImageCachesManagerPolicy ILImageCachesManagerPolicyHighestOnly = 2;
inline constexpr ILImageCachesManagerPolicy ILImageCachesManagerPolicyLowestOnly = 3;

// Progress of one operation over several caches.
class ILImageCachesManagerOperation : public ILRemoteImageOperation {
 public:
  void beginWithTotalCount(uint64_t count);
  void completeOne();  // never below 0
  uint64_t pendingCount() const;
  void done();
  void cancel() override;
  bool isCancelled() const;
  bool isFinished() const;
  bool isExecuting() const;
  // Neither cancelled nor finished.
  bool isLive() const;

 private:
  mutable Mutex lock_;
  uint64_t pending_ GUARDED_BY(lock_) = 0;
  bool cancelled_ GUARDED_BY(lock_) = false;
  bool finished_ GUARDED_BY(lock_) = false;
  bool executing_ GUARDED_BY(lock_) = false;
};

class ILImageCachesManager : public NSObject, public ILImageCacheProtocol {
 public:
  // Starts with the shared image cache.
  static std::shared_ptr<ILImageCachesManager> sharedManager();

  std::vector<ILImageCacheProtocolPtr> caches() const;
  void setCaches(std::vector<ILImageCacheProtocolPtr> caches);
  void addCache(const ILImageCacheProtocolPtr& cache);
  void removeCache(const ILImageCacheProtocolPtr& cache);

  ILImageCachesManagerPolicy queryOperationPolicy = ILImageCachesManagerPolicySerial;
  ILImageCachesManagerPolicy storeOperationPolicy = ILImageCachesManagerPolicyHighestOnly;
  ILImageCachesManagerPolicy removeOperationPolicy = ILImageCachesManagerPolicyConcurrent;
  ILImageCachesManagerPolicy containsOperationPolicy = ILImageCachesManagerPolicySerial;
  ILImageCachesManagerPolicy clearOperationPolicy = ILImageCachesManagerPolicyConcurrent;

  ILRemoteImageOperationPtr queryImageForKey(const std::string& key, ILRemoteImageOptions options,
                                             const ILRemoteImageContext& context,
                                             ILImageCacheKind cacheType,
                                             ILImageCacheQueryCompletion completion) override;
  void storeImage(const UIImagePtr& image, const NSDataPtr& imageData, const std::string& key,
                  ILRemoteImageOptions options, const ILRemoteImageContext& context,
                  ILImageCacheKind cacheType, ILImageCacheCompletion completion) override;
  void removeImageForKey(const std::string& key, ILImageCacheKind cacheType,
                         ILImageCacheCompletion completion) override;
  void containsImageForKey(const std::string& key, ILImageCacheKind cacheType,
                           ILImageCacheContainsCompletion completion) override;
  void clearWithCacheType(ILImageCacheKind cacheType, ILImageCacheCompletion completion) override;

 private:
  using VoidCall = std::function<void(ILImageCacheProtocol&, ILImageCacheCompletion)>;
  using KindCall = std::function<void(ILImageCacheProtocol&, ILImageCacheContainsCompletion)>;
  using QueryCall = std::function<ILRemoteImageOperationPtr(ILImageCacheProtocol&,
                                                            ILImageCacheQueryCompletion)>;

  void dispatchVoid(ILImageCachesManagerPolicy policy, const VoidCall& call,
                    ILImageCacheCompletion completion);
  void serialVoid(std::vector<ILImageCacheProtocolPtr> caches, size_t remaining, VoidCall call,
                  ILImageCacheCompletion completion);
  ILRemoteImageOperationPtr dispatchQuery(ILImageCachesManagerPolicy policy, const QueryCall& call,
                                          ILImageCacheQueryCompletion completion);
  void serialQuery(std::vector<ILImageCacheProtocolPtr> caches, size_t remaining, QueryCall call,
                   std::shared_ptr<ILImageCachesManagerOperation> operation,
                   ILImageCacheQueryCompletion completion);

  mutable Mutex lock_;
  std::vector<ILImageCacheProtocolPtr> imageCaches_ GUARDED_BY(lock_);
};
