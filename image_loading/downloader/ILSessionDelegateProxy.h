#pragma once

// Session delegates that hand each call on to another delegate.

#include <memory>

#include "platform/network/NSURLSession.h"

// Hands every call for a task to the delegate `forwardingTarget` names for it,
// or, when it names none, answers as a delegate that does not implement the
// method. The one list of the calls a forwarding delegate passes on.
class ILSessionForwardingDelegate : public NSURLSessionDataDelegate {
 public:
  void didReceiveResponse(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                          const NSHTTPURLResponsePtr& response,
                          NSURLSessionResponseHandler handler) override;
  void didReceiveData(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                      const NSDataPtr& data) override;
  void didCompleteWithError(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                            const NSErrorPtr& error) override;
  void willPerformHTTPRedirection(const NSURLSessionPtr& session,
                                  const NSURLSessionDataTaskPtr& task,
                                  const NSHTTPURLResponsePtr& response,
                                  const NSURLRequestPtr& newRequest,
                                  NSURLSessionRedirectHandler handler) override;
  void didReceiveChallenge(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                           const NSURLAuthenticationChallengePtr& challenge,
                           NSURLSessionChallengeHandler handler) override;
  void willCacheResponse(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                         const NSCachedURLResponsePtr& proposedResponse,
                         NSURLSessionCacheHandler handler) override;
  void didFinishCollectingMetrics(const NSURLSessionPtr& session,
                                  const NSURLSessionDataTaskPtr& task,
                                  const NSURLSessionTaskMetricsPtr& metrics) override;

 protected:
  // Null: nobody to hand the call to.
  virtual std::shared_ptr<NSURLSessionDataDelegate> forwardingTarget(
      const NSURLSessionDataTaskPtr& task) = 0;
};

// A session keeps its delegate for as long as it lives, and the owner of a
// session is usually its delegate: the proxy holds the owner weakly so that
// releasing the owner ends the session instead of leaking both. Calls that
// arrive after the owner has gone get the unhandled answers.
class ILSessionDelegateProxy : public ILSessionForwardingDelegate {
 public:
  explicit ILSessionDelegateProxy(std::weak_ptr<NSURLSessionDataDelegate> target)
      : target_(std::move(target)) {}

 protected:
  std::shared_ptr<NSURLSessionDataDelegate> forwardingTarget(const NSURLSessionDataTaskPtr&) override {
    return target_.lock();
  }

 private:
  std::weak_ptr<NSURLSessionDataDelegate> target_;
};
