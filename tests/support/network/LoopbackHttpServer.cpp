#include "support/network/LoopbackHttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
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

std::string hex(size_t n) {
  char buffer[32];
  snprintf(buffer, sizeof buffer, "%zx", n);
  return buffer;
}

std::string basicAuthorization(const std::string& user, const std::string& password) {
  std::string pair = user + ":" + password;
  return "Basic " + Base64Encode(reinterpret_cast<const uint8_t*>(pair.data()), pair.size());
}

}  // namespace

// The server's key and self-signed certificate (for 127.0.0.1 and
// localhost), made fresh for each server.
struct LoopbackHttpServer::Tls {
  SSL_CTX* context = nullptr;

  explicit Tls(Bytes& certificateDer) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    uint32_t serial = 0;
    RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial & 0x7fffffff);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 24 * 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1,
                               -1, 0);
    X509_set_issuer_name(certificate, name);
    X509V3_CTX extensionContext;
    X509V3_set_ctx_nodb(&extensionContext);
    X509V3_set_ctx(&extensionContext, certificate, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* names =
        X509V3_EXT_conf_nid(nullptr, &extensionContext, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    X509_add_ext(certificate, names, -1);
    X509_EXTENSION_free(names);
    X509_sign(certificate, key, EVP_sha256());

    unsigned char* der = nullptr;
    int length = i2d_X509(certificate, &der);
    certificateDer.assign(der, der + length);
    OPENSSL_free(der);

    context = SSL_CTX_new(TLS_server_method());
    bool ready = SSL_CTX_use_certificate(context, certificate) == 1 && SSL_CTX_use_PrivateKey(context, key) == 1;
    X509_free(certificate);
    EVP_PKEY_free(key);
    if (!ready) throw std::runtime_error("cannot set up the loopback TLS certificate");
  }
  ~Tls() { SSL_CTX_free(context); }
};

// One accepted socket, plain or TLS.
class LoopbackHttpServer::Connection {
 public:
  Connection(int fd, SSL_CTX* context) : fd_(fd) {
    if (!context) return;
    // A client that connects and never says hello must not hold the server.
    timeval limit{static_cast<time_t>(kTestTimeoutSeconds), 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ssl_ = SSL_new(context);
    SSL_set_fd(ssl_, fd);
    if (SSL_accept(ssl_) != 1) {
      // The client refused the certificate (or went away).
      SSL_free(ssl_);
      ssl_ = nullptr;
      failed_ = true;
    }
  }
  ~Connection() {
    if (ssl_) {
      SSL_shutdown(ssl_);
      SSL_free(ssl_);
    }
    close(fd_);
  }
  bool failed() const { return failed_; }
  int fd() const { return fd_; }
  bool hasBuffered() const { return ssl_ && SSL_pending(ssl_) > 0; }

  ssize_t read(char* buffer, size_t size) {
    if (!ssl_) return recv(fd_, buffer, size, 0);
    int n = SSL_read(ssl_, buffer, static_cast<int>(size));
    return n > 0 ? n : -1;
  }
  void write(const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
      ssize_t n = ssl_ ? SSL_write(ssl_, text.data() + sent, static_cast<int>(text.size() - sent))
                       : send(fd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }

 private:
  int fd_;
  SSL* ssl_ = nullptr;
  bool failed_ = false;
};

LoopbackHttpServer::LoopbackHttpServer(Transport transport) : transport_(transport) {
  // OpenSSL writes with plain write(): a client that hangs up on the
  // handshake must cost the server its connection, not the test process.
  signal(SIGPIPE, SIG_IGN);
  if (transport_ == Transport::Https) tls_ = std::make_unique<Tls>(certificate_);
  listener_ = boundLoopbackSocket(&port_);
  listen(listener_, 64);
  if (pipe2(stopPipe_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  thread_ = std::thread([this] { serve(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  char byte = 1;
  (void)!write(stopPipe_[1], &byte, 1);
  thread_.join();
  for (Worker& worker : workers_) worker.thread.join();
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
  scripts_[path] = std::move(response);
}

std::string LoopbackHttpServer::url(const std::string& path) const {
  return std::string(transport_ == Transport::Https ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) +
         path;
}

std::vector<LoggedRequest> LoopbackHttpServer::requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

size_t LoopbackHttpServer::requestCount(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t count = 0;
  for (const LoggedRequest& request : log_) count += request.path == path;
  return count;
}

bool LoopbackHttpServer::waitForRequests(size_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(kTestTimeoutSeconds),
                           [&] { return log_.size() >= count; });
}

size_t LoopbackHttpServer::inFlight() {
  std::lock_guard<std::mutex> lock(mutex_);
  return inFlight_;
}

bool LoopbackHttpServer::waitForInFlight(size_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(kTestTimeoutSeconds),
                           [&] { return inFlight_ == count; });
}

void LoopbackHttpServer::openGate(const std::string& gate) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    openGates_.insert(gate);
  }
  changed_.notify_all();
}

bool LoopbackHttpServer::waitForGate(const std::string& gate) {
  if (gate.empty()) return true;
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return stopping_ || openGates_.count(gate) > 0; });
  return !stopping_;
}

bool LoopbackHttpServer::pause(double seconds) {
  if (seconds <= 0) return true;
  pollfd stop = {stopPipe_[0], POLLIN, 0};
  return poll(&stop, 1, static_cast<int>(seconds * 1000)) == 0;
}

void LoopbackHttpServer::serve() {
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    reapFinished();
    std::lock_guard<std::mutex> lock(mutex_);
    Worker& worker = workers_.emplace_back();
    worker.thread = std::thread([this, client, &worker] {
      handle(client);
      std::lock_guard<std::mutex> lock(mutex_);
      worker.done = true;
    });
  }
}

void LoopbackHttpServer::reapFinished() {
  std::list<Worker> finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
      auto next = std::next(it);
      if (it->done) finished.splice(finished.end(), workers_, it);
      it = next;
    }
  }
  for (Worker& worker : finished) worker.thread.join();
}

// False when the client went away or the server is stopping.
bool LoopbackHttpServer::readRequest(Connection& connection, std::string& head) {
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos) {
    if (head.size() > kMaxRequestHead) return false;
    if (!connection.hasBuffered()) {
      pollfd fds[2] = {{connection.fd(), POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 || fds[1].revents) return false;
    }
    ssize_t n = connection.read(buffer, sizeof buffer);
    if (n <= 0) return false;
    head.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

LoggedRequest LoopbackHttpServer::parse(const std::string& head) {
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
      request.headers[line.substr(0, colon)] = valueStart == std::string::npos ? "" : line.substr(valueStart);
    }
    at = end + 2;
  }
  return request;
}

ScriptedResponse LoopbackHttpServer::responseFor(const LoggedRequest& request) {
  ScriptedResponse response;
  response.status = 404;
  response.body = "not found";
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (auto it = scripts_.find(request.path); it != scripts_.end()) response = it->second;
  }
  auto header = [&](const char* name) {
    auto it = request.headers.find(name);
    return it == request.headers.end() ? std::string() : it->second;
  };
  if (response.basicUserPassword) {
    const auto& [user, password] = *response.basicUserPassword;
    if (header("Authorization") != basicAuthorization(user, password)) {
      ScriptedResponse refusal;
      refusal.status = 401;
      refusal.headers = {{"WWW-Authenticate", "Basic realm=\"" + response.realm + "\""}};
      refusal.body = "who are you?";
      return refusal;
    }
  }
  if (!response.etag.empty()) {
    response.headers.emplace_back("ETag", response.etag);
    if (header("If-None-Match") == response.etag) {
      response.status = 304;
      response.body.clear();
    }
  }
  return response;
}

void LoopbackHttpServer::handle(int client) {
  Connection connection(client, tls_ ? tls_->context : nullptr);
  std::string head;
  if (connection.failed() || !readRequest(connection, head)) return;
  LoggedRequest request = parse(head);
  ScriptedResponse response = responseFor(request);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(std::move(request));
    ++inFlight_;
  }
  changed_.notify_all();
  if (response.hang) {
    waitForClientToLeave(connection);
  } else if (waitForGate(response.gate)) {
    respond(connection, response);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --inFlight_;
  }
  changed_.notify_all();
}

void LoopbackHttpServer::respond(Connection& connection, const ScriptedResponse& response) {
  std::string text = "HTTP/1.1 " + std::to_string(response.status) + " Scripted\r\nConnection: close\r\n";
  for (const auto& [name, value] : response.headers) text += name + ": " + value + "\r\n";
  bool bodyless = response.status == 304 || response.status == 204;
  if (response.chunked) {
    text += "Transfer-Encoding: chunked\r\n";
  } else if (response.claimedLength) {
    text += "Content-Length: " + std::to_string(*response.claimedLength) + "\r\n";
  } else if (response.dropConnection) {
    text += "Content-Length: " + std::to_string(response.body.size() * 2 + 1) + "\r\n";
  } else if (!bodyless && !response.untilClose) {
    text += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
  }
  connection.write(text + "\r\n");
  if (!bodyless) sendBody(connection, response);
}

void LoopbackHttpServer::sendBody(Connection& connection, const ScriptedResponse& response) {
  const std::string& body = response.body;
  bool paced = response.chunked || response.chunkSize > 0 || response.chunkInterval > 0 || !response.bodyGate.empty();
  size_t size = !paced ? body.size() : response.chunkSize > 0 ? response.chunkSize : (body.size() + 1) / 2;
  size_t at = 0;
  while (at < body.size()) {
    if (at > 0) {
      if (!pause(response.chunkInterval)) return;
      if (at == size && !waitForGate(response.bodyGate)) return;
    }
    std::string piece = body.substr(at, std::max<size_t>(size, 1));
    at += piece.size();
    connection.write(response.chunked ? hex(piece.size()) + "\r\n" + piece + "\r\n" : piece);
  }
  if (response.chunked) connection.write("0\r\n\r\n");
}

void LoopbackHttpServer::waitForClientToLeave(Connection& connection) {
  char buffer[256];
  for (;;) {
    pollfd fds[2] = {{connection.fd(), POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 || fds[1].revents) return;
    if (connection.read(buffer, sizeof buffer) <= 0) return;
  }
}
