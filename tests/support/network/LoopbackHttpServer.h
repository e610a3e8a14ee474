#pragma once

// A small HTTP/1.1 server on 127.0.0.1 for the tests of the URL loading
// system and of downloads, scripted per path, plain or over TLS with a
// self-signed certificate made at start. Each connection is served on a
// thread of its own and closed after one response; every request read is
// logged in order. It never connects anywhere: it only accepts on loopback.

#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/foundation/NSData.h"
#include "platform/network/NSURLRequest.h"

struct ScriptedResponse {
  ScriptedResponse() = default;
  ScriptedResponse(int status, std::vector<std::pair<std::string, std::string>> headers = {}, std::string body = "",
                   bool chunked = false)
      : status(status), headers(std::move(headers)), body(std::move(body)), chunked(chunked) {}

  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // Chunked transfer without a Content-Length, in pieces of `chunkSize`
  // bytes (0: two halves).
  bool chunked = false;
  size_t chunkSize = 0;
  // Real seconds between pieces: a slow server.
  double chunkInterval = 0;
  // Neither a length nor chunks: the body ends when the connection closes.
  bool untilClose = false;
  // Claims twice the body's length, sends the body, then drops the connection.
  bool dropConnection = false;
  // Claims this length whatever the body is, sends the body, then closes.
  std::optional<uint64_t> claimedLength;
  // Never answers; holds the connection until the client gives up.
  bool hang = false;
  // Waits for openGate(gate) before answering at all.
  std::string gate;
  // Sends the head and the first piece, then waits for openGate(bodyGate).
  std::string bodyGate;
  // Answers 401 asking for Basic credentials in this realm unless the
  // request carries them.
  std::optional<std::pair<std::string, std::string>> basicUserPassword;
  std::string realm = "loopback";
  // Sent as ETag; a request whose If-None-Match matches gets a 304.
  std::string etag;
};

struct LoggedRequest {
  std::string method;
  std::string path;
  NSHTTPHeaderFields headers;
};

class LoopbackHttpServer {
 public:
  enum class Transport { Http, Https };
  explicit LoopbackHttpServer(Transport transport = Transport::Http);
  ~LoopbackHttpServer();

  // The latest script for a path wins; unscripted paths get a 404.
  void script(const std::string& path, ScriptedResponse response);
  std::string url(const std::string& path) const;
  int port() const { return port_; }
  // Https only: the server's certificate, DER encoded.
  const Bytes& certificate() const { return certificate_; }

  std::vector<LoggedRequest> requests();
  size_t requestCount(const std::string& path);
  // Waits (bounded) until `count` requests have been read; false on timeout.
  bool waitForRequests(size_t count);
  // Requests read and not yet fully answered.
  size_t inFlight();
  // Waits (bounded) until exactly `count` requests are in flight.
  bool waitForInFlight(size_t count);
  void openGate(const std::string& gate);

  // A loopback port nothing listens on.
  static int closedPort();

 private:
  class Connection;
  struct Tls;

  void serve();
  void handle(int client);
  bool readRequest(Connection& connection, std::string& head);
  LoggedRequest parse(const std::string& head);
  ScriptedResponse responseFor(const LoggedRequest& request);
  void respond(Connection& connection, const ScriptedResponse& response);
  void sendBody(Connection& connection, const ScriptedResponse& response);
  bool waitForGate(const std::string& gate);
  // False when the server is stopping.
  bool pause(double seconds);
  void waitForClientToLeave(Connection& connection);
  void reapFinished();

  Transport transport_;
  std::unique_ptr<Tls> tls_;
  Bytes certificate_;
  int listener_ = -1;
  int stopPipe_[2] = {-1, -1};
  int port_ = 0;
  std::thread thread_;

  std::mutex mutex_;  // guards the fields below
  std::condition_variable changed_;
  bool stopping_ = false;
  std::map<std::string, ScriptedResponse> scripts_;
  std::vector<LoggedRequest> log_;
  size_t inFlight_ = 0;
  std::set<std::string> openGates_;
  struct Worker {
    std::thread thread;
    bool done = false;
  };
  std::list<Worker> workers_;
};
