#pragma once

// A small HTTP/1.1 server on 127.0.0.1 for the URL loading tests, scripted
// per path. It serves one connection at a time on a thread of its own, closes
// every connection after one response, and logs each request it reads.

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/network/NSURLRequest.h"

struct ScriptedResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // Sent in two chunks without a Content-Length.
  bool chunked = false;
  // Claims twice the body's length, sends the body, then drops the connection.
  bool dropConnection = false;
  // Never answers; holds the connection until the client gives up.
  bool hang = false;
};

struct LoggedRequest {
  std::string method;
  std::string path;
  NSHTTPHeaderFields headers;
};

class LoopbackHttpServer {
 public:
  LoopbackHttpServer();
  ~LoopbackHttpServer();

  void script(const std::string& path, ScriptedResponse response);
  std::string url(const std::string& path) const;
  std::vector<LoggedRequest> requests();
  // Waits (bounded) until `count` requests have been read; false on timeout.
  bool waitForRequests(size_t count);

  // A loopback port nothing listens on.
  static int closedPort();

 private:
  void serve();
  void handle(int client);
  bool readRequest(int client, std::string& head);
  void respond(int client, const ScriptedResponse& response);
  void waitForClientToLeave(int client);

  int listener_ = -1;
  int stopPipe_[2] = {-1, -1};
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::pair<std::string, ScriptedResponse>> scripts_;
  std::vector<LoggedRequest> log_;
};
