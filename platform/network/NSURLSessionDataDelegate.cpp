#include "platform/network/internal/NSURLSessionEngine.h"

#include <algorithm>

#include "platform/foundation/Mutex.h"

using url_session::cancelledError;
using url_session::lowered;
using url_session::urlString;
using url_session::wallNow;

namespace {

// As many as the platform follows before giving up.
constexpr int64_t kMaxRedirects = 16;

// A response is offered to the cache only when it is at most this share of
// the cache's capacity, so one download cannot flush everything else.
constexpr uint64_t kCacheableShareDivisor = 20;

bool sameOrigin(const NSURLPtr& from, const NSURLPtr& to) {
  return from && to && from->host() == to->host() && from->port() == to->port() &&
         from->scheme() == to->scheme();
}

bool hasNoStore(const std::optional<std::string>& control) {
  return control && lowered(*control).find("no-store") != std::string::npos;
}

}  // namespace

void NSURLSessionDataDelegate::didReceiveResponse(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr&,
                                                  const NSHTTPURLResponsePtr&, NSURLSessionResponseHandler handler) {
  handler(NSURLSessionResponseDisposition::Allow);
}

void NSURLSessionDataDelegate::didReceiveData(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr&,
                                              const NSDataPtr&) {}

void NSURLSessionDataDelegate::didCompleteWithError(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr&,
                                                    const NSErrorPtr&) {}

void NSURLSessionDataDelegate::willPerformHTTPRedirection(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr&,
                                                          const NSHTTPURLResponsePtr&,
                                                          const NSURLRequestPtr& newRequest,
                                                          NSURLSessionRedirectHandler handler) {
  handler(newRequest);
}

void NSURLSessionDataDelegate::didReceiveChallenge(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr&,
                                                   const NSURLAuthenticationChallengePtr&,
                                                   NSURLSessionChallengeHandler handler) {
  handler(NSURLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
}

void NSURLSessionDataDelegate::willCacheResponse(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr&,
                                                 const NSCachedURLResponsePtr& proposedResponse,
                                                 NSURLSessionCacheHandler handler) {
  handler(proposedResponse);
}

void NSURLSessionDataDelegate::didFinishCollectingMetrics(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr&,
                                                          const NSURLSessionTaskMetricsPtr&) {}

void NSURLSessionDataDelegate::didBecomeInvalidWithError(const NSURLSessionPtr&, const NSErrorPtr&) {}

// ---------------------------------------------------------------------------

void NSURLSessionEngine::pushCompletion(const std::shared_ptr<NSURLSessionDataDelegate>& delegate,
                                        const NSURLSessionDataTaskPtr& task,
                                        const NSURLSessionTaskMetricsPtr& metrics, const NSErrorPtr& error) {
  outbox_->push([delegate, session = session_, task, metrics, error] {
    NSURLSessionPtr owner = session.lock();
    delegate->didFinishCollectingMetrics(owner, task, metrics);
    delegate->didCompleteWithError(owner, task, error);
  });
}

void NSURLSessionEngine::endTask(const NSURLSessionDataTaskPtr& task, const NSCachedURLResponsePtr& store,
                                 const NSURLSessionTaskMetricsPtr& metrics) {
  {
    MutexLock lock(task->mutex_);
    // A cancel (or the session's end) got there first: it tells the
    // delegate, and nothing is stored.
    if (task->state_ == NSURLSessionTaskState::Completed ||
        task->state_ == NSURLSessionTaskState::Canceling) {
      return;
    }
    task->state_ = NSURLSessionTaskState::Completed;
    task->error_ = nullptr;
  }
  if (store) configuration_.URLCache->storeCachedResponse(store, task->currentRequest());
  if (auto delegate = this->delegate()) pushCompletion(delegate, task, metrics, nullptr);
  // Only now may a draining session end: its last call comes after this.
  forget(*task);
}

void NSURLSessionEngine::deliverData(const NSURLSessionDataTaskPtr& task, NSDataPtr chunk) {
  MutexLock lock(task->mutex_);
  NSURLSessionTaskLoad::Held& held = task->load_->held;
  if (held.refused) return;
  if (held.awaitingAnswer) {
    held.bytes += chunk->length();
    held.chunks.push_back(std::move(chunk));
    return;
  }
  // Pushed under the task's lock, so the chunks released by an answer on
  // another thread cannot fall behind a later one.
  task->received_ += static_cast<int64_t>(chunk->length());
  if (auto delegate = this->delegate()) pushData(task, delegate, std::move(chunk));
}

void NSURLSessionEngine::pushData(const NSURLSessionDataTaskPtr& task,
                                  const std::shared_ptr<NSURLSessionDataDelegate>& delegate,
                                  NSDataPtr chunk) {
  const size_t length = chunk->length();
  task->load_->held.queued += length;
  outbox_->push([delegate, session = session_, task, chunk = std::move(chunk), length] {
    delegate->didReceiveData(session.lock(), task, chunk);
    task->engine_->dataTaken(task, length);
  });
}

void NSURLSessionEngine::dataTaken(const NSURLSessionDataTaskPtr& task, size_t length) {
  {
    MutexLock lock(task->mutex_);
    NSURLSessionTaskLoad::Held& held = task->load_->held;
    held.queued -= length;
    if (!held.paused || held.awaitingAnswer || held.queued > kQueuedBodyLimit / 2) return;
    held.paused = false;
  }
  post([task] {
    if (task->load_->easy) Curl().curl_easy_pause(task->load_->easy, CURLPAUSE_CONT);
  });
}

void NSURLSessionEngine::deliverEnd(const NSURLSessionDataTaskPtr& task, UniqueFunction<void()> end) {
  MutexLock lock(task->mutex_);
  NSURLSessionTaskLoad::Held& held = task->load_->held;
  if (held.refused) return;
  if (held.awaitingAnswer) {
    held.end = std::move(end);
  } else {
    outbox_->push(std::move(end));
  }
}

void NSURLSessionEngine::responseAnswered(const NSURLSessionDataTaskPtr& task, bool allow) {
  NSURLSessionTaskLoad::Held released;
  {
    MutexLock lock(task->mutex_);
    NSURLSessionTaskLoad::Held& held = task->load_->held;
    if (!held.awaitingAnswer || held.refused || task->state_ == NSURLSessionTaskState::Completed) return;
    std::swap(released, held);
    // What is queued still counts (what was held, at most kHeldBodyLimit,
    // is queued below and never reaches kQueuedBodyLimit by itself).
    held.queued = released.queued;
    // The body that goes on arriving until the cancel is dropped.
    held.refused = !allow;
    if (allow) {
      task->received_ += static_cast<int64_t>(released.bytes);
      if (auto delegate = this->delegate()) {
        for (NSDataPtr& chunk : released.chunks) pushData(task, delegate, std::move(chunk));
      }
      if (released.end) outbox_->push(std::move(released.end));
    }
  }
  if (!allow) {
    if (!post([this, task] { finish(task, cancelledError(*task)); })) finishWhenStopped(task);
  } else if (released.paused) {
    post([task] {
      if (task->load_->easy) Curl().curl_easy_pause(task->load_->easy, CURLPAUSE_CONT);
    });
  }
}

void NSURLSessionEngine::accept(const NSURLSessionDataTaskPtr& task, const NSHTTPURLResponsePtr& response,
                                bool atEnd) {
  NSURLSessionTaskLoad& load = *task->load_;
  {
    MutexLock lock(task->mutex_);
    task->response_ = response;
  }
  const NSURLCachePtr& cache = configuration_.URLCache;
  int64_t status = response->statusCode();
  const NSURLRequestPtr& request = task->loadingRequest();
  uint64_t limit = cache ? cache->memoryCapacity() / kCacheableShareDivisor : 0;
  load.cacheLimit = limit;
  load.cacheCandidate = cache && limit > 0 && load.easy && request->HTTPMethod() == "GET" &&
                        (status == 200 || status == 203 || status == 300 || status == 301 || status == 410) &&
                        !hasNoStore(response->valueForHTTPHeaderField("Cache-Control")) &&
                        !hasNoStore(request->valueForHTTPHeaderField("Cache-Control")) &&
                        response->expectedContentLength() <= static_cast<int64_t>(limit);
  if (task->completion_) {
    answered(task, true, atEnd);
  } else {
    askDisposition(task, response, atEnd);
  }
}

// `then` is copyable: the handler made of it is a plain function, and each
// call of it posts a copy to the session thread.
template <typename... Args>
UniqueFunction<void(Args...)> NSURLSessionEngine::onSessionThread(const NSURLSessionDataTaskPtr& task,
                                                                  std::function<void(Args...)> then) {
  return [task, then = std::move(then)](Args... args) {
    NSURLSessionEngine* engine = task->engine_.get();
    if (!engine->post([then, args...] { then(args...); })) engine->finishWhenStopped(task);
  };
}

void NSURLSessionEngine::askDisposition(const NSURLSessionDataTaskPtr& task, const NSHTTPURLResponsePtr& response,
                                        bool atEnd) {
  auto delegate = this->delegate();
  if (!delegate) {
    finish(task, cancelledError(*task));
    return;
  }
  {
    MutexLock lock(task->mutex_);
    task->load_->held.awaitingAnswer = true;
  }
  // The answer is taken where it is given (usually the delegate queue, in
  // the same turn) and releases what was held meanwhile; only a refusal
  // comes back here. The transfer goes on as if allowed.
  NSURLSessionResponseHandler handler([task](NSURLSessionResponseDisposition disposition) {
    task->engine_->responseAnswered(task, disposition == NSURLSessionResponseDisposition::Allow);
  });
  outbox_->push([delegate, session = session_, task, response, handler = std::move(handler)]() mutable {
    delegate->didReceiveResponse(session.lock(), task, response, std::move(handler));
  });
  answered(task, true, atEnd);
}

void NSURLSessionEngine::answered(const NSURLSessionDataTaskPtr& task, bool allow, bool atEnd) {
  if (task->state() == NSURLSessionTaskState::Completed) return;
  NSURLSessionTaskLoad& load = *task->load_;
  if (!allow) {
    finish(task, cancelledError(*task));
  } else if (atEnd || load.cachedBody) {
    complete(task);
  } else if (load.headPaused) {
    load.headPaused = false;
    Curl().curl_easy_pause(load.easy, CURLPAUSE_CONT);
  }
}

void NSURLSessionEngine::complete(const NSURLSessionDataTaskPtr& task) {
  NSURLSessionTaskLoad& load = *task->load_;
  if (NSDataPtr cached = std::move(load.cachedBody)) {
    if (task->completion_) {
      {
        MutexLock lock(task->mutex_);
        task->received_ += static_cast<int64_t>(cached->length());
      }
      finish(task, nullptr, cached);
    } else {
      if (cached->length() > 0) deliverData(task, cached);
      succeed(task, nullptr);
    }
    return;
  }
  endAttempt(*task);
  const bool offer = load.cacheCandidate && configuration_.URLCache;
  if (task->completion_) {
    NSDataPtr body = NSData::dataWithBytes(std::move(load.body));
    // Stored here rather than on the delegate queue: there it would delay
    // the handler, which often starts the next transfer.
    if (offer) {
      configuration_.URLCache->storeResponse(
          task->response().get(), body, NSURLCacheStoragePolicy::Allowed, task->loadingRequest());
    }
    finish(task, nullptr, body);
    return;
  }
  NSCachedURLResponsePtr proposed;
  if (offer) {
    proposed = std::make_shared<NSCachedURLResponse>(task->response(),
                                                     load.cacheChunk ? std::move(load.cacheChunk)
                                                                     : NSData::dataWithBytes(std::move(load.cacheBody)));
  }
  succeed(task, std::move(proposed));
}

void NSURLSessionEngine::succeed(const NSURLSessionDataTaskPtr& task, NSCachedURLResponsePtr proposal) {
  endAttempt(*task);
  NSURLSessionTaskMetricsPtr metrics = takeMetrics(*task);
  auto delegate = this->delegate();
  if (!delegate) {
    // Nobody left to ask: the proposal is stored as it is.
    endTask(task, proposal, metrics);
    return;
  }
  deliverEnd(task, [delegate, session = session_, task, proposal, metrics] {
    if (!proposal) {
      task->engine_->endTask(task, nullptr, metrics);
      return;
    }
    if (task->state() == NSURLSessionTaskState::Completed) return;
    // The answer is stored where it is given, before the completion.
    delegate->willCacheResponse(session.lock(), task, proposal,
                                [task, metrics](NSCachedURLResponsePtr answer) {
                                  task->engine_->endTask(task, answer, metrics);
                                });
  });
}

void NSURLSessionEngine::serveCached(const NSURLSessionDataTaskPtr& task, const NSCachedURLResponsePtr& cached) {
  NSURLSessionTaskLoad& load = *task->load_;
  NSURLSessionTaskTransactionMetrics metrics;
  metrics.request = task->currentRequest();
  metrics.response = cached->response();
  metrics.resourceFetchType = NSURLSessionTaskMetricsResourceFetchType::LocalCache;
  metrics.fetchStartDate = metrics.responseStartDate = metrics.responseEndDate = wallNow();
  load.transactions.push_back(std::move(metrics));
  load.cachedBody = cached->data();
  load.cacheCandidate = false;
  {
    MutexLock lock(task->mutex_);
    task->response_ = cached->response();
  }
  if (task->completion_) {
    complete(task);
  } else {
    askDisposition(task, cached->response(), true);
  }
}

void NSURLSessionEngine::askRedirect(const NSURLSessionDataTaskPtr& task, const NSHTTPURLResponsePtr& response,
                                     const std::string& location, bool atEnd) {
  NSURLSessionTaskLoad& load = *task->load_;
  NSURLRequestPtr current = task->currentRequest();
  if (load.redirects >= kMaxRedirects) {
    finish(task, NSURLErrorMake(NSURLErrorHTTPTooManyRedirects, urlString(current), "Too many HTTP redirects."));
    return;
  }
  NSURLPtr target = location.empty() ? nullptr : NSURL::URLWithString(location);
  if (!target) {
    accept(task, response, atEnd);
    return;
  }
  NSMutableURLRequestPtr next = current->mutableCopy();
  next->setURL(target);
  int64_t status = response->statusCode();
  const std::string& method = current->HTTPMethod();
  if ((status == 303 && method != "HEAD") || ((status == 301 || status == 302) && method == "POST")) {
    next->setHTTPMethod("GET");
  }
  // Credentials the caller set by hand belong to the server it asked, as the
  // session's own do: another origin does not get them.
  if (!sameOrigin(current->URL(), target)) {
    next->setValueForHTTPHeaderField(std::nullopt, "Authorization");
    next->setValueForHTTPHeaderField(std::nullopt, "Cookie");
  }
  NSURLRequestPtr proposed = next;
  auto delegate = this->delegate();
  std::function<void(NSURLRequestPtr)> then = [this, task, response, atEnd](NSURLRequestPtr answer) {
    redirectAnswered(task, response, answer, atEnd);
  };
  NSURLSessionRedirectHandler handler = onSessionThread(task, then);
  if (!delegate) {
    handler(proposed);
    return;
  }
  outbox_->push([delegate, session = session_, task, response, proposed,
                 handler = std::move(handler)]() mutable {
    delegate->willPerformHTTPRedirection(session.lock(), task, response, proposed,
                                         std::move(handler));
  });
}

void NSURLSessionEngine::redirectAnswered(const NSURLSessionDataTaskPtr& task, const NSHTTPURLResponsePtr& response,
                                          const NSURLRequestPtr& request, bool atEnd) {
  if (task->state() == NSURLSessionTaskState::Completed) return;
  if (!request) {
    accept(task, response, atEnd);
    return;
  }
  NSURLSessionTaskLoad& load = *task->load_;
  endAttempt(*task);
  NSURLRequestPtr previous = task->currentRequest();
  {
    MutexLock lock(task->mutex_);
    task->currentRequest_ = request;
  }
  ++load.redirects;
  // Credentials and trust belong to the server that was asked.
  if (!sameOrigin(previous->URL(), request->URL())) {
    load.basicCredential = nullptr;
    load.credentialAttempts = 0;
    load.trustPin.clear();
  }
  this->load(task);
}

void NSURLSessionEngine::challenge(
    const NSURLSessionDataTaskPtr& task, const NSURLAuthenticationChallengePtr& challenge,
    std::function<void(NSURLSessionAuthChallengeDisposition, NSURLCredentialPtr)> onAnswer) {
  NSURLSessionChallengeHandler handler = onSessionThread(task, std::move(onAnswer));
  auto delegate = this->delegate();
  if (!delegate) {
    handler(NSURLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
    return;
  }
  outbox_->push(
      [delegate, session = session_, task, challenge, handler = std::move(handler)]() mutable {
        delegate->didReceiveChallenge(session.lock(), task, challenge, std::move(handler));
      });
}

void NSURLSessionEngine::askBasic(const NSURLSessionDataTaskPtr& task, const NSHTTPURLResponsePtr& response,
                                  const std::optional<std::string>& realm, bool atEnd) {
  NSURLSessionTaskLoad& load = *task->load_;
  const NSURLPtr& url = task->currentRequest()->URL();
  std::string scheme = lowered(url->scheme().value_or("http"));
  int64_t port = url->port().value_or(scheme == "https" ? 443 : 80);
  auto space = std::make_shared<NSURLProtectionSpace>(url->host().value_or(""), port, scheme, realm,
                                                      NSURLAuthenticationMethodHTTPBasic);
  auto asked = std::make_shared<NSURLAuthenticationChallenge>(space, load.basicCredential, load.credentialAttempts,
                                                              response);
  challenge(task, asked, [this, task, response, atEnd](NSURLSessionAuthChallengeDisposition disposition,
                                                       NSURLCredentialPtr credential) {
    basicAnswered(task, response, disposition, credential, atEnd);
  });
}

void NSURLSessionEngine::basicAnswered(const NSURLSessionDataTaskPtr& task, const NSHTTPURLResponsePtr& response,
                                       NSURLSessionAuthChallengeDisposition disposition,
                                       const NSURLCredentialPtr& credential, bool atEnd) {
  if (task->state() == NSURLSessionTaskState::Completed) return;
  NSURLSessionTaskLoad& load = *task->load_;
  if (disposition == NSURLSessionAuthChallengeDisposition::CancelAuthenticationChallenge) {
    finish(task, cancelledError(*task));
  } else if (disposition == NSURLSessionAuthChallengeDisposition::UseCredential && credential && credential->user()) {
    endAttempt(*task);
    load.basicCredential = credential;
    ++load.credentialAttempts;
    startTransfer(task);
  } else {
    // Nothing (more) to try: the 401 is the answer.
    accept(task, response, atEnd);
  }
}

void NSURLSessionEngine::askServerTrust(const NSURLSessionDataTaskPtr& task, NSErrorPtr refusal) {
  NSURLSessionTaskLoad& load = *task->load_;
  const NSURLPtr& url = task->currentRequest()->URL();
  std::string failure = load.tls.failure.empty() ? "the certificate does not name the host" : load.tls.failure;
  std::string host = url->host().value_or("");
  auto trust = std::make_shared<SecTrust>(host, std::move(load.tls.chain), failure);
  auto space = std::make_shared<NSURLProtectionSpace>(host, url->port().value_or(443), "https",
                                                      std::nullopt, NSURLAuthenticationMethodServerTrust, trust);
  auto asked = std::make_shared<NSURLAuthenticationChallenge>(space, nullptr, 0, nullptr);
  challenge(task, asked, [this, task, refusal](NSURLSessionAuthChallengeDisposition disposition,
                                               NSURLCredentialPtr credential) {
    trustAnswered(task, disposition, credential, refusal);
  });
}

void NSURLSessionEngine::trustAnswered(const NSURLSessionDataTaskPtr& task,
                                       NSURLSessionAuthChallengeDisposition disposition,
                                       const NSURLCredentialPtr& credential, const NSErrorPtr& refusal) {
  if (task->state() == NSURLSessionTaskState::Completed) return;
  NSURLSessionTaskLoad& load = *task->load_;
  bool trusted = disposition == NSURLSessionAuthChallengeDisposition::UseCredential && credential &&
                 credential->serverTrust() && !credential->serverTrust()->leafPublicKeyPin().empty();
  if (trusted) {
    load.trustPin = credential->serverTrust()->leafPublicKeyPin();
    startTransfer(task);
  } else if (disposition == NSURLSessionAuthChallengeDisposition::CancelAuthenticationChallenge) {
    finish(task, cancelledError(*task));
  } else {
    finish(task, refusal);
  }
}
