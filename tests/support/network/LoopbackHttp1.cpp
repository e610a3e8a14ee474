// HTTP/1.1 through libmicrohttpd. Every response, broken ones included, is
// a content-reader response: its size is what the head claims (unknown:
// chunked, or ended by the close), and the reader hands out the body piece
// by piece, pausing or waiting where the script says. A reader that stops
// short of the claimed size makes the library drop the connection, which is
// how a lying length or a dropped connection reaches the client.

#include <microhttpd.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "support/TestEnvironment.h"
#include "support/network/LoopbackTransports.h"

namespace loopback {
namespace {

constexpr size_t kBlockSize = 64 * 1024;

// One client connection: its number, its socket and the request on it.
struct Peer {
  uint64_t id = 0;
  int fd = -1;
  std::string target;
  // Logged and counted in flight until the library says it is done.
  bool admitted = false;
  bool head = false;
  ScriptedResponse response;
};

struct Body {
  Core& core;
  ScriptedResponse response;
  size_t piece;
};

size_t pieceSize(const ScriptedResponse& response) {
  bool paced = response.chunked || response.chunkSize > 0 || response.chunkInterval > 0 ||
               !response.bodyGate.empty();
  size_t size = !paced                   ? response.body.size()
                : response.chunkSize > 0 ? response.chunkSize
                                         : (response.body.size() + 1) / 2;
  return std::max<size_t>(size, 1);
}

uint64_t claimedSize(const ScriptedResponse& response, bool head) {
  if (response.status == 304 || response.status == 204) return 0;
  // The library ends a chunked answer to HEAD with a last chunk, which the
  // client would read as the start of the next response: HEAD gets a length.
  if (head && (response.chunked || response.untilClose)) return response.body.size();
  if (response.chunked || response.untilClose) return MHD_SIZE_UNKNOWN;
  if (response.claimedLength) return *response.claimedLength;
  if (response.dropConnection) return response.body.size() * 2 + 1;
  return response.body.size() + response.fillerLength;
}

// Pauses and the body gate fall between pieces.
ssize_t readBody(void* context, uint64_t position, char* buffer, size_t room) {
  Body& body = *static_cast<Body*>(context);
  const ScriptedResponse& response = body.response;
  const std::string& bytes = response.body;
  if (position >= bytes.size() && position - bytes.size() < response.fillerLength &&
      !response.filler.empty()) {
    const std::string& filler = response.filler;
    const uint64_t at = position - bytes.size();
    size_t size = static_cast<size_t>(std::min<uint64_t>(room, response.fillerLength - at));
    for (size_t done = 0; done < size;) {
      size_t from = static_cast<size_t>((at + done) % filler.size());
      size_t n = std::min(size - done, filler.size() - from);
      memcpy(buffer + done, filler.data() + from, n);
      done += n;
    }
    return static_cast<ssize_t>(size);
  }
  if (position >= bytes.size()) {
    // Past the body of a response that claimed more: drop the connection.
    return response.chunked || response.untilClose ? MHD_CONTENT_READER_END_OF_STREAM
                                                   : MHD_CONTENT_READER_END_WITH_ERROR;
  }
  if (position > 0 && position % body.piece == 0) {
    if (!body.core.pause(response.chunkInterval)) return MHD_CONTENT_READER_END_WITH_ERROR;
    if (position == body.piece && !body.core.waitForGate(response.bodyGate)) {
      return MHD_CONTENT_READER_END_WITH_ERROR;
    }
  }
  size_t size = std::min({room, bytes.size() - static_cast<size_t>(position),
                          body.piece - static_cast<size_t>(position % body.piece)});
  memcpy(buffer, bytes.data() + position, size);
  return static_cast<ssize_t>(size);
}

void freeBody(void* context) { delete static_cast<Body*>(context); }

MHD_Result collectHeader(void* context, MHD_ValueKind, const char* name, const char* value) {
  std::string& field = (*static_cast<NSHTTPHeaderFields*>(context))[name];
  if (!field.empty()) field += ", ";
  field += value ? value : "";
  return MHD_YES;
}

Peer* peerOf(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info ? static_cast<Peer*>(info->socket_context) : nullptr;
}

void onConnection(void* context, MHD_Connection* connection, void** socketContext,
                  MHD_ConnectionNotificationCode code) {
  if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
    delete static_cast<Peer*>(*socketContext);
    *socketContext = nullptr;
    return;
  }
  auto* peer = new Peer;
  peer->id = static_cast<Core*>(context)->newConnection();
  if (const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD)) {
    peer->fd = info->connect_fd;
    // The library's connection timeout ends a send that makes no progress;
    // this bounds any send that blocks on the socket itself.
    timeval limit{static_cast<time_t>(kTestTimeoutSeconds), 0};
    setsockopt(peer->fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  }
  *socketContext = peer;
}

// The raw request target, before the library splits off the query.
void* onRequestLine(void*, const char* uri, MHD_Connection* connection) {
  Peer* peer = peerOf(connection);
  if (peer) {
    peer->target = uri;
    peer->admitted = false;
  }
  return peer;
}

void onRequestDone(void* context, MHD_Connection*, void** requestContext,
                   MHD_RequestTerminationCode) {
  auto* peer = static_cast<Peer*>(*requestContext);
  if (peer && peer->admitted) {
    peer->admitted = false;
    static_cast<Core*>(context)->finished();
  }
}

MHD_Result answer(Core& core, MHD_Connection* connection, const Peer& peer) {
  const ScriptedResponse& script = peer.response;
  if (script.hang) {
    core.waitForHangUp(peer.fd);
    return MHD_NO;
  }
  if (!core.waitForGate(script.gate) || script.closeAtGate) return MHD_NO;
  auto* body = new Body{core, script, pieceSize(script)};
  MHD_Response* response = MHD_create_response_from_callback(claimedSize(script, peer.head),
                                                             kBlockSize, readBody, body, freeBody);
  if (!response) {
    delete body;
    return MHD_NO;
  }
  if (script.untilClose)
    MHD_set_response_options(response, MHD_RF_HTTP_VERSION_1_0_ONLY, MHD_RO_END);
  for (const auto& [name, value] : script.headers)
    MHD_add_response_header(response, name.c_str(), value.c_str());
  MHD_Result queued =
      MHD_queue_response(connection, static_cast<unsigned>(script.status), response);
  MHD_destroy_response(response);
  return queued;
}

// Called once the head is in (the request is logged then), again for each
// piece of an uploaded body (which is read and dropped), and once more at
// its end (the answer then).
MHD_Result onRequest(void* context, MHD_Connection* connection, const char*, const char* method,
                     const char*, const char*, size_t* uploadSize, void** requestContext) {
  Core& core = *static_cast<Core*>(context);
  auto* peer = static_cast<Peer*>(*requestContext);
  if (!peer) return MHD_NO;
  if (!peer->admitted) {
    LoggedRequest request;
    request.method = method;
    peer->head = request.method == "HEAD";
    request.path = peer->target;
    request.connection = peer->id;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, collectHeader, &request.headers);
    peer->response = core.admit(std::move(request));
    peer->admitted = true;
    return MHD_YES;
  }
  if (*uploadSize > 0) {
    *uploadSize = 0;
    return MHD_YES;
  }
  return answer(core, connection, *peer);
}

}  // namespace

Http1::Http1(Core& core, int listener, const Identity* tls) {
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL;
  if (tls) flags |= MHD_USE_TLS;
  // An idle or stalled connection is closed after this long; curl opens
  // another when it needs one.
  auto timeout = static_cast<intptr_t>(kTestTimeoutSeconds);
  std::vector<MHD_OptionItem> options = {
      {MHD_OPTION_LISTEN_SOCKET, listener, nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, timeout, nullptr},
      {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(onConnection), &core},
      {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(onRequestLine), &core},
      {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(onRequestDone), &core},
  };
  if (tls) {
    options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(tls->keyPem.c_str())});
    options.push_back(
        {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(tls->certificatePem.c_str())});
  }
  options.push_back({MHD_OPTION_END, 0, nullptr});
  daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, onRequest, &core, MHD_OPTION_ARRAY,
                             options.data(), MHD_OPTION_END);
  if (!daemon_) throw std::runtime_error("cannot start the loopback HTTP server");
}

Http1::~Http1() { MHD_stop_daemon(daemon_); }

}  // namespace loopback
