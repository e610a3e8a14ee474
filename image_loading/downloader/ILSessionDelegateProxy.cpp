#include "image_loading/downloader/ILSessionDelegateProxy.h"

#include <utility>

void ILSessionDelegateProxy::didReceiveResponse(
    const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
    const NSHTTPURLResponsePtr& response,
    NSURLSessionResponseHandler handler) {
  if (auto target = target_.lock()) {
    target->didReceiveResponse(session, task, response, std::move(handler));
  } else {
    NSURLSessionDataDelegate::didReceiveResponse(session, task, response, std::move(handler));
  }
}

void ILSessionDelegateProxy::didReceiveData(const NSURLSessionPtr& session,
                                            const NSURLSessionDataTaskPtr& task,
                                            const NSDataPtr& data) {
  if (auto target = target_.lock()) target->didReceiveData(session, task, data);
}

void ILSessionDelegateProxy::didCompleteWithError(const NSURLSessionPtr& session,
                                                  const NSURLSessionDataTaskPtr& task,
                                                  const NSErrorPtr& error) {
  if (auto target = target_.lock()) target->didCompleteWithError(session, task, error);
}

void ILSessionDelegateProxy::willPerformHTTPRedirection(const NSURLSessionPtr& session,
                                                        const NSURLSessionDataTaskPtr& task,
                                                        const NSHTTPURLResponsePtr& response,
                                                        const NSURLRequestPtr& newRequest,
                                                        NSURLSessionRedirectHandler handler) {
  if (auto target = target_.lock()) {
    target->willPerformHTTPRedirection(session, task, response, newRequest, std::move(handler));
  } else {
    NSURLSessionDataDelegate::willPerformHTTPRedirection(session, task, response, newRequest,
                                                         std::move(handler));
  }
}

void ILSessionDelegateProxy::didReceiveChallenge(const NSURLSessionPtr& session,
                                                 const NSURLSessionDataTaskPtr& task,
                                                 const NSURLAuthenticationChallengePtr& challenge,
                                                 NSURLSessionChallengeHandler handler) {
  if (auto target = target_.lock()) {
    target->didReceiveChallenge(session, task, challenge, std::move(handler));
  } else {
    NSURLSessionDataDelegate::didReceiveChallenge(session, task, challenge, std::move(handler));
  }
}

void ILSessionDelegateProxy::willCacheResponse(const NSURLSessionPtr& session,
                                               const NSURLSessionDataTaskPtr& task,
                                               const NSCachedURLResponsePtr& proposedResponse,
                                               NSURLSessionCacheHandler handler) {
  if (auto target = target_.lock()) {
    target->willCacheResponse(session, task, proposedResponse, std::move(handler));
  } else {
    NSURLSessionDataDelegate::willCacheResponse(session, task, proposedResponse,
                                                std::move(handler));
  }
}

void ILSessionDelegateProxy::didFinishCollectingMetrics(const NSURLSessionPtr& session,
                                                        const NSURLSessionDataTaskPtr& task,
                                                        const NSURLSessionTaskMetricsPtr& metrics) {
  if (auto target = target_.lock()) target->didFinishCollectingMetrics(session, task, metrics);
}
