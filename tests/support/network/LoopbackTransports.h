#pragma once

// The loopback server's insides: the state its transports share, its TLS
// identity and the two transports. Only the server's own sources include
// this.

#include <atomic>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/network/LoopbackHttpServer.h"

struct MHD_Daemon;
typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_st X509;
typedef struct ssl_ctx_st SSL_CTX;

namespace loopback {

// The scripts, the request log and the gates, under one lock.
class Core {
 public:
  Core();
  ~Core();
  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;

  // Wakes every wait below for good.
  void stop();

  // Logs a request and answers the script for it; `finished` ends what
  // `admit` started.
  ScriptedResponse admit(LoggedRequest request);
  void finished();
  uint64_t newConnection() { return ++connections_; }
  // False when the server is stopping.
  bool waitForGate(const std::string& gate);
  bool pause(double seconds);
  // Returns when the peer on `fd` hangs up or the server stops.
  void waitForHangUp(int fd);
  // Readable once the server stops, for those who poll sockets.
  int stopFd() const { return stopPipe_[0]; }

  std::mutex mutex;  // guards the fields below
  std::condition_variable changed;
  bool stopping = false;
  std::map<std::string, ScriptedResponse> scripts;
  std::vector<LoggedRequest> log;
  size_t inFlight = 0;
  std::set<std::string> openGates;

 private:
  int stopPipe_[2] = {-1, -1};
  std::atomic<uint64_t> connections_{0};
};

// A fresh key and a self-signed certificate for 127.0.0.1 and localhost.
struct Identity {
  explicit Identity(Bytes& certificateDer);
  ~Identity();
  Identity(const Identity&) = delete;
  Identity& operator=(const Identity&) = delete;

  EVP_PKEY* key = nullptr;
  X509* certificate = nullptr;
  std::string keyPem;
  std::string certificatePem;
};

// HTTP/1.1 over libmicrohttpd, plain or over TLS: a thread per connection,
// so a gated or paced response holds only its own connection.
class Http1 {
 public:
  // Takes over `listener`, a listening loopback socket.
  Http1(Core& core, int listener, const Identity* tls);
  // The core has already been stopped.
  ~Http1();
  Http1(const Http1&) = delete;
  Http1& operator=(const Http1&) = delete;

 private:
  MHD_Daemon* daemon_ = nullptr;
};

// h2 over TLS (ALPN "h2" only) on nghttp2's server session: a thread per
// connection, each stream answered as its request ends.
class Http2 {
 public:
  // Takes over `listener`, a listening loopback socket.
  Http2(Core& core, int listener, const Identity& identity);
  // The core has already been stopped.
  ~Http2();
  Http2(const Http2&) = delete;
  Http2& operator=(const Http2&) = delete;

 private:
  void acceptConnections();
  void reapFinished();

  Core& core_;
  int listener_;
  SSL_CTX* context_ = nullptr;
  std::thread acceptor_;
  struct Worker {
    std::thread thread;
    int fd = -1;
    bool done = false;
  };
  std::mutex mutex_;  // guards workers_
  std::list<Worker> workers_;
};

}  // namespace loopback
