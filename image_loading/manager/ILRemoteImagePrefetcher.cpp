#include "image_loading/manager/internal/ILRemoteImagePrefetcher.h"

#include <utility>

#include "platform/foundation/Fatal.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"

namespace {

constexpr int64_t kDefaultMaxConcurrentPrefetchCount = 3;

template <typename T>
std::vector<std::shared_ptr<T>> takeLiving(std::vector<std::weak_ptr<T>>& operations) {
  std::vector<std::shared_ptr<T>> living;
  for (const auto& weak : operations) {
    if (auto operation = weak.lock()) living.push_back(std::move(operation));
  }
  operations.clear();
  return living;
}

}  // namespace

// MARK: Token

ILRemoteImagePrefetchToken::ILRemoteImagePrefetchToken(std::vector<NSURLPtr> urls,
                                                       ILRemoteImageOptions options,
                                                       ILRemoteImageContext context)
    : urls_(std::move(urls)),
      options_(options),
      context_(std::move(context)),
      totalCount_(urls_.size()) {}

ILRemoteImagePrefetcherProgressBlock ILRemoteImagePrefetchToken::progressBlock() const {
  MutexLock lock(blocksLock_);
  return progressBlock_;
}

ILRemoteImagePrefetcherCompletionBlock ILRemoteImagePrefetchToken::completionBlock() const {
  MutexLock lock(blocksLock_);
  return completionBlock_;
}

void ILRemoteImagePrefetchToken::cancel() {
  auto prefetches = [&] {
    MutexLock lock(prefetchOperationsLock_);
    return takeLiving(prefetchOperations_);
  }();
  // The waiting ones first: a running one that ends frees its slot, and the
  // queue would start the next waiting one if it were not cancelled yet.
  for (const auto& operation : prefetches) {
    if (!operation->isExecuting()) operation->cancel();
  }
  for (const auto& operation : prefetches) operation->cancel();
  {
    // Marked with the loads taken, so that a load still being started
    // cancels itself (see loadURL).
    MutexLock lock(loadOperationsLock_);
    cancelled_ = true;
  }
  auto loads = [&] {
    MutexLock lock(loadOperationsLock_);
    return takeLiving(loadOperations_);
  }();
  for (const auto& operation : loads) {
    operation->cancel();
  }
  {
    MutexLock lock(blocksLock_);
    progressBlock_ = nullptr;
    completionBlock_ = nullptr;
  }
  if (auto prefetcher = prefetcher_.lock()) prefetcher->removeRunningToken(this);
}

// MARK: Prefetcher

std::shared_ptr<ILRemoteImagePrefetcher> ILRemoteImagePrefetcher::sharedImagePrefetcher() {
  static const std::shared_ptr<ILRemoteImagePrefetcher> shared = [] {
    auto prefetcher = create();
    SingletonResets::add([weak = std::weak_ptr<ILRemoteImagePrefetcher>(prefetcher)] {
      auto self = weak.lock();
      if (!self) return;
      self->cancelPrefetching();
      self->setOptions(ILLoadLowPriority);
      self->setContext(Value());
      self->setCallbackQueue(nullptr);
      self->setDelegate(nullptr);
      self->setMaxConcurrentPrefetchCount(kDefaultMaxConcurrentPrefetchCount);
    });
    return prefetcher;
  }();
  return shared;
}

std::shared_ptr<ILRemoteImagePrefetcher> ILRemoteImagePrefetcher::create(
    ILRemoteImageManagerPtr manager) {
  return std::make_shared<ILRemoteImagePrefetcher>(manager ? std::move(manager)
                                                           : ILRemoteImageManager::create());
}

ILRemoteImagePrefetcher::ILRemoteImagePrefetcher(ILRemoteImageManagerPtr manager)
    : manager_(std::move(manager)), prefetchQueue_(std::make_shared<NSOperationQueue>()) {
  prefetchQueue_->setMaxConcurrentOperationCount(kDefaultMaxConcurrentPrefetchCount);
}

ILRemoteImageOptions ILRemoteImagePrefetcher::options() const {
  MutexLock lock(settingsLock_);
  return options_;
}

void ILRemoteImagePrefetcher::setOptions(ILRemoteImageOptions options) {
  MutexLock lock(settingsLock_);
  options_ = options;
}

ILRemoteImageContext ILRemoteImagePrefetcher::context() const {
  MutexLock lock(settingsLock_);
  return context_;
}

void ILRemoteImagePrefetcher::setContext(ILRemoteImageContext context) {
  MutexLock lock(settingsLock_);
  context_ = std::move(context);
}

int64_t ILRemoteImagePrefetcher::maxConcurrentPrefetchCount() const {
  return prefetchQueue_->maxConcurrentOperationCount();
}

void ILRemoteImagePrefetcher::setMaxConcurrentPrefetchCount(int64_t count) {
  prefetchQueue_->setMaxConcurrentOperationCount(count);
}

ILCallbackQueuePtr ILRemoteImagePrefetcher::callbackQueue() const {
  MutexLock lock(settingsLock_);
  return callbackQueue_;
}

void ILRemoteImagePrefetcher::setCallbackQueue(ILCallbackQueuePtr queue) {
  MutexLock lock(settingsLock_);
  callbackQueue_ = std::move(queue);
}

dispatch_queue_t ILRemoteImagePrefetcher::delegateQueue() const {
  ILCallbackQueuePtr queue = callbackQueue();
  return queue ? queue->queue() : dispatch_get_main_queue();
}

void ILRemoteImagePrefetcher::setDelegateQueue(const dispatch_queue_t& queue) {
  auto wrapped = std::make_shared<ILCallbackQueue>(queue ? queue : dispatch_get_main_queue());
  wrapped->setPolicy(ILCallbackQueuePolicyDispatch);
  setCallbackQueue(std::move(wrapped));
}

std::shared_ptr<ILRemoteImagePrefetcherDelegate> ILRemoteImagePrefetcher::delegate() const {
  MutexLock lock(settingsLock_);
  return delegate_.lock();
}

void ILRemoteImagePrefetcher::setDelegate(
    const std::shared_ptr<ILRemoteImagePrefetcherDelegate>& delegate) {
  MutexLock lock(settingsLock_);
  delegate_ = delegate;
}

ILRemoteImagePrefetchTokenPtr ILRemoteImagePrefetcher::prefetchURLs(
    const std::vector<NSURLPtr>& urls) {
  return prefetchURLs(urls, nullptr, nullptr);
}

ILRemoteImagePrefetchTokenPtr ILRemoteImagePrefetcher::prefetchURLs(
    const std::vector<NSURLPtr>& urls, ILRemoteImagePrefetcherProgressBlock progress,
    ILRemoteImagePrefetcherCompletionBlock completed) {
  return prefetchURLs(urls, options(), context(), std::move(progress), std::move(completed));
}

ILRemoteImagePrefetchTokenPtr ILRemoteImagePrefetcher::prefetchURLs(
    const std::vector<NSURLPtr>& urls, ILRemoteImageOptions options,
    const ILRemoteImageContext& context, ILRemoteImagePrefetcherProgressBlock progress,
    ILRemoteImagePrefetcherCompletionBlock completed) {
  if (urls.empty()) {
    if (completed) completed(0, 0);
    return nullptr;
  }
  auto token = std::make_shared<ILRemoteImagePrefetchToken>(urls, options, context);
  token->prefetcher_ = std::static_pointer_cast<ILRemoteImagePrefetcher>(shared_from_this());
  {
    MutexLock lock(token->blocksLock_);
    token->progressBlock_ = std::move(progress);
    token->completionBlock_ = std::move(completed);
  }
  addRunningToken(token);
  startPrefetchWithToken(token);
  return token;
}

void ILRemoteImagePrefetcher::startPrefetchWithToken(const ILRemoteImagePrefetchTokenPtr& token) {
  std::weak_ptr<ILRemoteImagePrefetcher> weakSelf =
      std::static_pointer_cast<ILRemoteImagePrefetcher>(shared_from_this());
  for (const NSURLPtr& url : token->urls()) {
    auto operation = ILAsyncBlockOperation::blockOperationWithBlock(
        [weakSelf, token, url](const ILAsyncBlockOperationPtr& operation) {
          auto self = weakSelf.lock();
          if (!self) {
            // Nobody is left to count this URL; free the slot all the same.
            operation->complete();
            return;
          }
          if (operation->isCancelled()) return;
          self->loadURL(token, url, operation);
        });
    {
      MutexLock lock(token->prefetchOperationsLock_);
      token->prefetchOperations_.push_back(operation);
    }
    prefetchQueue_->addOperation(operation);
  }
}

void ILRemoteImagePrefetcher::loadURL(const ILRemoteImagePrefetchTokenPtr& token,
                                      const NSURLPtr& url,
                                      const ILAsyncBlockOperationPtr& operation) {
  std::weak_ptr<ILRemoteImagePrefetcher> weakSelf =
      std::static_pointer_cast<ILRemoteImagePrefetcher>(shared_from_this());
  // A refresh answers twice with finished set (the cached image, then the
  // new one or nothing at all): the URL counts at its first final answer.
  auto counted = std::make_shared<std::atomic<bool>>(false);
  auto load = manager_->loadImageWithURL(
      url, token->options(), token->context(), nullptr,
      [weakSelf, token, operation, counted](UIImagePtr, NSDataPtr, NSErrorPtr error,
                                            ILImageCacheKind, bool finished, NSURLPtr imageURL) {
        if (!finished || counted->exchange(true)) return;
        if (auto self = weakSelf.lock()) {
          token->finishedCount_++;
          if (error) token->skippedCount_++;
          self->callProgressBlockForToken(token, imageURL);
          if (token->finishedCount_ == token->totalCount_ && !token->isAllFinished_.exchange(true)) {
            self->callCompletionBlockForToken(token);
            self->removeRunningToken(token.get());
          }
        }
        operation->complete();
      });
  NSAssert(load != nullptr,
           "Operation should not be nil, [ILRemoteImageManager "
           "loadImageWithURL:options:context:progress:completed:] break prefetch logic");
  bool cancelled;
  {
    MutexLock lock(token->loadOperationsLock_);
    cancelled = token->cancelled_;
    if (!cancelled) token->loadOperations_.push_back(load);
  }
  // The token was cancelled while this load was being started, after it had
  // taken the loads to cancel: nobody else would stop this one.
  if (cancelled) load->cancel();
}

ILCallbackQueuePtr ILRemoteImagePrefetcher::queueForToken(
    const ILRemoteImagePrefetchTokenPtr& token) const {
  if (auto queue = ILContextObject<ILCallbackQueue>(token->context(),
                                                    ILRemoteImageContextCallbackQueue)) {
    return queue;
  }
  if (auto queue = callbackQueue()) return queue;
  return ILCallbackQueue::mainQueue();
}

void ILRemoteImagePrefetcher::callProgressBlockForToken(const ILRemoteImagePrefetchTokenPtr& token,
                                                        const NSURLPtr& url) {
  const uint64_t finished = tokenFinishedCount();
  const uint64_t total = tokenTotalCount();
  const uint64_t tokenFinished = token->finishedCount();
  const uint64_t tokenTotal = token->totalCount();
  auto self = std::static_pointer_cast<ILRemoteImagePrefetcher>(shared_from_this());
  queueForToken(token)->async([self, token, url, finished, total, tokenFinished, tokenTotal] {
    if (auto delegate = self->delegate()) {
      delegate->imagePrefetcherDidPrefetchURL(*self, url, finished, total);
    }
    if (auto progress = token->progressBlock()) progress(tokenFinished, tokenTotal);
  });
}

void ILRemoteImagePrefetcher::callCompletionBlockForToken(
    const ILRemoteImagePrefetchTokenPtr& token) {
  bool onlyRunning = false;
  {
    MutexLock lock(runningTokensLock_);
    onlyRunning = runningTokens_.size() == 1 && runningTokens_.count(token);
  }
  const uint64_t total = tokenTotalCount();
  const uint64_t skipped = tokenSkippedCount();
  const uint64_t tokenFinished = token->finishedCount();
  const uint64_t tokenSkipped = token->skippedCount();
  auto self = std::static_pointer_cast<ILRemoteImagePrefetcher>(shared_from_this());
  queueForToken(token)->async(
      [self, token, onlyRunning, total, skipped, tokenFinished, tokenSkipped] {
        if (onlyRunning) {
          if (auto delegate = self->delegate()) {
            delegate->imagePrefetcherDidFinish(*self, total, skipped);
          }
        }
        if (auto completion = token->completionBlock()) completion(tokenFinished, tokenSkipped);
      });
}

void ILRemoteImagePrefetcher::cancelPrefetching() {
  std::set<ILRemoteImagePrefetchTokenPtr> tokens;
  {
    MutexLock lock(runningTokensLock_);
    tokens.swap(runningTokens_);
  }
  for (const auto& token : tokens) token->cancel();
}

void ILRemoteImagePrefetcher::addRunningToken(const ILRemoteImagePrefetchTokenPtr& token) {
  MutexLock lock(runningTokensLock_);
  runningTokens_.insert(token);
}

void ILRemoteImagePrefetcher::removeRunningToken(const ILRemoteImagePrefetchToken* token) {
  if (!token) return;
  MutexLock lock(runningTokensLock_);
  for (auto it = runningTokens_.begin(); it != runningTokens_.end(); ++it) {
    if (it->get() == token) {
      runningTokens_.erase(it);
      return;
    }
  }
}

uint64_t ILRemoteImagePrefetcher::tokenTotalCount() const {
  MutexLock lock(runningTokensLock_);
  uint64_t sum = 0;
  for (const auto& token : runningTokens_) sum += token->totalCount();
  return sum;
}

uint64_t ILRemoteImagePrefetcher::tokenSkippedCount() const {
  MutexLock lock(runningTokensLock_);
  uint64_t sum = 0;
  for (const auto& token : runningTokens_) sum += token->skippedCount();
  return sum;
}

uint64_t ILRemoteImagePrefetcher::tokenFinishedCount() const {
  MutexLock lock(runningTokensLock_);
  uint64_t sum = 0;
  for (const auto& token : runningTokens_) sum += token->finishedCount();
  return sum;
}

size_t ILRemoteImagePrefetcher::countOfRunningTokens() const {
  MutexLock lock(runningTokensLock_);
  return runningTokens_.size();
}
