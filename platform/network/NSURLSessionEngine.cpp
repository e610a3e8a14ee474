#include "platform/network/internal/NSURLSessionEngine.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cmath>
#include <new>
#include <thread>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/PlatformClock.h"

namespace url_session {

double wallNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string urlString(const NSURLRequestPtr& request) {
  return request && request->URL() ? request->URL()->absoluteString() : "";
}

NSErrorPtr cancelledError(const NSURLSessionDataTask& task) {
  return NSURLErrorMake(NSURLErrorCancelled, urlString(task.currentRequest()));
}

std::string lowered(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace url_session

using url_session::cancelledError;
using url_session::lowered;
using url_session::urlString;
using url_session::wallNow;

namespace {

// A delegate that keeps answering with refused credentials gets the 401
// after this many tries instead of looping for ever.
constexpr int64_t kMaxCredentialAttempts = 8;

// Body held while the delegate has not yet answered the response; beyond it
// the transfer pauses until the answer.
constexpr size_t kHeldBodyLimit = 1u << 20;

constexpr auto kLookBeforeSleeping = std::chrono::microseconds(50);

// Easy handles kept for the next transfers of the same kind; beyond this
// many a finished transfer's handle is let go.
constexpr size_t kSpareHandles = 8;

// Nodes of the engine's task maps kept for reuse.
constexpr size_t kSpareNodes = 64;

// Open connections kept after use, across hosts. Curl's own limit follows
// the transfers running at the moment, so a quiet moment with one transfer
// closed connections that the next burst then had to open again.
constexpr long kKeptConnections = 64;

// The engine whose session thread is the current thread, if any.
thread_local const NSURLSessionEngine* tlsDrivingEngine = nullptr;

std::string trimmedField(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
  return std::string(s.substr(b, e - b));
}

void addHeaderLine(NSHTTPHeaderFields* fields, std::string_view line) {
  // An interim response (100 Continue) is followed by the real one.
  if (line.rfind("HTTP/", 0) == 0) {
    fields->clear();
  } else if (size_t colon = line.find(':'); colon != std::string_view::npos) {
    std::string name = trimmedField(line.substr(0, colon));
    std::string value = trimmedField(line.substr(colon + 1));
    if (name.empty()) return;
    // A repeated field joins the first; a new one is moved in, not copied.
    if (auto it = fields->find(name); it != fields->end()) {
      it->second.append(", ").append(value);
    } else {
      fields->emplace(std::move(name), std::move(value));
    }
  }
}

long weightFor(float priority) { return 1 + std::lround(priority * 255.0f); }

Bytes derOf(X509* certificate) {
  unsigned char* der = nullptr;
  int length = i2d_X509(certificate, &der);
  if (length <= 0) return {};
  Bytes bytes(der, der + length);
  OPENSSL_free(der);
  return bytes;
}

// Evaluates the chain as OpenSSL would, keeping what the server offered so a
// delegate can be asked about it when the evaluation fails.
int verifyAndCapture(X509_STORE_CTX* store, void* user) {
  auto* capture = static_cast<NSURLSessionTlsCapture*>(user);
  int ok = X509_verify_cert(store);
  capture->chain.clear();
  capture->failure = ok > 0 ? "" : X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
  X509* leaf = X509_STORE_CTX_get0_cert(store);
  if (leaf) capture->chain.push_back(derOf(leaf));
  if (STACK_OF(X509)* offered = X509_STORE_CTX_get0_untrusted(store)) {
    for (int i = 0; i < sk_X509_num(offered); ++i) {
      X509* certificate = sk_X509_value(offered, i);
      if (certificate != leaf) capture->chain.push_back(derOf(certificate));
    }
  }
  return ok;
}

CURLcode onSslContext(CURL*, void* context, void* user) {
  auto* ssl = static_cast<SSL_CTX*>(context);
  SSL_CTX_set_cert_verify_callback(ssl, verifyAndCapture, user);
  // The capture belongs to one task; a renegotiation on a pooled connection
  // must not reach it later.
  SSL_CTX_set_options(ssl, SSL_OP_NO_RENEGOTIATION);
  return CURLE_OK;
}

// A Location field's reference resolved against the URL that answered;
// empty when it cannot be.
std::string resolvedAgainst(const NSURLPtr& base, const std::string& reference) {
  CURLU* url = Curl().curl_url();
  std::string resolved;
  char* text = nullptr;
  if (Curl().curl_url_set(url, CURLUPART_URL, base->absoluteString().c_str(), 0) == CURLUE_OK &&
      Curl().curl_url_set(url, CURLUPART_URL, reference.c_str(), 0) == CURLUE_OK &&
      Curl().curl_url_get(url, CURLUPART_URL, &text, 0) == CURLUE_OK) {
    resolved = text;
  }
  Curl().curl_free(text);
  Curl().curl_url_cleanup(url);
  return resolved;
}

bool isRedirect(int64_t status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The realm of a Basic challenge among those a 401 offers; nullopt (outer)
// when Basic is not offered. The field lists challenges separated by commas,
// each a scheme followed by its parameters (which hold commas of their own).
std::optional<std::optional<std::string>> basicChallenge(const NSHTTPURLResponse& response) {
  auto header = response.valueForHTTPHeaderField("WWW-Authenticate");
  if (!header) return std::nullopt;
  std::vector<std::string> pieces;
  std::string piece;
  bool quoted = false;
  for (char c : *header) {
    if (c == '"') quoted = !quoted;
    if (c == ',' && !quoted) {
      pieces.push_back(trimmedField(piece));
      piece.clear();
    } else {
      piece += c;
    }
  }
  pieces.push_back(trimmedField(piece));
  bool inBasic = false;
  std::optional<std::optional<std::string>> found;
  for (std::string& part : pieces) {
    size_t space = part.find(' ');
    std::string first = part.substr(0, space);
    if (first.find('=') == std::string::npos && !first.empty()) {
      // A new challenge: its scheme, then perhaps its first parameter.
      if (found) break;
      inBasic = lowered(first) == "basic";
      if (inBasic) found = std::optional<std::string>();
      part = space == std::string::npos ? "" : trimmedField(part.substr(space + 1));
    }
    if (!inBasic || lowered(part).rfind("realm=", 0) != 0) continue;
    std::string value = trimmedField(part.substr(6));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    found = std::optional<std::string>(value);
  }
  return found;
}

// Seconds a stored response stays fresh, from its own headers.
double freshnessLifetime(const NSHTTPURLResponse& response) {
  std::string control = lowered(response.valueForHTTPHeaderField("Cache-Control").value_or(""));
  if (control.find("no-cache") != std::string::npos) return 0;
  if (size_t at = control.find("max-age="); at != std::string::npos) {
    return std::strtod(control.c_str() + at + 8, nullptr);
  }
  auto dateOf = [&](const char* field) -> std::optional<double> {
    auto value = response.valueForHTTPHeaderField(field);
    if (!value) return std::nullopt;
    time_t parsed = Curl().curl_getdate(value->c_str(), nullptr);
    return parsed < 0 ? std::nullopt : std::optional<double>(static_cast<double>(parsed));
  };
  auto date = dateOf("Date");
  if (auto expires = dateOf("Expires")) return date ? *expires - *date : 0;
  if (response.valueForHTTPHeaderField("Expires")) return 0;  // an invalid date means already expired
  if (auto modified = dateOf("Last-Modified"); modified && date && *date > *modified) {
    return (*date - *modified) / 10;
  }
  return 0;
}

bool requestsRevalidation(const NSURLRequest& request) {
  std::string control = lowered(request.valueForHTTPHeaderField("Cache-Control").value_or(""));
  std::string pragma = lowered(request.valueForHTTPHeaderField("Pragma").value_or(""));
  return control.find("no-cache") != std::string::npos || control.find("max-age=0") != std::string::npos ||
         pragma.find("no-cache") != std::string::npos;
}

}  // namespace

NSURLSessionEngine::NSURLSessionEngine(const NSURLSessionConfiguration& configuration,
                                       std::shared_ptr<NSURLSessionDataDelegate> delegate,
                                       dispatch_queue_t queue)
    : configuration_(configuration),
      outbox_(std::make_shared<NSURLSessionDelegateOutbox>(std::move(queue))),
      delegate_(std::move(delegate)) {
  if (!CurlLoad(&unavailable_)) return;
  multi_ = Curl().curl_multi_init();
  Curl().curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS,
                    static_cast<long>(std::max(1, configuration_.HTTPMaximumConnectionsPerHost)));
  Curl().curl_multi_setopt(multi_, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
  Curl().curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, kKeptConnections);
  share_ = Curl().curl_share_init();
  Curl().curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
}

NSURLSessionEngine::~NSURLSessionEngine() {
  stop();
  if (!multi_) return;
  Curl().curl_multi_cleanup(multi_);
  Curl().curl_share_cleanup(share_);
}

void NSURLSessionEngine::start(std::weak_ptr<NSURLSession> session) {
  session_ = std::move(session);
  thread_.start([this] { run(); }, "url-session");
}

std::shared_ptr<NSURLSessionDataDelegate> NSURLSessionEngine::delegate() {
  MutexLock lock(mutex_);
  return delegate_;
}

bool NSURLSessionEngine::post(std::function<void()> command, bool startsTask) {
  bool wake;
  {
    MutexLock lock(mutex_);
    if (stopping_ || (startsTask && draining_)) return false;
    // The first command since the thread went idle woke it already.
    wake = idle_ && commands_.empty() && tlsDrivingEngine != this;
    commands_.push_back(std::move(command));
    pending_.store(true, std::memory_order_relaxed);
  }
  if (wake) wakeFromSleep();
  return true;
}

void NSURLSessionEngine::drain() {
  {
    MutexLock lock(mutex_);
    draining_ = true;
  }
  wakeThread();
}

void NSURLSessionEngine::stop() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  MutexLock joinLock(joinMutex_);
  if (thread_.isStarted()) {
    wakeThread();
    thread_.join();
  }
  MutexLock lock(mutex_);
  stopped_ = true;
  stoppedChanged_.notify_all();
}

void NSURLSessionEngine::finishWhenStopped(const NSURLSessionDataTaskPtr& task) {
  {
    MutexLock lock(mutex_);
    lock.wait(stoppedChanged_, [&]() REQUIRES(mutex_) { return stopped_; });
  }
  finish(task, cancelledError(*task));
}

void NSURLSessionEngine::run() {
  QX_DCHECK_SEQUENCE(sessionThread_);
  tlsDrivingEngine = this;
  // Commands are posted from the delegate queue while it works through a
  // batch of finished transfers (the next download starts from there). As
  // an ordinary thread this one would take the CPU on every such post, so
  // on a busy core the batch would shrink to one transfer and each transfer
  // would pay four switches. A batch thread is woken without preempting;
  // it runs once the poster sleeps or its slice ends.
  sched_param batch{};
  ::pthread_setschedparam(::pthread_self(), SCHED_BATCH, &batch);
  for (;;) {
    NSURLSessionDelegateOutbox::Hold hold(*outbox_);
    std::vector<std::function<void()>> commands;
    bool stopping;
    {
      MutexLock lock(mutex_);
      commands.swap(commands_);
      pending_.store(false, std::memory_order_relaxed);
      idle_ = false;
      stopping = stopping_;
    }
    for (auto& command : commands) command();
    if (stopping) break;
    {
      MutexLock lock(mutex_);
      // Commands still queued may be answers that keep a task going.
      if (draining_ && live_.empty() && commands_.empty()) stopping_ = true;
      if (stopping_) continue;
    }
    if (!multi_) {
      // Without libcurl nothing transfers: commands are all there is.
      hold.release();
      MutexLock lock(mutex_);
      idle_ = true;
      lock.wait(commandsPosted_, [&]() REQUIRES(mutex_) {
        return !commands_.empty() || stopping_ || pending_.load(std::memory_order_relaxed);
      });
      continue;
    }
    int running = 0;
    Curl().curl_multi_perform(multi_, &running);
    readDone();
    // A slot freed by an end goes to the next attempt before anything else.
    if (startWaiting()) continue;
    const auto untilSilence = endSilentAttempts();
    bool look;
    {
      // Commands posted while the thread worked sent no wake-up.
      MutexLock lock(mutex_);
      if (!commands_.empty()) continue;
      look = !active_.empty();
      idle_ = !look;
    }
    hold.release();
    if (look && lookBeforeSleeping()) continue;
    // Bounded so curl's own timers (timeouts, retries) are served even when
    // no socket stirs.
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(untilSilence).count();
    Curl().curl_multi_poll(multi_, nullptr, 0, static_cast<int>(std::clamp<int64_t>(wait, 1, 1000)), nullptr);
  }
  for (;;) {
    NSURLSessionDataTaskPtr task;
    {
      MutexLock lock(mutex_);
      if (live_.empty()) break;
      task = live_.begin()->second;
    }
    finish(task, cancelledError(*task));
  }
  std::shared_ptr<NSURLSessionDataDelegate> delegate;
  {
    MutexLock lock(mutex_);
    delegate.swap(delegate_);
    stopped_ = true;
    stoppedChanged_.notify_all();
  }
  for (auto& spares : spareHandles_) {
    for (CURL* easy : spares) Curl().curl_easy_cleanup(easy);
    spares.clear();
  }
  outbox_->push([delegate, session = session_] {
    delegate->didBecomeInvalidWithError(session.lock(), nullptr);
  });
  tlsDrivingEngine = nullptr;
}

void NSURLSessionEngine::wakeThread() {
  pending_.store(true, std::memory_order_relaxed);
  wakeFromSleep();
}

void NSURLSessionEngine::wakeFromSleep() {
  if (multi_) {
    Curl().curl_multi_wakeup(multi_);
    return;
  }
  // Taken once so that a thread about to wait has either seen what was
  // posted or waits already when told.
  { MutexLock lock(mutex_); }
  commandsPosted_.notify_one();
}

bool NSURLSessionEngine::lookBeforeSleeping() {
  const auto until = std::chrono::steady_clock::now() + kLookBeforeSleeping;
  bool found = false;
  while (!found) {
    int ready = 0;
    found = pending_.load(std::memory_order_relaxed) ||
            (Curl().curl_multi_poll(multi_, nullptr, 0, 0, &ready) == CURLM_OK && ready > 0);
    if (found || std::chrono::steady_clock::now() >= until) break;
    std::this_thread::yield();
  }
  // Posters wake this thread from here on; a command that came meanwhile
  // without waking it is seen before it sleeps.
  MutexLock lock(mutex_);
  found = found || !commands_.empty();
  idle_ = !found;
  return found;
}

void NSURLSessionEngine::add(const NSURLSessionDataTaskPtr& task) {
  {
    MutexLock lock(task->mutex_);
    if (task->state_ != NSURLSessionTaskState::Running) return;
  }
  NSURLSessionTaskLoad& load = *task->load_;
  load.taskStart = wallNow();
  {
    MutexLock lock(mutex_);
    if (spareLiveNodes_.empty()) {
      live_[task->taskIdentifier()] = task;
    } else {
      auto node = std::move(spareLiveNodes_.back());
      spareLiveNodes_.pop_back();
      node.key() = task->taskIdentifier();
      node.mapped() = task;
      live_.insert(std::move(node));
    }
  }
  this->load(task);
}

void NSURLSessionEngine::load(const NSURLSessionDataTaskPtr& task) {
  const NSURLRequestPtr& request = task->loadingRequest();
  if (!request->URL()) {
    finish(task, NSURLErrorMake(NSURLErrorBadURL, "", "The request has no URL."));
    return;
  }
  if (!multi_) {
    finish(task, NSURLErrorMake(NSURLErrorUnknown, urlString(request),
                                "The network library cannot be loaded: " + unavailable_));
    return;
  }
  NSURLSessionTaskLoad& load = *task->load_;
  load.revalidating = nullptr;
  const NSURLCachePtr& cache = configuration_.URLCache;
  NSURLRequestCachePolicy policy = request->cachePolicy();
  if (policy == NSURLRequestCachePolicy::UseProtocolCachePolicy) policy = configuration_.requestCachePolicy;
  NSCachedURLResponsePtr cached;
  double storedAt = 0;
  if (cache && request->HTTPMethod() == "GET" && policy != NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData) {
    cached = cache->cachedResponseForRequest(request, storedAt);
  }
  if (policy == NSURLRequestCachePolicy::ReturnCacheDataDontLoad && !cached) {
    finish(task, NSURLErrorMake(NSURLErrorResourceUnavailable, urlString(request),
                                "The resource is not in the cache and loading was not allowed."));
    return;
  }
  if (cached && policy == NSURLRequestCachePolicy::UseProtocolCachePolicy) {
    double age = PlatformClock::now() - storedAt;
    auto ageField = cached->response()->valueForHTTPHeaderField("Age");
    if (ageField) age += std::max(0.0, std::strtod(ageField->c_str(), nullptr));
    bool fresh = !requestsRevalidation(*request) && age < freshnessLifetime(*cached->response());
    if (!fresh) {
      bool validators = cached->response()->valueForHTTPHeaderField("ETag") ||
                        cached->response()->valueForHTTPHeaderField("Last-Modified");
      load.revalidating = validators ? cached : nullptr;
      cached = nullptr;
    }
  }
  if (cached) {
    serveCached(task, cached);
  } else {
    startTransfer(task);
  }
}

void NSURLSessionEngine::hostSlotKey(const NSURL& url, std::string& key) {
  auto lower = [](std::string& text, size_t from) {
    for (size_t i = from; i < text.size(); ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (static_cast<unsigned>(c - 'A') < 26u) text[i] = static_cast<char>(c + ('a' - 'A'));
    }
  };
  key.assign(url.scheme().value_or(""));
  lower(key, 0);
  // Only the schemes the session loads have a port of their own.
  int64_t port = key == "http" ? 80 : key == "https" ? 443 : -1;
  if (url.port()) port = *url.port();
  key.append("://");
  const size_t hostStart = key.size();
  key.append(url.host().value_or(""));
  lower(key, hostStart);
  key.push_back(':');
  key.append(std::to_string(port));
}

bool NSURLSessionEngine::takeSlot(const NSURLSessionDataTaskPtr& task) {
  NSURLSessionTaskLoad& load = *task->load_;
  const NSURL& url = *task->loadingRequest()->URL();
  std::string& host = hostKey_;
  hostSlotKey(url, host);
  auto it = hosts_.find(host);
  if (it == hosts_.end()) it = hosts_.emplace(host, HostSlots()).first;
  HostSlots& slots = it->second;
  load.slotHost = &it->first;
  const auto limit = static_cast<size_t>(std::max(1, configuration_.HTTPMaximumConnectionsPerHost));
  if (!slots.multiplexed && slots.running >= limit) {
    slots.waiting.push_back(task);
    return false;
  }
  ++slots.running;
  return true;
}

void NSURLSessionEngine::markFreed(HostMap::iterator host) {
  if (host->second.freed) return;
  host->second.freed = true;
  freedHosts_.push_back(host);
}

void NSURLSessionEngine::releaseSlot(NSURLSessionTaskLoad& load) {
  if (!load.slotHost) return;
  auto it = hosts_.find(*load.slotHost);
  load.slotHost = nullptr;
  if (it == hosts_.end()) return;
  HostSlots& slots = it->second;
  --slots.running;
  if (!slots.waiting.empty()) {
    markFreed(it);
  } else if (slots.running == 0) {
    hosts_.erase(it);
  }
}

bool NSURLSessionEngine::startWaiting() {
  if (freedHosts_.empty()) return false;
  std::vector<HostMap::iterator> freed;
  freed.swap(freedHosts_);
  const auto limit = static_cast<size_t>(std::max(1, configuration_.HTTPMaximumConnectionsPerHost));
  bool started = false;
  for (HostMap::iterator it : freed) {
    HostSlots& slots = it->second;
    slots.freed = false;
    while (!slots.waiting.empty() && (slots.multiplexed || slots.running < limit)) {
      NSURLSessionDataTaskPtr task = std::move(slots.waiting.front());
      slots.waiting.pop_front();
      // Ended (cancelled) while it waited.
      if (task->state() != NSURLSessionTaskState::Running) continue;
      ++slots.running;
      startTransfer(task, /*slotTaken=*/true);
      started = true;
    }
    if (slots.running == 0 && slots.waiting.empty()) hosts_.erase(it);
  }
  return started;
}

void NSURLSessionEngine::startTransfer(const NSURLSessionDataTaskPtr& task, bool slotTaken) {
  QX_DCHECK_SEQUENCE(sessionThread_);
  if (!slotTaken && !takeSlot(task)) return;
  NSURLSessionTaskLoad& load = *task->load_;
  const NSURLRequestPtr& request = task->loadingRequest();
  const bool cookies = request->HTTPShouldHandleCookies() && configuration_.HTTPShouldSetCookies;
  bool reused = false;
  CURL* easy = takeHandle(cookies, &reused);
  load.easy = easy;
  load.cookies = cookies;
  load.transferDone = false;
  load.headSeen = false;
  load.headPaused = false;
  load.attemptResponse = nullptr;
  load.responseHeaders.clear();
  load.cacheCandidate = false;
  load.cacheBody.clear();
  load.cacheChunk = nullptr;
  load.tls = {};
  load.attemptStart = wallNow();
  if (spareActiveNodes_.empty()) {
    active_[easy] = task;
  } else {
    auto node = std::move(spareActiveNodes_.back());
    spareActiveNodes_.pop_back();
    node.key() = easy;
    node.mapped() = task;
    active_.insert(std::move(node));
  }
  Curl().curl_easy_setopt(easy, CURLOPT_URL, request->URL()->absoluteString().c_str());
  if (reused) {
    // A kept handle has every option below from its first transfer; only
    // the method may differ from the last one's.
    Curl().curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    Curl().curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, nullptr);
  } else {
    Curl().curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    // Redirections are followed here, after the delegate has had its say.
    Curl().curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    Curl().curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    Curl().curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    // A handle outlives its transfer: no TLS session of one server's
    // handshake may be resumed by a later transfer's without being verified.
    Curl().curl_easy_setopt(easy, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    Curl().curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
    Curl().curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onWrite);
    if (cookies) {
      Curl().curl_easy_setopt(easy, CURLOPT_SHARE, share_);
      Curl().curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
    }
  }
  Curl().curl_easy_setopt(easy, CURLOPT_HEADERDATA, task.get());
  Curl().curl_easy_setopt(easy, CURLOPT_WRITEDATA, task.get());

  double timeout = request->timeoutInterval();
  if (timeout == NSURLRequest::kDefaultTimeoutInterval && configuration_.timeoutIntervalForRequest > 0) {
    timeout = configuration_.timeoutIntervalForRequest;
  }
  // The interval is how long the load may go without receiving a byte,
  // however slowly they come: curl's speed limits would time out a server
  // trickling a byte now and then, and notice silence only seconds late.
  Curl().curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::ceil(timeout * 1000)));
  load.silenceLimit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(timeout));
  load.lastBytes = std::chrono::steady_clock::now();
  nextSilenceCheck_ = std::min(nextSilenceCheck_, load.lastBytes + load.silenceLimit);

  const std::string& method = request->HTTPMethod();
  if (method == "HEAD") {
    Curl().curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (method != "GET") {
    Curl().curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  }

  load.headerList = headerList(*request, load.revalidating.get());
  Curl().curl_easy_setopt(easy, CURLOPT_HTTPHEADER, load.headerList);

  if (load.basicCredential) {
    Curl().curl_easy_setopt(easy, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
    Curl().curl_easy_setopt(easy, CURLOPT_USERNAME, load.basicCredential->user().value_or("").c_str());
    Curl().curl_easy_setopt(easy, CURLOPT_PASSWORD, load.basicCredential->password().value_or("").c_str());
  }
  if (load.trustPin.empty()) {
    Curl().curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, onSslContext);
    Curl().curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &load.tls);
  } else {
    // The delegate trusted this server's key: that key, and nothing else,
    // is accepted, whatever the chain or the name say. A kept handle's
    // capture belongs to the task that had it last.
    Curl().curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, nullptr);
    Curl().curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, nullptr);
    Curl().curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
    Curl().curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    Curl().curl_easy_setopt(easy, CURLOPT_PINNEDPUBLICKEY, load.trustPin.c_str());
  }
  Curl().curl_easy_setopt(easy, CURLOPT_STREAM_WEIGHT, weightFor(task->priority()));
  Curl().curl_multi_add_handle(multi_, easy);
}

curl_slist* NSURLSessionEngine::headerList(const NSURLRequest& request, const NSCachedURLResponse* revalidating) const {
  using Field = std::pair<std::string_view, std::string_view>;
  const NSHTTPHeaderNameLess less;
  const NSHTTPHeaderFields& session = configuration_.HTTPAdditionalHeaders;
  const NSHTTPHeaderFields& own = request.allHTTPHeaderFields();
  std::vector<Field> fields;
  fields.reserve(session.size() + own.size() + 2);
  // Both are in name order: the request's field replaces the session's
  // value under the session's spelling of the name.
  auto s = session.begin();
  auto r = own.begin();
  while (s != session.end() || r != own.end()) {
    if (r == own.end() || (s != session.end() && less(s->first, r->first))) {
      fields.emplace_back(s->first, s->second);
      ++s;
    } else if (s != session.end() && !less(r->first, s->first)) {
      fields.emplace_back(s->first, r->second);
      ++s;
      ++r;
    } else {
      fields.emplace_back(r->first, r->second);
      ++r;
    }
  }
  // Validators go where the request has not set the field itself.
  std::optional<std::string> tag, modified;
  auto addValidator = [&](std::string_view name, const std::optional<std::string>& value) {
    if (!value) return;
    auto at = std::lower_bound(fields.begin(), fields.end(), name,
                               [&](const Field& field, std::string_view key) { return less(field.first, key); });
    if (at == fields.end() || less(name, at->first)) fields.insert(at, Field(name, *value));
  };
  if (revalidating) {
    const NSHTTPURLResponse& stored = *revalidating->response();
    tag = stored.valueForHTTPHeaderField("ETag");
    modified = stored.valueForHTTPHeaderField("Last-Modified");
    addValidator("If-None-Match", tag);
    addValidator("If-Modified-Since", modified);
  }
  curl_slist* list = nullptr;
  std::string line;
  for (const auto& [name, value] : fields) {
    // "Name;" is how curl is told to send a field with an empty value.
    line.assign(name);
    if (value.empty()) {
      line += ';';
    } else {
      line.append(": ").append(value);
    }
    list = Curl().curl_slist_append(list, line.c_str());
  }
  return list;
}

void NSURLSessionEngine::applyPriority(const NSURLSessionDataTaskPtr& task) {
  if (task->load_->easy) Curl().curl_easy_setopt(task->load_->easy, CURLOPT_STREAM_WEIGHT, weightFor(task->priority()));
}

CURL* NSURLSessionEngine::takeHandle(bool cookies, bool* reused) {
  QX_DCHECK_SEQUENCE(sessionThread_);
  std::vector<CURL*>& spares = spareHandles_[cookies];
  *reused = !spares.empty();
  if (spares.empty()) return Curl().curl_easy_init();
  CURL* easy = spares.back();
  spares.pop_back();
  return easy;
}

void NSURLSessionEngine::releaseHandle(CURL* easy, const NSURLSessionTaskLoad& load) {
  QX_DCHECK_SEQUENCE(sessionThread_);
  std::vector<CURL*>& spares = spareHandles_[load.cookies];
  if (!load.transferDone || load.basicCredential || !load.trustPin.empty() || spares.size() >= kSpareHandles) {
    Curl().curl_easy_cleanup(easy);
    return;
  }
  // Kept with its options rather than reset: a reset and the options set
  // again cost a small transfer a tenth of its time on the session thread.
  // What a kept handle may carry is this transfer's fields list, freed next.
  Curl().curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);
  spares.push_back(easy);
}

void NSURLSessionEngine::detach(NSURLSessionDataTask& task) {
  NSURLSessionTaskLoad& load = *task.load_;
  if (!load.easy) return;
  CURL* easy = load.easy;
  Curl().curl_multi_remove_handle(multi_, easy);
  releaseHandle(easy, load);
  releaseSlot(load);
  Curl().curl_slist_free_all(load.headerList);
  load.easy = nullptr;
  load.headerList = nullptr;
  if (auto node = active_.extract(easy)) {
    node.mapped() = nullptr;
    if (spareActiveNodes_.size() < kSpareNodes) spareActiveNodes_.push_back(std::move(node));
  }
}

void NSURLSessionEngine::endAttempt(NSURLSessionDataTask& task) {
  NSURLSessionTaskLoad& load = *task.load_;
  if (!load.easy) return;
  CURL* easy = load.easy;
  NSURLSessionTaskTransactionMetrics metrics;
  metrics.request = task.loadingRequest();
  metrics.response = load.attemptResponse;
  metrics.resourceFetchType = NSURLSessionTaskMetricsResourceFetchType::NetworkLoad;
  auto at = [&](CURLINFO info) -> std::optional<double> {
    curl_off_t micros = 0;
    if (Curl().curl_easy_getinfo(easy, info, &micros) != CURLE_OK || micros <= 0) return std::nullopt;
    return load.attemptStart + static_cast<double>(micros) / 1e6;
  };
  metrics.fetchStartDate = load.attemptStart;
  long connects = 0;
  Curl().curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);
  metrics.reusedConnection = connects == 0;
  if (!metrics.reusedConnection) {
    metrics.domainLookupStartDate = load.attemptStart;
    metrics.domainLookupEndDate = at(CURLINFO_NAMELOOKUP_TIME_T);
    metrics.connectStartDate = metrics.domainLookupEndDate;
    metrics.connectEndDate = at(CURLINFO_APPCONNECT_TIME_T);
    if (metrics.connectEndDate) {
      metrics.secureConnectionStartDate = at(CURLINFO_CONNECT_TIME_T);
      metrics.secureConnectionEndDate = metrics.connectEndDate;
    } else {
      metrics.connectEndDate = at(CURLINFO_CONNECT_TIME_T);
    }
  }
  metrics.requestStartDate = at(CURLINFO_PRETRANSFER_TIME_T);
  metrics.responseStartDate = at(CURLINFO_STARTTRANSFER_TIME_T);
  if (load.attemptResponse) metrics.responseEndDate = at(CURLINFO_TOTAL_TIME_T);
  long version = 0;
  Curl().curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version);
  if (version >= CURL_HTTP_VERSION_2_0) {
    auto it = load.slotHost ? hosts_.find(*load.slotHost) : hosts_.end();
    if (it != hosts_.end() && !it->second.multiplexed) {
      it->second.multiplexed = true;
      if (!it->second.waiting.empty()) markFreed(it);
    }
  }
  switch (version) {
    case CURL_HTTP_VERSION_1_0: metrics.networkProtocolName = "http/1.0"; break;
    case CURL_HTTP_VERSION_1_1: metrics.networkProtocolName = "http/1.1"; break;
    case CURL_HTTP_VERSION_2_0: metrics.networkProtocolName = "h2"; break;
    case CURL_HTTP_VERSION_3: metrics.networkProtocolName = "h3"; break;
    default: break;
  }
  char* address = nullptr;
  if (Curl().curl_easy_getinfo(easy, CURLINFO_PRIMARY_IP, &address) == CURLE_OK && address) metrics.remoteAddress = address;
  long port = 0;
  Curl().curl_easy_getinfo(easy, CURLINFO_PRIMARY_PORT, &port);
  metrics.remotePort = port;
  curl_off_t body = 0;
  Curl().curl_easy_getinfo(easy, CURLINFO_SIZE_DOWNLOAD_T, &body);
  metrics.countOfResponseBodyBytesReceived = body;
  load.transactions.push_back(std::move(metrics));
  detach(task);
}

void NSURLSessionEngine::finish(const NSURLSessionDataTaskPtr& task, NSErrorPtr error, NSDataPtr body) {
  NSURLSessionDataTaskPtr keep = task;  // the engine's references go below
  NSURLSessionTaskLoad::Held dropped;     // let go outside the lock
  {
    MutexLock lock(task->mutex_);
    bool over = task->state_ == NSURLSessionTaskState::Completed;
    task->state_ = NSURLSessionTaskState::Completed;
    if (!over) task->error_ = error;
    std::swap(dropped, task->load_->held);
    if (over) {
      // Ended on the delegate queue; it may not have been forgotten yet.
      MutexLock liveLock(mutex_);
      live_.erase(task->taskIdentifier());
      return;
    }
  }
  NSURLSessionTaskLoad& load = *task->load_;
  endAttempt(*task);
  NSURLSessionTaskMetricsPtr metrics = takeMetrics(*task);
  auto delegate = this->delegate();
  if (task->completion_) {
    NSDataPtr data = error ? nullptr : body ? std::move(body) : NSData::dataWithBytes(std::move(load.body));
    outbox_->push([delegate = std::move(delegate), session = session_, keep,
                   metrics = std::move(metrics), completion = std::move(task->completion_),
                   data = std::move(data), response = task->response(),
                   error = std::move(error)]() mutable {
      if (delegate) delegate->didFinishCollectingMetrics(session.lock(), keep, metrics);
      completion(std::move(data), std::move(response), std::move(error));
    });
  } else if (delegate) {
    pushCompletion(delegate, keep, metrics, error);
  }
  forget(*task);
}

NSURLSessionTaskMetricsPtr NSURLSessionEngine::takeMetrics(NSURLSessionDataTask& task) {
  NSURLSessionTaskLoad& load = *task.load_;
  if (!load.endMetrics) {
    double start = load.taskStart > 0 ? load.taskStart : wallNow();
    load.endMetrics = std::make_shared<NSURLSessionTaskMetrics>(
        std::move(load.transactions), start, std::max(0.0, wallNow() - start), load.redirects);
  }
  return load.endMetrics;
}

void NSURLSessionEngine::forget(const NSURLSessionDataTask& task) {
  bool wake;
  NSURLSessionDataTaskPtr dropped;  // let go outside the lock
  {
    MutexLock lock(mutex_);
    if (auto node = live_.extract(task.taskIdentifier())) {
      dropped.swap(node.mapped());
      if (spareLiveNodes_.size() < kSpareNodes) spareLiveNodes_.push_back(std::move(node));
    }
    wake = draining_ && live_.empty() && tlsDrivingEngine != this;
  }
  if (wake) wakeThread();
}

NSHTTPURLResponsePtr NSURLSessionEngine::makeResponse(NSURLSessionDataTask& task) {
  NSURLSessionTaskLoad& load = *task.load_;
  long status = 0;
  Curl().curl_easy_getinfo(load.easy, CURLINFO_RESPONSE_CODE, &status);
  NSURLPtr url = task.loadingRequest()->URL();
  // The fields are the response's from here on; what curl reports after
  // the head (trailers) is not part of it.
  load.attemptResponse = std::make_shared<NSHTTPURLResponse>(url, status, std::move(load.responseHeaders));
  load.responseHeaders.clear();
  return load.attemptResponse;
}

size_t NSURLSessionEngine::onWrite(char* data, size_t size, size_t count, void* user) {
  auto* task = static_cast<NSURLSessionDataTask*>(user);
  return task->engine_->received(task, data, size * count);
}

size_t NSURLSessionEngine::onHeader(char* data, size_t size, size_t count, void* user) {
  auto* raw = static_cast<NSURLSessionDataTask*>(user);
  NSURLSessionTaskLoad& load = *raw->load_;
  load.lastBytes = std::chrono::steady_clock::now();
  std::string_view line(data, size * count);
  if (load.headSeen || (line != "\r\n" && line != "\n")) {
    addHeaderLine(&load.responseHeaders, line);
    return size * count;
  }
  long status = 0;
  Curl().curl_easy_getinfo(load.easy, CURLINFO_RESPONSE_CODE, &status);
  // The head is complete: a plain one is handed on now, not when the body
  // starts (a server may pause before it). Interim heads are not the answer.
  if (status >= 200) {
    NSURLSessionDataTaskPtr task = raw->shared_from_this();
    NSHTTPURLResponsePtr response = task->engine_->makeResponse(*task);
    if (headKind(load, *response) == HeadKind::Plain && (task->completion_ || task->engine_->delegate()) &&
        task->state() != NSURLSessionTaskState::Completed) {
      load.headSeen = true;
      task->engine_->accept(task, response, false);
    }
  }
  return size * count;
}

size_t NSURLSessionEngine::received(NSURLSessionDataTask* raw, const char* data, size_t length) {
  NSURLSessionDataTaskPtr task = raw->shared_from_this();
  NSURLSessionTaskLoad& load = *task->load_;
  load.lastBytes = std::chrono::steady_clock::now();
  // A cancelled task takes no more body: curl would otherwise go on reading
  // (and inflating: a few megabytes of gzip are gigabytes) until the cancel
  // is served between its reads, all of it queued for nobody.
  if (task->state() == NSURLSessionTaskState::Canceling) {
    load.cancelledInTransfer = true;
    return 0;
  }
  if (!load.headSeen) {
    load.headSeen = true;
    // A plain head was handed on when it ended; one that may change handles
    // (another request, a cached answer, no delegate left to ask) is dealt
    // with outside this callback, the body held back in curl meanwhile.
    NSHTTPURLResponsePtr response = load.attemptResponse ? load.attemptResponse : makeResponse(*task);
    if (headKind(load, *response) == HeadKind::Plain && (task->completion_ || delegate()) &&
        task->state() != NSURLSessionTaskState::Completed) {
      accept(task, response, false);
    } else {
      load.headPaused = true;
      post([this, task] { headArrived(task, false); });
      return CURL_WRITEFUNC_PAUSE;
    }
  }
  if (!task->completion_) {
    MutexLock lock(task->mutex_);
    NSURLSessionTaskLoad::Held& held = load.held;
    if ((held.awaitingAnswer && held.bytes >= kHeldBodyLimit) || held.queued >= kQueuedBodyLimit) {
      // Enough waits already; curl keeps this chunk until the answer, or
      // until the delegate has taken what is queued.
      held.paused = true;
      return CURL_WRITEFUNC_PAUSE;
    }
  } else {
    MutexLock lock(task->mutex_);
    task->received_ += static_cast<int64_t>(length);
  }
  // A body past what memory can hold ends the task with an error; the
  // exception must not unwind through curl.
  try {
    if (task->completion_) {
      // The body itself is offered to the cache, while within its share.
      if (load.cacheCandidate && load.body.size() + length > load.cacheLimit) load.cacheCandidate = false;
      load.body.insert(load.body.end(), data, data + length);
      return length;
    }
    NSDataPtr chunk = NSData::dataWithBytes(data, length);
    if (load.cacheCandidate) keepForCache(load, data, length, chunk);
    deliverData(task, std::move(chunk));
  } catch (const std::bad_alloc&) {
    load.bodyUnheld = true;
    Bytes().swap(load.body);
    return 0;
  }
  return length;
}

void NSURLSessionEngine::keepForCache(NSURLSessionTaskLoad& load, const char* data, size_t length,
                                      const NSDataPtr& chunk) {
  size_t kept = load.cacheChunk ? load.cacheChunk->length() : load.cacheBody.size();
  if (kept + length > load.cacheLimit) {
    load.cacheCandidate = false;
    load.cacheChunk = nullptr;
    Bytes().swap(load.cacheBody);
  } else if (chunk && kept == 0) {
    load.cacheChunk = chunk;
  } else {
    if (load.cacheChunk) {
      load.cacheBody.assign(load.cacheChunk->bytes(), load.cacheChunk->bytes() + load.cacheChunk->length());
      load.cacheChunk = nullptr;
    }
    load.cacheBody.insert(load.cacheBody.end(), data, data + length);
  }
}

void NSURLSessionEngine::headArrived(const NSURLSessionDataTaskPtr& task, bool atEnd) {
  NSURLSessionTaskLoad& load = *task->load_;
  if (task->state() == NSURLSessionTaskState::Completed || !load.easy) return;
  // A head held back from the write callback was made into a response there.
  NSHTTPURLResponsePtr response = load.attemptResponse ? load.attemptResponse : makeResponse(*task);
  switch (headKind(load, *response)) {
    case HeadKind::Plain:
      accept(task, response, atEnd);
      return;
    case HeadKind::Redirect:
      askRedirect(task, response,
                  resolvedAgainst(task->currentRequest()->URL(), *response->valueForHTTPHeaderField("Location")),
                  atEnd);
      return;
    case HeadKind::Basic:
      askBasic(task, response, *basicChallenge(*response), atEnd);
      return;
    case HeadKind::NotModified:
      break;
  }
  // Not modified: the stored response, refreshed by the new head, is the
  // answer and starts a new freshness period.
  NSHTTPHeaderFields merged = load.revalidating->response()->allHeaderFields();
  for (const auto& [name, value] : response->allHeaderFields()) {
    std::string key = lowered(name);
    if (key != "content-length" && key != "transfer-encoding" && key != "content-encoding") merged[name] = value;
  }
  auto refreshed = std::make_shared<NSCachedURLResponse>(
      std::make_shared<NSHTTPURLResponse>(load.revalidating->response()->URL(),
                                          load.revalidating->response()->statusCode(), merged),
      load.revalidating->data(), load.revalidating->storagePolicy());
  endAttempt(*task);
  configuration_.URLCache->storeCachedResponse(refreshed, task->currentRequest());
  serveCached(task, refreshed);
}

NSURLSessionEngine::HeadKind NSURLSessionEngine::headKind(const NSURLSessionTaskLoad& load,
                                                          const NSHTTPURLResponse& response) {
  int64_t status = response.statusCode();
  if (isRedirect(status) && response.valueForHTTPHeaderField("Location")) return HeadKind::Redirect;
  if (status == 401 && load.credentialAttempts < kMaxCredentialAttempts && basicChallenge(response)) {
    return HeadKind::Basic;
  }
  if (status == 304 && load.revalidating) return HeadKind::NotModified;
  return HeadKind::Plain;
}

std::chrono::steady_clock::duration NSURLSessionEngine::endSilentAttempts() {
  QX_DCHECK_SEQUENCE(sessionThread_);
  const auto now = std::chrono::steady_clock::now();
  if (now < nextSilenceCheck_) return nextSilenceCheck_ - now;
  nextSilenceCheck_ = std::chrono::steady_clock::time_point::max();
  std::vector<NSURLSessionDataTaskPtr> silent;
  for (const auto& [easy, task] : active_) {
    NSURLSessionTaskLoad& load = *task->load_;
    // Over, its head waiting for the delegate's answer (a redirect or a
    // challenge without a body): there is nothing left to receive.
    if (load.transferDone) continue;
    bool heldBack = load.headPaused;
    if (!heldBack) {
      MutexLock lock(task->mutex_);
      heldBack = load.held.paused;
    }
    // Paused here, waiting for the delegate: the server is not the one silent.
    if (heldBack) load.lastBytes = now;
    const auto deadline = load.lastBytes + load.silenceLimit;
    if (deadline <= now) {
      silent.push_back(task);
    } else {
      nextSilenceCheck_ = std::min(nextSilenceCheck_, deadline);
    }
  }
  for (const NSURLSessionDataTaskPtr& task : silent) {
    NSErrorPtr error = NSURLErrorMake(NSURLErrorTimedOut, urlString(task->currentRequest()),
                                      Curl().curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
    endAttempt(*task);
    finish(task, error);
  }
  if (nextSilenceCheck_ == std::chrono::steady_clock::time_point::max()) return std::chrono::seconds(1);
  return nextSilenceCheck_ - now;
}

void NSURLSessionEngine::readDone() {
  QX_DCHECK_SEQUENCE(sessionThread_);
  int left = 0;
  while (CURLMsg* message = Curl().curl_multi_info_read(multi_, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    auto it = active_.find(message->easy_handle);
    if (it == active_.end()) continue;
    NSURLSessionDataTaskPtr task = it->second;
    NSURLSessionTaskLoad& load = *task->load_;
    load.transferDone = true;
    CURLcode result = message->data.result;
    if (result == CURLE_OK) {
      if (!load.headSeen) {
        load.headSeen = true;
        headArrived(task, true);
      } else {
        complete(task);
      }
      continue;
    }
    int64_t code = NSURLErrorCodeForCurlCode(result);
    // Over HTTP these come from what the server sent: a reply that is no
    // HTTP at all, or a header block past the library's limit.
    const std::string scheme = lowered(task->currentRequest()->URL()->scheme().value_or(""));
    if ((scheme == "http" || scheme == "https") &&
        (result == CURLE_UNSUPPORTED_PROTOCOL || result == CURLE_OUT_OF_MEMORY)) {
      code = NSURLErrorBadServerResponse;
    }
    if (result == CURLE_WRITE_ERROR && load.bodyUnheld) code = NSURLErrorDataLengthExceedsMaximum;
    if (result == CURLE_WRITE_ERROR && load.cancelledInTransfer) {
      endAttempt(*task);
      finish(task, cancelledError(*task));
      continue;
    }
    NSErrorPtr error = NSURLErrorMake(code, urlString(task->currentRequest()), Curl().curl_easy_strerror(result));
    bool untrusted = code == NSURLErrorServerCertificateUntrusted && load.trustPin.empty() && !load.tls.chain.empty();
    endAttempt(*task);
    if (untrusted) {
      askServerTrust(task, error);
    } else {
      finish(task, error);
    }
  }
}
