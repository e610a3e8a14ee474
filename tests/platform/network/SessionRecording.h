#pragma once

// What the URL loading tests observe of a session: a delegate recording its
// calls in order (with scriptable answers for each step) and the outcome of
// a task run with a completion handler.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/network/NSURLSession.h"
#include "support/TestEnvironment.h"
#include "support/network/LoopbackHttpServer.h"

// Records every delegate call in order; can hold the response handler back.
class RecordingDelegate : public NSURLSessionDataDelegate {
 public:
  explicit RecordingDelegate(dispatch_queue_t queue) : queue_(std::move(queue)) {}

  bool holdResponse = false;
  bool holdCache = false;
  NSURLSessionResponseDisposition answer = NSURLSessionResponseDisposition::Allow;
  // Answers for the optional steps; unset means the default answer.
  std::function<void(const NSURLAuthenticationChallengePtr&, NSURLSessionChallengeHandler&)> onChallenge;
  std::function<NSURLRequestPtr(const NSURLRequestPtr& proposed)> onRedirect;
  std::function<NSCachedURLResponsePtr(const NSCachedURLResponsePtr& proposed)> onCache;
  // Called on the delegate's queue as each chunk arrives, before it is kept.
  std::function<void(const NSURLSessionDataTaskPtr& task, size_t length)> onData;

  void didReceiveResponse(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                          const NSHTTPURLResponsePtr& response,
                          NSURLSessionResponseHandler handler) override {
    note("response", session, task);
    std::lock_guard<std::mutex> lock(mutex_);
    this->response = response;
    if (holdResponse) {
      held = std::move(handler);
    } else {
      handler(answer);
    }
    changed_.notify_all();
  }
  void didReceiveData(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                      const NSDataPtr& data) override {
    note("data", session, task);
    if (onData) onData(task, data->length());
    std::lock_guard<std::mutex> lock(mutex_);
    body.append(reinterpret_cast<const char*>(data->bytes()), data->length());
    changed_.notify_all();
  }
  void didCompleteWithError(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr& task,
                            const NSErrorPtr& error) override {
    std::lock_guard<std::mutex> lock(mutex_);
    errors.push_back(error);
    completedIdentifiers.push_back(task->taskIdentifier());
    events.push_back("complete");
    changed_.notify_all();
  }

  void didBecomeInvalidWithError(const NSURLSessionPtr&, const NSErrorPtr&) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events.push_back("invalid");
    changed_.notify_all();
  }
  void willPerformHTTPRedirection(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                                  const NSHTTPURLResponsePtr& response, const NSURLRequestPtr& newRequest,
                                  NSURLSessionRedirectHandler handler) override {
    note("redirect", session, task);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      redirects.emplace_back(response, newRequest);
    }
    handler(onRedirect ? onRedirect(newRequest) : newRequest);
  }
  void didReceiveChallenge(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                           const NSURLAuthenticationChallengePtr& challenge,
                           NSURLSessionChallengeHandler handler) override {
    note("challenge", session, task);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      challenges.push_back(challenge);
    }
    if (onChallenge) {
      onChallenge(challenge, handler);
    } else {
      NSURLSessionDataDelegate::didReceiveChallenge(session, task, challenge, std::move(handler));
    }
  }
  void willCacheResponse(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                         const NSCachedURLResponsePtr& proposed, NSURLSessionCacheHandler handler) override {
    note("cache", session, task);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      proposals.push_back(proposed);
      if (holdCache) {
        heldCache = std::move(handler);
        changed_.notify_all();
        return;
      }
    }
    handler(onCache ? onCache(proposed) : proposed);
  }
  void didFinishCollectingMetrics(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                                  const NSURLSessionTaskMetricsPtr& metrics) override {
    note("metrics", session, task);
    std::lock_guard<std::mutex> lock(mutex_);
    this->metrics.push_back(metrics);
  }

  bool waitFor(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(kTestTimeoutSeconds), done);
  }
  bool waitForCompletions(size_t count) {
    return waitFor([&] { return errors.size() >= count; });
  }
  // Everything already queued for the delegate has run.
  void drain() { dispatch_sync(queue_, [] {}); }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events;
  std::vector<NSErrorPtr> errors;
  std::vector<uint64_t> completedIdentifiers;
  std::string body;
  NSHTTPURLResponsePtr response;
  std::vector<std::pair<NSHTTPURLResponsePtr, NSURLRequestPtr>> redirects;
  std::vector<NSURLAuthenticationChallengePtr> challenges;
  std::vector<NSCachedURLResponsePtr> proposals;
  std::vector<NSURLSessionTaskMetricsPtr> metrics;
  OnceCallback<void(NSURLSessionResponseDisposition)> held;
  OnceCallback<void(NSCachedURLResponsePtr)> heldCache;
  bool offQueue = false;
  bool sessionMissing = false;

 private:
  void note(const char* event, const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (events.empty() || events.back() != event) events.push_back(event);
    if (dispatch_current_queue() != queue_) offQueue = true;
    if (!session || !task) sessionMissing = true;
  }

  dispatch_queue_t queue_;
};

inline ScriptedResponse hanging() {
  ScriptedResponse response;
  response.hang = true;
  return response;
}

// The outcome of a task run with a completion handler.
struct Outcome {
  std::mutex mutex;
  std::condition_variable done;
  int calls = 0;
  NSDataPtr data;
  NSHTTPURLResponsePtr response;
  NSErrorPtr error;

  NSURLSessionDataCompletion handler() {
    return [this](NSDataPtr d, NSHTTPURLResponsePtr r, NSErrorPtr e) {
      std::lock_guard<std::mutex> lock(mutex);
      ++calls;
      data = std::move(d);
      response = std::move(r);
      error = std::move(e);
      done.notify_all();
    };
  }
  bool wait() {
    std::unique_lock<std::mutex> lock(mutex);
    return done.wait_for(lock, std::chrono::duration<double>(kTestTimeoutSeconds), [&] { return calls > 0; });
  }
  std::string text() const {
    return data ? std::string(reinterpret_cast<const char*>(data->bytes()), data->length()) : "";
  }
};


// A session whose delegate records, over the loopback server.
class SessionTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    queue = dispatch_queue_create("test delegate queue");
    delegate = std::make_shared<RecordingDelegate>(queue);
    session = NSURLSession::sessionWithConfiguration(NSURLSessionConfiguration::defaultSessionConfiguration(),
                                                     delegate, queue);
  }
  void TearDown() override {
    session.reset();
    PlatformTest::TearDown();
  }

  // Runs a delegate task for `url` on `session` to its end (bounded) and
  // answers it, with the delegate's record drained.
  NSURLSessionDataTaskPtr load(const std::string& url) {
    return load(NSURLRequest::requestWithURL(NSURL::URLWithString(url)));
  }
  NSURLSessionDataTaskPtr load(const NSURLRequestPtr& request) {
    size_t before;
    {
      std::lock_guard<std::mutex> lock(delegate->mutex_);
      before = delegate->errors.size();
    }
    auto task = session->dataTaskWithRequest(request);
    task->resume();
    EXPECT_TRUE(delegate->waitForCompletions(before + 1));
    delegate->drain();
    return task;
  }

  LoopbackHttpServer server;
  dispatch_queue_t queue;
  std::shared_ptr<RecordingDelegate> delegate;
  NSURLSessionPtr session;
};
