#pragma once

// The URL loading system: sessions running data tasks over libcurl's multi
// interface. Each session owns one thread that drives all of its transfers
// (dispatch has no file-descriptor sources); everything a caller sees arrives
// on the session's serial delegate queue, in order: the response (which the
// delegate must allow before the body flows), the body in chunks as they
// arrive, then exactly one completion.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/OnceCallback.h"
#include "platform/network/NSURLAuthenticationChallenge.h"
#include "platform/network/NSURLCache.h"
#include "platform/network/NSURLError.h"
#include "platform/network/NSURLRequest.h"
#include "platform/network/NSURLSessionTaskMetrics.h"

class NSURLSession;
class NSURLSessionDataTask;
class NSURLSessionEngine;
struct NSURLSessionTaskLoad;
using NSURLSessionPtr = std::shared_ptr<NSURLSession>;
using NSURLSessionDataTaskPtr = std::shared_ptr<NSURLSessionDataTask>;

enum class NSURLSessionResponseDisposition { Cancel = 0, Allow = 1 };
enum class NSURLSessionTaskState { Running = 0, Suspended = 1, Canceling = 2, Completed = 3 };
enum class NSURLSessionAuthChallengeDisposition {
  UseCredential = 0,
  PerformDefaultHandling = 1,
  CancelAuthenticationChallenge = 2,
  RejectProtectionSpace = 3,
};

inline constexpr float NSURLSessionTaskPriorityLow = 0.25f;
inline constexpr float NSURLSessionTaskPriorityDefault = 0.5f;
inline constexpr float NSURLSessionTaskPriorityHigh = 0.75f;

using NSURLSessionDataCompletion =
    OnceCallback<void(NSDataPtr data, NSHTTPURLResponsePtr response, NSErrorPtr error)>;
using NSURLSessionResponseHandler = OnceCallback<void(NSURLSessionResponseDisposition)>;
using NSURLSessionChallengeHandler =
    OnceCallback<void(NSURLSessionAuthChallengeDisposition disposition, NSURLCredentialPtr credential)>;
using NSURLSessionCacheHandler = OnceCallback<void(NSCachedURLResponsePtr cachedResponse)>;
using NSURLSessionRedirectHandler = OnceCallback<void(NSURLRequestPtr newRequest)>;

// Every method runs on the session's delegate queue. The session passed in is
// null once the caller has released it. Each default answers as a delegate
// that does not implement the method. Tasks made with a completion handler
// still bring redirections, challenges and metrics here, but not their
// response, data, caching or completion.
class NSURLSessionDataDelegate {
 public:
  virtual ~NSURLSessionDataDelegate() = default;
  // The body waits until the handler is called; not calling it stalls the
  // task until it is cancelled. The default allows.
  virtual void didReceiveResponse(const NSURLSessionPtr& session,
                                  const NSURLSessionDataTaskPtr& task,
                                  const NSHTTPURLResponsePtr& response,
                                  NSURLSessionResponseHandler handler);
  virtual void didReceiveData(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                              const NSDataPtr& data);
  // Error is null on success; an HTTP error status is a success here.
  virtual void didCompleteWithError(const NSURLSessionPtr& session,
                                    const NSURLSessionDataTaskPtr& task, const NSErrorPtr& error);

  // A redirect response: answer the request to follow (the one proposed or
  // another), or null to take the redirect response itself as the task's
  // response. The default follows.
  virtual void willPerformHTTPRedirection(const NSURLSessionPtr& session,
                                          const NSURLSessionDataTaskPtr& task,
                                          const NSHTTPURLResponsePtr& response,
                                          const NSURLRequestPtr& newRequest,
                                          NSURLSessionRedirectHandler handler);
  // A server asking for HTTP Basic credentials, or a server certificate the
  // system does not trust. The default performs default handling: the 401
  // becomes the response, the untrusted server fails the task.
  virtual void didReceiveChallenge(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                                   const NSURLAuthenticationChallengePtr& challenge,
                                   NSURLSessionChallengeHandler handler);
  // After the whole body, before completion: answer what to store (the
  // proposal, another response, or null for nothing). The completion waits
  // for the answer. The default stores the proposal.
  virtual void willCacheResponse(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                                 const NSCachedURLResponsePtr& proposedResponse,
                                 NSURLSessionCacheHandler handler);
  // Just before the task's completion.
  virtual void didFinishCollectingMetrics(const NSURLSessionPtr& session,
                                          const NSURLSessionDataTaskPtr& task,
                                          const NSURLSessionTaskMetricsPtr& metrics);
  // The last call a session makes; it drops its delegate afterwards.
  virtual void didBecomeInvalidWithError(const NSURLSessionPtr& session, const NSErrorPtr& error);
};

class NSURLSessionConfiguration {
 public:
  // Caches in the shared URL cache.
  static NSURLSessionConfiguration defaultSessionConfiguration();

  NSHTTPHeaderFields HTTPAdditionalHeaders;
  // Null: nothing is read from or stored in a cache.
  NSURLCachePtr URLCache;
  // Stands for requests that keep the protocol's policy.
  NSURLRequestCachePolicy requestCachePolicy = NSURLRequestCachePolicy::UseProtocolCachePolicy;
  // Applied to requests that keep the default interval.
  double timeoutIntervalForRequest = NSURLRequest::kDefaultTimeoutInterval;
  int HTTPMaximumConnectionsPerHost = 6;
  bool HTTPShouldSetCookies = true;
};

class NSURLSessionDataTask : public std::enable_shared_from_this<NSURLSessionDataTask> {
 public:
  uint64_t taskIdentifier() const { return identifier_; }
  const NSURLRequestPtr& originalRequest() const { return request_; }
  // The request being loaded: the original until a redirection is followed.
  NSURLRequestPtr currentRequest() const;
  NSURLSessionTaskState state() const;
  NSHTTPURLResponsePtr response() const;
  NSErrorPtr error() const;
  int64_t countOfBytesReceived() const;
  // From the response's Content-Length; -1 until known or when not given.
  int64_t countOfBytesExpectedToReceive() const;

  float priority() const;
  // Clamped to [0, 1]; weighs the task's stream where the connection is shared.
  void setPriority(float priority);

  // Starts a suspended task; does nothing once it has started or ended.
  void resume();
  // Ends the task with NSURLErrorCancelled unless it has already ended.
  void cancel();

  NSURLSessionDataTask(std::shared_ptr<NSURLSessionEngine> engine, uint64_t identifier,
                       NSURLRequestPtr request, NSURLSessionDataCompletion completion);
  ~NSURLSessionDataTask();

 private:
  friend class NSURLSessionEngine;

  // For the session thread, which alone changes it (under the lock, for
  // the readers elsewhere): read without the lock or a copy.
  const NSURLRequestPtr& loadingRequest() const NO_THREAD_SAFETY_ANALYSIS {
    return currentRequest_;
  }

  std::shared_ptr<NSURLSessionEngine> engine_;
  const uint64_t identifier_;
  const NSURLRequestPtr request_;

  mutable Mutex mutex_;
  NSURLSessionTaskState state_ GUARDED_BY(mutex_) = NSURLSessionTaskState::Suspended;
  NSURLRequestPtr currentRequest_ GUARDED_BY(mutex_);
  NSHTTPURLResponsePtr response_ GUARDED_BY(mutex_);
  NSErrorPtr error_ GUARDED_BY(mutex_);
  int64_t received_ GUARDED_BY(mutex_) = 0;
  float priority_ GUARDED_BY(mutex_) = NSURLSessionTaskPriorityDefault;

  // The state of its loads, touched by the session thread only.
  std::unique_ptr<NSURLSessionTaskLoad> load_;

  // Set when created with a completion handler: the body is gathered for it
  // and the delegate is told only of redirections, challenges and metrics.
  NSURLSessionDataCompletion completion_;
};

// Holds its delegate strongly until it becomes invalid (invalidated, or
// released by its last owner).
class NSURLSession : public std::enable_shared_from_this<NSURLSession> {
 public:
  // A null delegate queue gets a serial queue of the session's own.
  static NSURLSessionPtr sessionWithConfiguration(
      const NSURLSessionConfiguration& configuration,
      std::shared_ptr<NSURLSessionDataDelegate> delegate = nullptr,
      dispatch_queue_t delegateQueue = nullptr);
  static NSURLSessionPtr sharedSession();

  NSURLSessionDataTaskPtr dataTaskWithRequest(const NSURLRequestPtr& request);
  NSURLSessionDataTaskPtr dataTaskWithURL(const NSURLPtr& url);
  // The handler runs once on the delegate queue with the whole body, or with
  // the error; the delegate is not told of such tasks.
  NSURLSessionDataTaskPtr dataTaskWithRequest(const NSURLRequestPtr& request,
                                              NSURLSessionDataCompletion completionHandler);
  NSURLSessionDataTaskPtr dataTaskWithURL(const NSURLPtr& url,
                                          NSURLSessionDataCompletion completionHandler);

  const dispatch_queue_t& delegateQueue() const { return delegateQueue_; }
  // Null once the session has become invalid.
  std::shared_ptr<NSURLSessionDataDelegate> delegate() const;
  const NSURLSessionConfiguration& configuration() const { return configuration_; }

  // Cancels every task, then stops the session thread; new tasks fail at once
  // as cancelled. Releasing the session does the same. The shared session
  // ignores both ways of invalidating.
  void invalidateAndCancel();
  // Tasks already running go on to their end, then the session becomes
  // invalid; tasks resumed after the call fail at once as cancelled.
  void finishTasksAndInvalidate();

  NSURLSession(const NSURLSessionConfiguration& configuration,
               std::shared_ptr<NSURLSessionDataDelegate> delegate, dispatch_queue_t delegateQueue);
  ~NSURLSession();

 private:
  bool isShared() const;
  NSURLSessionDataTaskPtr makeTask(const NSURLRequestPtr& request,
                                   NSURLSessionDataCompletion completion);

  NSURLSessionConfiguration configuration_;
  dispatch_queue_t delegateQueue_;
  std::shared_ptr<NSURLSessionEngine> engine_;
  std::atomic<uint64_t> nextIdentifier_{1};
};
