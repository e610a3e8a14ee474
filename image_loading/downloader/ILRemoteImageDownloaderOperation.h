#pragma once

// One URL-session data task for one request, shared by every caller that
// asked for that URL while it runs. Callers join with their progress and
// completion blocks and leave with their token; each caller's completion
// runs exactly once with finished == true (progressive stages before it run
// with finished == false). The body is decoded on the operation's serial
// coder queue, once per distinct set of decode options.

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "image_loading/cache/ILImageLoadersManager.h"
#include "image_loading/downloader/ILRemoteImageDefine.h"
#include "image_loading/downloader/ILRemoteImageDownloaderDecryptor.h"
#include "image_loading/downloader/ILRemoteImageDownloaderResponseModifier.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSOperation.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/Value.h"
#include "platform/network/NSURLSession.h"

// Notifications, posted on the main queue with the operation as object.
extern const char* const ILRemoteImageDownloadStartNotification;
extern const char* const ILRemoteImageDownloadReceiveResponseNotification;
extern const char* const ILRemoteImageDownloadStopNotification;
extern const char* const ILRemoteImageDownloadFinishNotification;

using ILRemoteImageDownloaderProgressBlock = ILImageLoaderProgressBlock;
using ILRemoteImageDownloaderCompletedBlock = ILImageLoaderCompletedBlock;
// Status codes that count as success: sorted, each once. A copy is one
// allocation (the default set holds a hundred codes and every operation
// gets one).
class ILStatusCodeSet {
 public:
  ILStatusCodeSet() = default;
  ILStatusCodeSet(std::initializer_list<int64_t> codes);
  void insert(int64_t code);
  // 1 when the set holds the code, else 0.
  size_t count(int64_t code) const;
  size_t size() const { return codes_.size(); }
  bool operator==(const ILStatusCodeSet& other) const = default;

 private:
  std::vector<int64_t> codes_;
};
using ILContentTypeSet = std::set<std::string>;

// One caller of an operation.
class ILRemoteImageDownloaderOperationToken : public NSObject {
 public:
  ILRemoteImageDownloaderOperationToken(ILRemoteImageDownloaderProgressBlock progress,
                                        ILRemoteImageDownloaderCompletedBlock completed,
                                        Value decodeOptions)
      : progressBlock(std::move(progress)),
        completedBlock(std::move(completed)),
        decodeOptions(std::move(decodeOptions)) {}

  // Equal when the same object, or when both carry equal decode options.
  bool isEqual(const NSObject& other) const override;

  const ILRemoteImageDownloaderProgressBlock progressBlock;
  const ILRemoteImageDownloaderCompletedBlock completedBlock;
  const Value decodeOptions;

 private:
  friend class ILRemoteImageDownloaderOperation;
  // Set once the caller's final answer is on its way; guarded by the
  // operation's lock.
  bool answered_ = false;
};
using ILRemoteImageDownloaderOperationTokenPtr =
    std::shared_ptr<ILRemoteImageDownloaderOperationToken>;

// What the downloader needs of an operation class. Being an NSOperation is
// part of the type, so a class that is not one cannot be named. The session
// delegate methods default to letting the transfer go on unhandled.
class ILRemoteImageDownloaderOperationProtocol : public NSOperation,
                                                 public NSURLSessionDataDelegate {
 public:
  // nullptr when all three are empty, or when the operation takes no more
  // callers (it has given its last answers).
  virtual std::shared_ptr<NSObject> addHandlersForProgress(
      ILRemoteImageDownloaderProgressBlock progress,
      ILRemoteImageDownloaderCompletedBlock completed, Value decodeOptions) = 0;
  // One caller leaves; true when that cancelled the whole operation.
  virtual bool cancel(const std::shared_ptr<NSObject>& token) = 0;
  using NSOperation::cancel;
  virtual NSURLRequestPtr request() const = 0;
  virtual NSHTTPURLResponsePtr response() const = 0;

  // Optional: classes that do not track a task answer nullptr, and the
  // settings are ignored by classes that have no use for them.
  virtual NSURLSessionDataTaskPtr dataTask() const { return nullptr; }
  virtual NSURLSessionTaskMetricsPtr metrics() const { return nullptr; }
  virtual void setCredential(NSURLCredentialPtr) {}
  virtual void setMinimumProgressInterval(double) {}
  virtual void setAcceptableStatusCodes(std::optional<ILStatusCodeSet>) {}
  virtual void setAcceptableContentTypes(std::optional<ILContentTypeSet>) {}
};
using ILRemoteImageDownloaderOperationProtocolPtr =
    std::shared_ptr<ILRemoteImageDownloaderOperationProtocol>;

class ILRemoteImageDownloaderOperation : public ILRemoteImageDownloaderOperationProtocol {
 public:
  // The first reservation for a body of announced length: a larger claim
  // grows the buffer as the bytes really arrive.
  static constexpr size_t kMaxInitialBufferReservation = 8u << 20;
  // A whole body up to this size, whose header announces at most
  // kInlineDecodePixelLimit pixels over all its frames, is decoded on the
  // delegate queue when the coder queue is idle and the context names no
  // coder of its own, instead of on the coder queue. Bytes say little of the
  // work: a few kilobytes of PNG may hold tens of millions of pixels.
  static constexpr size_t kInlineDecodeLimit = 32u << 10;
  static constexpr uint64_t kInlineDecodePixelLimit = 512u * 512u;

  ILRemoteImageDownloaderOperation(NSURLRequestPtr request, const NSURLSessionPtr& session,
                                   ILDownloadOptions options, ILRemoteImageContext context);
  // `decodeOptions`: what ILImageDecodeOptionsFromContext gives for this
  // context, options and the request URL's cache key, when the caller has
  // them made already (they are not made a second time); null to have them
  // made here.
  ILRemoteImageDownloaderOperation(NSURLRequestPtr request, const NSURLSessionPtr& session,
                                   ILDownloadOptions options, ILRemoteImageContext context,
                                   Value decodeOptions);
  ~ILRemoteImageDownloaderOperation() override;

  std::shared_ptr<NSObject> addHandlersForProgress(ILRemoteImageDownloaderProgressBlock progress,
                                                   ILRemoteImageDownloaderCompletedBlock completed,
                                                   Value decodeOptions) override;
  std::shared_ptr<NSObject> addHandlersForProgress(ILRemoteImageDownloaderProgressBlock progress,
                                                   ILRemoteImageDownloaderCompletedBlock completed);
  bool cancel(const std::shared_ptr<NSObject>& token) override;
  void cancel() override;
  void start() override;
  bool isAsynchronous() const override { return true; }

  NSURLRequestPtr request() const override { return request_; }
  NSHTTPURLResponsePtr response() const override;
  NSURLSessionDataTaskPtr dataTask() const override;
  NSURLSessionTaskMetricsPtr metrics() const override;
  // Whether `task` is dataTask(), asked without a lock or a copy: for the
  // routing of each session delegate call.
  bool runsTask(const NSURLSessionDataTask* task) const {
    return task && runningTask_.load(std::memory_order_acquire) == task;
  }
  NSURLCredentialPtr credential() const;
  void setCredential(NSURLCredentialPtr credential) override;
  ILDownloadOptions options() const { return options_; }
  const ILRemoteImageContext& context() const { return context_; }
  double minimumProgressInterval() const;
  void setMinimumProgressInterval(double interval) override;
  std::optional<ILStatusCodeSet> acceptableStatusCodes() const;
  void setAcceptableStatusCodes(std::optional<ILStatusCodeSet> codes) override;
  std::optional<ILContentTypeSet> acceptableContentTypes() const;
  void setAcceptableContentTypes(std::optional<ILContentTypeSet> types) override;
  // Callers still waiting for their completion.
  size_t callbackTokenCount() const;
  // Decodes run here, one at a time. Made on first use: a small body
  // decoded on the delegate queue never needs it.
  const NSOperationQueuePtr& coderQueue() const;

  static ILRemoteImageOptions imageOptionsFromDownloaderOptions(ILDownloadOptions options) {
    return ILImageOptionsFromDownloaderOptions(options);
  }

  // Session delegate.
  void didReceiveResponse(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                          const NSHTTPURLResponsePtr& response,
                          NSURLSessionResponseHandler handler) override;
  void didReceiveData(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                      const NSDataPtr& data) override;
  void didCompleteWithError(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                            const NSErrorPtr& error) override;
  void willCacheResponse(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                         const NSCachedURLResponsePtr& proposedResponse,
                         NSURLSessionCacheHandler handler) override;
  void didReceiveChallenge(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                           const NSURLAuthenticationChallengePtr& challenge,
                           NSURLSessionChallengeHandler handler) override;
  void didFinishCollectingMetrics(const NSURLSessionPtr& session,
                                  const NSURLSessionDataTaskPtr& task,
                                  const NSURLSessionTaskMetricsPtr& metrics) override;

  std::string className() const override { return "ILRemoteImageDownloaderOperation"; }

 private:
  using Tokens = std::vector<ILRemoteImageDownloaderOperationTokenPtr>;
  struct CancelState {
    bool began = false;
    bool wasExecuting = false;
    NSURLSessionDataTaskPtr task;
  };

  Tokens tokensSnapshot() const;
  // The callers, when any has ever asked for progress; none otherwise.
  Tokens progressTokens() const;
  // Takes no more callers from now on; the callers it has.
  Tokens closeAndSnapshot();
  // Registered and not answered yet.
  bool isWaiting(const ILRemoteImageDownloaderOperationTokenPtr& token) const;
  // The same, with lock_ held.
  bool isWaitingLocked(const ILRemoteImageDownloaderOperationTokenPtr& token) const REQUIRES(lock_);
  // The one place a caller's final answer is claimed: true only for a token
  // still registered whose final answer has not been given yet.
  bool claimFinalDelivery(const ILRemoteImageDownloaderOperationTokenPtr& token);
  void callCompletionBlocksWithError(const NSErrorPtr& error);
  void callCompletionBlockWithToken(const ILRemoteImageDownloaderOperationTokenPtr& token,
                                    const UIImagePtr& image, const NSDataPtr& data,
                                    const NSErrorPtr& error, bool finished);
  void dispatchCompletion(const ILRemoteImageDownloaderOperationTokenPtr& token, UIImagePtr image,
                          NSDataPtr data, NSErrorPtr error, bool finished) const;
  void reportProgress(const Tokens& tokens, int64_t received, int64_t expected) const;
  void postNotification(const char* name);
  NSDataPtr takeImageData();
  NSDataPtr snapshotImageData() const;
  // Decodes queued or running on the coder queue; 0 while it was never made.
  size_t coderOperationCount() const;
  void queuePartialDecode();
  void startCoderOperationWithImageData(const NSDataPtr& data, const Tokens& pending,
                                        const Tokens& finished);
  // Each pending caller's decode and answer, then the look for callers that
  // joined meanwhile (`all`: every caller answered after this pass).
  void runDecodePass(const NSDataPtr& data, const Tokens& pending, const Tokens& all);
  // Decodes for one caller and gives it its final answer.
  void finishToken(const NSDataPtr& data, const ILRemoteImageDownloaderOperationTokenPtr& token);
  UIImagePtr decodeForToken(const NSDataPtr& data,
                            const ILRemoteImageDownloaderOperationTokenPtr& token);
  void checkDoneWithImageData(const NSDataPtr& data, const Tokens& finished);
  // Cancelling in two halves: the marking under the lock, then the
  // announcements and answers outside it.
  bool beginCancel(CancelState& state) REQUIRES(lock_);
  void finishCancel(CancelState& state);
  void done();
  void reset();

  const NSURLRequestPtr request_;
  const ILDownloadOptions options_;
  const ILRemoteImageContext context_;
  const ILRemoteImageDownloaderResponseModifierPtr responseModifier_;
  const ILRemoteImageDownloaderDecryptorPtr decryptor_;
  // What decoding with context_ itself asks for.
  const Value ownDecodeOptions_;
  // Set once, under coderQueueOnce_; coderQueueMade_ says so without taking
  // anything, for the looks that need no queue when none exists.
  mutable std::once_flag coderQueueOnce_;
  mutable NSOperationQueuePtr coderQueue_;
  mutable std::atomic<bool> coderQueueMade_{false};

  // Stands for the platform's synchronising on the operation: the tokens,
  // the task, the sessions and the response. Re-entered when cancelling the
  // last caller cancels the whole operation. Operation state changes
  // (finished, executing) are announced outside it, since observers of those
  // take the downloader's lock.
  mutable RecursiveMutex lock_;
  Tokens callbackTokens_ GUARDED_BY(lock_);
  // Set once the last answers are decided: a caller joining later would
  // never be answered, so it is turned away (and gets a new operation).
  bool closed_ GUARDED_BY(lock_) = false;
  std::weak_ptr<NSURLSession> unownedSession_ GUARDED_BY(lock_);
  NSURLSessionPtr ownedSession_ GUARDED_BY(lock_);
  NSURLSessionDataTaskPtr dataTask_ GUARDED_BY(lock_);
  // dataTask_'s address, changed with it; while set, dataTask_ keeps the
  // task alive, so no later task can have the same address.
  std::atomic<const NSURLSessionDataTask*> runningTask_{nullptr};
  NSHTTPURLResponsePtr response_ GUARDED_BY(lock_);
  NSURLSessionTaskMetricsPtr metrics_ GUARDED_BY(lock_);
  NSURLCredentialPtr credential_ GUARDED_BY(lock_);
  double minimumProgressInterval_ GUARDED_BY(lock_) = 0;
  std::optional<ILStatusCodeSet> acceptableStatusCodes_ GUARDED_BY(lock_);
  std::optional<ILContentTypeSet> acceptableContentTypes_ GUARDED_BY(lock_);
  std::vector<std::pair<Value, std::weak_ptr<UIImage>>> imageMap_ GUARDED_BY(lock_);

  // The body: appended on the delegate queue, read by partial decodes.
  mutable Mutex dataLock_;
  // The body's last piece, after the pieces set aside when it filled up.
  std::optional<Bytes> imageData_ GUARDED_BY(dataLock_);
  std::vector<NSDataPtr> filled_ GUARDED_BY(dataLock_);
  size_t filledBytes_ GUARDED_BY(dataLock_) = 0;
  NSDataPtr firstChunk_ GUARDED_BY(dataLock_);  // the body while it is one chunk

  // Touched on the session's serial delegate queue only.
  NSDataPtr cachedData_;
  int64_t expectedSize_ = 0;
  int64_t receivedSize_ = 0;
  double previousProgress_ = 0;
  NSErrorPtr responseError_;

  std::atomic<bool> downloadCompleted_{false};
  // Set, under lock_, once a caller with a progress block has joined.
  std::atomic<bool> progressHeard_{false};
};
using ILRemoteImageDownloaderOperationPtr = std::shared_ptr<ILRemoteImageDownloaderOperation>;
