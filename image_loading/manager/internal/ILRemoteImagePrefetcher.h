#pragma once

// Loads batches of image URLs into the caches ahead of need, a few at a time
// and at low priority, through an image manager. Each batch has a token that
// counts it and can cancel it; each URL holds a slot of the prefetch queue
// until its load has finished, so the queue's width bounds the loads in
// flight.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "image_loading/cache/ILCallbackQueue.h"
#include "image_loading/manager/internal/ILAsyncBlockOperation.h"
#include "image_loading/manager/ILRemoteImageManager.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSOperation.h"
#include "platform/foundation/ThreadChecks.h"

class ILRemoteImagePrefetcher;

using ILRemoteImagePrefetcherProgressBlock =
    std::function<void(uint64_t finishedCount, uint64_t totalCount)>;
// Copyable: the token hands it out again through completionBlock().
using ILRemoteImagePrefetcherCompletionBlock =
    std::function<void(uint64_t finishedCount, uint64_t skippedCount)>;

// Both methods are optional; the defaults do nothing.
class ILRemoteImagePrefetcherDelegate {
 public:
  virtual ~ILRemoteImagePrefetcherDelegate() = default;
  // Counts over every batch still running.
  virtual void imagePrefetcherDidPrefetchURL(ILRemoteImagePrefetcher&, const NSURLPtr&,
                                             uint64_t /*finishedCount*/, uint64_t /*totalCount*/) {}
  // Once, when the last running batch ends.
  virtual void imagePrefetcherDidFinish(ILRemoteImagePrefetcher&, uint64_t /*totalCount*/,
                                        uint64_t /*skippedCount*/) {}
};

class ILRemoteImagePrefetchToken : public NSObject, public ILRemoteImageOperation {
 public:
  const std::vector<NSURLPtr>& urls() const { return urls_; }
  ILRemoteImageOptions options() const { return options_; }
  const ILRemoteImageContext& context() const { return context_; }
  std::shared_ptr<ILRemoteImagePrefetcher> prefetcher() const { return prefetcher_.lock(); }
  uint64_t totalCount() const { return totalCount_; }
  uint64_t finishedCount() const { return finishedCount_; }
  uint64_t skippedCount() const { return skippedCount_; }
  // Stops the URLs not yet loaded; the token's blocks are never called again.
  void cancel() override;

  // Public for make_shared; made by the prefetcher.
  ILRemoteImagePrefetchToken(std::vector<NSURLPtr> urls, ILRemoteImageOptions options,
                             ILRemoteImageContext context);

 private:
  friend class ILRemoteImagePrefetcher;
  ILRemoteImagePrefetcherProgressBlock progressBlock() const;
  ILRemoteImagePrefetcherCompletionBlock completionBlock() const;

  const std::vector<NSURLPtr> urls_;
  const ILRemoteImageOptions options_;
  const ILRemoteImageContext context_;
  std::weak_ptr<ILRemoteImagePrefetcher> prefetcher_;
  const uint64_t totalCount_;
  std::atomic<uint64_t> finishedCount_{0};
  std::atomic<uint64_t> skippedCount_{0};
  std::atomic<bool> isAllFinished_{false};

  mutable Mutex blocksLock_;
  ILRemoteImagePrefetcherProgressBlock progressBlock_ GUARDED_BY(blocksLock_);
  ILRemoteImagePrefetcherCompletionBlock completionBlock_ GUARDED_BY(blocksLock_);
  Mutex prefetchOperationsLock_;
  std::vector<std::weak_ptr<NSOperation>> prefetchOperations_ GUARDED_BY(prefetchOperationsLock_);
  Mutex loadOperationsLock_;
  std::vector<std::weak_ptr<ILRemoteImageOperation>> loadOperations_
      GUARDED_BY(loadOperationsLock_);
  bool cancelled_ GUARDED_BY(loadOperationsLock_) = false;
};
using ILRemoteImagePrefetchTokenPtr = std::shared_ptr<ILRemoteImagePrefetchToken>;

class ILRemoteImagePrefetcher : public NSObject {
 public:
  // Made once, over a manager of its own.
  static std::shared_ptr<ILRemoteImagePrefetcher> sharedImagePrefetcher();
  // A new image manager when none is given.
  static std::shared_ptr<ILRemoteImagePrefetcher> create(ILRemoteImageManagerPtr manager = nullptr);

  const ILRemoteImageManagerPtr& manager() const { return manager_; }
  ILRemoteImageOptions options() const;
  void setOptions(ILRemoteImageOptions options);
  ILRemoteImageContext context() const;
  void setContext(ILRemoteImageContext context);
  int64_t maxConcurrentPrefetchCount() const;
  void setMaxConcurrentPrefetchCount(int64_t count);
  const NSOperationQueuePtr& prefetchQueue() const { return prefetchQueue_; }
  ILCallbackQueuePtr callbackQueue() const;
  void setCallbackQueue(ILCallbackQueuePtr queue);
  // Blocks and the delegate then always run later on this queue; the main
  // queue when none was set.
  dispatch_queue_t delegateQueue() const;
  void setDelegateQueue(const dispatch_queue_t& queue);
  std::shared_ptr<ILRemoteImagePrefetcherDelegate> delegate() const;
  void setDelegate(const std::shared_ptr<ILRemoteImagePrefetcherDelegate>& delegate);

  // nullptr for no URLs (the completion gets (0, 0) at once).
  ILRemoteImagePrefetchTokenPtr prefetchURLs(const std::vector<NSURLPtr>& urls);
  ILRemoteImagePrefetchTokenPtr prefetchURLs(const std::vector<NSURLPtr>& urls,
                                             ILRemoteImagePrefetcherProgressBlock progress,
                                             ILRemoteImagePrefetcherCompletionBlock completed);
  ILRemoteImagePrefetchTokenPtr prefetchURLs(const std::vector<NSURLPtr>& urls,
                                             ILRemoteImageOptions options,
                                             const ILRemoteImageContext& context,
                                             ILRemoteImagePrefetcherProgressBlock progress,
                                             ILRemoteImagePrefetcherCompletionBlock completed);
  void cancelPrefetching();

  // Sums over the running batches.
  uint64_t tokenTotalCount() const;
  uint64_t tokenSkippedCount() const;
  uint64_t tokenFinishedCount() const;
  size_t countOfRunningTokens() const;

  std::string className() const override { return "ILRemoteImagePrefetcher"; }

  // Public for make_shared; use create().
  explicit ILRemoteImagePrefetcher(ILRemoteImageManagerPtr manager);

 private:
  friend class ILRemoteImagePrefetchToken;
  void startPrefetchWithToken(const ILRemoteImagePrefetchTokenPtr& token);
  void loadURL(const ILRemoteImagePrefetchTokenPtr& token, const NSURLPtr& url,
               const ILAsyncBlockOperationPtr& operation);
  void callProgressBlockForToken(const ILRemoteImagePrefetchTokenPtr& token, const NSURLPtr& url);
  void callCompletionBlockForToken(const ILRemoteImagePrefetchTokenPtr& token);
  ILCallbackQueuePtr queueForToken(const ILRemoteImagePrefetchTokenPtr& token) const;
  void addRunningToken(const ILRemoteImagePrefetchTokenPtr& token);
  void removeRunningToken(const ILRemoteImagePrefetchToken* token);

  const ILRemoteImageManagerPtr manager_;
  const NSOperationQueuePtr prefetchQueue_;

  mutable Mutex settingsLock_;
  ILRemoteImageOptions options_ GUARDED_BY(settingsLock_) = ILLoadLowPriority;
  ILRemoteImageContext context_ GUARDED_BY(settingsLock_);
  ILCallbackQueuePtr callbackQueue_ GUARDED_BY(settingsLock_);
  std::weak_ptr<ILRemoteImagePrefetcherDelegate> delegate_ GUARDED_BY(settingsLock_);

  mutable Mutex runningTokensLock_;
  std::set<ILRemoteImagePrefetchTokenPtr> runningTokens_ GUARDED_BY(runningTokensLock_);
};
using ILRemoteImagePrefetcherPtr = std::shared_ptr<ILRemoteImagePrefetcher>;
