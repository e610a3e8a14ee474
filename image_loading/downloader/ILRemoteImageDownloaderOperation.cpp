#include "image_loading/downloader/ILRemoteImageDownloaderOperation.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>

#include "image_loading/cache/ILCallbackQueue.h"
#include "image_loading/cache/ILImageCacheDefine.h"
#include "image_loading/coders/ILImageIOAnimatedCoder.h"
#include "image_loading/downloader/ILSessionDelegateProxy.h"
#include "image_loading/downloader/internal/ILImageLoaderDecoding.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/network/NSURLError.h"
#include "platform/uikit/UIImage.h"

const char* const ILRemoteImageDownloadStartNotification = "ILRemoteImageDownloadStartNotification";
const char* const ILRemoteImageDownloadReceiveResponseNotification =
    "ILRemoteImageDownloadReceiveResponseNotification";
const char* const ILRemoteImageDownloadStopNotification = "ILRemoteImageDownloadStopNotification";
const char* const ILRemoteImageDownloadFinishNotification =
    "ILRemoteImageDownloadFinishNotification";

namespace {

constexpr double kOwnedSessionTimeout = 15.0;

// The most body one download may bring, after any content coding is undone:
// the largest frame the decoders take (64 megapixels at four bytes each). A
// few hundred kilobytes of gzip can inflate to gigabytes; a body announced or
// arriving past this ends the download with NSURLErrorDataLengthExceedsMaximum,
// as does a body that cannot be held.
constexpr size_t kMaxBodyBytes = size_t(256) << 20;

NSErrorPtr bodyTooLargeError(const NSURLRequestPtr& request) {
  return NSURLErrorMake(NSURLErrorDataLengthExceedsMaximum,
                        request && request->URL() ? request->URL()->absoluteString() : "",
                        "The image data exceeds the maximum a download may bring (" +
                            std::to_string(kMaxBodyBytes) + " bytes)");
}

// The pixels a decode of every frame would make, read from the headers
// alone; the most there is when no header can be read, as another coder
// added to the manager may still take the data.
// `source` keeps the source read, for the decode to take.
uint64_t announcedPixels(const NSDataPtr& data, CGImageSourceRef& source) {
  source = CGImageSourceCreateWithData(data);
  if (!source) return UINT64_MAX;
  CGImageSourceImageGeometry first;
  if (!CGImageSourceGetGeometryAtIndex(source, 0, &first)) return UINT64_MAX;
  const uint64_t frames = std::max<size_t>(1, first.count);
  // Each factor is below 2^32, so their product fits.
  const uint64_t pixels = uint64_t(first.frame.width) * first.frame.height;
  return pixels != 0 && frames > UINT64_MAX / pixels ? UINT64_MAX : pixels * frames;
}

NSErrorPtr cancelledError(const char* when) {
  return ILRemoteImageError(ILRemoteImageErrorCancelled,
                            std::string("Operation cancelled by user ") + when);
}

ValueMap responseInfo(const NSHTTPURLResponsePtr& response) {
  ValueMap info;
  if (response) {
    ValueMapSet(info, Value(ILRemoteImageErrorDownloadResponseKey),
                Value(std::static_pointer_cast<NSObject>(response)));
  }
  return info;
}

}  // namespace

ILStatusCodeSet::ILStatusCodeSet(std::initializer_list<int64_t> codes) {
  for (int64_t code : codes) insert(code);
}

void ILStatusCodeSet::insert(int64_t code) {
  auto at = std::lower_bound(codes_.begin(), codes_.end(), code);
  if (at == codes_.end() || *at != code) codes_.insert(at, code);
}

size_t ILStatusCodeSet::count(int64_t code) const {
  return std::binary_search(codes_.begin(), codes_.end(), code) ? 1 : 0;
}

bool ILRemoteImageDownloaderOperationToken::isEqual(const NSObject& other) const {
  if (this == &other) return true;
  const auto* token = dynamic_cast<const ILRemoteImageDownloaderOperationToken*>(&other);
  return token && !decodeOptions.isNull() && !token->decodeOptions.isNull() &&
         decodeOptions == token->decodeOptions;
}

ILRemoteImageDownloaderOperation::ILRemoteImageDownloaderOperation(NSURLRequestPtr request,
                                                                   const NSURLSessionPtr& session,
                                                                   ILDownloadOptions options,
                                                                   ILRemoteImageContext context)
    : ILRemoteImageDownloaderOperation(std::move(request), session, options, std::move(context),
                                       Value()) {}

ILRemoteImageDownloaderOperation::ILRemoteImageDownloaderOperation(NSURLRequestPtr request,
                                                                   const NSURLSessionPtr& session,
                                                                   ILDownloadOptions options,
                                                                   ILRemoteImageContext context,
                                                                   Value decodeOptions)
    : request_(std::move(request)),
      options_(options),
      context_(std::move(context)),
      responseModifier_(ILContextObject<ILRemoteImageDownloaderResponseModifierProtocol>(
          context_, ILRemoteImageContextDownloadResponseModifier)),
      decryptor_(ILContextObject<ILRemoteImageDownloaderDecryptorProtocol>(
          context_, ILRemoteImageContextDownloadDecryptor)),
      ownDecodeOptions_(!decodeOptions.isNull()
                            ? std::move(decodeOptions)
                            : ILImageDecodeOptionsFromContext(
                                  context_, ILImageOptionsFromDownloaderOptions(options_),
                                  ILCacheKeyForURL(request_ ? request_->URL() : nullptr, context_),
                                  request_ ? request_->URL().get() : nullptr)),
      unownedSession_(session) {}

ILRemoteImageDownloaderOperation::~ILRemoteImageDownloaderOperation() {
  if (ownedSession_) ownedSession_->invalidateAndCancel();
}

const NSOperationQueuePtr& ILRemoteImageDownloaderOperation::coderQueue() const {
  std::call_once(coderQueueOnce_, [this] {
    coderQueue_ = std::make_shared<NSOperationQueue>();
    coderQueue_->setMaxConcurrentOperationCount(1);
    coderQueue_->setName("com.quillfern.ILRemoteImageDownloaderOperation.coderQueue");
    coderQueueMade_.store(true, std::memory_order_release);
  });
  return coderQueue_;
}

size_t ILRemoteImageDownloaderOperation::coderOperationCount() const {
  return coderQueueMade_.load(std::memory_order_acquire) ? coderQueue_->operationCount() : 0;
}

// MARK: Callers

std::shared_ptr<NSObject> ILRemoteImageDownloaderOperation::addHandlersForProgress(
    ILRemoteImageDownloaderProgressBlock progress, ILRemoteImageDownloaderCompletedBlock completed,
    Value decodeOptions) {
  if (!progress && !completed && decodeOptions.isNull()) return nullptr;
  auto token = std::make_shared<ILRemoteImageDownloaderOperationToken>(
      std::move(progress), std::move(completed), std::move(decodeOptions));
  RecursiveMutexLock lock(lock_);
  if (closed_) return nullptr;
  if (token->progressBlock) progressHeard_.store(true, std::memory_order_release);
  callbackTokens_.push_back(token);
  return token;
}

std::shared_ptr<NSObject> ILRemoteImageDownloaderOperation::addHandlersForProgress(
    ILRemoteImageDownloaderProgressBlock progress, ILRemoteImageDownloaderCompletedBlock completed) {
  return addHandlersForProgress(std::move(progress), std::move(completed), Value());
}

size_t ILRemoteImageDownloaderOperation::callbackTokenCount() const {
  RecursiveMutexLock lock(lock_);
  return callbackTokens_.size();
}

ILRemoteImageDownloaderOperation::Tokens ILRemoteImageDownloaderOperation::tokensSnapshot() const {
  RecursiveMutexLock lock(lock_);
  return callbackTokens_;
}

ILRemoteImageDownloaderOperation::Tokens ILRemoteImageDownloaderOperation::progressTokens() const {
  // Most callers ask for no progress: they are not copied for nothing.
  return progressHeard_.load(std::memory_order_acquire) ? tokensSnapshot() : Tokens();
}

ILRemoteImageDownloaderOperation::Tokens ILRemoteImageDownloaderOperation::closeAndSnapshot() {
  RecursiveMutexLock lock(lock_);
  closed_ = true;
  return callbackTokens_;
}

bool ILRemoteImageDownloaderOperation::cancel(const std::shared_ptr<NSObject>& object) {
  auto token = std::dynamic_pointer_cast<ILRemoteImageDownloaderOperationToken>(object);
  if (!token) return false;
  CancelState state;
  {
    RecursiveMutexLock lock(lock_);
    auto it = std::find(callbackTokens_.begin(), callbackTokens_.end(), token);
    // A caller that has left, or already has its answer, is not answered again.
    if (it == callbackTokens_.end() || token->answered_) return false;
    if (callbackTokens_.size() == 1) {
      if (!beginCancel(state)) return false;
    } else {
      token->answered_ = true;
      callbackTokens_.erase(it);
    }
  }
  if (state.began) {
    finishCancel(state);
    return true;
  }
  dispatchCompletion(token, nullptr, nullptr, cancelledError("during sending the request"), true);
  return false;
}

// MARK: Life cycle

void ILRemoteImageDownloaderOperation::start() {
  NSURLSessionPtr session;
  {
    RecursiveMutexLock lock(lock_);
    if (!isCancelled()) {
      session = unownedSession_.lock();
      if (!session) {
        NSURLSessionConfiguration configuration =
            NSURLSessionConfiguration::defaultSessionConfiguration();
        configuration.timeoutIntervalForRequest = kOwnedSessionTimeout;
        auto delegate = std::make_shared<ILSessionDelegateProxy>(
            std::static_pointer_cast<NSURLSessionDataDelegate>(
                std::static_pointer_cast<ILRemoteImageDownloaderOperation>(shared_from_this())));
        ownedSession_ = NSURLSession::sessionWithConfiguration(configuration, delegate);
        session = ownedSession_;
      }
      if (options_ & ILDownloadIgnoreCachedResponse) {
        // What the URL cache holds now is what an unchanged body will equal.
        NSURLCachePtr cache = session->configuration().URLCache;
        if (!cache) cache = NSURLCache::sharedURLCache();
        if (NSCachedURLResponsePtr cached = cache->cachedResponseForRequest(request_)) {
          cachedData_ = cached->data();
          response_ = cached->response();
        }
      }
    }
  }
  // Finishing is announced outside the lock: the downloader hears it and
  // takes its own lock, which is held around calls into the operation.
  if (!session) {
    callCompletionBlocksWithError(cancelledError("before sending the request"));
    reset();
    setFinished(true);
    return;
  }
  if (!session->delegate()) {
    callCompletionBlocksWithError(ILRemoteImageError(ILRemoteImageErrorInvalidDownloadOperation,
                                                     "Session delegate is nil and invalid"));
    reset();
    setFinished(true);
    return;
  }
  NSURLSessionDataTaskPtr task = session->dataTaskWithRequest(request_);
  if (!task) {
    callCompletionBlocksWithError(ILRemoteImageError(ILRemoteImageErrorInvalidDownloadOperation,
                                                     "Task can't be initialized"));
    reset();
    setFinished(true);
    return;
  }
  if (options_ & ILDownloadHighPriority) {
    task->setPriority(NSURLSessionTaskPriorityHigh);
  } else if (options_ & ILDownloadLowPriority) {
    task->setPriority(NSURLSessionTaskPriorityLow);
  }
  bool cancelledMeanwhile = false;
  {
    RecursiveMutexLock lock(lock_);
    cancelledMeanwhile = isCancelled();
    if (!cancelledMeanwhile) {
      dataTask_ = task;
      runningTask_.store(task.get(), std::memory_order_release);
      setExecuting(true);
      task->resume();
    }
  }
  if (cancelledMeanwhile) {
    // The cancel found no task to stop and left the finishing to us.
    reset();
    setFinished(true);
    return;
  }
  // No progress yet: the length is not known before the response.
  postNotification(ILRemoteImageDownloadStartNotification);
}

void ILRemoteImageDownloaderOperation::cancel() {
  CancelState state;
  {
    RecursiveMutexLock lock(lock_);
    if (!beginCancel(state)) return;
  }
  finishCancel(state);
}

bool ILRemoteImageDownloaderOperation::beginCancel(CancelState& state) {
  if (isFinished() || isCancelled()) return false;
  // Marked under the lock, so that no new caller joins.
  NSOperation::cancel();
  closed_ = true;
  state.task = std::move(dataTask_);
  dataTask_ = nullptr;
  runningTask_.store(nullptr, std::memory_order_release);
  state.wasExecuting = isExecuting();
  if (state.wasExecuting) setExecuting(false);
  state.began = true;
  return true;
}

void ILRemoteImageDownloaderOperation::finishCancel(CancelState& state) {
  postNotification(ILRemoteImageDownloadStopNotification);
  // Callers hear of the cancel before the task's own end could reach them.
  callCompletionBlocksWithError(cancelledError("during sending the request"));
  if (state.task) state.task->cancel();
  reset();
  // An operation that never started keeps its state; when its queue starts
  // it, start() sees the cancel and only marks it finished.
  if (state.wasExecuting) setFinished(true);
}

void ILRemoteImageDownloaderOperation::done() {
  // Whoever sees the operation finished must see it neither executing nor
  // still holding its callers, its task or its own session.
  setExecuting(false);
  reset();
  setFinished(true);
}

void ILRemoteImageDownloaderOperation::reset() {
  NSURLSessionPtr owned;
  {
    RecursiveMutexLock lock(lock_);
    closed_ = true;
    callbackTokens_.clear();
    dataTask_ = nullptr;
    runningTask_.store(nullptr, std::memory_order_release);
    owned = std::move(ownedSession_);
    ownedSession_ = nullptr;
  }
  if (owned) owned->invalidateAndCancel();
}

// MARK: Session delegate

void ILRemoteImageDownloaderOperation::didReceiveResponse(
    const NSURLSessionPtr&, const NSURLSessionDataTaskPtr&, const NSHTTPURLResponsePtr& received,
    NSURLSessionResponseHandler handler) {
  NSHTTPURLResponsePtr response = received;
  bool valid = true;
  if (responseModifier_ && response) {
    response = responseModifier_->modifiedResponseWithResponse(response);
    if (!response) {
      valid = false;
      responseError_ = ILRemoteImageError(ILRemoteImageErrorInvalidDownloadResponse,
                                          "Download marked as failed because response is nil");
    }
  }
  expectedSize_ = response ? std::max<int64_t>(0, response->expectedContentLength()) : 0;
  const int64_t status = response ? response->statusCode() : 0;
  const std::string mime = response ? response->MIMEType().value_or("") : "";
  bool statusAccepted, typeAccepted;
  {
    RecursiveMutexLock lock(lock_);
    response_ = response;
    statusAccepted = !acceptableStatusCodes_ || acceptableStatusCodes_->count(status);
    typeAccepted = !acceptableContentTypes_ || acceptableContentTypes_->count(mime);
  }
  if (valid && status >= 1 && !statusAccepted) {
    valid = false;
    ValueMap info = responseInfo(response);
    ValueMapSet(info, Value(ILRemoteImageErrorDownloadStatusCodeKey), Value::integer(status));
    responseError_ = ILRemoteImageError(
        ILRemoteImageErrorInvalidDownloadStatusCode,
        "Download marked as failed because of invalid response status code " +
            std::to_string(status),
        std::move(info));
  }
  if (valid && !mime.empty() && !typeAccepted) {
    valid = false;
    ValueMap info = responseInfo(response);
    ValueMapSet(info, Value(ILRemoteImageErrorDownloadContentTypeKey), Value(mime));
    responseError_ = ILRemoteImageError(
        ILRemoteImageErrorInvalidDownloadContentType,
        "Download marked as failed because of invalid response content type " + mime,
        std::move(info));
  }
  if (valid && status == 304 && !cachedData_) {
    valid = false;
    responseError_ =
        ILRemoteImageError(ILRemoteImageErrorCacheNotModified,
                           "Download response status code is 304 not modified and ignored",
                           responseInfo(response));
  }
  if (valid && static_cast<uint64_t>(expectedSize_) > kMaxBodyBytes) {
    valid = false;
    responseError_ = bodyTooLargeError(request_);
  }
  if (valid) reportProgress(progressTokens(), 0, expectedSize_);
  postNotification(ILRemoteImageDownloadReceiveResponseNotification);
  // A refused response ends the task as cancelled; callers see the reason
  // stored above instead.
  handler(valid ? NSURLSessionResponseDisposition::Allow : NSURLSessionResponseDisposition::Cancel);
}

void ILRemoteImageDownloaderOperation::didReceiveData(const NSURLSessionPtr&,
                                                      const NSURLSessionDataTaskPtr& task,
                                                      const NSDataPtr& data) {
  // Refused already (the response, or a body past the limit): what still
  // arrives until the cancel lands is dropped, not gathered for nothing.
  if (responseError_) return;
  bool kept;
  {
    MutexLock lock(dataLock_);
    const size_t held =
        firstChunk_ ? firstChunk_->length() : filledBytes_ + (imageData_ ? imageData_->size() : 0);
    const size_t length = data ? data->length() : 0;
    kept = length <= kMaxBodyBytes - held;
    try {
      if (!kept) {
        // Nothing more is kept.
      } else if (!imageData_ && !firstChunk_ && data) {
        // A body that comes in one chunk is kept as it came, without a copy.
        firstChunk_ = data;
      } else {
        if (!imageData_) {
          imageData_.emplace();
          // A claimed length is only a claim: reserve up to the cap and let the
          // buffer grow with what really arrives.
          imageData_->reserve(std::min<size_t>(static_cast<size_t>(expectedSize_),
                                               kMaxInitialBufferReservation));
          if (firstChunk_) {
            imageData_->insert(imageData_->end(), firstChunk_->bytes(),
                               firstChunk_->bytes() + firstChunk_->length());
            firstChunk_ = nullptr;
          }
        }
        // A full buffer is set aside as it is and the body goes on in one as
        // large as all that came before (within the limit): nothing gathered
        // is copied again while the body arrives, and the pieces are joined
        // once, when the body is taken. A body refused at the limit is never
        // joined at all.
        const size_t needed = imageData_->size() + length;
        if (needed > imageData_->capacity()) {
          const size_t sofar = filledBytes_ + imageData_->size();
          Bytes next;
          next.reserve(std::min(std::max(length, sofar), kMaxBodyBytes - sofar));
          if (!imageData_->empty()) {
            filledBytes_ += imageData_->size();
            filled_.push_back(NSData::dataWithBytes(std::move(*imageData_)));
          }
          *imageData_ = std::move(next);
        }
        if (data) imageData_->insert(imageData_->end(), data->bytes(), data->bytes() + length);
      }
    } catch (const std::bad_alloc&) {
      kept = false;
    }
    if (kept) {
      receivedSize_ = static_cast<int64_t>(firstChunk_ ? firstChunk_->length()
                                                        : filledBytes_ + imageData_->size());
    } else {
      firstChunk_ = nullptr;
      imageData_.reset();
      filled_.clear();
      filledBytes_ = 0;
      receivedSize_ = 0;
    }
  }
  if (!kept) {
    // The task ends as cancelled; callers see the reason stored here.
    responseError_ = bodyTooLargeError(request_);
    if (task) task->cancel();
    return;
  }
  // Without a known length there is no fraction to report.
  if (expectedSize_ <= 0) return;
  const bool finished = receivedSize_ >= expectedSize_;
  const double progress =
      std::clamp(static_cast<double>(receivedSize_) / static_cast<double>(expectedSize_), 0.0, 1.0);
  if (!finished && progress - previousProgress_ < minimumProgressInterval()) return;
  previousProgress_ = progress;
  if ((options_ & ILDownloadProgressive) && !decryptor_ && !finished &&
      coderOperationCount() == 0) {
    queuePartialDecode();
  }
  reportProgress(progressTokens(), receivedSize_, expectedSize_);
}

void ILRemoteImageDownloaderOperation::didCompleteWithError(const NSURLSessionPtr&,
                                                            const NSURLSessionDataTaskPtr&,
                                                            const NSErrorPtr& error) {
  // A cancel answers the callers and finishes the operation itself.
  if (isFinished() || isCancelled()) return;
  downloadCompleted_ = true;
  Tokens tokens;
  {
    RecursiveMutexLock lock(lock_);
    tokens = callbackTokens_;
    dataTask_ = nullptr;
    runningTask_.store(nullptr, std::memory_order_release);
  }
  postNotification(ILRemoteImageDownloadStopNotification);
  if (!error) postNotification(ILRemoteImageDownloadFinishNotification);
  if (error) {
    callCompletionBlocksWithError(responseError_ ? responseError_ : error);
    done();
    return;
  }
  if (tokens.empty()) {
    closeAndSnapshot();
    done();
    return;
  }
  NSDataPtr imageData = takeImageData();
  if (imageData && decryptor_) imageData = decryptor_->decryptedDataWithData(imageData, response());
  if (!imageData) {
    callCompletionBlocksWithError(
        ILRemoteImageError(ILRemoteImageErrorBadImageData, "Image data is nil"));
    done();
    return;
  }
  if ((options_ & ILDownloadIgnoreCachedResponse) && cachedData_ && cachedData_->isEqual(*imageData)) {
    responseError_ = ILRemoteImageError(ILRemoteImageErrorCacheNotModified,
                                        "Downloaded image is not modified and ignored",
                                        responseInfo(response()));
    callCompletionBlocksWithError(responseError_);
    done();
    return;
  }
  if (coderQueueMade_.load(std::memory_order_acquire)) coderQueue_->cancelAllOperations();
  // A coder named by the caller may take its time: it gets the coder queue.
  const Value* ownCoder = ILContextValue(context_, ILRemoteImageContextImageCoder);
  CGImageSourceRef source;
  if ((!ownCoder || ownCoder->isNull()) && imageData->length() <= kInlineDecodeLimit &&
      coderOperationCount() == 0 && announcedPixels(imageData, source) <= kInlineDecodePixelLimit) {
    // Nothing else is decoding, and a small body decodes faster than a hop
    // to the coder queue would take: its pass runs here and now, on the
    // source its headers were read from.
    const ILImageIOCoding::HandedSource handed(imageData, std::move(source));
    runDecodePass(imageData, tokens, tokens);
  } else {
    startCoderOperationWithImageData(imageData, tokens, {});
  }
}

void ILRemoteImageDownloaderOperation::willCacheResponse(const NSURLSessionPtr&,
                                                         const NSURLSessionDataTaskPtr&,
                                                         const NSCachedURLResponsePtr& proposed,
                                                         NSURLSessionCacheHandler handler) {
  handler((options_ & ILDownloadUseURLCache) ? proposed : nullptr);
}

void ILRemoteImageDownloaderOperation::didReceiveChallenge(
    const NSURLSessionPtr&, const NSURLSessionDataTaskPtr&,
    const NSURLAuthenticationChallengePtr& challenge, NSURLSessionChallengeHandler handler) {
  const NSURLProtectionSpacePtr& space = challenge->protectionSpace();
  if (space && space->authenticationMethod() == NSURLAuthenticationMethodServerTrust) {
    if (options_ & ILDownloadAllowInvalidCertificates) {
      handler(NSURLSessionAuthChallengeDisposition::UseCredential,
              NSURLCredential::credentialForTrust(space->serverTrust()));
    } else {
      handler(NSURLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
    }
    return;
  }
  if (challenge->previousFailureCount() > 0) {
    handler(NSURLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, nullptr);
    return;
  }
  NSURLCredentialPtr credential = this->credential();
  if (credential) {
    handler(NSURLSessionAuthChallengeDisposition::UseCredential, std::move(credential));
  } else {
    handler(NSURLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
  }
}

void ILRemoteImageDownloaderOperation::didFinishCollectingMetrics(
    const NSURLSessionPtr&, const NSURLSessionDataTaskPtr&,
    const NSURLSessionTaskMetricsPtr& metrics) {
  RecursiveMutexLock lock(lock_);
  metrics_ = metrics;
}

// MARK: Decoding

void ILRemoteImageDownloaderOperation::queuePartialDecode() {
  std::weak_ptr<ILRemoteImageDownloaderOperation> weak = WeakFromThis(this);
  coderQueue()->addOperationWithBlock([weak] {
    auto self = weak.lock();
    if (!self || self->isCancelled() || self->downloadCompleted_) return;
    const Tokens tokens = self->tokensSnapshot();
    if (tokens.empty()) return;
    NSDataPtr partial = self->snapshotImageData();
    if (!partial) return;
    UIImagePtr image = ILImageLoaderDecodeProgressiveImageData(
        partial, self->request_->URL(), false, self.get(),
        ILImageOptionsFromDownloaderOptions(self->options_), self->context_);
    if (!image) return;
    for (const auto& token : tokens) {
      self->callCompletionBlockWithToken(token, image, nullptr, nullptr, false);
    }
  });
}

void ILRemoteImageDownloaderOperation::startCoderOperationWithImageData(const NSDataPtr& data,
                                                                        const Tokens& pending,
                                                                        const Tokens& finished) {
  std::weak_ptr<ILRemoteImageDownloaderOperation> weak = WeakFromThis(this);
  Tokens all = finished;
  all.insert(all.end(), pending.begin(), pending.end());
  // One pass on the serial coder queue: each caller's decode in turn, then
  // the look for callers that joined meanwhile.
  coderQueue()->addOperationWithBlock([weak, data, pending, all = std::move(all)] {
    if (auto self = weak.lock()) self->runDecodePass(data, pending, all);
  });
}

void ILRemoteImageDownloaderOperation::runDecodePass(const NSDataPtr& data, const Tokens& pending,
                                                     const Tokens& all) {
  for (const auto& token : pending) finishToken(data, token);
  checkDoneWithImageData(data, all);
}

void ILRemoteImageDownloaderOperation::finishToken(
    const NSDataPtr& data, const ILRemoteImageDownloaderOperationTokenPtr& token) {
  // A caller that left while earlier decodes ran would only have its answer
  // dropped: its decode is not worth making.
  if (!isWaiting(token)) return;
  UIImagePtr image = decodeForToken(data, token);
  const bool empty = !image || image->size().width <= 0 || image->size().height <= 0;
  if (empty) {
    callCompletionBlockWithToken(
        token, nullptr, nullptr,
        ILRemoteImageError(ILRemoteImageErrorBadImageData, image ? "Downloaded image has 0 pixels"
                                                                 : "Downloaded image decode failed"),
        true);
  } else {
    callCompletionBlockWithToken(token, image, data, nullptr, true);
  }
}

UIImagePtr ILRemoteImageDownloaderOperation::decodeForToken(
    const NSDataPtr& data, const ILRemoteImageDownloaderOperationTokenPtr& token) {
  const bool keyed = !token->decodeOptions.isNull();
  if (keyed) {
    RecursiveMutexLock lock(lock_);
    for (const auto& [options, image] : imageMap_) {
      if (options == token->decodeOptions) {
        if (UIImagePtr cached = image.lock()) return cached;
      }
    }
  }
  ILRemoteImageOptions options = ILImageOptionsFromDownloaderOptions(options_);
  // The caller that made the operation (usually the only one) asks for what
  // the operation's own context gives: no context to make for it, and its
  // decode options are the ones made with the operation.
  const bool own = !keyed || token->decodeOptions == ownDecodeOptions_;
  ILRemoteImageContext context = context_;
  if (!own) {
    ValueMap map = context_.isMap() ? context_.asMap() : ValueMap();
    ILImageContextFromDecodeOptions(map, options, token->decodeOptions);
    context = Value(std::move(map));
  }
  UIImagePtr image;
  if (ILImageLoaderGetProgressiveCoder(this)) {
    image = ILImageLoaderDecodeProgressiveImageData(data, request_->URL(), true, this, options,
                                                    context);
  } else if (own) {
    image = ILImageCacheDecodeImageDataWithDecodeOptions(data, ownDecodeOptions_, options, context);
  } else {
    image = ILImageLoaderDecodeImageData(data, request_->URL(), options, context);
  }
  if (image && keyed) {
    RecursiveMutexLock lock(lock_);
    std::erase_if(imageMap_, [&](const auto& entry) {
      return entry.first == token->decodeOptions || entry.second.expired();
    });
    imageMap_.emplace_back(token->decodeOptions, image);
  }
  return image;
}

void ILRemoteImageDownloaderOperation::checkDoneWithImageData(const NSDataPtr& data,
                                                              const Tokens& finished) {
  Tokens pending;
  {
    RecursiveMutexLock lock(lock_);
    for (const auto& token : callbackTokens_) {
      if (std::find(finished.begin(), finished.end(), token) == finished.end()) {
        pending.push_back(token);
      }
    }
    if (pending.empty()) closed_ = true;
  }
  // Callers that joined while the body was decoded get a pass of their own.
  if (!pending.empty()) {
    startCoderOperationWithImageData(data, pending, finished);
  } else {
    done();
  }
}

namespace {

// The pieces set aside and the last buffer, in one; each piece is let go as
// soon as it is copied (the caller hands over its own list, or a copy).
Bytes JoinedBody(std::vector<NSDataPtr> pieces, size_t piecesBytes, const Bytes& last) {
  Bytes all;
  all.reserve(piecesBytes + last.size());
  for (NSDataPtr& piece : pieces) {
    all.insert(all.end(), piece->bytes(), piece->bytes() + piece->length());
    piece = nullptr;
  }
  all.insert(all.end(), last.begin(), last.end());
  return all;
}

}  // namespace

NSDataPtr ILRemoteImageDownloaderOperation::takeImageData() {
  MutexLock lock(dataLock_);
  if (firstChunk_) return std::move(firstChunk_);
  if (!imageData_) return nullptr;
  NSDataPtr data = NSData::dataWithBytes(
      filled_.empty() ? std::move(*imageData_) : JoinedBody(std::move(filled_), filledBytes_, *imageData_));
  imageData_.reset();
  filled_.clear();
  filledBytes_ = 0;
  return data;
}

NSDataPtr ILRemoteImageDownloaderOperation::snapshotImageData() const {
  MutexLock lock(dataLock_);
  if (firstChunk_) return firstChunk_;
  if (!imageData_) return nullptr;
  if (filled_.empty()) return NSData::dataWithBytes(*imageData_);
  return NSData::dataWithBytes(JoinedBody(filled_, filledBytes_, *imageData_));
}

// MARK: Delivery

bool ILRemoteImageDownloaderOperation::isWaitingLocked(
    const ILRemoteImageDownloaderOperationTokenPtr& token) const {
  return !token->answered_ &&
         std::find(callbackTokens_.begin(), callbackTokens_.end(), token) != callbackTokens_.end();
}

bool ILRemoteImageDownloaderOperation::isWaiting(
    const ILRemoteImageDownloaderOperationTokenPtr& token) const {
  RecursiveMutexLock lock(lock_);
  return isWaitingLocked(token);
}

bool ILRemoteImageDownloaderOperation::claimFinalDelivery(
    const ILRemoteImageDownloaderOperationTokenPtr& token) {
  RecursiveMutexLock lock(lock_);
  if (!isWaitingLocked(token)) return false;
  token->answered_ = true;
  return true;
}

void ILRemoteImageDownloaderOperation::callCompletionBlocksWithError(const NSErrorPtr& error) {
  // An error is the operation's last word.
  for (const auto& token : closeAndSnapshot()) {
    callCompletionBlockWithToken(token, nullptr, nullptr, error, true);
  }
}

void ILRemoteImageDownloaderOperation::callCompletionBlockWithToken(
    const ILRemoteImageDownloaderOperationTokenPtr& token, const UIImagePtr& image,
    const NSDataPtr& data, const NSErrorPtr& error, bool finished) {
  if (finished ? !claimFinalDelivery(token) : !isWaiting(token)) return;
  dispatchCompletion(token, image, data, error, finished);
}

void ILRemoteImageDownloaderOperation::dispatchCompletion(
    const ILRemoteImageDownloaderOperationTokenPtr& token, UIImagePtr image, NSDataPtr data,
    NSErrorPtr error, bool finished) const {
  if (!token->completedBlock) return;
  ILCallbackQueuePtr queue =
      ILContextObject<ILCallbackQueue>(context_, ILRemoteImageContextCallbackQueue);
  if (!queue) queue = ILCallbackQueue::mainQueue();
  queue->async([token, image = std::move(image), data = std::move(data),
                error = std::move(error), finished] {
    token->completedBlock(image, data, error, finished);
  });
}

void ILRemoteImageDownloaderOperation::reportProgress(const Tokens& tokens, int64_t received,
                                                      int64_t expected) const {
  // Only a known length gives a progress; a body longer than announced
  // counts as the length, so received / expected never passes 1.
  if (expected <= 0) return;
  expected = std::max(expected, received);
  const NSURLPtr& url = request_->URL();
  for (const auto& token : tokens) {
    if (token->progressBlock) token->progressBlock(received, expected, url);
  }
}

void ILRemoteImageDownloaderOperation::postNotification(const char* name) {
  // Every operation's notifications, in order, in one main-queue block per
  // burst: the main thread is woken once, not four times per download.
  static Mutex mutex;
  static std::vector<std::pair<const char*, std::shared_ptr<NSObject>>> pending GUARDED_BY(mutex);
  static bool scheduled GUARDED_BY(mutex) = false;
  {
    MutexLock lock(mutex);
    pending.emplace_back(name, shared_from_this());
    if (scheduled) return;
    scheduled = true;
  }
  dispatch_async(dispatch_get_main_queue(), [] {
    std::vector<std::pair<const char*, std::shared_ptr<NSObject>>> batch;
    {
      MutexLock lock(mutex);
      batch.swap(pending);
      scheduled = false;
    }
    for (const auto& [name, operation] : batch) {
      NSNotificationCenter::defaultCenter().postNotificationName(name, operation);
    }
  });
}

// MARK: Settings

NSHTTPURLResponsePtr ILRemoteImageDownloaderOperation::response() const {
  RecursiveMutexLock lock(lock_);
  return response_;
}

NSURLSessionTaskMetricsPtr ILRemoteImageDownloaderOperation::metrics() const {
  RecursiveMutexLock lock(lock_);
  return metrics_;
}

NSURLCredentialPtr ILRemoteImageDownloaderOperation::credential() const {
  RecursiveMutexLock lock(lock_);
  return credential_;
}

void ILRemoteImageDownloaderOperation::setCredential(NSURLCredentialPtr credential) {
  RecursiveMutexLock lock(lock_);
  credential_ = std::move(credential);
}

NSURLSessionDataTaskPtr ILRemoteImageDownloaderOperation::dataTask() const {
  RecursiveMutexLock lock(lock_);
  return dataTask_;
}

double ILRemoteImageDownloaderOperation::minimumProgressInterval() const {
  RecursiveMutexLock lock(lock_);
  return minimumProgressInterval_;
}

void ILRemoteImageDownloaderOperation::setMinimumProgressInterval(double interval) {
  RecursiveMutexLock lock(lock_);
  minimumProgressInterval_ = std::isfinite(interval) ? std::clamp(interval, 0.0, 1.0) : 0.0;
}

std::optional<ILStatusCodeSet> ILRemoteImageDownloaderOperation::acceptableStatusCodes() const {
  RecursiveMutexLock lock(lock_);
  return acceptableStatusCodes_;
}

void ILRemoteImageDownloaderOperation::setAcceptableStatusCodes(
    std::optional<ILStatusCodeSet> codes) {
  RecursiveMutexLock lock(lock_);
  acceptableStatusCodes_ = std::move(codes);
}

std::optional<ILContentTypeSet> ILRemoteImageDownloaderOperation::acceptableContentTypes() const {
  RecursiveMutexLock lock(lock_);
  return acceptableContentTypes_;
}

void ILRemoteImageDownloaderOperation::setAcceptableContentTypes(
    std::optional<ILContentTypeSet> types) {
  RecursiveMutexLock lock(lock_);
  acceptableContentTypes_ = std::move(types);
}
