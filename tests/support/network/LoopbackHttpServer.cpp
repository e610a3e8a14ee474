#include "support/network/LoopbackHttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <csignal>
#include <stdexcept>

#include "support/TestEnvironment.h"
#include "support/network/LoopbackTransports.h"

namespace {

// Little-endian, as gzip's trailer holds its numbers.
void appendLE32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(char((value >> (8 * i)) & 0xff));
}

}  // namespace

std::string GzipOfZeros(const std::string& head, uint64_t zeroMegabytes) {
  z_stream z{};
  deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  auto deflated = [&z](const std::string& in, int flush) {
    std::string out(deflateBound(&z, in.size()) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = uInt(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, flush);
    // Cut to what was written: erase, which only shrinks (GCC's TSan build
    // takes resize for a possible growth by nearly 2^64 bytes and refuses it).
    out.erase(out.size() - z.avail_out);
    return out;
  };
  const std::string megabyte(size_t{1} << 20, '\0');
  const std::string first = deflated(head, Z_FULL_FLUSH);
  const std::string piece = deflated(megabyte, Z_FULL_FLUSH);
  const std::string last = deflated("", Z_FINISH);
  deflateEnd(&z);
  const auto* zeros = reinterpret_cast<const Bytef*>(megabyte.data());
  const uLong pieceCrc = crc32(0, zeros, uInt(megabyte.size()));
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(head.data()), uInt(head.size()));
  std::string gzip("\x1f\x8b\x08\0\0\0\0\0\0\xff", 10);
  gzip.reserve(gzip.size() + first.size() + piece.size() * zeroMegabytes + last.size() + 8);
  gzip += first;
  for (uint64_t i = 0; i < zeroMegabytes; ++i) {
    gzip += piece;
    crc = crc32_combine(crc, pieceCrc, z_off_t(megabyte.size()));
  }
  gzip += last;
  appendLE32(gzip, uint32_t(crc));
  appendLE32(gzip, uint32_t(head.size() + (zeroMegabytes << 20)));
  return gzip;
}

namespace {

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

std::string basicAuthorization(const std::string& user, const std::string& password) {
  std::string pair = user + ":" + password;
  return "Basic " + Base64Encode(reinterpret_cast<const uint8_t*>(pair.data()), pair.size());
}

std::string pem(int (*write)(BIO*, void*), void* object) {
  BIO* bio = BIO_new(BIO_s_mem());
  std::string text;
  if (write(bio, object) == 1) {
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    text.assign(data, static_cast<size_t>(length));
  }
  BIO_free(bio);
  return text;
}

}  // namespace

loopback::Identity::Identity(Bytes& certificateDer) {
  key = EVP_EC_gen("P-256");
  certificate = X509_new();
  X509_set_version(certificate, 2);
  uint32_t serial = 0;
  RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial & 0x7fffffff);
  X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate), 24 * 3600);
  X509_set_pubkey(certificate, key);
  X509_NAME* name = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(certificate, name);
  X509V3_CTX extensionContext;
  X509V3_set_ctx_nodb(&extensionContext);
  X509V3_set_ctx(&extensionContext, certificate, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* names = X509V3_EXT_conf_nid(nullptr, &extensionContext, NID_subject_alt_name,
                                              "IP:127.0.0.1,DNS:localhost");
  X509_add_ext(certificate, names, -1);
  X509_EXTENSION_free(names);
  if (!key || X509_sign(certificate, key, EVP_sha256()) <= 0) {
    throw std::runtime_error("cannot make the loopback TLS certificate");
  }

  unsigned char* der = nullptr;
  int length = i2d_X509(certificate, &der);
  certificateDer.assign(der, der + length);
  OPENSSL_free(der);
  certificatePem =
      pem([](BIO* bio, void* x) { return PEM_write_bio_X509(bio, static_cast<X509*>(x)); },
          certificate);
  keyPem = pem(
      [](BIO* bio, void* k) {
        return PEM_write_bio_PrivateKey(bio, static_cast<EVP_PKEY*>(k), nullptr, nullptr, 0,
                                        nullptr, nullptr);
      },
      key);
}

loopback::Identity::~Identity() {
  X509_free(certificate);
  EVP_PKEY_free(key);
}

namespace loopback {

Core::Core() {
  if (pipe2(stopPipe_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
}

Core::~Core() {
  close(stopPipe_[0]);
  close(stopPipe_[1]);
}

void Core::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
  }
  changed.notify_all();
  char byte = 1;
  (void)!write(stopPipe_[1], &byte, 1);
}

}  // namespace loopback

LoopbackHttpServer::LoopbackHttpServer(Transport transport)
    : transport_(transport), core_(std::make_unique<loopback::Core>()) {
  // OpenSSL writes with plain write(): a client that hangs up must cost the
  // server its connection, not the test process.
  signal(SIGPIPE, SIG_IGN);
  if (transport_ != Transport::Http) identity_ = std::make_unique<loopback::Identity>(certificate_);
  int listener = boundLoopbackSocket(&port_);
  listen(listener, 64);
  if (transport_ == Transport::Http2) {
    http2_ = std::make_unique<loopback::Http2>(*core_, listener, *identity_);
  } else {
    http1_ = std::make_unique<loopback::Http1>(*core_, listener, identity_.get());
  }
}

LoopbackHttpServer::~LoopbackHttpServer() {
  core_->stop();
  http1_.reset();
  http2_.reset();
}

int LoopbackHttpServer::closedPort() {
  int port = 0;
  close(boundLoopbackSocket(&port));
  return port;
}

void LoopbackHttpServer::script(const std::string& path, ScriptedResponse response) {
  if (transport_ == Transport::Http2 &&
      (!response.gate.empty() || !response.bodyGate.empty() || response.hang ||
       response.dropConnection || response.closeAtGate || response.claimedLength ||
       response.untilClose || response.chunkInterval > 0 || response.fillerLength > 0)) {
    throw std::invalid_argument("the h2 loopback server answers ordinary scripts only: " + path);
  }
  std::lock_guard<std::mutex> lock(core_->mutex);
  core_->scripts[path] = std::move(response);
}

std::string LoopbackHttpServer::url(const std::string& path) const {
  return std::string(transport_ == Transport::Http ? "http" : "https") +
         "://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<LoggedRequest> LoopbackHttpServer::requests() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->log;
}

size_t LoopbackHttpServer::requestCount(const std::string& path) {
  std::lock_guard<std::mutex> lock(core_->mutex);
  size_t count = 0;
  for (const LoggedRequest& request : core_->log) count += request.path == path;
  return count;
}

bool LoopbackHttpServer::waitForRequests(size_t count) {
  std::unique_lock<std::mutex> lock(core_->mutex);
  return core_->changed.wait_for(lock, std::chrono::duration<double>(kTestTimeoutSeconds),
                                 [&] { return core_->log.size() >= count; });
}

size_t LoopbackHttpServer::inFlight() {
  std::lock_guard<std::mutex> lock(core_->mutex);
  return core_->inFlight;
}

bool LoopbackHttpServer::waitForInFlight(size_t count) {
  std::unique_lock<std::mutex> lock(core_->mutex);
  return core_->changed.wait_for(lock, std::chrono::duration<double>(kTestTimeoutSeconds),
                                 [&] { return core_->inFlight == count; });
}

void LoopbackHttpServer::openGate(const std::string& gate) {
  {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->openGates.insert(gate);
  }
  core_->changed.notify_all();
}

namespace loopback {

ScriptedResponse Core::admit(LoggedRequest request) {
  ScriptedResponse response;
  response.status = 404;
  response.body = "not found";
  auto header = [&](const char* name) {
    auto it = request.headers.find(name);
    return it == request.headers.end() ? std::string() : it->second;
  };
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (auto it = scripts.find(request.path); it != scripts.end()) response = it->second;
  }
  if (response.basicUserPassword) {
    const auto& [user, password] = *response.basicUserPassword;
    if (header("Authorization") != basicAuthorization(user, password)) {
      ScriptedResponse refusal;
      refusal.status = 401;
      refusal.headers = {{"WWW-Authenticate", "Basic realm=\"" + response.realm + "\""}};
      refusal.body = "who are you?";
      response = std::move(refusal);
    }
  }
  if (!response.etag.empty()) {
    response.headers.emplace_back("ETag", response.etag);
    if (header("If-None-Match") == response.etag) {
      response.status = 304;
      response.body.clear();
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    log.push_back(std::move(request));
    ++inFlight;
  }
  changed.notify_all();
  return response;
}

void Core::finished() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    --inFlight;
  }
  changed.notify_all();
}

bool Core::waitForGate(const std::string& gate) {
  if (gate.empty()) return true;
  std::unique_lock<std::mutex> lock(mutex);
  changed.wait(lock, [&] { return stopping || openGates.count(gate) > 0; });
  return !stopping;
}

bool Core::pause(double seconds) {
  std::unique_lock<std::mutex> lock(mutex);
  if (seconds > 0)
    changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return stopping; });
  return !stopping;
}

void Core::waitForHangUp(int fd) {
  for (;;) {
    // Only the hang-up: what the peer sends meanwhile stays unread.
    pollfd fds[2] = {{fd, POLLRDHUP, 0}, {stopPipe_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[0].revents || fds[1].revents) return;
  }
}

}  // namespace loopback
