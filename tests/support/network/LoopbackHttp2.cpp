// h2 over TLS: OpenSSL does the handshake and ALPN on a blocking socket
// with send and receive timeouts, nghttp2's server session does the
// framing. Streams are answered from the scripts as their requests end.

#include <nghttp2/nghttp2.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/TestEnvironment.h"
#include "support/network/LoopbackTransports.h"

namespace loopback {
namespace {

bool isConnectionHeader(const std::string& name) {
  return name == "connection" || name == "keep-alive" || name == "proxy-connection" ||
         name == "transfer-encoding" || name == "upgrade";
}

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return text;
}

nghttp2_nv field(const std::string& name, const std::string& value) {
  return {reinterpret_cast<uint8_t*>(const_cast<char*>(name.data())),
          reinterpret_cast<uint8_t*>(const_cast<char*>(value.data())), name.size(), value.size(),
          NGHTTP2_NV_FLAG_NONE};
}

// One client connection, served on its own thread until the client leaves,
// the connection fails or the server stops.
class Connection {
 public:
  Connection(Core& core, SSL* ssl, int fd)
      : core_(core), ssl_(ssl), fd_(fd), id_(core.newConnection()) {
    nghttp2_session_callbacks* callbacks = nullptr;
    nghttp2_session_callbacks_new(&callbacks);
    nghttp2_session_callbacks_set_on_begin_headers_callback(callbacks, onBeginHeaders);
    nghttp2_session_callbacks_set_on_header_callback(callbacks, onHeader);
    nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, onFrame);
    nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, onStreamClose);
    nghttp2_session_server_new(&session_, callbacks, this);
    nghttp2_session_callbacks_del(callbacks);
  }
  ~Connection() {
    nghttp2_session_del(session_);
    // Streams cut off with the connection are no longer in flight.
    for (const auto& [id, stream] : streams_) {
      if (stream.admitted) core_.finished();
    }
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void run() {
    nghttp2_settings_entry settings[] = {{NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, 100}};
    nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, settings, 1);
    uint8_t buffer[16 * 1024];
    for (;;) {
      if (!flush()) return;
      if (!nghttp2_session_want_read(session_) && !nghttp2_session_want_write(session_)) return;
      if (SSL_pending(ssl_) == 0) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {core_.stopFd(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
          if (errno == EINTR) continue;
          return;
        }
        if (fds[1].revents) return;
      }
      int n = SSL_read(ssl_, buffer, sizeof buffer);
      if (n <= 0 || nghttp2_session_mem_recv(session_, buffer, static_cast<size_t>(n)) < 0) return;
    }
  }

 private:
  struct Stream {
    LoggedRequest request;
    bool admitted = false;
    ScriptedResponse response;
    size_t sent = 0;
    size_t piece = 0;
  };

  static Connection& of(void* context) { return *static_cast<Connection*>(context); }

  bool flush() {
    for (;;) {
      const uint8_t* data = nullptr;
      ssize_t n = nghttp2_session_mem_send(session_, &data);
      if (n <= 0) return n == 0;
      if (SSL_write(ssl_, data, static_cast<int>(n)) != n) return false;
    }
  }

  static int onBeginHeaders(nghttp2_session*, const nghttp2_frame* frame, void* context) {
    if (frame->hd.type == NGHTTP2_HEADERS && frame->headers.cat == NGHTTP2_HCAT_REQUEST) {
      Connection& self = of(context);
      self.streams_[frame->hd.stream_id].request.connection = self.id_;
    }
    return 0;
  }

  static int onHeader(nghttp2_session*, const nghttp2_frame* frame, const uint8_t* name,
                      size_t nameLength, const uint8_t* value, size_t valueLength, uint8_t,
                      void* context) {
    if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
    auto it = of(context).streams_.find(frame->hd.stream_id);
    if (it == of(context).streams_.end()) return 0;
    LoggedRequest& request = it->second.request;
    std::string key(reinterpret_cast<const char*>(name), nameLength);
    std::string text(reinterpret_cast<const char*>(value), valueLength);
    if (key == ":method") {
      request.method = text;
    } else if (key == ":path") {
      request.path = text;
    } else if (key == ":authority") {
      request.headers["Host"] = text;
    } else if (key[0] != ':') {
      std::string& logged = request.headers[key];
      if (!logged.empty()) logged += key == "cookie" ? "; " : ", ";
      logged += text;
    }
    return 0;
  }

  static int onFrame(nghttp2_session*, const nghttp2_frame* frame, void* context) {
    bool requestEnds = (frame->hd.type == NGHTTP2_HEADERS || frame->hd.type == NGHTTP2_DATA) &&
                       (frame->hd.flags & NGHTTP2_FLAG_END_STREAM);
    if (requestEnds) of(context).answer(frame->hd.stream_id);
    return 0;
  }

  static int onStreamClose(nghttp2_session*, int32_t streamId, uint32_t, void* context) {
    Connection& self = of(context);
    auto it = self.streams_.find(streamId);
    if (it == self.streams_.end()) return 0;
    if (it->second.admitted) self.core_.finished();
    self.streams_.erase(it);
    return 0;
  }

  static ssize_t readBody(nghttp2_session*, int32_t streamId, uint8_t* buffer, size_t room,
                          uint32_t* flags, nghttp2_data_source*, void* context) {
    auto it = of(context).streams_.find(streamId);
    if (it == of(context).streams_.end()) return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
    Stream& stream = it->second;
    const std::string& body = stream.response.body;
    size_t size =
        std::min({room, body.size() - stream.sent, stream.piece - stream.sent % stream.piece});
    memcpy(buffer, body.data() + stream.sent, size);
    stream.sent += size;
    if (stream.sent == body.size()) *flags |= NGHTTP2_DATA_FLAG_EOF;
    return static_cast<ssize_t>(size);
  }

  void answer(int32_t streamId) {
    auto it = streams_.find(streamId);
    if (it == streams_.end()) return;
    Stream& stream = it->second;
    stream.response = core_.admit(stream.request);
    stream.admitted = true;
    const ScriptedResponse& script = stream.response;
    bool bodyless = script.status == 304 || script.status == 204 || stream.request.method == "HEAD";

    // Names and values stay alive until the library has copied them.
    std::vector<std::pair<std::string, std::string>> fields = {
        {":status", std::to_string(script.status)}};
    for (const auto& [name, value] : script.headers) {
      std::string key = lowercase(name);
      if (!isConnectionHeader(key) && key != "content-length") fields.emplace_back(key, value);
    }
    if (!script.chunked && script.status != 304 && script.status != 204) {
      fields.emplace_back("content-length", std::to_string(script.body.size()));
    }
    std::vector<nghttp2_nv> nva;
    for (const auto& [name, value] : fields) nva.push_back(field(name, value));

    nghttp2_data_provider provider{};
    provider.read_callback = readBody;
    bool sendsBody = !bodyless && !script.body.empty();
    stream.piece =
        std::max<size_t>(script.chunkSize > 0 ? script.chunkSize : script.body.size(), 1);
    nghttp2_submit_response(session_, streamId, nva.data(), nva.size(),
                            sendsBody ? &provider : nullptr);
  }

  Core& core_;
  SSL* ssl_;
  int fd_;
  uint64_t id_;
  nghttp2_session* session_ = nullptr;
  std::map<int32_t, Stream> streams_;
};

int selectH2(SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
             unsigned inLength, void*) {
  static const unsigned char kH2[] = {2, 'h', '2'};
  unsigned char* selected = nullptr;
  if (SSL_select_next_proto(&selected, outLength, kH2, sizeof kH2, in, inLength) !=
      OPENSSL_NPN_NEGOTIATED) {
    return SSL_TLSEXT_ERR_ALERT_FATAL;
  }
  *out = selected;
  return SSL_TLSEXT_ERR_OK;
}

void serve(Core& core, SSL_CTX* context, int fd) {
  // Every read and write of this connection is bounded, the handshake too.
  timeval limit{static_cast<time_t>(kTestTimeoutSeconds), 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  SSL* ssl = SSL_new(context);
  SSL_set_fd(ssl, fd);
  // A client that offers no h2, or refuses the certificate, ends here.
  if (SSL_accept(ssl) == 1) {
    Connection(core, ssl, fd).run();
    SSL_shutdown(ssl);
  }
  SSL_free(ssl);
}

}  // namespace

Http2::Http2(Core& core, int listener, const Identity& identity)
    : core_(core), listener_(listener) {
  context_ = SSL_CTX_new(TLS_server_method());
  SSL_CTX_set_min_proto_version(context_, TLS1_2_VERSION);
  SSL_CTX_set_alpn_select_cb(context_, selectH2, nullptr);
  if (SSL_CTX_use_certificate(context_, identity.certificate) != 1 ||
      SSL_CTX_use_PrivateKey(context_, identity.key) != 1) {
    SSL_CTX_free(context_);
    close(listener_);
    throw std::runtime_error("cannot set up the loopback h2 server's certificate");
  }
  acceptor_ = std::thread([this] { acceptConnections(); });
}

Http2::~Http2() {
  acceptor_.join();
  // Blocked reads and writes end at once rather than at their timeouts.
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Worker& worker : workers_) shutdown(worker.fd, SHUT_RDWR);
  }
  for (Worker& worker : workers_) {
    worker.thread.join();
    close(worker.fd);
  }
  SSL_CTX_free(context_);
  close(listener_);
}

void Http2::acceptConnections() {
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {core_.stopFd(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    reapFinished();
    std::lock_guard<std::mutex> lock(mutex_);
    Worker& worker = workers_.emplace_back();
    worker.fd = client;
    worker.thread = std::thread([this, client, &worker] {
      serve(core_, context_, client);
      std::lock_guard<std::mutex> lock(mutex_);
      worker.done = true;
    });
  }
}

// The socket is closed only after its thread is joined, so that shutting
// down the sockets of running workers never reaches a reused descriptor.
void Http2::reapFinished() {
  std::list<Worker> finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
      auto next = std::next(it);
      if (it->done) finished.splice(finished.end(), workers_, it);
      it = next;
    }
  }
  for (Worker& worker : finished) {
    worker.thread.join();
    close(worker.fd);
  }
}

}  // namespace loopback
