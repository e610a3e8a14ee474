#include "image_loading/downloader/ILRemoteImageDownloader.h"

#include <cstdio>
#include <typeinfo>
#include <utility>

#include "image_loading/downloader/ILSessionDelegateProxy.h"
#include "image_loading/downloader/internal/ILImageLoaderDecoding.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSNotification.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/network/NSStringTransform.h"
#include "platform/network/NSURLError.h"
#include "platform/uikit/UIDevice.h"
#include "platform/uikit/UIScreen.h"

namespace {

// The address is the observation context.
const char kMaxConcurrentDownloadsContext = 0;

std::string infoString(const NSBundlePtr& bundle, const char* key) {
  const Value value = bundle ? bundle->objectForInfoDictionaryKey(key) : Value();
  return value.isString() ? value.asString() : "";
}

bool isASCII(const std::string& text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

std::string userAgent() {
  NSBundlePtr bundle = NSBundle::mainBundle();
  std::string name = infoString(bundle, "CFBundleExecutable");
  if (name.empty() && bundle) name = bundle->bundleIdentifier().value_or("");
  std::string version = infoString(bundle, "CFBundleShortVersionString");
  if (version.empty()) version = infoString(bundle, "CFBundleVersion");
  auto device = UIDevice::currentDevice();
  char scale[32];
  std::snprintf(scale, sizeof scale, "%0.2f", UIScreen::mainScreen()->scale());
  std::string agent = name + "/" + version + " (" + device->model() + "; iOS " +
                      device->systemVersion() + "; Scale/" + scale + ")";
  if (!isASCII(agent)) {
    // Header values must be ASCII: transliterate what can be, drop the rest.
    if (auto ascii = NSStringByApplyingTransform(agent, "Any-Latin; Latin-ASCII; [:^ASCII:] Remove")) {
      agent = *ascii;
    }
  }
  return agent;
}

NSErrorPtr nilURLError() {
  return ILRemoteImageError(ILRemoteImageErrorInvalidURL, "Image url is nil");
}

}  // namespace

// MARK: Token

ILRemoteImageDownloadToken::ILRemoteImageDownloadToken(
    const ILRemoteImageDownloaderOperationProtocolPtr& operation)
    : downloadOperation_(operation) {}

ILRemoteImageDownloadToken::~ILRemoteImageDownloadToken() {
  if (!listeningKey_) return;
  if (auto downloader = downloader_.lock()) downloader->unfileListeningToken(this);
}

NSHTTPURLResponsePtr ILRemoteImageDownloadToken::response() const {
  MutexLock lock(lock_);
  return response_;
}

NSURLSessionTaskMetricsPtr ILRemoteImageDownloadToken::metrics() const {
  MutexLock lock(lock_);
  return metrics_;
}

std::shared_ptr<NSObject> ILRemoteImageDownloadToken::downloadOperationCancelToken() const {
  MutexLock lock(lock_);
  return cancelToken_.lock();
}

bool ILRemoteImageDownloadToken::isCancelled() const {
  MutexLock lock(lock_);
  return cancelled_;
}

void ILRemoteImageDownloadToken::cancel() {
  std::shared_ptr<NSObject> record;
  {
    MutexLock lock(lock_);
    if (cancelled_) return;
    cancelled_ = true;
    record = cancelToken_.lock();
    cancelToken_.reset();
  }
  if (auto operation = downloadOperation_.lock(); operation && record) operation->cancel(record);
}

// MARK: Downloader

std::shared_ptr<ILRemoteImageDownloader> ILRemoteImageDownloader::sharedDownloader() {
  // Never destroyed, as the shared session is not: torn down after main
  // returned, its session would end its transfers and queue its last
  // delegate calls while the platform goes down around them.
  static const auto* shared = new std::shared_ptr<ILRemoteImageDownloader>([] {
    auto downloader = create();
    downloader->isShared_ = true;
    SingletonResets::add([weak = std::weak_ptr<ILRemoteImageDownloader>(downloader)] {
      auto self = weak.lock();
      if (!self) return;
      self->cancelAllDownloads();
      self->setSuspended(false);
      self->setRequestModifier(nullptr);
      self->setResponseModifier(nullptr);
      self->setDecryptor(nullptr);
      MutexLock lock(self->HTTPHeadersLock_);
      self->HTTPHeaders_ = std::make_shared<const NSHTTPHeaderFields>(defaultHTTPHeaders());
    });
    return downloader;
  }());
  return *shared;
}

std::shared_ptr<ILRemoteImageDownloader> ILRemoteImageDownloader::create(
    const ILRemoteImageDownloaderConfigPtr& config) {
  auto downloader = std::make_shared<ILRemoteImageDownloader>(config);
  downloader->makeSession();
  downloader->observeOperationNotifications();
  return downloader;
}

ILRemoteImageDownloader::ILRemoteImageDownloader(const ILRemoteImageDownloaderConfigPtr& config)
    : config_((config ? config : ILRemoteImageDownloaderConfig::defaultDownloaderConfig())->copy()),
      downloadQueue_(std::make_shared<NSOperationQueue>()),
      HTTPHeaders_(std::make_shared<const NSHTTPHeaderFields>(defaultHTTPHeaders())) {
  downloadQueue_->setMaxConcurrentOperationCount(config_->maxConcurrentDownloads());
  downloadQueue_->setName("com.quillfern.ILRemoteImageDownloader.downloadQueue");
  // A download's start only sets its task going; most finish on the
  // session's delegate queue, which starts the next one without waking a
  // worker for it.
  downloadQueue_->setStartsWhereOthersFinish(true);
  config_->addObserver(this, "maxConcurrentDownloads", NSKeyValueObservingOptionNew,
                       const_cast<char*>(&kMaxConcurrentDownloadsContext));
}

ILRemoteImageDownloader::~ILRemoteImageDownloader() {
  NSNotificationCenter::defaultCenter().removeObserver(this);
  downloadQueue_->cancelAllOperations();
  config_->removeObserver(this, "maxConcurrentDownloads",
                          const_cast<char*>(&kMaxConcurrentDownloadsContext));
  NSURLSessionPtr session;
  {
    MutexLock lock(sessionLock_);
    session = std::move(session_);
  }
  if (session) session->invalidateAndCancel();
}

void ILRemoteImageDownloader::makeSession() {
  NSURLSessionConfiguration configuration = config_->sessionConfiguration.value_or(
      NSURLSessionConfiguration::defaultSessionConfiguration());
  auto proxy = std::make_shared<ILSessionDelegateProxy>(
      std::static_pointer_cast<NSURLSessionDataDelegate>(SharedFromThis(this)));
  MutexLock lock(sessionLock_);
  session_ = NSURLSession::sessionWithConfiguration(configuration, proxy);
}

void ILRemoteImageDownloader::observeOperationNotifications() {
  std::weak_ptr<ILRemoteImageDownloader> weakSelf = WeakFromThis(this);
  NSNotificationCenter& center = NSNotificationCenter::defaultCenter();
  center.addObserver(this, ILRemoteImageDownloadReceiveResponseNotification, nullptr,
                     [weakSelf](const NSNotification& notification) {
                       if (auto self = weakSelf.lock()) self->operationNotified(notification, true);
                     });
  center.addObserver(this, ILRemoteImageDownloadStopNotification, nullptr,
                     [weakSelf](const NSNotification& notification) {
                       if (auto self = weakSelf.lock())
                         self->operationNotified(notification, false);
                     });
}

void ILRemoteImageDownloader::fileListeningToken(const ILRemoteImageDownloadTokenPtr& token,
                                                 const NSObject* operation) {
  token->downloader_ = WeakFromThis(this);
  token->listeningKey_ = operation;
  MutexLock lock(listeningLock_);
  listeningTokens_[operation].push_back({token.get(), token});
}

void ILRemoteImageDownloader::unfileListeningToken(const ILRemoteImageDownloadToken* token) {
  MutexLock lock(listeningLock_);
  auto it = listeningTokens_.find(token->listeningKey_);
  if (it == listeningTokens_.end()) return;
  std::erase_if(it->second, [token](const ListeningToken& entry) { return entry.token == token; });
  if (it->second.empty()) listeningTokens_.erase(it);
}

size_t ILRemoteImageDownloader::listeningTokenCount() const {
  MutexLock lock(listeningLock_);
  size_t count = 0;
  for (const auto& [operation, tokens] : listeningTokens_) count += tokens.size();
  return count;
}

size_t ILRemoteImageDownloader::routedTaskCount() const {
  MutexLock lock(routesLock_);
  return taskRoutes_.size();
}

void ILRemoteImageDownloader::operationNotified(const NSNotification& notification, bool response) {
  const NSObject* sender = notification.object.get();
  if (!sender) return;
  std::vector<ILRemoteImageDownloadTokenPtr> tokens;
  {
    MutexLock lock(listeningLock_);
    auto it = listeningTokens_.find(sender);
    if (it == listeningTokens_.end()) return;
    tokens.reserve(it->second.size());
    for (const ListeningToken& entry : it->second) {
      if (auto token = entry.weak.lock()) tokens.push_back(std::move(token));
    }
  }
  // Released outside the lock: a token's last release unfiles it.
  for (const ILRemoteImageDownloadTokenPtr& token : tokens) {
    // A token whose operation has gone hears nothing: the sender may be a
    // newer operation that took its address.
    auto operation = token->downloadOperation_.lock();
    if (!operation) continue;
    if (response) {
      NSHTTPURLResponsePtr received = operation->response();
      MutexLock lock(token->lock_);
      token->response_ = std::move(received);
    } else if (NSURLSessionTaskMetricsPtr metrics = operation->metrics()) {
      MutexLock lock(token->lock_);
      token->metrics_ = std::move(metrics);
    }
  }
}

NSHTTPHeaderFields ILRemoteImageDownloader::defaultHTTPHeaders() {
  NSHTTPHeaderFields headers;
  headers["User-Agent"] = userAgent();
  headers["Accept"] = "image/*,*/*;q=0.8";
  return headers;
}

void ILRemoteImageDownloader::observeValueForKeyPath(const std::string& keyPath, NSObject*,
                                                     const Value&, void* context) {
  if (context != &kMaxConcurrentDownloadsContext || keyPath != "maxConcurrentDownloads") return;
  downloadQueue_->setMaxConcurrentOperationCount(config_->maxConcurrentDownloads());
}

// MARK: Hooks and headers

ILRemoteImageDownloaderRequestModifierPtr ILRemoteImageDownloader::requestModifier() const {
  MutexLock lock(hooksLock_);
  return requestModifier_;
}

void ILRemoteImageDownloader::setRequestModifier(ILRemoteImageDownloaderRequestModifierPtr modifier) {
  MutexLock lock(hooksLock_);
  requestModifier_ = std::move(modifier);
}

ILRemoteImageDownloaderResponseModifierPtr ILRemoteImageDownloader::responseModifier() const {
  MutexLock lock(hooksLock_);
  return responseModifier_;
}

void ILRemoteImageDownloader::setResponseModifier(
    ILRemoteImageDownloaderResponseModifierPtr modifier) {
  MutexLock lock(hooksLock_);
  responseModifier_ = std::move(modifier);
}

ILRemoteImageDownloaderDecryptorPtr ILRemoteImageDownloader::decryptor() const {
  MutexLock lock(hooksLock_);
  return decryptor_;
}

void ILRemoteImageDownloader::setDecryptor(ILRemoteImageDownloaderDecryptorPtr decryptor) {
  MutexLock lock(hooksLock_);
  decryptor_ = std::move(decryptor);
}

void ILRemoteImageDownloader::setValueForHTTPHeaderField(std::optional<std::string> value,
                                                         const std::string& field) {
  if (field.empty()) return;
  MutexLock lock(HTTPHeadersLock_);
  // Requests made earlier hold the old map; they keep the fields they were
  // made with, so a change builds a new one.
  auto headers = std::make_shared<NSHTTPHeaderFields>(*HTTPHeaders_);
  if (value) {
    (*headers)[field] = *value;
  } else {
    headers->erase(field);
  }
  HTTPHeaders_ = std::move(headers);
}

std::optional<std::string> ILRemoteImageDownloader::valueForHTTPHeaderField(
    const std::string& field) const {
  if (field.empty()) return std::nullopt;
  MutexLock lock(HTTPHeadersLock_);
  auto it = HTTPHeaders_->find(field);
  if (it == HTTPHeaders_->end()) return std::nullopt;
  return it->second;
}

NSHTTPHeaderFields ILRemoteImageDownloader::HTTPHeaders() const { return *sharedHTTPHeaders(); }

NSHTTPHeaderFieldsPtr ILRemoteImageDownloader::sharedHTTPHeaders() const {
  MutexLock lock(HTTPHeadersLock_);
  return HTTPHeaders_;
}

// MARK: Downloads

ILRemoteImageDownloadTokenPtr ILRemoteImageDownloader::downloadImageWithURL(
    const NSURLPtr& url, ILRemoteImageDownloaderCompletedBlock completed) {
  return downloadImageWithURL(url, 0, Value(), nullptr, std::move(completed));
}

ILRemoteImageDownloadTokenPtr ILRemoteImageDownloader::downloadImageWithURL(
    const NSURLPtr& url, ILDownloadOptions options, ILRemoteImageDownloaderProgressBlock progress,
    ILRemoteImageDownloaderCompletedBlock completed) {
  return downloadImageWithURL(url, options, Value(), std::move(progress), std::move(completed));
}

ILRemoteImageDownloadTokenPtr ILRemoteImageDownloader::downloadImageWithURL(
    const NSURLPtr& url, ILDownloadOptions options, const ILRemoteImageContext& context,
    ILRemoteImageDownloaderProgressBlock progress, ILRemoteImageDownloaderCompletedBlock completed) {
  if (!url) {
    if (completed) completed(nullptr, nullptr, nilURLError(), true);
    return nullptr;
  }
  const std::string cacheKey = ILCacheKeyForURL(url, context);
  const Value decodeOptions = ILImageDecodeOptionsFromContext(
      context, ILImageOptionsFromDownloaderOptions(options), cacheKey, url.get());
  ILRemoteImageDownloaderOperationProtocolPtr operation;
  std::shared_ptr<NSObject> record;
  {
    MutexLock lock(operationsLock_);
    auto it = URLOperations_.find(url->absoluteString());
    if (it != URLOperations_.end() && !it->second->isFinished() && !it->second->isCancelled()) {
      // The later caller's options and context do not change the transfer.
      // An operation that has given its last answers turns callers away.
      record = it->second->addHandlersForProgress(progress, completed, decodeOptions);
      if (record) operation = it->second;
    }
    if (!operation) {
      operation = makeOperation(url, options, context, &decodeOptions);
      if (!operation) {
        if (completed) {
          completed(nullptr, nullptr,
                    ILRemoteImageError(ILRemoteImageErrorInvalidDownloadOperation,
                                       "Downloader operation is nil"),
                    true);
        }
        return nullptr;
      }
      std::weak_ptr<ILRemoteImageDownloader> weakSelf = WeakFromThis(this);
      std::weak_ptr<ILRemoteImageDownloaderOperationProtocol> weakOperation = operation;
      // The URL, not a copy of its text: the map's key is then the one copy.
      operation->setCompletionBlock([weakSelf, weakOperation, url] {
        auto self = weakSelf.lock();
        if (!self) return;
        MutexLock lock(self->operationsLock_);
        auto it = self->URLOperations_.find(url->absoluteString());
        // A newer operation may have taken the URL's place meanwhile.
        if (it != self->URLOperations_.end() && it->second == weakOperation.lock()) {
          self->URLOperations_.erase(it);
        }
      });
      // Nothing has changed the map since the look-up: its place is reused.
      if (it != URLOperations_.end()) {
        it->second = operation;
      } else {
        URLOperations_.emplace(url->absoluteString(), operation);
      }
      // Handlers first, so that no event of the new operation is missed.
      record = operation->addHandlersForProgress(std::move(progress), completed, decodeOptions);
      downloadQueue_->addOperation(operation);
    }
  }
  auto token = std::make_shared<ILRemoteImageDownloadToken>(operation);
  token->url_ = url;
  token->request_ = operation->request();
  {
    MutexLock lock(token->lock_);
    token->cancelToken_ = record;
  }
  fileListeningToken(token, operation.get());
  return token;
}

ILRemoteImageDownloaderOperationProtocolPtr ILRemoteImageDownloader::createDownloaderOperationWithUrl(
    const NSURLPtr& url, ILDownloadOptions options, const ILRemoteImageContext& context) {
  return makeOperation(url, options, context, nullptr);
}

ILRemoteImageDownloaderOperationProtocolPtr ILRemoteImageDownloader::makeOperation(
    const NSURLPtr& url, ILDownloadOptions options, const ILRemoteImageContext& context,
    const Value* decodeOptions) {
  const double timeout = config_->downloadTimeout > 0
                             ? config_->downloadTimeout
                             : ILRemoteImageDownloaderConfig::kDefaultDownloadTimeout;
  const auto policy = (options & ILDownloadUseURLCache)
                          ? NSURLRequestCachePolicy::UseProtocolCachePolicy
                          : NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData;
  auto mutableRequest = std::make_shared<NSMutableURLRequest>(url, policy, timeout);
  mutableRequest->setHTTPShouldHandleCookies((options & ILDownloadHandleCookies) != 0);
  mutableRequest->setAllHTTPHeaderFields(sharedHTTPHeaders());
  NSURLRequestPtr request = mutableRequest;

  auto requestModifier = ILContextObject<ILRemoteImageDownloaderRequestModifierProtocol>(
      context, ILRemoteImageContextDownloadRequestModifier);
  if (!requestModifier) requestModifier = this->requestModifier();
  if (requestModifier) {
    NSURLRequestPtr modified = requestModifier->modifiedRequestWithRequest(request);
    if (!modified) return nullptr;
    request = modified->mutableCopy();
  }

  // The operation reads its response modifier and decryptor from its context.
  ILRemoteImageContext operationContext = context;
  auto responseModifier = ILContextObject<ILRemoteImageDownloaderResponseModifierProtocol>(
      context, ILRemoteImageContextDownloadResponseModifier);
  if (!responseModifier) responseModifier = this->responseModifier();
  if (responseModifier) {
    operationContext = ILContextSetting(operationContext, ILRemoteImageContextDownloadResponseModifier,
                                        Value(std::static_pointer_cast<NSObject>(responseModifier)));
  }
  auto decryptor = ILContextObject<ILRemoteImageDownloaderDecryptorProtocol>(
      context, ILRemoteImageContextDownloadDecryptor);
  if (!decryptor) decryptor = this->decryptor();
  if (decryptor) {
    operationContext = ILContextSetting(operationContext, ILRemoteImageContextDownloadDecryptor,
                                        Value(std::static_pointer_cast<NSObject>(decryptor)));
  }

  NSURLSessionPtr session;
  {
    MutexLock lock(sessionLock_);
    session = session_;
  }
  ILRemoteImageDownloaderOperationProtocolPtr operation;
  if (config_->operationClass) {
    operation = config_->operationClass(request, session, options, operationContext);
  } else {
    // The decode options made for the caller's URL serve the operation too
    // unless a request modifier sent it elsewhere; the keys the operation's
    // context adds (response modifier, decryptor) play no part in them.
    const NSURLPtr& requestURL = request->URL();
    const bool sameURL =
        decodeOptions && requestURL &&
        (requestURL == url || requestURL->absoluteString() == url->absoluteString());
    operation = std::make_shared<ILRemoteImageDownloaderOperation>(
        request, session, options, operationContext, sameURL ? *decodeOptions : Value());
  }
  if (!operation) return nullptr;
  if (config_->urlCredential) {
    operation->setCredential(config_->urlCredential);
  } else if (config_->username && config_->password) {
    operation->setCredential(NSURLCredential::credentialWithUser(
        *config_->username, *config_->password, NSURLCredentialPersistence::ForSession));
  }
  operation->setMinimumProgressInterval(config_->minimumProgressInterval);
  operation->setAcceptableStatusCodes(config_->acceptableStatusCodes);
  operation->setAcceptableContentTypes(config_->acceptableContentTypes);

  if (options & ILDownloadHighPriority) {
    operation->setQueuePriority(NSOperationQueuePriorityHigh);
  } else if (options & ILDownloadLowPriority) {
    operation->setQueuePriority(NSOperationQueuePriorityLow);
  }
  // Last in first out: everything already waiting runs after the newest
  // request, as if each depended on it. The queue keeps that itself; a
  // dependency per waiting operation on every request would cost a step per
  // waiting operation each time, and a rescan of them all on each change.
  downloadQueue_->setHoldsWaitingBehindNewest(config_->executionOrder ==
                                              ILDownloadLIFOExecutionOrder);
  return operation;
}

void ILRemoteImageDownloader::cancelAllDownloads() { downloadQueue_->cancelAllOperations(); }

bool ILRemoteImageDownloader::isSuspended() const { return downloadQueue_->isSuspended(); }

void ILRemoteImageDownloader::setSuspended(bool suspended) {
  downloadQueue_->setSuspended(suspended);
}

int64_t ILRemoteImageDownloader::currentDownloadCount() const {
  return downloadQueue_->operationCount();
}

NSURLSessionConfiguration ILRemoteImageDownloader::sessionConfiguration() const {
  MutexLock lock(sessionLock_);
  return session_ ? session_->configuration()
                  : NSURLSessionConfiguration::defaultSessionConfiguration();
}

void ILRemoteImageDownloader::invalidateSessionAndCancel(bool cancelPendingOperations) {
  if (isShared_) return;
  NSURLSessionPtr session;
  {
    MutexLock lock(sessionLock_);
    session = session_;
  }
  if (!session) return;
  if (cancelPendingOperations) {
    session->invalidateAndCancel();
  } else {
    session->finishTasksAndInvalidate();
  }
}

// MARK: Loader

bool ILRemoteImageDownloader::canRequestImageForURL(const NSURLPtr& url) { return url != nullptr; }

std::optional<bool> ILRemoteImageDownloader::canRequestImageForURL(const NSURLPtr& url,
                                                                   ILRemoteImageOptions,
                                                                   const ILRemoteImageContext&) {
  return url != nullptr;
}

ILDownloadOptions ILRemoteImageDownloader::downloaderOptionsFromImageOptions(
    ILRemoteImageOptions options, const ILRemoteImageContext& context) {
  ILDownloadOptions result = 0;
  if (options & ILLoadLowPriority) result |= ILDownloadLowPriority;
  if (options & ILLoadProgressive) result |= ILDownloadProgressive;
  if (options & ILLoadRefreshCached) result |= ILDownloadUseURLCache;
  result |= options & (ILLoadContinueInBackground | ILLoadHandleCookies |
                       ILLoadAllowInvalidCertificates | ILLoadHighPriority);
  if (options & ILLoadScaleDownLargeImages) result |= ILDownloadScaleDownLargeImages;
  constexpr ILRemoteImageOptions kDecodeBits = ILLoadAvoidDecodeImage | ILLoadDecodeFirstFrameOnly |
                                               ILLoadPreloadAllFrames | ILLoadMatchAnimatedImageClass;
  result |= (options & kDecodeBits) >> 9;
  if (ILContextValue(context, ILRemoteImageContextLoaderCachedImage) &&
      (options & ILLoadRefreshCached)) {
    // A cached image is on screen already: no half-decoded stages over it,
    // and an unchanged body is not delivered again.
    result &= ~ILDownloadProgressive;
    result |= ILDownloadIgnoreCachedResponse;
  }
  return result;
}

ILRemoteImageOperationPtr ILRemoteImageDownloader::requestImageWithURL(
    const NSURLPtr& url, ILRemoteImageOptions options, const ILRemoteImageContext& context,
    ILImageLoaderProgressBlock progress, ILImageLoaderCompletedBlock completed) {
  return downloadImageWithURL(url, downloaderOptionsFromImageOptions(options, context), context,
                              std::move(progress), std::move(completed));
}

bool ILRemoteImageDownloader::shouldBlockFailedURL(const NSURLPtr& url, const NSErrorPtr& error) {
  return *shouldBlockFailedURL(url, error, 0, Value());
}

std::optional<bool> ILRemoteImageDownloader::shouldBlockFailedURL(const NSURLPtr&,
                                                                  const NSErrorPtr& error,
                                                                  ILRemoteImageOptions,
                                                                  const ILRemoteImageContext&) {
  if (!error) return false;
  if (error->domain() == ILRemoteImageErrorDomain) {
    return error->code() == ILRemoteImageErrorInvalidURL ||
           error->code() == ILRemoteImageErrorBadImageData;
  }
  if (error->domain() == NSURLErrorDomain) {
    // Failures that may pass when the network comes back do not block.
    switch (error->code()) {
      case NSURLErrorNotConnectedToInternet:
      case NSURLErrorCancelled:
      case NSURLErrorTimedOut:
      case NSURLErrorInternationalRoamingOff:
      case NSURLErrorDataNotAllowed:
      case NSURLErrorCannotFindHost:
      case NSURLErrorCannotConnectToHost:
      case NSURLErrorNetworkConnectionLost:
        return false;
      default:
        return true;
    }
  }
  return false;
}

// MARK: Session delegate

ILRemoteImageDownloaderOperationProtocolPtr ILRemoteImageDownloader::operationForTask(
    const NSURLSessionDataTaskPtr& task, bool last) {
  if (!task) return nullptr;
  std::shared_ptr<ILRemoteImageDownloaderOperation> routed;
  {
    MutexLock lock(routesLock_);
    // Few tasks run at once: a look along them beats hashing.
    for (auto it = taskRoutes_.begin(); it != taskRoutes_.end(); ++it) {
      if (it->task != task.get()) continue;
      routed = it->operation.lock();
      // An operation that has let go of the task (cancelled, or ended) is
      // not its target any more: the look-up answers as it would have.
      if (routed && routed->runsTask(task.get()) && !last) return routed;
      *it = std::move(taskRoutes_.back());
      taskRoutes_.pop_back();
      break;
    }
  }
  if (routed && routed->runsTask(task.get())) return routed;
  ILRemoteImageDownloaderOperationProtocolPtr operation = searchOperationForTask(task);
  const auto* found = operation.get();
  if (found && !last && typeid(*found) == typeid(ILRemoteImageDownloaderOperation)) {
    MutexLock lock(routesLock_);
    taskRoutes_.push_back(
        {task.get(), std::static_pointer_cast<ILRemoteImageDownloaderOperation>(operation)});
  }
  return operation;
}

ILRemoteImageDownloaderOperationProtocolPtr ILRemoteImageDownloader::searchOperationForTask(
    const NSURLSessionDataTaskPtr& task) {
  const uint64_t identifier = task->taskIdentifier();
  // The URL's own operation is almost always the one: look there first.
  if (const NSURLRequestPtr& request = task->originalRequest(); request && request->URL()) {
    MutexLock lock(operationsLock_);
    auto it = URLOperations_.find(request->URL()->absoluteString());
    if (it != URLOperations_.end()) {
      NSURLSessionDataTaskPtr running = it->second->dataTask();
      if (running && running->taskIdentifier() == identifier) return it->second;
    }
  }
  for (const auto& queued : downloadQueue_->operations()) {
    auto operation = std::dynamic_pointer_cast<ILRemoteImageDownloaderOperationProtocol>(queued);
    if (!operation) continue;
    NSURLSessionDataTaskPtr running = operation->dataTask();
    if (running && running->taskIdentifier() == identifier) return operation;
  }
  return nullptr;
}

void ILRemoteImageDownloader::didCompleteWithError(const NSURLSessionPtr& session,
                                                   const NSURLSessionDataTaskPtr& task,
                                                   const NSErrorPtr& error) {
  if (auto target = operationForTask(task, /*last=*/true)) {
    target->didCompleteWithError(session, task, error);
  }
}

// Session delegate: each call goes to the operation running the task.
std::shared_ptr<NSURLSessionDataDelegate> ILRemoteImageDownloader::forwardingTarget(
    const NSURLSessionDataTaskPtr& task) {
  return operationForTask(task);
}
