#pragma once

// Turns an image URL into one network download and hands every interested
// caller a token. Each URL being fetched has exactly one live operation; a
// second request for it while that runs joins the operation instead of
// starting another transfer. The downloader is also an image loader for the
// image manager.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "image_loading/cache/ILImageLoadersManager.h"
#include "image_loading/downloader/ILRemoteImageDownloaderConfig.h"
#include "image_loading/downloader/ILRemoteImageDownloaderOperation.h"
#include "image_loading/downloader/ILRemoteImageDownloaderRequestModifier.h"
#include "image_loading/downloader/ILSessionDelegateProxy.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/NSOperation.h"
#include "platform/foundation/ThreadChecks.h"

class ILRemoteImageDownloader;

// One caller's handle on a download.
class ILRemoteImageDownloadToken : public NSObject, public ILRemoteImageOperation {
 public:
  explicit ILRemoteImageDownloadToken(const ILRemoteImageDownloaderOperationProtocolPtr& operation);
  ~ILRemoteImageDownloadToken() override;

  NSURLPtr url() const { return url_; }
  NSURLRequestPtr request() const { return request_; }
  // Known once the response arrived (told on the main queue).
  NSHTTPURLResponsePtr response() const;
  // Known once the download stopped, when the operation collects them.
  NSURLSessionTaskMetricsPtr metrics() const;
  ILRemoteImageDownloaderOperationProtocolPtr downloadOperation() const {
    return downloadOperation_.lock();
  }
  std::shared_ptr<NSObject> downloadOperationCancelToken() const;
  bool isCancelled() const;
  // Leaves the download; the caller's completion gets the cancellation
  // error unless it already has its answer. A second cancel does nothing.
  void cancel() override;

 private:
  friend class ILRemoteImageDownloader;
  mutable Mutex lock_;
  NSURLPtr url_;
  NSURLRequestPtr request_;
  NSHTTPURLResponsePtr response_ GUARDED_BY(lock_);
  NSURLSessionTaskMetricsPtr metrics_ GUARDED_BY(lock_);
  std::weak_ptr<ILRemoteImageDownloaderOperationProtocol> downloadOperation_;
  std::weak_ptr<NSObject> cancelToken_ GUARDED_BY(lock_);
  bool cancelled_ GUARDED_BY(lock_) = false;
  // Where the token is filed to hear its operation's response and stop
  // notifications; it leaves that file when it goes.
  std::weak_ptr<ILRemoteImageDownloader> downloader_;
  const NSObject* listeningKey_ = nullptr;
};
using ILRemoteImageDownloadTokenPtr = std::shared_ptr<ILRemoteImageDownloadToken>;

class ILRemoteImageDownloader : public NSObject,
                                public ILImageLoader,
                                public ILSessionForwardingDelegate,
                                public NSKeyValueObserver {
 public:
  // The process-wide downloader with the default configuration.
  static std::shared_ptr<ILRemoteImageDownloader> sharedDownloader();
  // A copy of the configuration is kept; none means the shared default.
  static std::shared_ptr<ILRemoteImageDownloader> create(
      const ILRemoteImageDownloaderConfigPtr& config = nullptr);
  ~ILRemoteImageDownloader() override;

  static ILRemoteImageOptions imageOptionsFromDownloaderOptions(ILDownloadOptions options) {
    return ILImageOptionsFromDownloaderOptions(options);
  }

  const ILRemoteImageDownloaderConfigPtr& config() const { return config_; }
  ILRemoteImageDownloaderRequestModifierPtr requestModifier() const;
  void setRequestModifier(ILRemoteImageDownloaderRequestModifierPtr modifier);
  ILRemoteImageDownloaderResponseModifierPtr responseModifier() const;
  void setResponseModifier(ILRemoteImageDownloaderResponseModifierPtr modifier);
  ILRemoteImageDownloaderDecryptorPtr decryptor() const;
  void setDecryptor(ILRemoteImageDownloaderDecryptorPtr decryptor);

  // nullopt removes the field.
  void setValueForHTTPHeaderField(std::optional<std::string> value, const std::string& field);
  std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const;
  NSHTTPHeaderFields HTTPHeaders() const;

  // nullptr for no URL or when no operation could be made; the completion
  // has been told why.
  ILRemoteImageDownloadTokenPtr downloadImageWithURL(const NSURLPtr& url,
                                                     ILRemoteImageDownloaderCompletedBlock completed);
  ILRemoteImageDownloadTokenPtr downloadImageWithURL(const NSURLPtr& url, ILDownloadOptions options,
                                                     ILRemoteImageDownloaderProgressBlock progress,
                                                     ILRemoteImageDownloaderCompletedBlock completed);
  ILRemoteImageDownloadTokenPtr downloadImageWithURL(const NSURLPtr& url, ILDownloadOptions options,
                                                     const ILRemoteImageContext& context,
                                                     ILRemoteImageDownloaderProgressBlock progress,
                                                     ILRemoteImageDownloaderCompletedBlock completed);
  ILRemoteImageDownloaderOperationProtocolPtr createDownloaderOperationWithUrl(
      const NSURLPtr& url, ILDownloadOptions options, const ILRemoteImageContext& context);

  void cancelAllDownloads();
  bool isSuspended() const;
  void setSuspended(bool suspended);
  int64_t currentDownloadCount() const;
  const NSOperationQueuePtr& downloadQueue() const { return downloadQueue_; }
  // Tokens alive that hear their operations' response and stop.
  size_t listeningTokenCount() const;
  // Tasks whose session calls go straight to their operation.
  size_t routedTaskCount() const;
  NSURLSessionConfiguration sessionConfiguration() const;
  // Not on the shared downloader. true cancels running transfers; false
  // lets them finish first.
  void invalidateSessionAndCancel(bool cancelPendingOperations);

  // ILImageLoader.
  bool canRequestImageForURL(const NSURLPtr& url) override;
  std::optional<bool> canRequestImageForURL(const NSURLPtr& url, ILRemoteImageOptions options,
                                            const ILRemoteImageContext& context) override;
  ILRemoteImageOperationPtr requestImageWithURL(const NSURLPtr& url, ILRemoteImageOptions options,
                                                const ILRemoteImageContext& context,
                                                ILImageLoaderProgressBlock progress,
                                                ILImageLoaderCompletedBlock completed) override;
  bool shouldBlockFailedURL(const NSURLPtr& url, const NSErrorPtr& error) override;
  std::optional<bool> shouldBlockFailedURL(const NSURLPtr& url, const NSErrorPtr& error,
                                           ILRemoteImageOptions options,
                                           const ILRemoteImageContext& context) override;
  // The download options a load's options ask for.
  static ILDownloadOptions downloaderOptionsFromImageOptions(ILRemoteImageOptions options,
                                                             const ILRemoteImageContext& context);

  void observeValueForKeyPath(const std::string& keyPath, NSObject* object, const Value& change,
                              void* context) override;
  std::string className() const override { return "ILRemoteImageDownloader"; }

  // Public for make_shared; use create().
  explicit ILRemoteImageDownloader(const ILRemoteImageDownloaderConfigPtr& config);

 private:
  friend class ILRemoteImageDownloadToken;  // unfiles itself when it goes
  void makeSession();
  // One observer per downloader for each of the two notifications a token
  // follows, handing them to the tokens filed under the sending operation:
  // two registrations per token cost more than the download's own
  // bookkeeping.
  void observeOperationNotifications();
  void fileListeningToken(const ILRemoteImageDownloadTokenPtr& token, const NSObject* operation);
  void unfileListeningToken(const ILRemoteImageDownloadToken* token);
  void operationNotified(const NSNotification& notification, bool response);
  static NSHTTPHeaderFields defaultHTTPHeaders();
  NSHTTPHeaderFieldsPtr sharedHTTPHeaders() const;
  // Session delegate: each call goes to the operation running the task.
  std::shared_ptr<NSURLSessionDataDelegate> forwardingTarget(const NSURLSessionDataTaskPtr& task) override;
  // A task's end is the last call the session makes for it: its route goes.
  void didCompleteWithError(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                            const NSErrorPtr& error) override;
  // `last`: the task's final call, after which its route is not kept.
  ILRemoteImageDownloaderOperationProtocolPtr operationForTask(const NSURLSessionDataTaskPtr& task,
                                                               bool last = false);
  // Looks the task up by its URL and among the queued operations.
  ILRemoteImageDownloaderOperationProtocolPtr searchOperationForTask(
      const NSURLSessionDataTaskPtr& task);
  // `decodeOptions`, when given, are those made for `url` and `context`.
  ILRemoteImageDownloaderOperationProtocolPtr makeOperation(const NSURLPtr& url,
                                                            ILDownloadOptions options,
                                                            const ILRemoteImageContext& context,
                                                            const Value* decodeOptions);

  const ILRemoteImageDownloaderConfigPtr config_;
  const NSOperationQueuePtr downloadQueue_;
  bool isShared_ = false;

  Mutex operationsLock_;
  std::unordered_map<std::string, ILRemoteImageDownloaderOperationProtocolPtr> URLOperations_
      GUARDED_BY(operationsLock_);

  mutable Mutex HTTPHeadersLock_;
  NSHTTPHeaderFieldsPtr HTTPHeaders_ GUARDED_BY(HTTPHeadersLock_);

  mutable Mutex hooksLock_;
  ILRemoteImageDownloaderRequestModifierPtr requestModifier_ GUARDED_BY(hooksLock_);
  ILRemoteImageDownloaderResponseModifierPtr responseModifier_ GUARDED_BY(hooksLock_);
  ILRemoteImageDownloaderDecryptorPtr decryptor_ GUARDED_BY(hooksLock_);

  mutable Mutex listeningLock_;
  struct ListeningToken {
    const ILRemoteImageDownloadToken* token;
    std::weak_ptr<ILRemoteImageDownloadToken> weak;
  };
  std::unordered_map<const NSObject*, std::vector<ListeningToken>> listeningTokens_
      GUARDED_BY(listeningLock_);

  // Each task's operation once found, so that the calls after the first
  // (a download brings about five) skip the URL's look-up. A route is used
  // only while its operation still runs that task, and only operations of
  // the downloader's own class are routed so, since they let go of the task
  // before they count as finished; others are looked up each time.
  struct TaskRoute {
    const NSURLSessionDataTask* task;
    std::weak_ptr<ILRemoteImageDownloaderOperation> operation;
  };
  mutable Mutex routesLock_;
  std::vector<TaskRoute> taskRoutes_ GUARDED_BY(routesLock_);

  mutable Mutex sessionLock_;
  NSURLSessionPtr session_ GUARDED_BY(sessionLock_);
};
using ILRemoteImageDownloaderPtr = std::shared_ptr<ILRemoteImageDownloader>;
