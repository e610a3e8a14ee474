#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "SessionRecording.h"
#include "platform/foundation/Value.h"
#include "platform/network/internal/NSURLSessionEngine.h"
#include "support/TestEnvironment.h"
#include "support/network/LoopbackHttpServer.h"

namespace nsurl_session_test {

namespace {

class NSURLSessionTest : public SessionTest {
 protected:
  // A running task whose server has read the request and never answers.
  NSURLSessionDataTaskPtr startHangingTask() {
    server.script("/hang", hanging());
    auto task = session->dataTaskWithURL(NSURL::URLWithString(server.url("/hang")));
    task->resume();
    return task;
  }

  // Runs `url` on the shared session with a completion handler.
  static void fetch(const std::string& url, Outcome& outcome) {
    NSURLSession::sharedSession()->dataTaskWithURL(NSURL::URLWithString(url), outcome.handler())->resume();
    ASSERT_TRUE(outcome.wait());
  }
};

TEST_F(NSURLSessionTest, DelegateGetsResponseThenChunksThenOneCompletion) {
  server.script("/chunked", {200, {{"Content-Type", "Text/Plain; charset=\"UTF-8\""}, {"X-Twice", "a"}, {"x-twice", "b"}},
                             "hello, chunked world", true});
  auto task = session->dataTaskWithURL(NSURL::URLWithString(server.url("/chunked")));
  auto other = session->dataTaskWithURL(NSURL::URLWithString(server.url("/chunked")));
  EXPECT_NE(task->taskIdentifier(), other->taskIdentifier());
  EXPECT_EQ(task->state(), NSURLSessionTaskState::Suspended);
  task->resume();
  task->resume();  // a second resume starts nothing more
  ASSERT_TRUE(delegate->waitForCompletions(1));
  delegate->drain();

  EXPECT_EQ(delegate->events, (std::vector<std::string>{"response", "data", "cache", "metrics", "complete"}));
  EXPECT_EQ(delegate->body, "hello, chunked world");
  EXPECT_EQ(delegate->errors[0], nullptr);
  EXPECT_FALSE(delegate->offQueue);
  EXPECT_FALSE(delegate->sessionMissing);
  EXPECT_EQ(task->state(), NSURLSessionTaskState::Completed);
  EXPECT_EQ(task->countOfBytesReceived(), 20);
  ASSERT_NE(delegate->response, nullptr);
  EXPECT_EQ(delegate->response->statusCode(), 200);
  EXPECT_EQ(delegate->response->MIMEType(), "text/plain");
  EXPECT_EQ(delegate->response->textEncodingName(), "utf-8");
  EXPECT_EQ(delegate->response->expectedContentLength(), -1);
  EXPECT_EQ(delegate->response->valueForHTTPHeaderField("x-TWICE"), "a, b");
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(NSURLSessionTest, BodyWaitsForTheDelegatesAnswer) {
  server.script("/image", {200, {{"Content-Type", "image/png"}}, "0123456789"});
  delegate->holdResponse = true;
  auto task = session->dataTaskWithURL(NSURL::URLWithString(server.url("/image")));
  task->resume();
  ASSERT_TRUE(delegate->waitFor([&] { return static_cast<bool>(delegate->held); }));
  // Another whole transfer on the same session finishes while the first waits.
  Outcome outcome;
  session->dataTaskWithURL(NSURL::URLWithString(server.url("/image")), outcome.handler())->resume();
  ASSERT_TRUE(outcome.wait());
  EXPECT_EQ(outcome.text(), "0123456789");
  delegate->drain();
  {
    std::lock_guard<std::mutex> lock(delegate->mutex_);
    EXPECT_EQ(delegate->events, (std::vector<std::string>{"response", "metrics"}))
        << "the whole transfer's metrics reach the delegate, not its response";
    EXPECT_EQ(delegate->response->expectedContentLength(), 10);
    EXPECT_EQ(task->countOfBytesReceived(), 0);
  }
  dispatch_sync(queue, [&] { delegate->held(NSURLSessionResponseDisposition::Allow); });
  ASSERT_TRUE(delegate->waitForCompletions(1));
  delegate->drain();
  EXPECT_EQ(delegate->body, "0123456789");
  EXPECT_EQ(delegate->errors[0], nullptr);
}

TEST_F(NSURLSessionTest, ABodyBeyondWhatIsHeldForTheAnswerPausesAndComesWhole) {
  std::string large(3u << 20, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>('a' + (i * 7 + i / 4093) % 26);
  server.script("/large", {200, {}, large});
  delegate->holdResponse = true;
  auto task = session->dataTaskWithURL(NSURL::URLWithString(server.url("/large")));
  task->resume();
  ASSERT_TRUE(delegate->waitFor([&] { return static_cast<bool>(delegate->held); }));
  // The transfer paused on what it holds; other transfers go on.
  Outcome other;
  session->dataTaskWithURL(NSURL::URLWithString(server.url("/large")), other.handler())->resume();
  ASSERT_TRUE(other.wait());
  EXPECT_EQ(other.text(), large);
  EXPECT_EQ(task->countOfBytesReceived(), 0) << "nothing reached the delegate yet";
  EXPECT_EQ(task->state(), NSURLSessionTaskState::Running);
  dispatch_sync(queue, [&] { delegate->held(NSURLSessionResponseDisposition::Allow); });
  ASSERT_TRUE(delegate->waitForCompletions(1));
  delegate->drain();
  EXPECT_EQ(delegate->errors[0], nullptr);
  EXPECT_TRUE(delegate->body == large) << "the held part, then the rest, in order";
  EXPECT_EQ(task->countOfBytesReceived(), static_cast<int64_t>(large.size()));
}

// A delegate slower than the wire: its transfer pauses once the body queued
// for it reaches the bound, and goes on once it has taken that down to half,
// not before and not only when it has taken everything.
TEST_F(NSURLSessionTest, ATransferPausesWhileTheDelegateIsBehindAndGoesOnAtHalf) {
  constexpr size_t kLimit = NSURLSessionEngine::kQueuedBodyLimit;
  const std::string large(4 * kLimit, 'q');
  server.script("/large", {200, {}, large});
  // Until `grown` holds of what has reached the queue, or the test's time is up.
  auto until = [](const std::function<bool()>& grown) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(kTestTimeoutSeconds);
    while (!grown() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return grown();
  };
  int64_t paused = 0;  // queued when the transfer paused
  size_t taken = 0;    // what the delegate has taken
  bool resumed = false;
  std::vector<std::string> wrong;
  delegate->onData = [&](const NSURLSessionDataTaskPtr& task, size_t length) {
    if (paused == 0) {
      // The first chunk is held here while the queue fills up to the bound.
      if (!until([&] { return task->countOfBytesReceived() >= int64_t(kLimit); })) {
        wrong.push_back("the queue never reached the bound");
      }
      paused = task->countOfBytesReceived();
    } else if (!resumed && size_t(paused) - taken > kLimit / 2) {
      if (task->countOfBytesReceived() != paused) {
        wrong.push_back("went on with " + std::to_string(paused - taken) + " bytes queued");
        resumed = true;
      }
    } else if (!resumed) {
      // Half is taken: the transfer goes on while this chunk is still held.
      if (!until([&] { return task->countOfBytesReceived() > paused; })) {
        wrong.push_back("still paused with " + std::to_string(paused - taken) + " bytes queued");
      }
      resumed = true;
    }
    taken += length;
  };
  auto task = session->dataTaskWithURL(NSURL::URLWithString(server.url("/large")));
  task->resume();
  ASSERT_TRUE(delegate->waitForCompletions(1));
  delegate->drain();
  EXPECT_EQ(wrong, std::vector<std::string>{});
  EXPECT_TRUE(resumed);
  EXPECT_LT(paused, int64_t(kLimit + (1u << 20))) << "paused at the bound, give or take a chunk";
  EXPECT_EQ(delegate->errors[0], nullptr);
  EXPECT_TRUE(delegate->body == large);
}

TEST_F(NSURLSessionTest, ACancelBeforeTheLastAnswersEndsTheTaskAsCancelled) {
  // While the response's answer is out, the whole body may already be in:
  // a cancel still ends the task as cancelled, with no body delivered.
  server.script("/image", {200, {}, "0123456789"});
  delegate->holdResponse = true;
  auto waiting = session->dataTaskWithURL(NSURL::URLWithString(server.url("/image")));
  waiting->resume();
  ASSERT_TRUE(delegate->waitFor([&] { return static_cast<bool>(delegate->held); }));
  waiting->cancel();
  ASSERT_TRUE(delegate->waitForCompletions(1));
  dispatch_sync(queue, [&] { delegate->held(NSURLSessionResponseDisposition::Allow); });
  delegate->drain();
  EXPECT_EQ(delegate->body, "");
  ASSERT_EQ(delegate->errors.size(), 1u);
  EXPECT_EQ(delegate->errors[0]->code(), NSURLErrorCancelled);

  // While the cache answer is out, a cancel wins too and nothing is stored.
  delegate->holdResponse = false;
  delegate->holdCache = true;
  server.script("/stored", {200, {}, "body"});
  auto caching = session->dataTaskWithURL(NSURL::URLWithString(server.url("/stored")));
  caching->resume();
  ASSERT_TRUE(delegate->waitFor([&] { return static_cast<bool>(delegate->heldCache); }));
  EXPECT_NE(caching->state(), NSURLSessionTaskState::Completed) << "the end waits for the answer";
  caching->cancel();
  ASSERT_TRUE(delegate->waitForCompletions(2));
  NSCachedURLResponsePtr proposal = delegate->proposals.back();
  dispatch_sync(queue, [&] { delegate->heldCache(proposal); });
  delegate->drain();
  EXPECT_EQ(delegate->errors.size(), 2u);
  EXPECT_EQ(delegate->errors[1]->code(), NSURLErrorCancelled);
  EXPECT_EQ(delegate->body, "body") << "the body came before the cache question";
  EXPECT_EQ(NSURLCache::sharedURLCache()->cachedResponseForRequest(
                NSURLRequest::requestWithURL(NSURL::URLWithString(server.url("/stored")))),
            nullptr);
}

TEST_F(NSURLSessionTest, RefusingTheResponseCancelsWithOrWithoutABody) {
  server.script("/body", {200, {}, "unwanted"});
  server.script("/empty", {204, {}, ""});
  delegate->answer = NSURLSessionResponseDisposition::Cancel;
  session->dataTaskWithURL(NSURL::URLWithString(server.url("/body")))->resume();
  ASSERT_TRUE(delegate->waitForCompletions(1));
  session->dataTaskWithURL(NSURL::URLWithString(server.url("/empty")))->resume();
  ASSERT_TRUE(delegate->waitForCompletions(2));
  delegate->drain();
  for (const auto& error : delegate->errors) {
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), NSURLErrorDomain);
    EXPECT_EQ(error->code(), NSURLErrorCancelled);
  }
  EXPECT_EQ(delegate->body, "");
}

TEST_F(NSURLSessionTest, CancelEndsATaskExactlyOnce) {
  auto running = startHangingTask();
  ASSERT_TRUE(server.waitForRequests(1));
  running->cancel();
  running->cancel();
  auto neverStarted = session->dataTaskWithURL(NSURL::URLWithString(server.url("/hang")));
  neverStarted->cancel();
  neverStarted->resume();
  ASSERT_TRUE(delegate->waitForCompletions(2));
  // A late resume or cancel after the end delivers nothing more.
  running->resume();
  running->cancel();
  auto marker = session->dataTaskWithURL(NSURL::URLWithString(server.url("/missing")));
  marker->resume();
  ASSERT_TRUE(delegate->waitForCompletions(3));
  delegate->drain();

  std::lock_guard<std::mutex> lock(delegate->mutex_);
  ASSERT_EQ(delegate->errors.size(), 3u);
  EXPECT_EQ(delegate->completedIdentifiers.back(), marker->taskIdentifier());
  for (int i = 0; i < 2; ++i) {
    ASSERT_NE(delegate->errors[i], nullptr);
    EXPECT_EQ(delegate->errors[i]->code(), NSURLErrorCancelled);
  }
  EXPECT_EQ(delegate->errors[2], nullptr) << "a 404 is a response, not an error";
  EXPECT_EQ(running->state(), NSURLSessionTaskState::Completed);
  EXPECT_EQ(running->error()->code(), NSURLErrorCancelled);
  EXPECT_EQ(server.requests().size(), 2u) << "the task cancelled before resuming never reached the server";
}

// One mebibyte of zeros as a raw deflate segment that starts afresh and ends
// on a byte boundary (a full flush), so copies of it in a row are one stream.
std::string MebibyteOfZerosDeflated() {
  const auto hex = [](const char* text) {
    std::string out;
    for (const char* p = text; p[0] && p[1]; p += 2) out.push_back(char(std::stoi(std::string(p, 2), nullptr, 16)));
    return out;
  };
  return hex("ecc13101000000c2a0f54f6d085fa0") + std::string(1016, '\0') + hex("3e030000ffff");
}

// Cancels its task at the first chunk of the body.
class CancelAtFirstChunk : public RecordingDelegate {
 public:
  using RecordingDelegate::RecordingDelegate;
  void didReceiveData(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                      const NSDataPtr& data) override {
    task->cancel();
    RecordingDelegate::didReceiveData(session, task, data);
  }
};

TEST_F(NSURLSessionTest, ACancelledTransferStopsTakingItsBody) {
  // Two megabytes of gzip that inflate to 2 GiB: once cancelled, the body is
  // no longer read and inflated (for nobody) until the cancel is served.
  const std::string segment = MebibyteOfZerosDeflated();
  ScriptedResponse bomb(200, {{"Content-Encoding", "gzip"}},
                        std::string("\x1f\x8b\x08\0\0\0\0\0\0\xff", 10) + segment);
  bomb.filler = segment;
  bomb.fillerLength = segment.size() * 2047;
  server.script("/bomb", bomb);
  auto cancelling = std::make_shared<CancelAtFirstChunk>(queue);
  auto own = NSURLSession::sessionWithConfiguration(NSURLSessionConfiguration::defaultSessionConfiguration(),
                                                    cancelling, queue);
  auto task = own->dataTaskWithURL(NSURL::URLWithString(server.url("/bomb")));
  task->resume();
  ASSERT_TRUE(cancelling->waitForCompletions(1));
  cancelling->drain();
  EXPECT_LT(task->countOfBytesReceived(), int64_t{64} << 20);
  own->invalidateAndCancel();
  std::lock_guard<std::mutex> lock(cancelling->mutex_);
  ASSERT_EQ(cancelling->errors.size(), 1u);
  ASSERT_NE(cancelling->errors[0], nullptr);
  EXPECT_EQ(cancelling->errors[0]->code(), NSURLErrorCancelled);
}

TEST_F(NSURLSessionTest, InvalidatingCancelsRunningAndLaterTasks) {
  auto running = startHangingTask();
  ASSERT_TRUE(server.waitForRequests(1));
  session->invalidateAndCancel();
  EXPECT_EQ(session->delegate(), nullptr) << "an invalid session lets its delegate go";
  auto late = session->dataTaskWithURL(NSURL::URLWithString(server.url("/hang")));
  late->resume();
  Outcome lateWithHandler;
  session->dataTaskWithURL(NSURL::URLWithString(server.url("/hang")), lateWithHandler.handler())->resume();
  ASSERT_TRUE(lateWithHandler.wait());
  delegate->drain();
  ASSERT_EQ(delegate->errors.size(), 1u);
  EXPECT_EQ(delegate->errors[0]->code(), NSURLErrorCancelled);
  EXPECT_EQ(delegate->events.back(), "invalid");
  EXPECT_EQ(late->state(), NSURLSessionTaskState::Completed);
  EXPECT_EQ(late->error()->code(), NSURLErrorCancelled);
  EXPECT_EQ(lateWithHandler.error->code(), NSURLErrorCancelled);
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(NSURLSessionTest, SharedSessionFollowsRedirectsAndKeepsHttpStatuses) {
  server.script("/old", {302, {{"Location", "/new"}}, "moved"});
  server.script("/new", {200, {{"Content-Type", "application/json"}}, "{\"ok\":true}"});
  server.script("/same", {304, {{"ETag", "\"v1\""}}, ""});
  Outcome redirected, notModified, missing;
  fetch(server.url("/old"), redirected);
  fetch(server.url("/same"), notModified);
  fetch(server.url("/nothing-here"), missing);

  EXPECT_EQ(redirected.calls, 1);
  EXPECT_EQ(redirected.error, nullptr);
  EXPECT_EQ(redirected.text(), "{\"ok\":true}");
  ASSERT_NE(redirected.response, nullptr);
  EXPECT_EQ(redirected.response->URL()->absoluteString(), server.url("/new"));
  EXPECT_EQ(redirected.response->MIMEType(), "application/json");
  EXPECT_EQ(redirected.response->valueForHTTPHeaderField("Location"), std::nullopt);

  EXPECT_EQ(notModified.error, nullptr);
  EXPECT_EQ(notModified.response->statusCode(), 304);
  EXPECT_EQ(notModified.response->valueForHTTPHeaderField("etag"), "\"v1\"");
  ASSERT_NE(notModified.data, nullptr);
  EXPECT_EQ(notModified.data->length(), 0u);

  EXPECT_EQ(missing.error, nullptr);
  EXPECT_EQ(missing.response->statusCode(), 404);
  EXPECT_EQ(missing.text(), "not found");
  EXPECT_EQ(server.requests().size(), 4u);
}

TEST_F(NSURLSessionTest, FailuresMapToUrlErrorCodes) {
  ScriptedResponse drop;
  drop.body = "partial";
  drop.dropConnection = true;
  server.script("/drop", drop);
  server.script("/loop", {302, {{"Location", "/loop"}}, ""});
  Outcome dropped, refused, unsupported, looping;
  fetch(server.url("/drop"), dropped);
  fetch("http://127.0.0.1:" + std::to_string(LoopbackHttpServer::closedPort()) + "/", refused);
  fetch("ftp://127.0.0.1/file", unsupported);
  fetch(server.url("/loop"), looping);

  struct Case {
    Outcome* outcome;
    int64_t code;
  };
  for (const Case& c : {Case{&dropped, NSURLErrorNetworkConnectionLost}, Case{&refused, NSURLErrorCannotConnectToHost},
                        Case{&unsupported, NSURLErrorUnsupportedURL}, Case{&looping, NSURLErrorHTTPTooManyRedirects}}) {
    ASSERT_NE(c.outcome->error, nullptr) << c.code;
    EXPECT_EQ(c.outcome->error->domain(), NSURLErrorDomain);
    EXPECT_EQ(c.outcome->error->code(), c.code);
    EXPECT_EQ(c.outcome->data, nullptr);
    EXPECT_EQ(c.outcome->calls, 1);
  }
  EXPECT_NE(dropped.error->userInfo().find(NSURLErrorFailingURLStringErrorKey), nullptr);
  EXPECT_EQ(NSURLErrorCodeForCurlCode(0), 0);
}

// A server that answers every connection with `reply` and closes it.
class RawReplyServer {
 public:
  explicit RawReplyServer(std::string reply) : reply_(std::move(reply)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd_, 4) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "no listening socket";
      return;
    }
    port_ = ntohs(address.sin_port);
    auto done = done_;
    dispatch_async(dispatch_get_global_queue(DispatchQoS::Default), [fd = fd_, reply = reply_, done] {
      DispatchBlockingScope blocking;
      pollfd wait{fd, POLLIN, 0};
      if (::poll(&wait, 1, 10000) == 1) {
        const int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
          char request[4096];
          (void)::recv(client, request, sizeof request, 0);
          size_t sent = 0;
          while (sent < reply.size()) {
            const ssize_t n = ::send(client, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
          }
          ::shutdown(client, SHUT_RDWR);
          ::close(client);
        }
      }
      dispatch_semaphore_signal(done);
    });
  }
  ~RawReplyServer() {
    dispatch_semaphore_wait(done_, dispatch_time_after(kTestTimeoutSeconds));
    ::close(fd_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

 private:
  std::string reply_;
  int fd_ = -1;
  int port_ = 0;
  dispatch_semaphore_t done_ = dispatch_semaphore_create(0);
};

TEST_F(NSURLSessionTest, RepliesThatAreNoHTTPAreBadServerResponses) {
  for (const std::string& reply :
       {std::string("SSH-2.0-OpenSSH_9.2\r\ngarbage, not HTTP at all\r\n"),
        "HTTP/1.1 200 OK\r\nX-Huge: " + std::string(300 * 1024, 'h') + "\r\nContent-Length: 2\r\n\r\nok"}) {
    RawReplyServer raw(reply);
    Outcome outcome;
    fetch(raw.url(), outcome);
    ASSERT_NE(outcome.error, nullptr) << reply.substr(0, 20);
    EXPECT_EQ(outcome.error->code(), NSURLErrorBadServerResponse) << outcome.error->localizedDescription();
  }
}

// A server that answers one connection with `head`, then sends `body` a
// byte at a time, `interval` apart, and closes; with no body it holds the
// connection until the client lets it go.
class TricklingServer {
 public:
  // Sends `head` at once, then `body` `step` bytes at a time, `interval` apart.
  TricklingServer(std::string head, std::string body, std::chrono::milliseconds interval, size_t step = 1) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd_, 4) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "no listening socket";
      return;
    }
    port_ = ntohs(address.sin_port);
    auto done = done_;
    dispatch_async(dispatch_get_global_queue(DispatchQoS::Default), [fd = fd_, head, body, interval, step, done] {
      DispatchBlockingScope blocking;
      pollfd wait{fd, POLLIN, 0};
      if (::poll(&wait, 1, 10000) == 1) {
        const int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
          char request[4096];
          (void)::recv(client, request, sizeof request, 0);
          bool open = ::send(client, head.data(), head.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(head.size());
          // Pacing waits on the client's socket, so a client that gives up
          // ends them early.
          pollfd peer{client, POLLIN, 0};
          for (size_t i = 0; open && i < body.size(); i += step) {
            if (::poll(&peer, 1, static_cast<int>(interval.count())) != 0) open = false;
            const size_t size = std::min(step, body.size() - i);
            if (open) open = ::send(client, &body[i], size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
          }
          if (open && body.empty()) (void)::poll(&peer, 1, 10000);
          ::close(client);
        }
      }
      dispatch_semaphore_signal(done);
    });
  }
  ~TricklingServer() {
    dispatch_semaphore_wait(done_, dispatch_time_after(kTestTimeoutSeconds));
    ::close(fd_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

 private:
  int fd_ = -1;
  int port_ = 0;
  dispatch_semaphore_t done_ = dispatch_semaphore_create(0);
};

TEST_F(NSURLSessionTest, TheTimeoutIsTheLongestSilenceNotAnAverageSpeed) {
  // Under one byte a second, but never silent for the whole interval.
  {
    TricklingServer trickle("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n", "abcd", std::chrono::milliseconds(1100));
    auto request = NSMutableURLRequest::requestWithURL(NSURL::URLWithString(trickle.url()));
    request->setTimeoutInterval(1.6);
    Outcome outcome;
    NSURLSession::sharedSession()->dataTaskWithRequest(request, outcome.handler())->resume();
    ASSERT_TRUE(outcome.wait());
    EXPECT_EQ(outcome.error, nullptr) << outcome.error->localizedDescription();
    EXPECT_EQ(outcome.text(), "abcd");
  }
}

TEST_F(NSURLSessionTest, AResponseIsHandedOnWithItsHeadAndSilenceAfterItTimesOut) {
  using Clock = std::chrono::steady_clock;
  // A head, then silence: the delegate has the response at once, and the
  // load times out one interval after the head, not seconds later.
  TricklingServer silent("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", "", std::chrono::milliseconds(0));
  auto request = NSMutableURLRequest::requestWithURL(NSURL::URLWithString(silent.url()));
  request->setTimeoutInterval(1);
  const auto start = Clock::now();
  session->dataTaskWithRequest(request)->resume();
  ASSERT_TRUE(delegate->waitForCompletions(1));
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  delegate->drain();
  EXPECT_GE(elapsed, 0.9);
  EXPECT_LT(elapsed, 1.6);
  EXPECT_EQ(delegate->events, (std::vector<std::string>{"response", "metrics", "complete"}));
  ASSERT_NE(delegate->response, nullptr);
  EXPECT_EQ(delegate->response->statusCode(), 200);
  ASSERT_NE(delegate->errors[0], nullptr);
  EXPECT_EQ(delegate->errors[0]->code(), NSURLErrorTimedOut);
}

TEST_F(NSURLSessionTest, AHeadComingLineByLineIsNoSilence) {
  // Each field within the interval, the whole head well past it.
  TricklingServer slowHead("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n",
                           "A: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\nE: 5\r\n\r\nok", std::chrono::milliseconds(250), 6);
  auto request = NSMutableURLRequest::requestWithURL(NSURL::URLWithString(slowHead.url()));
  request->setTimeoutInterval(0.8);
  Outcome outcome;
  NSURLSession::sharedSession()->dataTaskWithRequest(request, outcome.handler())->resume();
  ASSERT_TRUE(outcome.wait());
  ASSERT_EQ(outcome.error, nullptr) << outcome.error->localizedDescription();
  EXPECT_EQ(outcome.text(), "ok");
  EXPECT_EQ(outcome.response->valueForHTTPHeaderField("E"), "5");
}

TEST_F(NSURLSessionTest, ARedirectWaitingForTheDelegateDoesNotTimeOut) {
  // The delegate takes longer than the interval to answer each redirect:
  // one whose body is held back in the transfer, and one without a body
  // whose transfer is already over.
  server.script("/moved", {302, {{"Location", "/bare"}}, "moved"});
  server.script("/bare", {302, {{"Location", "/end"}}, ""});
  server.script("/end", {200, {}, "there"});
  delegate->onRedirect = [](const NSURLRequestPtr& proposed) {
    // A server trickling for well over the interval is the clock.
    TricklingServer clock("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n", "abc", std::chrono::milliseconds(250));
    Outcome ticks;
    NSURLSession::sharedSession()->dataTaskWithURL(NSURL::URLWithString(clock.url()), ticks.handler())->resume();
    EXPECT_TRUE(ticks.wait());
    return proposed;
  };
  auto request = NSMutableURLRequest::requestWithURL(NSURL::URLWithString(server.url("/moved")));
  request->setTimeoutInterval(0.5);
  load(request);
  ASSERT_EQ(delegate->redirects.size(), 2u);
  ASSERT_EQ(delegate->errors.size(), 1u);
  EXPECT_EQ(delegate->errors[0], nullptr) << delegate->errors[0]->localizedDescription();
  EXPECT_EQ(delegate->body, "there");
}

TEST_F(NSURLSessionTest, ATransferPausedForTheDelegateDoesNotTimeOut) {
  // More body than is held while the answer is out: the transfer pauses on
  // our side, which is no silence of the server's however long it lasts.
  server.script("/large", {200, {}, std::string(3u << 20, 'x')});
  auto request = NSMutableURLRequest::requestWithURL(NSURL::URLWithString(server.url("/large")));
  request->setTimeoutInterval(0.4);
  delegate->holdResponse = true;
  auto task = session->dataTaskWithRequest(request);
  task->resume();
  ASSERT_TRUE(delegate->waitFor([&] { return static_cast<bool>(delegate->held); }));
  // A server trickling for well over the interval is the clock.
  TricklingServer clock("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n", "abcd", std::chrono::milliseconds(300));
  Outcome ticks;
  session->dataTaskWithURL(NSURL::URLWithString(clock.url()), ticks.handler())->resume();
  ASSERT_TRUE(ticks.wait());
  EXPECT_EQ(ticks.text(), "abcd");
  EXPECT_EQ(task->state(), NSURLSessionTaskState::Running);
  dispatch_sync(queue, [&] { delegate->held(NSURLSessionResponseDisposition::Allow); });
  ASSERT_TRUE(delegate->waitForCompletions(1));
  delegate->drain();
  EXPECT_EQ(delegate->errors[0], nullptr);
  EXPECT_EQ(delegate->body.size(), 3u << 20);
}

TEST_F(NSURLSessionTest, AnInterimHeadIsNotTheResponse) {
  RawReplyServer raw("HTTP/1.1 103 Early Hints\r\nLink: </a.css>\r\n\r\n"
                     "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nX-Final: yes\r\n\r\nok");
  Outcome outcome;
  fetch(raw.url(), outcome);
  ASSERT_EQ(outcome.error, nullptr);
  ASSERT_NE(outcome.response, nullptr);
  EXPECT_EQ(outcome.response->statusCode(), 200);
  EXPECT_EQ(outcome.response->valueForHTTPHeaderField("X-Final"), "yes");
  EXPECT_FALSE(outcome.response->valueForHTTPHeaderField("Link"));
  EXPECT_EQ(outcome.text(), "ok");
}

TEST_F(NSURLSessionTest, ServerThatNeverAnswersTimesOut) {
  server.script("/hang", hanging());
  auto request = NSMutableURLRequest::requestWithURL(NSURL::URLWithString(server.url("/hang")));
  request->setTimeoutInterval(1);
  Outcome outcome;
  NSURLSession::sharedSession()->dataTaskWithRequest(request, outcome.handler())->resume();
  ASSERT_TRUE(outcome.wait());
  ASSERT_NE(outcome.error, nullptr);
  EXPECT_EQ(outcome.error->code(), NSURLErrorTimedOut);
}

TEST_F(NSURLSessionTest, RequestCarriesMethodHeadersAndCookiesWhenAsked) {
  server.script("/login", {200, {{"Set-Cookie", "token=abc; Path=/"}}, "in"});
  NSURLSessionConfiguration configuration = NSURLSessionConfiguration::defaultSessionConfiguration();
  configuration.HTTPAdditionalHeaders["X-Client"] = "session";
  configuration.HTTPAdditionalHeaders["X-Shadowed"] = "session";
  auto cookieSession = NSURLSession::sessionWithConfiguration(configuration);

  auto run = [&](const NSURLRequestPtr& request) {
    Outcome outcome;
    cookieSession->dataTaskWithRequest(request, outcome.handler())->resume();
    EXPECT_TRUE(outcome.wait());
  };
  run(NSURLRequest::requestWithURL(NSURL::URLWithString(server.url("/login"))));
  auto post = NSMutableURLRequest::requestWithURL(NSURL::URLWithString(server.url("/echo")));
  post->setHTTPMethod("delete");
  post->setValueForHTTPHeaderField("request", "x-shadowed");
  post->addValueForHTTPHeaderField("one", "X-List");
  post->addValueForHTTPHeaderField("two", "X-List");
  run(post);
  auto noCookies = post->mutableCopy();
  noCookies->setHTTPMethod("GET");
  noCookies->setHTTPShouldHandleCookies(false);
  run(noCookies);
  // Handles are kept between transfers: one that never joined the jar does
  // not serve a request that wants it.
  auto withCookies = noCookies->mutableCopy();
  withCookies->setHTTPShouldHandleCookies(true);
  run(withCookies);

  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[3].headers["Cookie"], "token=abc");
  EXPECT_EQ(requests[0].headers.count("Cookie"), 0u);
  EXPECT_EQ(requests[1].method, "DELETE");
  EXPECT_EQ(requests[1].headers["Cookie"], "token=abc");
  EXPECT_EQ(requests[1].headers["X-Client"], "session");
  EXPECT_EQ(requests[1].headers["X-Shadowed"], "request");
  EXPECT_EQ(requests[1].headers["X-List"], "one, two");
  EXPECT_EQ(requests[2].method, "GET");
  EXPECT_EQ(requests[2].headers.count("Cookie"), 0u);
  EXPECT_EQ(requests[2].headers["X-List"], "one, two");
}

TEST_F(NSURLSessionTest, EachRequestIsSentAsItsOwnWhateverRanBeforeIt) {
  server.script("/body", {200, {}, "whole body"});
  auto run = [&](const NSURLRequestPtr& request) {
    Outcome outcome;
    session->dataTaskWithRequest(request, outcome.handler())->resume();
    EXPECT_TRUE(outcome.wait());
    return outcome.text();
  };
  auto url = NSURL::URLWithString(server.url("/body"));
  auto custom = NSMutableURLRequest::requestWithURL(url);
  custom->setHTTPMethod("DELETE");
  custom->setValueForHTTPHeaderField("1", "X-Once");
  custom->setTimeoutInterval(5);
  EXPECT_EQ(run(custom), "whole body");
  auto head = NSMutableURLRequest::requestWithURL(url);
  head->setHTTPMethod("HEAD");
  EXPECT_EQ(run(head), "");
  EXPECT_EQ(run(NSURLRequest::requestWithURL(url)), "whole body") << "no body-less request left behind";
  EXPECT_EQ(run(NSURLRequest::requestWithURL(url)), "whole body");

  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].method, "DELETE");
  EXPECT_EQ(requests[0].headers["X-Once"], "1");
  EXPECT_EQ(requests[1].method, "HEAD");
  EXPECT_EQ(requests[1].headers.count("X-Once"), 0u);
  EXPECT_EQ(requests[2].method, "GET");
  EXPECT_EQ(requests[3].method, "GET");
  EXPECT_EQ(requests[3].headers.count("X-Once"), 0u);
  EXPECT_EQ(requests[3].connection, requests[0].connection) << "one kept-alive connection throughout";
}

TEST_F(NSURLSessionTest, TasksCancelledFromOtherThreadsEndExactlyOnceWithinTheConnectionLimit) {
  ScriptedResponse held(200, {}, "payload");
  held.gate = "go";
  server.script("/held", held);
  constexpr int kTasks = 24;
  std::vector<NSURLSessionDataTaskPtr> tasks;
  for (int i = 0; i < kTasks; ++i) {
    tasks.push_back(session->dataTaskWithURL(NSURL::URLWithString(server.url("/held"))));
    tasks.back()->resume();
  }
  ASSERT_TRUE(server.waitForInFlight(6)) << "six connections to one host at most";
  EXPECT_EQ(server.requests().size(), 6u);

  // Odd tasks are cancelled from several threads while the others finish.
  dispatch_group_t cancelling = dispatch_group_create();
  for (int i = 1; i < kTasks; i += 2) {
    dispatch_group_async(cancelling, dispatch_get_global_queue(DispatchQoS::Default), [task = tasks[i]] {
      task->cancel();
      task->cancel();
    });
  }
  server.openGate("go");
  ASSERT_EQ(dispatch_group_wait(cancelling, dispatch_time_after(kTestTimeoutSeconds)), 0);
  ASSERT_TRUE(delegate->waitForCompletions(kTasks));
  delegate->drain();

  std::lock_guard<std::mutex> lock(delegate->mutex_);
  ASSERT_EQ(delegate->errors.size(), static_cast<size_t>(kTasks));
  std::set<uint64_t> completed(delegate->completedIdentifiers.begin(), delegate->completedIdentifiers.end());
  EXPECT_EQ(completed.size(), static_cast<size_t>(kTasks)) << "each task completes exactly once";
  for (int i = 0; i < kTasks; i += 2) EXPECT_EQ(tasks[i]->error(), nullptr) << i;
  for (int i = 1; i < kTasks; i += 2) {
    if (tasks[i]->error()) {
      EXPECT_EQ(tasks[i]->error()->code(), NSURLErrorCancelled) << i;
    }
  }
}

TEST_F(NSURLSessionTest, TasksBeyondTheLimitWaitForTheirOwnServersSlotsAndThenAllRun) {
  struct Case {
    int limit;
    size_t tasks;
  };
  size_t completions = 0;
  for (const Case& c : {Case{1, 3}, Case{2, 5}}) {
    SCOPED_TRACE(c.limit);
    const std::string gate = "go" + std::to_string(c.limit);
    ScriptedResponse held(200, {}, "payload");
    held.gate = gate;
    server.script("/" + gate, held);
    // The same server under another name is another host, with slots of its own.
    const std::string other = "http://localhost:" + std::to_string(server.port()) + "/" + gate;
    NSURLSessionConfiguration configuration =
        NSURLSessionConfiguration::defaultSessionConfiguration();
    configuration.HTTPMaximumConnectionsPerHost = c.limit;
    auto limited = NSURLSession::sessionWithConfiguration(configuration, delegate, queue);
    const size_t before = server.requests().size();
    std::vector<NSURLSessionDataTaskPtr> tasks;
    for (size_t i = 0; i <= c.tasks; ++i) {
      const std::string url = i == c.tasks ? other : server.url("/" + gate);
      tasks.push_back(limited->dataTaskWithURL(NSURL::URLWithString(url)));
      tasks.back()->resume();
    }
    // The limit reached exactly on the first host, one on the other.
    ASSERT_TRUE(server.waitForInFlight(static_cast<size_t>(c.limit) + 1));
    EXPECT_EQ(server.requests().size() - before, static_cast<size_t>(c.limit) + 1);
    server.openGate(gate);
    completions += tasks.size();
    ASSERT_TRUE(delegate->waitForCompletions(completions)) << "a waiting task never got a slot";
    delegate->drain();
    for (const auto& task : tasks) EXPECT_EQ(task->error(), nullptr);
    EXPECT_EQ(server.requests().size() - before, tasks.size());
    // A task that waited starts its fetch only once another's has ended:
    // at no time do more than `limit` fetches to the first host overlap.
    std::vector<std::pair<double, double>> fetches;
    {
      std::lock_guard<std::mutex> lock(delegate->mutex_);
      for (size_t i = delegate->metrics.size() - tasks.size(); i < delegate->metrics.size(); ++i) {
        for (const auto& t : delegate->metrics[i]->transactionMetrics()) {
          if (t.request->URL()->host() == "localhost") continue;
          ASSERT_TRUE(t.fetchStartDate && t.responseEndDate);
          fetches.emplace_back(*t.fetchStartDate, *t.responseEndDate);
        }
      }
    }
    ASSERT_EQ(fetches.size(), c.tasks);
    for (const auto& fetch : fetches) {
      const auto start = fetch.first;  // clang 14 cannot capture a structured binding
      const auto running = std::count_if(fetches.begin(), fetches.end(), [&](const auto& other) {
        return other.first <= start && start < other.second;
      });
      EXPECT_LE(running, c.limit) << "fetches overlapping one that started at " << std::fixed
                                  << start;
    }
    limited->finishTasksAndInvalidate();
  }
}

// One connection limit per host as curl counts hosts: the port a scheme
// implies is the port, and host names and schemes ignore case.
TEST(NSURLSessionHostSlots, URLsShareALimitExactlyWhenCurlWouldShareConnections) {
  struct Case {
    const char* a;
    const char* b;
    bool same;
  };
  const Case cases[] = {
      {"https://h/", "https://h:443/", true},
      {"https://h/", "https://h:444/", false},
      {"https://h/", "https://h:442/", false},
      {"http://h/", "http://h:80/", true},
      {"http://h/", "http://h:81/", false},
      {"http://h/", "http://h:443/", false},
      {"http://h:443/", "https://h/", false},
      {"http://h/", "https://h:80/", false},
      {"http://h:8080/a", "http://h:8080/b?c", true},
      {"http://h:8080/", "http://h:8081/", false},
      {"https://Example.COM/", "https://example.com:443/", true},
      {"HTTPS://example.com/", "https://example.com/", true},
      {"https://example.com/", "https://example.org/", false},
      {"https://[::1]/", "https://[::1]:443/", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " " + c.b);
    std::string a, b;
    NSURLSessionEngine::hostSlotKey(*NSURL::URLWithString(c.a), a);
    NSURLSessionEngine::hostSlotKey(*NSURL::URLWithString(c.b), b);
    EXPECT_EQ(a == b, c.same) << a << " against " << b;
  }
}

// Once its end is delivered the session keeps nothing of a task: what the
// session thread keeps for the next tasks (map nodes) holds no task, which
// would otherwise hold the session's engine in a cycle.
TEST_F(NSURLSessionTest, EndedTasksAreLetGoWhileTheSessionGoesOn) {
  ScriptedResponse held(200, {}, "payload");
  held.gate = "both";
  server.script("/both", held);
  server.script("/after", {200, {}, "after"});
  std::vector<std::weak_ptr<NSURLSessionDataTask>> ended;
  {
    // Two at once, so that both are live and transferring together.
    std::vector<NSURLSessionDataTaskPtr> tasks;
    for (int i = 0; i < 2; ++i) {
      tasks.push_back(session->dataTaskWithURL(NSURL::URLWithString(server.url("/both"))));
      tasks.back()->resume();
    }
    ASSERT_TRUE(server.waitForInFlight(2));
    server.openGate("both");
    ASSERT_TRUE(delegate->waitForCompletions(2));
    delegate->drain();
    ended.assign(tasks.begin(), tasks.end());
  }
  // A later task's end comes after the session thread is done with these.
  EXPECT_EQ(load(server.url("/after"))->error(), nullptr);
  for (size_t i = 0; i < ended.size(); ++i) EXPECT_TRUE(ended[i].expired()) << i;
}

using NSHTTPURLResponseTest = PlatformTest;

TEST_F(NSHTTPURLResponseTest, LengthAndTypeComeOnlyFromWellFormedFields) {
  auto url = NSURL::URLWithString("http://127.0.0.1/x");
  NSHTTPURLResponse bad(url, 200, {{"content-length", "12abc"}, {"content-type", " ; charset=utf-8"}});
  EXPECT_EQ(bad.expectedContentLength(), -1);
  EXPECT_EQ(bad.MIMEType(), std::nullopt);
  EXPECT_EQ(bad.textEncodingName(), "utf-8");
  NSHTTPURLResponse good(url, 200, {{"Content-Length", " 42 "}, {"Content-Type", "IMAGE/JPEG;q=1"}});
  EXPECT_EQ(good.expectedContentLength(), 42);
  EXPECT_EQ(good.MIMEType(), "image/jpeg");
  EXPECT_EQ(good.textEncodingName(), std::nullopt);
  NSHTTPURLResponse huge(url, 200, {{"Content-Length", "99999999999999999999999"}});
  EXPECT_EQ(huge.expectedContentLength(), -1);
}

using NSURLRequestTest = PlatformTest;

TEST_F(NSURLRequestTest, DefaultsAndNormalisation) {
  auto request = NSMutableURLRequest::requestWithURL(NSURL::URLWithString("http://127.0.0.1/"));
  EXPECT_EQ(request->HTTPMethod(), "GET");
  EXPECT_EQ(request->timeoutInterval(), 60.0);
  EXPECT_TRUE(request->HTTPShouldHandleCookies());
  EXPECT_EQ(request->cachePolicy(), NSURLRequestCachePolicy::UseProtocolCachePolicy);
  request->setTimeoutInterval(-5);
  EXPECT_EQ(request->timeoutInterval(), 60.0);
  request->setHTTPMethod("  ");
  EXPECT_EQ(request->HTTPMethod(), "GET");
  request->setHTTPShouldUsePipelining(true);
  request->setHTTPShouldHandleCookies(false);
  request->setCachePolicy(NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData);
  auto copy = request->mutableCopy();
  EXPECT_TRUE(copy->HTTPShouldUsePipelining());
  EXPECT_FALSE(copy->HTTPShouldHandleCookies());
  EXPECT_EQ(copy->cachePolicy(), NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData);
  request->setValueForHTTPHeaderField("1", "Accept");
  request->setValueForHTTPHeaderField(std::nullopt, "ACCEPT");
  EXPECT_TRUE(request->allHTTPHeaderFields().empty());
}

// Requests that share their fields never see each other's changes, whichever
// side changes them, by whichever call.
TEST_F(NSURLRequestTest, SharedFieldsAreCopiedByTheOneThatChangesThem) {
  using Change = void (*)(NSMutableURLRequest&);
  const std::pair<const char*, Change> changes[] = {
      {"set", [](NSMutableURLRequest& r) { r.setValueForHTTPHeaderField("2", "accept"); }},
      {"add", [](NSMutableURLRequest& r) { r.addValueForHTTPHeaderField("2", "ACCEPT"); }},
      {"add new", [](NSMutableURLRequest& r) { r.addValueForHTTPHeaderField("2", "X-New"); }},
      {"remove",
       [](NSMutableURLRequest& r) { r.setValueForHTTPHeaderField(std::nullopt, "Accept"); }},
      {"replace all",
       [](NSMutableURLRequest& r) { r.setAllHTTPHeaderFields(NSHTTPHeaderFields{}); }},
      {"share none",
       [](NSMutableURLRequest& r) { r.setAllHTTPHeaderFields(NSHTTPHeaderFieldsPtr()); }},
  };
  const NSHTTPHeaderFields original{{"Accept", "1"}, {"X-Kept", "k"}};
  for (const auto& [name, change] : changes) {
    for (int changed = 0; changed < 5; ++changed) {
      SCOPED_TRACE(std::string(name) + " on " + std::to_string(changed));
      // a's map is its own until it is copied; e's comes from elsewhere.
      auto a = NSMutableURLRequest::requestWithURL(NSURL::URLWithString("http://h/"));
      a->setAllHTTPHeaderFields(original);
      auto b = a->mutableCopy();
      auto c = b->mutableCopy();
      auto d = NSMutableURLRequest::requestWithURL(NSURL::URLWithString("http://h/"));
      d->setAllHTTPHeaderFields(c->sharedHTTPHeaderFields());
      auto source = std::make_shared<NSHTTPHeaderFields>(original);
      auto e = NSMutableURLRequest::requestWithURL(NSURL::URLWithString("http://h/"));
      e->setAllHTTPHeaderFields(NSHTTPHeaderFieldsPtr(source));
      NSMutableURLRequest* all[] = {a.get(), b.get(), c.get(), d.get(), e.get()};
      change(*all[changed]);
      // Twice: the second change is made to a map the request now owns.
      change(*all[changed]);
      const NSHTTPHeaderFields after = all[changed]->allHTTPHeaderFields();
      EXPECT_NE(after, original);
      for (int i = 0; i < 5; ++i) {
        if (i != changed) {
          EXPECT_EQ(all[i]->allHTTPHeaderFields(), original) << i;
        }
      }
      EXPECT_EQ(*source, original);
      EXPECT_EQ(all[changed]->mutableCopy()->allHTTPHeaderFields(), after);
    }
  }
  // A request's own map, changed in place, is what its reads show.
  auto own = NSMutableURLRequest::requestWithURL(NSURL::URLWithString("http://h/"));
  own->setAllHTTPHeaderFields(original);
  own->addValueForHTTPHeaderField("2", "accept");
  own->addValueForHTTPHeaderField("3", "x-new");
  EXPECT_EQ(own->valueForHTTPHeaderField("ACCEPT"), "1, 2");
  EXPECT_EQ(own->allHTTPHeaderFields().size(), 3u);
  EXPECT_EQ(own->allHTTPHeaderFields().begin()->first, "Accept");
}

}  // namespace

}  // namespace nsurl_session_test
