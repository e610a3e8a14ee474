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
#include <mutex>
#include <string>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/OnceCallback.h"
#include "platform/network/NSURLError.h"
#include "platform/network/NSURLRequest.h"

class NSURLSession;
class NSURLSessionDataTask;
class NSURLSessionEngine;
using NSURLSessionPtr = std::shared_ptr<NSURLSession>;
using NSURLSessionDataTaskPtr = std::shared_ptr<NSURLSessionDataTask>;

enum class NSURLSessionResponseDisposition { Cancel = 0, Allow = 1 };
enum class NSURLSessionTaskState { Running = 0, Suspended = 1, Canceling = 2, Completed = 3 };

inline constexpr float NSURLSessionTaskPriorityLow = 0.25f;
inline constexpr float NSURLSessionTaskPriorityDefault = 0.5f;
inline constexpr float NSURLSessionTaskPriorityHigh = 0.75f;

using NSURLSessionDataCompletion =
    OnceCallback<void(NSDataPtr data, NSHTTPURLResponsePtr response, NSErrorPtr error)>;

// Every method runs on the session's delegate queue. The session passed in is
// null once the caller has released it.
class NSURLSessionDataDelegate {
 public:
  virtual ~NSURLSessionDataDelegate() = default;
  // The body waits until the handler is called; not calling it stalls the
  // task until it is cancelled. The default allows.
  virtual void didReceiveResponse(const NSURLSessionPtr& session,
                                  const NSURLSessionDataTaskPtr& task,
                                  const NSHTTPURLResponsePtr& response,
                                  OnceCallback<void(NSURLSessionResponseDisposition)> handler);
  virtual void didReceiveData(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                              const NSDataPtr& data);
  // Error is null on success; an HTTP error status is a success here.
  virtual void didCompleteWithError(const NSURLSessionPtr& session,
                                    const NSURLSessionDataTaskPtr& task, const NSErrorPtr& error);
};

class NSURLSessionConfiguration {
 public:
  static NSURLSessionConfiguration defaultSessionConfiguration() { return {}; }

  NSHTTPHeaderFields HTTPAdditionalHeaders;
  // Applied to requests that keep the default interval.
  double timeoutIntervalForRequest = NSURLRequest::kDefaultTimeoutInterval;
  int HTTPMaximumConnectionsPerHost = 6;
  bool HTTPShouldSetCookies = true;
};

class NSURLSessionDataTask : public std::enable_shared_from_this<NSURLSessionDataTask> {
 public:
  uint64_t taskIdentifier() const { return identifier_; }
  const NSURLRequestPtr& originalRequest() const { return request_; }
  NSURLSessionTaskState state() const;
  NSHTTPURLResponsePtr response() const;
  NSErrorPtr error() const;
  int64_t countOfBytesReceived() const;

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

  std::shared_ptr<NSURLSessionEngine> engine_;
  const uint64_t identifier_;
  const NSURLRequestPtr request_;

  mutable std::mutex mutex_;
  NSURLSessionTaskState state_ = NSURLSessionTaskState::Suspended;
  NSHTTPURLResponsePtr response_;
  NSErrorPtr error_;
  int64_t received_ = 0;
  float priority_ = NSURLSessionTaskPriorityDefault;

  // Touched by the session thread only.
  void* easy_ = nullptr;
  void* headerList_ = nullptr;
  NSHTTPHeaderFields responseHeaders_;
  bool responseDelivered_ = false;
  bool awaitingDisposition_ = false;
  bool finished_ = false;

  // Set when created with a completion handler: the body is gathered here
  // and the delegate is not told.
  NSURLSessionDataCompletion completion_;
  Bytes body_;
};

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
  const std::shared_ptr<NSURLSessionDataDelegate>& delegate() const { return delegate_; }
  const NSURLSessionConfiguration& configuration() const { return configuration_; }

  // Cancels every task, then stops the session thread; new tasks fail at once
  // as cancelled. Releasing the session does the same.
  void invalidateAndCancel();

  NSURLSession(const NSURLSessionConfiguration& configuration,
               std::shared_ptr<NSURLSessionDataDelegate> delegate, dispatch_queue_t delegateQueue);
  ~NSURLSession();

 private:
  NSURLSessionDataTaskPtr makeTask(const NSURLRequestPtr& request,
                                   NSURLSessionDataCompletion completion);

  NSURLSessionConfiguration configuration_;
  std::shared_ptr<NSURLSessionDataDelegate> delegate_;
  dispatch_queue_t delegateQueue_;
  std::shared_ptr<NSURLSessionEngine> engine_;
  std::atomic<uint64_t> nextIdentifier_{1};
};
