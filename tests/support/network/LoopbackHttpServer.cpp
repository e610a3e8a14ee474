#include "support/network/LoopbackHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include <chrono>
#include <stdexcept>

#include "support/TestEnvironment.h"

namespace {

constexpr size_t kMaxRequestHead = 64 * 1024;

int boundLoopbackSocket(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot bind a loopback socket");
  }
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}

void sendAll(int fd, const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

std::string hex(size_t n) {
  char buffer[32];
  snprintf(buffer, sizeof buffer, "%zx", n);
  return buffer;
}

}  // namespace

LoopbackHttpServer::LoopbackHttpServer() {
  listener_ = boundLoopbackSocket(&port_);
  listen(listener_, 16);
  if (pipe2(stopPipe_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  thread_ = std::thread([this] { serve(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
  char byte = 1;
  (void)!write(stopPipe_[1], &byte, 1);
  thread_.join();
  close(listener_);
  close(stopPipe_[0]);
  close(stopPipe_[1]);
}

int LoopbackHttpServer::closedPort() {
  int port = 0;
  close(boundLoopbackSocket(&port));
  return port;
}

void LoopbackHttpServer::script(const std::string& path, ScriptedResponse response) {
  std::lock_guard<std::mutex> lock(mutex_);
  scripts_.emplace_back(path, std::move(response));
}

std::string LoopbackHttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<LoggedRequest> LoopbackHttpServer::requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

bool LoopbackHttpServer::waitForRequests(size_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(kTestTimeoutSeconds),
                           [&] { return log_.size() >= count; });
}

void LoopbackHttpServer::serve() {
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    handle(client);
    close(client);
  }
}

// False when the client went away or the server is stopping.
bool LoopbackHttpServer::readRequest(int client, std::string& head) {
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos) {
    if (head.size() > kMaxRequestHead) return false;
    pollfd fds[2] = {{client, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 || fds[1].revents) return false;
    ssize_t n = recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    head.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

void LoopbackHttpServer::handle(int client) {
  std::string head;
  if (!readRequest(client, head)) return;
  LoggedRequest request;
  size_t lineEnd = head.find("\r\n");
  std::string requestLine = head.substr(0, lineEnd);
  size_t space = requestLine.find(' ');
  request.method = requestLine.substr(0, space);
  request.path = requestLine.substr(space + 1, requestLine.rfind(' ') - space - 1);
  size_t at = lineEnd + 2;
  while (at < head.size()) {
    size_t end = head.find("\r\n", at);
    if (end == at || end == std::string::npos) break;
    std::string line = head.substr(at, end - at);
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
      size_t valueStart = line.find_first_not_of(' ', colon + 1);
      request.headers[line.substr(0, colon)] =
          valueStart == std::string::npos ? "" : line.substr(valueStart);
    }
    at = end + 2;
  }
  ScriptedResponse response;
  response.status = 404;
  response.body = "not found";
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [path, scripted] : scripts_) {
      if (path == request.path) response = scripted;
    }
    log_.push_back(std::move(request));
  }
  changed_.notify_all();
  if (response.hang) {
    waitForClientToLeave(client);
    return;
  }
  respond(client, response);
}

void LoopbackHttpServer::respond(int client, const ScriptedResponse& response) {
  std::string text = "HTTP/1.1 " + std::to_string(response.status) + " Scripted\r\nConnection: close\r\n";
  for (const auto& [name, value] : response.headers) text += name + ": " + value + "\r\n";
  bool bodyless = response.status == 304 || response.status == 204;
  if (response.chunked) {
    text += "Transfer-Encoding: chunked\r\n\r\n";
    size_t half = response.body.size() / 2;
    for (const std::string& piece : {response.body.substr(0, half), response.body.substr(half)}) {
      if (!piece.empty()) text += hex(piece.size()) + "\r\n" + piece + "\r\n";
    }
    text += "0\r\n\r\n";
  } else if (!bodyless) {
    size_t claimed = response.dropConnection ? response.body.size() * 2 + 1 : response.body.size();
    text += "Content-Length: " + std::to_string(claimed) + "\r\n\r\n" + response.body;
  } else {
    text += "\r\n";
  }
  sendAll(client, text);
}

void LoopbackHttpServer::waitForClientToLeave(int client) {
  char buffer[256];
  for (;;) {
    pollfd fds[2] = {{client, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 || fds[1].revents) return;
    if (recv(client, buffer, sizeof buffer, 0) <= 0) return;
  }
}
