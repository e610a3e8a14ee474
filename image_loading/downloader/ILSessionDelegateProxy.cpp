#include "image_loading/downloader/ILSessionDelegateProxy.h"

#include <utility>

void ILSessionForwardingDelegate::didReceiveResponse(const NSURLSessionPtr& session,
                                                     const NSURLSessionDataTaskPtr& task,
                                                     const NSHTTPURLResponsePtr& response,
                                                     NSURLSessionResponseHandler handler) {
  if (auto target = forwardingTarget(task)) {
    target->didReceiveResponse(session, task, response, std::move(handler));
  } else {
    NSURLSessionDataDelegate::didReceiveResponse(session, task, response, std::move(handler));
  }
}

void ILSessionForwardingDelegate::didReceiveData(const NSURLSessionPtr& session,
                                                 const NSURLSessionDataTaskPtr& task,
                                                 const NSDataPtr& data) {
  if (auto target = forwardingTarget(task)) target->didReceiveData(session, task, data);
}

void ILSessionForwardingDelegate::didCompleteWithError(const NSURLSessionPtr& session,
                                                       const NSURLSessionDataTaskPtr& task,
                                                       const NSErrorPtr& error) {
  if (auto target = forwardingTarget(task)) target->didCompleteWithError(session, task, error);
}

void ILSessionForwardingDelegate::willPerformHTTPRedirection(const NSURLSessionPtr& session,
                                                             const NSURLSessionDataTaskPtr& task,
                                                             const NSHTTPURLResponsePtr& response,
                                                             const NSURLRequestPtr& newRequest,
                                                             NSURLSessionRedirectHandler handler) {
  if (auto target = forwardingTarget(task)) {
    target->willPerformHTTPRedirection(session, task, response, newRequest, std::move(handler));
  } else {
    NSURLSessionDataDelegate::willPerformHTTPRedirection(session, task, response, newRequest,
                                                         std::move(handler));
  }
}

void ILSessionForwardingDelegate::didReceiveChallenge(const NSURLSessionPtr& session,
                                                      const NSURLSessionDataTaskPtr& task,
                                                      const NSURLAuthenticationChallengePtr& challenge,
                                                      NSURLSessionChallengeHandler handler) {
  if (auto target = forwardingTarget(task)) {
    target->didReceiveChallenge(session, task, challenge, std::move(handler));
  } else {
    NSURLSessionDataDelegate::didReceiveChallenge(session, task, challenge, std::move(handler));
  }
}

void ILSessionForwardingDelegate::willCacheResponse(const NSURLSessionPtr& session,
                                                    const NSURLSessionDataTaskPtr& task,
                                                    const NSCachedURLResponsePtr& proposedResponse,
                                                    NSURLSessionCacheHandler handler) {
  if (auto target = forwardingTarget(task)) {
    target->willCacheResponse(session, task, proposedResponse, std::move(handler));
  } else {
    NSURLSessionDataDelegate::willCacheResponse(session, task, proposedResponse,
                                                std::move(handler));
  }
}

void ILSessionForwardingDelegate::didFinishCollectingMetrics(const NSURLSessionPtr& session,
                                                             const NSURLSessionDataTaskPtr& task,
                                                             const NSURLSessionTaskMetricsPtr& metrics) {
  if (auto target = forwardingTarget(task)) target->didFinishCollectingMetrics(session, task, metrics);
}
