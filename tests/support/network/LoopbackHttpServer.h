#pragma once

// A small HTTP server on 127.0.0.1 for the tests of the URL loading system
// and of downloads, scripted per path. Http and Https speak HTTP/1.1 with
// keep-alive through libmicrohttpd (Https with a self-signed certificate
// made at start); Http2 speaks h2 only, negotiated over TLS with the same
// kind of certificate. Every request read is logged in order, with the
// connection it came on. It never connects anywhere: it only accepts on
// loopback. Its writes are bounded in time, and stopping it ends every wait
// of it (gates, hangs, pauses) and every connection.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/NSData.h"
#include "platform/network/NSURLRequest.h"

namespace loopback {
struct Identity;
class Core;
class Http1;
class Http2;
}  // namespace loopback

struct ScriptedResponse {
  ScriptedResponse() = default;
  ScriptedResponse(int status, std::vector<std::pair<std::string, std::string>> headers = {},
                   std::string body = "", bool chunked = false)
      : status(status), headers(std::move(headers)), body(std::move(body)), chunked(chunked) {}

  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // Chunked transfer without a Content-Length (over h2: no length), in
  // pieces of `chunkSize` bytes (0: two halves).
  bool chunked = false;
  size_t chunkSize = 0;
  // Real seconds between pieces: a slow server.
  double chunkInterval = 0;
  // Neither a length nor chunks: the body ends when the connection closes.
  bool untilClose = false;
  // Claims twice the body's length, sends the body, then drops the connection.
  bool dropConnection = false;
  // Claims this length whatever the body is, sends what fits, then closes
  // when the body falls short of the claim.
  std::optional<uint64_t> claimedLength;
  // Never answers; holds the connection until the client gives up.
  bool hang = false;
  // Waits for openGate(gate) before answering at all.
  std::string gate;
  // With a gate: once it opens, closes the connection without answering (a
  // server that goes away while the client is waiting).
  bool closeAtGate = false;
  // Sends the head and the first piece, then waits for openGate(bodyGate).
  std::string bodyGate;
  // Answers 401 asking for Basic credentials in this realm unless the
  // request carries them.
  std::optional<std::pair<std::string, std::string>> basicUserPassword;
  std::string realm = "loopback";
  // Sent as ETag; a request whose If-None-Match matches gets a 304.
  std::string etag;
  // After the body, this many more bytes of `filler` repeated (counted in
  // the length): a huge body the server never holds.
  uint64_t fillerLength = 0;
  std::string filler = " ";
};

// A gzip body that inflates to `head` followed by `zeroMegabytes` MiB of
// zero bytes: one compressed mebibyte of zeros, flushed so that it stands
// alone, repeated. Gigabytes of inflated page cost a megabyte a gibibyte.
std::string GzipOfZeros(const std::string& head, uint64_t zeroMegabytes);

struct LoggedRequest {
  std::string method;
  // The request target as sent (with its query).
  std::string path;
  NSHTTPHeaderFields headers;
  // Requests that came over the same connection share this number.
  uint64_t connection = 0;
};

class LoopbackHttpServer {
 public:
  enum class Transport { Http, Https, Http2 };
  explicit LoopbackHttpServer(Transport transport = Transport::Http);
  ~LoopbackHttpServer();

  // The latest script for a path wins; unscripted paths get a 404. An Http2
  // server answers ordinary scripts only (no gates, pauses, hangs or broken
  // bodies) and refuses the others here with std::invalid_argument.
  void script(const std::string& path, ScriptedResponse response);
  std::string url(const std::string& path) const;
  int port() const { return port_; }
  // Https and Http2: the server's certificate, DER encoded.
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
  Transport transport_;
  int port_ = 0;
  Bytes certificate_;
  std::unique_ptr<loopback::Identity> identity_;
  // The scripts, the log and the gates: the transports call back into it,
  // so it is declared before them and outlives them.
  std::unique_ptr<loopback::Core> core_;
  std::unique_ptr<loopback::Http1> http1_;
  std::unique_ptr<loopback::Http2> http2_;
};
