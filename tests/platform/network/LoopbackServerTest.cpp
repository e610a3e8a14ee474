#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "SessionRecording.h"
#include "support/TestEnvironment.h"
#include "support/network/LoopbackHttpServer.h"

namespace loopback_server_test {

namespace {

using Transport = LoopbackHttpServer::Transport;

class LoopbackServerTest : public SessionTest {
 protected:
  void trustEveryServer() {
    delegate->onChallenge = [](const NSURLAuthenticationChallengePtr& challenge,
                               NSURLSessionChallengeHandler& handler) {
      handler(NSURLSessionAuthChallengeDisposition::UseCredential,
              NSURLCredential::credentialForTrust(challenge->protectionSpace()->serverTrust()));
    };
  }
  // The transaction that carried the last finished task's response.
  NSURLSessionTaskTransactionMetrics lastTransaction() {
    std::lock_guard<std::mutex> lock(delegate->mutex_);
    if (delegate->metrics.empty() || delegate->metrics.back()->transactionMetrics().empty())
      return {};
    return delegate->metrics.back()->transactionMetrics().back();
  }
};

// A plain socket to the server, for clients that misbehave.
int connectTo(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
}

void sendText(int fd, const std::string& text) {
  EXPECT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// Destroys `server` on a thread of its own; false when that takes longer
// than any of the server's own socket timeouts would allow.
bool stopsPromptly(std::unique_ptr<LoopbackHttpServer> server) {
  auto stopped = std::make_shared<std::promise<void>>();
  std::future<void> done = stopped->get_future();
  std::thread([server = std::move(server), stopped]() mutable {
    server.reset();
    stopped->set_value();
  }).detach();
  return done.wait_for(std::chrono::duration<double>(kTestTimeoutSeconds / 2)) ==
         std::future_status::ready;
}

TEST_F(LoopbackServerTest, KeepAliveCarriesSequentialRequestsOverOneConnection) {
  trustEveryServer();
  LoopbackHttpServer secure{Transport::Https};
  for (LoopbackHttpServer* host : {&server, &secure}) {
    SCOPED_TRACE(host->url("/"));
    host->script("/a?v=1", {200, {{"Content-Type", "text/plain"}}, "first"});
    host->script("/b", {200, {}, "second", true});
    // A HEAD of a streamed body leaves nothing behind for the next response.
    const std::pair<const char*, const char*> exchanges[] = {
        {"GET", "/a?v=1"}, {"HEAD", "/b"}, {"GET", "/b"}, {"GET", "/missing"}};
    for (const auto& [method, path] : exchanges) {
      auto request = NSMutableURLRequest::requestWithURL(NSURL::URLWithString(host->url(path)));
      request->setHTTPMethod(method);
      auto task = load(request);
      EXPECT_EQ(task->error(), nullptr) << method << path;
      NSURLSessionTaskTransactionMetrics transaction = lastTransaction();
      EXPECT_EQ(transaction.networkProtocolName, "http/1.1") << method << path;
      EXPECT_EQ(transaction.reusedConnection, std::string(path) != "/a?v=1") << method << path;
    }
    auto requests = host->requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].path, "/a?v=1") << "the target as sent, query and all";
    EXPECT_EQ(requests[1].method, "HEAD");
    for (const LoggedRequest& request : requests)
      EXPECT_EQ(request.connection, requests[0].connection);
    EXPECT_EQ(requests[0].headers.at("Host"), "127.0.0.1:" + std::to_string(host->port()));
  }
  EXPECT_EQ(delegate->body, "firstsecondnot foundfirstsecondnot found");
  EXPECT_NE(server.requests()[0].connection, LoggedRequest().connection);
}

// Six transfers at once open the host's six connections; a quiet moment
// with one transfer must not close any of them, so the next six at once
// reuse all six.
TEST_F(LoopbackServerTest, ConnectionsOutliveAQuietMoment) {
  server.script("/single", ScriptedResponse(200, {}, "b"));
  ScriptedResponse gated(200, {}, "d");
  auto batch = [&](const std::string& path, const std::string& gate) {
    gated.gate = gate;
    size_t before;
    {
      std::lock_guard<std::mutex> lock(delegate->mutex_);
      before = delegate->errors.size();
    }
    for (int i = 0; i < 6; ++i) {
      const std::string target = path + "/" + std::to_string(i);
      server.script(target, gated);
      session->dataTaskWithURL(NSURL::URLWithString(server.url(target)))->resume();
    }
    // All six wait in the server at once, each on a connection of its own.
    ASSERT_TRUE(server.waitForInFlight(6));
    server.openGate(gate);
    ASSERT_TRUE(delegate->waitForCompletions(before + 6));
    delegate->drain();
  };
  batch("/together", "first");
  for (int i = 0; i < 3; ++i) load(server.url("/single"));
  batch("/again", "second");

  std::set<uint64_t> first, second;
  for (const LoggedRequest& request : server.requests()) {
    if (request.path.rfind("/together", 0) == 0) first.insert(request.connection);
    if (request.path.rfind("/again", 0) == 0) second.insert(request.connection);
  }
  EXPECT_EQ(first.size(), 6u);
  EXPECT_EQ(second, first) << "the second six came over the first six's connections";
  for (const NSErrorPtr& error : delegate->errors) EXPECT_EQ(error, nullptr);
}

TEST_F(LoopbackServerTest, AServerThatMultiplexesIsNotHeldToThePerHostLimit) {
  trustEveryServer();
  LoopbackHttpServer h2{Transport::Http2};
  // Large enough that one stream cannot end before the next is resumed,
  // even on a loaded machine.
  h2.script("/big", {200, {}, std::string(8 << 20, 'b')});
  NSURLSessionConfiguration configuration =
      NSURLSessionConfiguration::defaultSessionConfiguration();
  configuration.HTTPMaximumConnectionsPerHost = 1;
  auto limited = NSURLSession::sessionWithConfiguration(configuration, delegate, queue);
  auto run = [&](size_t count) {
    size_t before;
    {
      std::lock_guard<std::mutex> lock(delegate->mutex_);
      before = delegate->errors.size();
    }
    for (size_t i = 0; i < count; ++i)
      limited->dataTaskWithURL(NSURL::URLWithString(h2.url("/big")))->resume();
    ASSERT_TRUE(delegate->waitForCompletions(before + count));
    delegate->drain();
  };
  run(1);  // its first answer shows the server multiplexes
  run(3);
  std::vector<std::pair<double, double>> fetches;
  {
    std::lock_guard<std::mutex> lock(delegate->mutex_);
    ASSERT_EQ(delegate->metrics.size(), 4u);
    for (size_t i = 1; i < 4; ++i) {
      const auto& t = delegate->metrics[i]->transactionMetrics().back();
      EXPECT_EQ(t.networkProtocolName, "h2");
      fetches.emplace_back(t.fetchStartDate.value_or(0), t.responseEndDate.value_or(0));
    }
  }
  // Streams of the one connection run side by side, not one after another.
  long overlapping = 0;
  for (const auto& fetch : fetches) {
    const auto start = fetch.first;  // clang 14 cannot capture a structured binding
    overlapping = std::max<long>(
        overlapping, std::count_if(fetches.begin(), fetches.end(), [&](const auto& other) {
          return other.first <= start && start < other.second;
        }));
  }
  EXPECT_GT(overlapping, 1);
  limited->finishTasksAndInvalidate();
}

TEST_F(LoopbackServerTest, SessionTransfersOverHttp2) {
  trustEveryServer();
  LoopbackHttpServer h2{Transport::Http2};
  const std::string pixels(100 * 1024, 'p');
  h2.script("/image",
            {200, {{"Content-Type", "image/png"}, {"X-Twice", "a"}, {"x-twice", "b"}}, pixels});
  ScriptedResponse streamed(200, {{"Connection", "keep-alive"}}, "streamed in pieces", true);
  streamed.chunkSize = 4;
  h2.script("/stream", streamed);
  ScriptedResponse tagged(200, {}, "tagged");
  tagged.etag = "\"v1\"";
  h2.script("/tagged", tagged);

  auto image = load(h2.url("/image"));
  ASSERT_EQ(image->error(), nullptr);
  EXPECT_EQ(lastTransaction().networkProtocolName, "h2");
  EXPECT_FALSE(lastTransaction().reusedConnection);
  ASSERT_NE(delegate->response, nullptr);
  EXPECT_EQ(delegate->response->statusCode(), 200);
  EXPECT_EQ(delegate->response->MIMEType(), "image/png");
  EXPECT_EQ(delegate->response->expectedContentLength(), static_cast<int64_t>(pixels.size()));
  EXPECT_EQ(delegate->response->valueForHTTPHeaderField("X-Twice"), "a, b");
  EXPECT_TRUE(delegate->body == pixels);

  // Tasks started together share the one connection, each its own stream.
  delegate->body.clear();
  std::vector<NSURLSessionDataTaskPtr> tasks;
  for (int i = 0; i < 4; ++i) {
    tasks.push_back(session->dataTaskWithURL(NSURL::URLWithString(h2.url("/stream"))));
    tasks.back()->resume();
  }
  ASSERT_TRUE(delegate->waitForCompletions(5));
  delegate->drain();
  for (const auto& task : tasks) EXPECT_EQ(task->error(), nullptr);
  EXPECT_EQ(delegate->response->expectedContentLength(), -1) << "no length for a streamed body";
  EXPECT_EQ(delegate->body.size(), 4 * std::string("streamed in pieces").size());

  auto conditional = NSMutableURLRequest::requestWithURL(NSURL::URLWithString(h2.url("/tagged")));
  conditional->setValueForHTTPHeaderField("\"v1\"", "If-None-Match");
  auto notModified = load(conditional);
  EXPECT_EQ(notModified->error(), nullptr);
  EXPECT_EQ(delegate->response->statusCode(), 304);
  EXPECT_EQ(lastTransaction().networkProtocolName, "h2");
  EXPECT_TRUE(lastTransaction().reusedConnection);

  auto requests = h2.requests();
  ASSERT_EQ(requests.size(), 6u);
  for (const LoggedRequest& request : requests) {
    EXPECT_EQ(request.connection, requests[0].connection) << request.path;
    EXPECT_EQ(request.method, "GET");
  }
  EXPECT_EQ(requests[0].path, "/image");
  EXPECT_EQ(requests[0].headers.at("Host"), "127.0.0.1:" + std::to_string(h2.port()));
  EXPECT_EQ(requests[5].headers.at("If-None-Match"), "\"v1\"");
  EXPECT_TRUE(h2.waitForInFlight(0)) << "every stream closed counts as answered";

  // What h2 cannot be scripted to do is refused, not quietly ignored.
  ScriptedResponse gated(200, {}, "later");
  gated.gate = "never";
  EXPECT_THROW(h2.script("/gated", gated), std::invalid_argument);
  EXPECT_THROW(h2.script("/hang", hanging()), std::invalid_argument);
}

TEST_F(LoopbackServerTest, StoppingReleasesEveryHeldExchangeAndStalledClient) {
  auto http = std::make_unique<LoopbackHttpServer>();
  ScriptedResponse gated(200, {}, "later");
  gated.gate = "never";
  http->script("/gated", gated);
  http->script("/hang", hanging());
  ScriptedResponse halfway(200, {}, "first half, second half");
  halfway.bodyGate = "never";
  http->script("/halfway", halfway);
  ScriptedResponse slow(200, {}, "slow");
  slow.chunkSize = 1;
  slow.chunkInterval = 3600;
  http->script("/slow", slow);
  // More than the socket buffers hold, to a client that never reads.
  http->script("/unread", {200, {}, std::string(16 << 20, 'u')});

  std::vector<int> clients;
  for (const char* path : {"/gated", "/hang", "/halfway", "/slow", "/unread"}) {
    clients.push_back(connectTo(http->port()));
    sendText(clients.back(), std::string("GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  }
  ASSERT_TRUE(http->waitForInFlight(clients.size()));
  EXPECT_TRUE(stopsPromptly(std::move(http)));

  // A client that never says hello holds the TLS server's handshake. It is
  // accepted before the session's connection, which is answered.
  auto h2 = std::make_unique<LoopbackHttpServer>(Transport::Http2);
  clients.push_back(connectTo(h2->port()));
  trustEveryServer();
  EXPECT_EQ(load(h2->url("/"))->error(), nullptr);
  EXPECT_TRUE(stopsPromptly(std::move(h2)));
  for (int fd : clients) close(fd);
}

}  // namespace

}  // namespace loopback_server_test
