#pragma once

// The buffer of decoded frames of one animated-image provider, shared by
// every player that registers that provider. Frames are decoded ahead on the
// pool's own one-at-a-time fetch queue, never on the caller's thread; the
// buffer empties on the platform's memory warning.

#include <cstdint>
#include <map>
#include <memory>

#include "image_loading/coders/ILImageCoder.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/NSOperation.h"
#include "platform/foundation/ThreadChecks.h"

class ILImageFramePool : public NSObject {
 public:
  // Use registerProvider.
  ILImageFramePool();
  ~ILImageFramePool() override;

  // The pool of an equal provider, or a new one; counts the registration.
  static std::shared_ptr<ILImageFramePool> registerProvider(const ILAnimatedImageProviderPtr& provider);
  // Drops one registration; the last one forgets the pool. Providers never
  // registered are ignored.
  static void unregisterProvider(const ILAnimatedImageProviderPtr& provider);

  // Past maxBufferCount, first evicts the neighbours of `index`; then queues
  // a decode of `index` unless one is already queued (the request is dropped).
  void prefetchFrameAtIndex(uint64_t index);

  uint64_t maxBufferCount() const;
  void setMaxBufferCount(uint64_t count);
  void setMaxConcurrentCount(int64_t count);
  uint64_t registerCount() const;
  size_t currentFrameCount() const;
  UIImagePtr frameAtIndex(uint64_t index) const;
  // A null frame removes the entry.
  void setFrame(const UIImagePtr& frame, uint64_t index);
  void removeFrameAtIndex(uint64_t index);
  void removeAllFrames();
  ILAnimatedImageProviderPtr provider() const { return provider_.lock(); }
  const std::shared_ptr<NSOperationQueue>& fetchQueue() const { return fetchQueue_; }

  std::string className() const override { return "ILImageFramePool"; }

 private:
  std::weak_ptr<ILAnimatedImageProvider> provider_;
  std::shared_ptr<NSOperationQueue> fetchQueue_;
  mutable Mutex lock_;
  std::map<uint64_t, UIImagePtr> frameBuffer_ GUARDED_BY(lock_);
  uint64_t maxBufferCount_ GUARDED_BY(lock_) = 0;
  uint64_t registerCount_ = 0;  // guarded by the process-wide registry lock
};
