#include "platform/network/NSURLSession.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <map>
#include <new>
#include <thread>
#include <vector>

#include "platform/foundation/PlatformClock.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/foundation/ThreadChecks.h"

namespace {

// As many as the platform follows before giving up.
constexpr int64_t kMaxRedirects = 16;
// A delegate that keeps answering with refused credentials gets the 401
// after this many tries instead of looping for ever.
constexpr int64_t kMaxCredentialAttempts = 8;
// A response is offered to the cache only when it is at most this share of
// the cache's capacity, so one download cannot flush everything else.
constexpr uint64_t kCacheableShareDivisor = 20;
// Body held while the delegate has not yet answered the response; beyond it
// the transfer pauses until the answer.
constexpr size_t kHeldBodyLimit = 1u << 20;
constexpr auto kLookBeforeSleeping = std::chrono::microseconds(50);
// Easy handles kept for the next transfers of the same kind; beyond this
// many a finished transfer's handle is let go.
constexpr size_t kSpareHandles = 8;
// Open connections kept after use, across hosts. Curl's own limit follows
// the transfers running at the moment, so a quiet moment with one transfer
// closed connections that the next burst then had to open again.
constexpr long kKeptConnections = 64;

// What the TLS handshake showed of the server: its chain, and why the
// system's evaluation refused it.
struct TlsCapture {
  std::vector<Bytes> chain;
  std::string failure;
};

}  // namespace

// The state of a task's loads (the original request, each redirection and
// each retry with credentials), touched by the session thread only.
struct NSURLSessionTaskLoad {
  CURL* easy = nullptr;
  // The handle joined the session's cookie share.
  bool cookies = false;
  // Curl reported the transfer over; a handle let go before (cancelled,
  // paused) is not kept for another.
  bool transferDone = false;
  curl_slist* headerList = nullptr;
  NSHTTPHeaderFields responseHeaders;
  // The response of the running attempt once its head is in.
  NSHTTPURLResponsePtr attemptResponse;
  bool headSeen = false;
  // The body waits in curl until the head has been dealt with.
  bool headPaused = false;
  double attemptStart = 0;
  // The longest the attempt may go without receiving a byte, and when one
  // last came (or the attempt started, or it stopped being held back).
  std::chrono::steady_clock::duration silenceLimit{};
  std::chrono::steady_clock::time_point lastBytes;

  int64_t redirects = 0;
  NSURLCredentialPtr basicCredential;
  int64_t credentialAttempts = 0;
  std::string trustPin;
  TlsCapture tls;

  // Sent with validators; a 304 serves this.
  NSCachedURLResponsePtr revalidating;
  // Served without touching the network.
  NSDataPtr cachedBody;
  bool cacheCandidate = false;
  uint64_t cacheLimit = 0;
  // For a delegate's task (a completion handler's body is offered as it is).
  Bytes cacheBody;
  // The body while it is one chunk: the delegate's chunk is offered to the
  // cache as it is, without a copy.
  NSDataPtr cacheChunk;
  Bytes body;  // for a completion handler
  // The body could not be held in memory: the transfer was stopped.
  bool bodyUnheld = false;

  double taskStart = 0;
  std::vector<NSURLSessionTaskTransactionMetrics> transactions;
  // Made when the transfer is over, so that an end delivered later (after
  // the delegate's answers) and a cancel meanwhile report the same loads.
  NSURLSessionTaskMetricsPtr endMetrics;

  // Guarded by the task's mutex_, not the session thread's: the delegate's
  // answer to the response releases what was held back while it was out.
  // The transfer goes on meanwhile; its body (up to kHeldBodyLimit, then
  // the transfer pauses) and its end wait here.
  struct Held {
    bool awaitingAnswer = false;
    // Refused: nothing more reaches the delegate until the cancel ends it.
    bool refused = false;
    bool paused = false;
    std::vector<NSDataPtr> chunks;
    size_t bytes = 0;
    UniqueFunction<void()> end;
  } held;
};

namespace {

// Calls for a delegate queue, run in order by one block per burst instead of
// one queue item (and one worker wake-up) per call.
class DelegateOutbox : public std::enable_shared_from_this<DelegateOutbox> {
 public:
  explicit DelegateOutbox(dispatch_queue_t queue) : queue_(std::move(queue)) {}

  void push(UniqueFunction<void()> call) {
    bool schedule;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back(std::move(call));
      schedule = !scheduled_;
      scheduled_ = true;
    }
    if (schedule) dispatch_async(queue_, [self = shared_from_this()] { self->drain(); });
  }

 private:
  // Calls pushed while a batch runs (a handler answered on the queue) run
  // in the same turn.
  void drain() {
    std::vector<UniqueFunction<void()>> batch;
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (calls_.empty()) {
          scheduled_ = false;
          return;
        }
        batch.swap(calls_);
      }
      for (auto& call : batch) call();
      batch.clear();
    }
  }

  const dispatch_queue_t queue_;
  std::mutex mutex_;  // guards calls_ and scheduled_
  std::vector<UniqueFunction<void()>> calls_;
  bool scheduled_ = false;
};

// The engine whose session thread is the current thread, if any.
thread_local const NSURLSessionEngine* tlsDrivingEngine = nullptr;

}  // namespace

// Owns the curl multi handle and the one thread that drives it. Commands from
// other threads (start, cancel, a delegate's answer) are queued and the
// thread woken; only that thread touches curl handles, until it has stopped.
class NSURLSessionEngine {
 public:
  NSURLSessionEngine(const NSURLSessionConfiguration& configuration,
                     std::shared_ptr<NSURLSessionDataDelegate> delegate, dispatch_queue_t queue);
  ~NSURLSessionEngine();

  void start(std::weak_ptr<NSURLSession> session);
  std::shared_ptr<NSURLSessionDataDelegate> delegate();
  // False once the engine is stopping (or, for a new task, draining): the
  // command will never run.
  bool post(std::function<void()> command, bool startsTask = false);
  void stop();
  // Running tasks go on; the thread ends after the last one.
  void drain();
  // For a command that could not be posted: once the thread has finished its
  // last sweep, the task can be ended from here.
  void finishWhenStopped(const NSURLSessionDataTaskPtr& task);

  void add(const NSURLSessionDataTaskPtr& task);
  // A task made with a completion handler hands it `body`, or else what
  // was gathered.
  void finish(const NSURLSessionDataTaskPtr& task, NSErrorPtr error, NSDataPtr body = nullptr);
  // The delegate's answer to a response, from any thread.
  void responseAnswered(const NSURLSessionDataTaskPtr& task, bool allow);
  // The successful end of a delegate's task reaches the delegate: the
  // answer to the cache proposal is stored, then metrics and completion.
  void endTask(const NSURLSessionDataTaskPtr& task, const NSCachedURLResponsePtr& store,
               const NSURLSessionTaskMetricsPtr& metrics);
  void applyPriority(const NSURLSessionDataTaskPtr& task);
  size_t received(NSURLSessionDataTask* task, const char* data, size_t length);
  // Gathers the body to offer to the cache, within the cache's share.
  static void keepForCache(NSURLSessionTaskLoad& load, const char* data, size_t length, const NSDataPtr& chunk);
  static size_t onWrite(char* data, size_t size, size_t count, void* user);
  static size_t onHeader(char* data, size_t size, size_t count, void* user);

 private:
  void run();
  // While transfers run, the next command or response often follows within
  // microseconds: the thread looks for it a while before it sleeps.
  bool lookBeforeSleeping();
  // For what is not a command (stopping, draining): a look for work sees
  // it too, as curl takes the wake-up itself without reporting it.
  void wakeThread();
  void readDone();
  // Ends with a timeout the attempts that went longer than their interval
  // without a byte; returns how long until the next one could.
  std::chrono::steady_clock::duration endSilentAttempts();
  // Reads the cache by the request's policy, then loads from the network.
  void load(const NSURLSessionDataTaskPtr& task);
  void startTransfer(const NSURLSessionDataTaskPtr& task);
  // The fields a request is sent with, in name order: the session's, the
  // request's own over them, and the validators of a stored response.
  curl_slist* headerList(const NSURLRequest& request, const NSCachedURLResponse* revalidating) const;
  // A handle set to curl's defaults: a spare one when there is one.
  CURL* takeHandle(bool cookies);
  // Kept for a later transfer when it carries nothing of this one's server
  // (credentials, a trusted key) and there is room; else let go.
  void releaseHandle(CURL* easy, const NSURLSessionTaskLoad& load);
  void detach(NSURLSessionDataTask& task);
  // Records the running attempt's transaction, then lets its handle go.
  void endAttempt(NSURLSessionDataTask& task);
  NSHTTPURLResponsePtr makeResponse(NSURLSessionDataTask& task);

  // The head of a response is in (`atEnd`: and the transfer is over, with
  // no body); decides between redirecting, asking for credentials, serving
  // the cache and handing the response on.
  void headArrived(const NSURLSessionDataTaskPtr& task, bool atEnd);
  // What a head asks for besides being handed on (Plain).
  enum class HeadKind { Plain, Redirect, Basic, NotModified };
  static HeadKind headKind(const NSURLSessionTaskLoad& load, const NSHTTPURLResponse& response);
  void accept(const NSURLSessionDataTaskPtr& task, const NSHTTPURLResponsePtr& response, bool atEnd);
  void askDisposition(const NSURLSessionDataTaskPtr& task, const NSHTTPURLResponsePtr& response, bool atEnd);
  void answered(const NSURLSessionDataTaskPtr& task, bool allow, bool atEnd);
  void complete(const NSURLSessionDataTaskPtr& task);
  // A delegate's task ends well: the end is delivered after what came
  // before it, held back with it while the response's answer is out.
  void succeed(const NSURLSessionDataTaskPtr& task, NSCachedURLResponsePtr proposal);
  // Delivery of a body chunk or of the end; held while the answer is out.
  void deliverData(const NSURLSessionDataTaskPtr& task, NSDataPtr chunk);
  void deliverEnd(const NSURLSessionDataTaskPtr& task, UniqueFunction<void()> end);
  NSURLSessionTaskMetricsPtr takeMetrics(NSURLSessionDataTask& task);
  // The delegate's last two calls for a task: its metrics, then its end.
  void pushCompletion(const std::shared_ptr<NSURLSessionDataDelegate>& delegate, const NSURLSessionDataTaskPtr& task,
                      const NSURLSessionTaskMetricsPtr& metrics, const NSErrorPtr& error);
  // The task no longer keeps the session thread (draining) waiting.
  void forget(const NSURLSessionDataTask& task);
  void serveCached(const NSURLSessionDataTaskPtr& task, const NSCachedURLResponsePtr& cached);

  void askRedirect(const NSURLSessionDataTaskPtr& task, const NSHTTPURLResponsePtr& response,
                   const std::string& location, bool atEnd);
  void redirectAnswered(const NSURLSessionDataTaskPtr& task, const NSHTTPURLResponsePtr& response,
                        const NSURLRequestPtr& request, bool atEnd);
  void askBasic(const NSURLSessionDataTaskPtr& task, const NSHTTPURLResponsePtr& response,
                const std::optional<std::string>& realm, bool atEnd);
  void basicAnswered(const NSURLSessionDataTaskPtr& task, const NSHTTPURLResponsePtr& response,
                     NSURLSessionAuthChallengeDisposition disposition, const NSURLCredentialPtr& credential,
                     bool atEnd);
  void askServerTrust(const NSURLSessionDataTaskPtr& task, NSErrorPtr refusal);
  void trustAnswered(const NSURLSessionDataTaskPtr& task, NSURLSessionAuthChallengeDisposition disposition,
                     const NSURLCredentialPtr& credential, const NSErrorPtr& refusal);
  void challenge(const NSURLSessionDataTaskPtr& task, const NSURLAuthenticationChallengePtr& challenge,
                 std::function<void(NSURLSessionAuthChallengeDisposition, NSURLCredentialPtr)> onAnswer);
  // Runs `then` on the session thread with the delegate's answer, or ends the
  // task as cancelled when the session stopped meanwhile.
  template <typename... Args>
  UniqueFunction<void(Args...)> onSessionThread(const NSURLSessionDataTaskPtr& task,
                                                std::function<void(Args...)> then);

  const NSURLSessionConfiguration configuration_;
  const std::shared_ptr<DelegateOutbox> outbox_;
  std::weak_ptr<NSURLSession> session_;

  CURLM* multi_ = nullptr;
  CURLSH* share_ = nullptr;
  std::thread thread_;
  std::mutex mutex_;  // guards the fields below up to joinMutex_
  std::shared_ptr<NSURLSessionDataDelegate> delegate_;  // dropped when the session is invalid
  std::vector<std::function<void()>> commands_;
  // The thread has found no command and is about to sleep (or sleeps) in
  // curl: only then does a command need to wake it. While it works it looks
  // at the commands again before it sleeps, and while it looks for work
  // (50 µs, with transfers running) it sees them without being woken.
  bool idle_ = false;
  bool stopping_ = false;
  bool draining_ = false;
  bool stopped_ = false;
  std::condition_variable stoppedChanged_;
  // Resumed tasks until their completion is decided, which for a task whose
  // end waits for the delegate happens on the delegate queue.
  std::map<uint64_t, NSURLSessionDataTaskPtr> live_;
  std::mutex joinMutex_;  // guards the join of the session thread; one thread joins
  // Set with each command and wake-up, read without the lock while looking.
  std::atomic<bool> pending_{false};
  // Binds to the session thread: curl allows one thread per multi handle,
  // so the transfers and handles below are touched there only.
  SequenceChecker sessionThread_;
  std::map<CURL*, NSURLSessionDataTaskPtr> active_;
  // No running attempt can have gone silent for too long before this.
  std::chrono::steady_clock::time_point nextSilenceCheck_ = std::chrono::steady_clock::time_point::max();
  // Handles reset after their transfer, apart by whether they joined the
  // cookie share: a reset leaves a handle's cookie engine as it was.
  std::vector<CURL*> spareHandles_[2];
};

namespace {

double wallNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string urlString(const NSURLRequestPtr& request) {
  return request && request->URL() ? request->URL()->absoluteString() : "";
}

NSErrorPtr cancelledError(const NSURLSessionDataTask& task) {
  return NSURLErrorMake(NSURLErrorCancelled, urlString(task.currentRequest()));
}

std::string trimmedField(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
  return std::string(s.substr(b, e - b));
}

std::string lowered(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

void addHeaderLine(NSHTTPHeaderFields* fields, std::string_view line) {
  // An interim response (100 Continue) is followed by the real one.
  if (line.rfind("HTTP/", 0) == 0) {
    fields->clear();
  } else if (size_t colon = line.find(':'); colon != std::string_view::npos) {
    std::string name = trimmedField(line.substr(0, colon));
    std::string value = trimmedField(line.substr(colon + 1));
    if (!name.empty()) {
      auto [it, inserted] = fields->emplace(name, value);
      if (!inserted) it->second += ", " + value;
    }
  }
}

long weightFor(float priority) { return 1 + std::lround(priority * 255.0f); }

std::mutex sharedMutex;  // guards sharedSessionInstance()

// Never destroyed: the shared session lives until the process ends and is
// never invalidated, so nothing of it is queued after main has returned.
NSURLSessionPtr& sharedSessionInstance() {
  static auto* instance = new NSURLSessionPtr();
  return *instance;
}

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
  auto* capture = static_cast<TlsCapture*>(user);
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
  CURLU* url = curl_url();
  std::string resolved;
  char* text = nullptr;
  if (curl_url_set(url, CURLUPART_URL, base->absoluteString().c_str(), 0) == CURLUE_OK &&
      curl_url_set(url, CURLUPART_URL, reference.c_str(), 0) == CURLUE_OK &&
      curl_url_get(url, CURLUPART_URL, &text, 0) == CURLUE_OK) {
    resolved = text;
  }
  curl_free(text);
  curl_url_cleanup(url);
  return resolved;
}

bool sameOrigin(const NSURLPtr& from, const NSURLPtr& to) {
  return from && to && from->host() == to->host() && from->port() == to->port() &&
         from->scheme() == to->scheme();
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
    time_t parsed = curl_getdate(value->c_str(), nullptr);
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

bool hasNoStore(const std::optional<std::string>& control) {
  return control && lowered(*control).find("no-store") != std::string::npos;
}

bool requestsRevalidation(const NSURLRequest& request) {
  std::string control = lowered(request.valueForHTTPHeaderField("Cache-Control").value_or(""));
  std::string pragma = lowered(request.valueForHTTPHeaderField("Pragma").value_or(""));
  return control.find("no-cache") != std::string::npos || control.find("max-age=0") != std::string::npos ||
         pragma.find("no-cache") != std::string::npos;
}

}  // namespace

// ---------------------------------------------------------------------------

void NSURLSessionDataDelegate::didReceiveResponse(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr&,
                                                  const NSHTTPURLResponsePtr&, NSURLSessionResponseHandler handler) {
  handler(NSURLSessionResponseDisposition::Allow);
}

void NSURLSessionDataDelegate::didReceiveData(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr&,
                                              const NSDataPtr&) {}

void NSURLSessionDataDelegate::didCompleteWithError(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr&,
                                                    const NSErrorPtr&) {}

void NSURLSessionDataDelegate::willPerformHTTPRedirection(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr&,
                                                          const NSHTTPURLResponsePtr&,
                                                          const NSURLRequestPtr& newRequest,
                                                          NSURLSessionRedirectHandler handler) {
  handler(newRequest);
}

void NSURLSessionDataDelegate::didReceiveChallenge(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr&,
                                                   const NSURLAuthenticationChallengePtr&,
                                                   NSURLSessionChallengeHandler handler) {
  handler(NSURLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
}

void NSURLSessionDataDelegate::willCacheResponse(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr&,
                                                 const NSCachedURLResponsePtr& proposedResponse,
                                                 NSURLSessionCacheHandler handler) {
  handler(proposedResponse);
}

void NSURLSessionDataDelegate::didFinishCollectingMetrics(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr&,
                                                          const NSURLSessionTaskMetricsPtr&) {}

void NSURLSessionDataDelegate::didBecomeInvalidWithError(const NSURLSessionPtr&, const NSErrorPtr&) {}

NSURLSessionConfiguration NSURLSessionConfiguration::defaultSessionConfiguration() {
  NSURLSessionConfiguration configuration;
  configuration.URLCache = NSURLCache::sharedURLCache();
  return configuration;
}

// ---------------------------------------------------------------------------

NSURLSessionEngine::NSURLSessionEngine(const NSURLSessionConfiguration& configuration,
                                       std::shared_ptr<NSURLSessionDataDelegate> delegate,
                                       dispatch_queue_t queue)
    : configuration_(configuration),
      outbox_(std::make_shared<DelegateOutbox>(std::move(queue))),
      delegate_(std::move(delegate)) {
  static dispatch_once_t once;
  dispatch_once(&once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  multi_ = curl_multi_init();
  curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS,
                    static_cast<long>(std::max(1, configuration_.HTTPMaximumConnectionsPerHost)));
  curl_multi_setopt(multi_, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
  curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, kKeptConnections);
  share_ = curl_share_init();
  curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
}

NSURLSessionEngine::~NSURLSessionEngine() {
  stop();
  curl_multi_cleanup(multi_);
  curl_share_cleanup(share_);
}

void NSURLSessionEngine::start(std::weak_ptr<NSURLSession> session) {
  session_ = std::move(session);
  thread_ = std::thread([this] { pthread_setname_np(pthread_self(), "url-session"); run(); });
}

std::shared_ptr<NSURLSessionDataDelegate> NSURLSessionEngine::delegate() {
  std::lock_guard<std::mutex> lock(mutex_);
  return delegate_;
}

bool NSURLSessionEngine::post(std::function<void()> command, bool startsTask) {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || (startsTask && draining_)) return false;
    // The first command since the thread went idle woke it already.
    wake = idle_ && commands_.empty() && tlsDrivingEngine != this;
    commands_.push_back(std::move(command));
    pending_.store(true, std::memory_order_relaxed);
  }
  if (wake) curl_multi_wakeup(multi_);
  return true;
}

void NSURLSessionEngine::drain() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    draining_ = true;
  }
  wakeThread();
}

void NSURLSessionEngine::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  std::lock_guard<std::mutex> joinLock(joinMutex_);
  if (thread_.joinable()) {
    wakeThread();
    thread_.join();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
  stoppedChanged_.notify_all();
}

void NSURLSessionEngine::finishWhenStopped(const NSURLSessionDataTaskPtr& task) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    stoppedChanged_.wait(lock, [&] { return stopped_; });
  }
  finish(task, cancelledError(*task));
}

void NSURLSessionEngine::run() {
  QX_DCHECK_SEQUENCE(sessionThread_);
  tlsDrivingEngine = this;
  for (;;) {
    std::vector<std::function<void()>> commands;
    bool stopping;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      commands.swap(commands_);
      pending_.store(false, std::memory_order_relaxed);
      idle_ = false;
      stopping = stopping_;
    }
    for (auto& command : commands) command();
    if (stopping) break;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // Commands still queued may be answers that keep a task going.
      if (draining_ && live_.empty() && commands_.empty()) stopping_ = true;
      if (stopping_) continue;
    }
    int running = 0;
    curl_multi_perform(multi_, &running);
    readDone();
    const auto untilSilence = endSilentAttempts();
    bool look;
    {
      // Commands posted while the thread worked sent no wake-up.
      std::lock_guard<std::mutex> lock(mutex_);
      if (!commands_.empty()) continue;
      look = !active_.empty();
      idle_ = !look;
    }
    if (look && lookBeforeSleeping()) continue;
    // Bounded so curl's own timers (timeouts, retries) are served even when
    // no socket stirs.
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(untilSilence).count();
    curl_multi_poll(multi_, nullptr, 0, static_cast<int>(std::clamp<int64_t>(wait, 1, 1000)), nullptr);
  }
  for (;;) {
    NSURLSessionDataTaskPtr task;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (live_.empty()) break;
      task = live_.begin()->second;
    }
    finish(task, cancelledError(*task));
  }
  std::shared_ptr<NSURLSessionDataDelegate> delegate;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    delegate.swap(delegate_);
    stopped_ = true;
    stoppedChanged_.notify_all();
  }
  for (auto& spares : spareHandles_) {
    for (CURL* easy : spares) curl_easy_cleanup(easy);
    spares.clear();
  }
  outbox_->push([delegate, session = session_] {
    delegate->didBecomeInvalidWithError(session.lock(), nullptr);
  });
  tlsDrivingEngine = nullptr;
}

void NSURLSessionEngine::wakeThread() {
  pending_.store(true, std::memory_order_relaxed);
  curl_multi_wakeup(multi_);
}

bool NSURLSessionEngine::lookBeforeSleeping() {
  const auto until = std::chrono::steady_clock::now() + kLookBeforeSleeping;
  bool found = false;
  while (!found) {
    int ready = 0;
    found = pending_.load(std::memory_order_relaxed) ||
            (curl_multi_poll(multi_, nullptr, 0, 0, &ready) == CURLM_OK && ready > 0);
    if (found || std::chrono::steady_clock::now() >= until) break;
    std::this_thread::yield();
  }
  // Posters wake this thread from here on; a command that came meanwhile
  // without waking it is seen before it sleeps.
  std::lock_guard<std::mutex> lock(mutex_);
  found = found || !commands_.empty();
  idle_ = !found;
  return found;
}

void NSURLSessionEngine::add(const NSURLSessionDataTaskPtr& task) {
  {
    std::lock_guard<std::mutex> lock(task->mutex_);
    if (task->state_ != NSURLSessionTaskState::Running) return;
  }
  NSURLSessionTaskLoad& load = *task->load_;
  load.taskStart = wallNow();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    live_[task->taskIdentifier()] = task;
  }
  this->load(task);
}

void NSURLSessionEngine::load(const NSURLSessionDataTaskPtr& task) {
  NSURLRequestPtr request = task->currentRequest();
  if (!request->URL()) {
    finish(task, NSURLErrorMake(NSURLErrorBadURL, "", "The request has no URL."));
    return;
  }
  NSURLSessionTaskLoad& load = *task->load_;
  load.revalidating = nullptr;
  const NSURLCachePtr& cache = configuration_.URLCache;
  NSURLRequestCachePolicy policy = request->cachePolicy();
  if (policy == NSURLRequestCachePolicy::UseProtocolCachePolicy) policy = configuration_.requestCachePolicy;
  NSCachedURLResponsePtr cached;
  if (cache && request->HTTPMethod() == "GET" && policy != NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData) {
    cached = cache->cachedResponseForRequest(request);
  }
  if (policy == NSURLRequestCachePolicy::ReturnCacheDataDontLoad && !cached) {
    finish(task, NSURLErrorMake(NSURLErrorResourceUnavailable, urlString(request),
                                "The resource is not in the cache and loading was not allowed."));
    return;
  }
  if (cached && policy == NSURLRequestCachePolicy::UseProtocolCachePolicy) {
    double age = PlatformClock::now() - cache->storedAtForRequest(request).value_or(PlatformClock::now());
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

void NSURLSessionEngine::startTransfer(const NSURLSessionDataTaskPtr& task) {
  QX_DCHECK_SEQUENCE(sessionThread_);
  NSURLSessionTaskLoad& load = *task->load_;
  NSURLRequestPtr request = task->currentRequest();
  const bool cookies = request->HTTPShouldHandleCookies() && configuration_.HTTPShouldSetCookies;
  CURL* easy = takeHandle(cookies);
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
  active_[easy] = task;
  curl_easy_setopt(easy, CURLOPT_URL, request->URL()->absoluteString().c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  // Redirections are followed here, after the delegate has had its say.
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
  // A handle outlives its transfer: no TLS session of one server's
  // handshake may be resumed by a later transfer's without being verified.
  curl_easy_setopt(easy, CURLOPT_SSL_SESSIONID_CACHE, 0L);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, task.get());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onWrite);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, task.get());

  double timeout = request->timeoutInterval();
  if (timeout == NSURLRequest::kDefaultTimeoutInterval && configuration_.timeoutIntervalForRequest > 0) {
    timeout = configuration_.timeoutIntervalForRequest;
  }
  // The interval is how long the load may go without receiving a byte,
  // however slowly they come: curl's speed limits would time out a server
  // trickling a byte now and then, and notice silence only seconds late.
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::ceil(timeout * 1000)));
  load.silenceLimit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(timeout));
  load.lastBytes = std::chrono::steady_clock::now();
  nextSilenceCheck_ = std::min(nextSilenceCheck_, load.lastBytes + load.silenceLimit);

  const std::string& method = request->HTTPMethod();
  if (method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (method != "GET") {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  }

  load.headerList = headerList(*request, load.revalidating.get());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, load.headerList);

  if (cookies) {
    curl_easy_setopt(easy, CURLOPT_SHARE, share_);
    curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
  }
  if (load.basicCredential) {
    curl_easy_setopt(easy, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
    curl_easy_setopt(easy, CURLOPT_USERNAME, load.basicCredential->user().value_or("").c_str());
    curl_easy_setopt(easy, CURLOPT_PASSWORD, load.basicCredential->password().value_or("").c_str());
  }
  if (load.trustPin.empty()) {
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, onSslContext);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &load.tls);
  } else {
    // The delegate trusted this server's key: that key, and nothing else,
    // is accepted, whatever the chain or the name say.
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(easy, CURLOPT_PINNEDPUBLICKEY, load.trustPin.c_str());
  }
  curl_easy_setopt(easy, CURLOPT_STREAM_WEIGHT, weightFor(task->priority()));
  curl_multi_add_handle(multi_, easy);
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
    list = curl_slist_append(list, line.c_str());
  }
  return list;
}

void NSURLSessionEngine::applyPriority(const NSURLSessionDataTaskPtr& task) {
  if (task->load_->easy) curl_easy_setopt(task->load_->easy, CURLOPT_STREAM_WEIGHT, weightFor(task->priority()));
}

CURL* NSURLSessionEngine::takeHandle(bool cookies) {
  QX_DCHECK_SEQUENCE(sessionThread_);
  std::vector<CURL*>& spares = spareHandles_[cookies];
  if (spares.empty()) return curl_easy_init();
  CURL* easy = spares.back();
  spares.pop_back();
  return easy;
}

void NSURLSessionEngine::releaseHandle(CURL* easy, const NSURLSessionTaskLoad& load) {
  QX_DCHECK_SEQUENCE(sessionThread_);
  std::vector<CURL*>& spares = spareHandles_[load.cookies];
  if (!load.transferDone || load.basicCredential || !load.trustPin.empty() || spares.size() >= kSpareHandles) {
    curl_easy_cleanup(easy);
    return;
  }
  // A reset would forget the cookie file list without freeing it; cleared
  // this way, a shared jar keeps its cookies.
  if (load.cookies) curl_easy_setopt(easy, CURLOPT_COOKIEFILE, nullptr);
  curl_easy_reset(easy);
  spares.push_back(easy);
}

void NSURLSessionEngine::detach(NSURLSessionDataTask& task) {
  NSURLSessionTaskLoad& load = *task.load_;
  if (!load.easy) return;
  CURL* easy = load.easy;
  curl_multi_remove_handle(multi_, easy);
  releaseHandle(easy, load);
  curl_slist_free_all(load.headerList);
  load.easy = nullptr;
  load.headerList = nullptr;
  active_.erase(easy);
}

void NSURLSessionEngine::endAttempt(NSURLSessionDataTask& task) {
  NSURLSessionTaskLoad& load = *task.load_;
  if (!load.easy) return;
  CURL* easy = load.easy;
  NSURLSessionTaskTransactionMetrics metrics;
  metrics.request = task.currentRequest();
  metrics.response = load.attemptResponse;
  metrics.resourceFetchType = NSURLSessionTaskMetricsResourceFetchType::NetworkLoad;
  auto at = [&](CURLINFO info) -> std::optional<double> {
    curl_off_t micros = 0;
    if (curl_easy_getinfo(easy, info, &micros) != CURLE_OK || micros <= 0) return std::nullopt;
    return load.attemptStart + static_cast<double>(micros) / 1e6;
  };
  metrics.fetchStartDate = load.attemptStart;
  long connects = 0;
  curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);
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
  curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version);
  switch (version) {
    case CURL_HTTP_VERSION_1_0: metrics.networkProtocolName = "http/1.0"; break;
    case CURL_HTTP_VERSION_1_1: metrics.networkProtocolName = "http/1.1"; break;
    case CURL_HTTP_VERSION_2_0: metrics.networkProtocolName = "h2"; break;
    case CURL_HTTP_VERSION_3: metrics.networkProtocolName = "h3"; break;
    default: break;
  }
  char* address = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_PRIMARY_IP, &address) == CURLE_OK && address) metrics.remoteAddress = address;
  long port = 0;
  curl_easy_getinfo(easy, CURLINFO_PRIMARY_PORT, &port);
  metrics.remotePort = port;
  curl_off_t body = 0;
  curl_easy_getinfo(easy, CURLINFO_SIZE_DOWNLOAD_T, &body);
  metrics.countOfResponseBodyBytesReceived = body;
  load.transactions.push_back(std::move(metrics));
  detach(task);
}

void NSURLSessionEngine::finish(const NSURLSessionDataTaskPtr& task, NSErrorPtr error, NSDataPtr body) {
  NSURLSessionDataTaskPtr keep = task;  // the engine's references go below
  NSURLSessionTaskLoad::Held dropped;     // let go outside the lock
  {
    std::lock_guard<std::mutex> lock(task->mutex_);
    bool over = task->state_ == NSURLSessionTaskState::Completed;
    task->state_ = NSURLSessionTaskState::Completed;
    if (!over) task->error_ = error;
    std::swap(dropped, task->load_->held);
    if (over) {
      // Ended on the delegate queue; it may not have been forgotten yet.
      std::lock_guard<std::mutex> liveLock(mutex_);
      live_.erase(task->taskIdentifier());
      return;
    }
  }
  NSURLSessionTaskLoad& load = *task->load_;
  endAttempt(*task);
  NSURLSessionTaskMetricsPtr metrics = takeMetrics(*task);
  auto delegate = this->delegate();
  if (task->completion_) {
    auto completion = std::make_shared<NSURLSessionDataCompletion>(std::move(task->completion_));
    NSDataPtr data = error ? nullptr : body ? std::move(body) : NSData::dataWithBytes(std::move(load.body));
    NSHTTPURLResponsePtr response = task->response();
    outbox_->push([delegate, session = session_, keep, metrics, completion, data, response, error] {
      if (delegate) delegate->didFinishCollectingMetrics(session.lock(), keep, metrics);
      (*completion)(data, response, error);
    });
  } else if (delegate) {
    pushCompletion(delegate, keep, metrics, error);
  }
  forget(*task);
}

void NSURLSessionEngine::pushCompletion(const std::shared_ptr<NSURLSessionDataDelegate>& delegate,
                                        const NSURLSessionDataTaskPtr& task,
                                        const NSURLSessionTaskMetricsPtr& metrics, const NSErrorPtr& error) {
  outbox_->push([delegate, session = session_, task, metrics, error] {
    NSURLSessionPtr owner = session.lock();
    delegate->didFinishCollectingMetrics(owner, task, metrics);
    delegate->didCompleteWithError(owner, task, error);
  });
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
  {
    std::lock_guard<std::mutex> lock(mutex_);
    live_.erase(task.taskIdentifier());
    wake = draining_ && live_.empty() && tlsDrivingEngine != this;
  }
  if (wake) wakeThread();
}

void NSURLSessionEngine::endTask(const NSURLSessionDataTaskPtr& task, const NSCachedURLResponsePtr& store,
                                 const NSURLSessionTaskMetricsPtr& metrics) {
  {
    std::lock_guard<std::mutex> lock(task->mutex_);
    // A cancel (or the session's end) got there first: it tells the
    // delegate, and nothing is stored.
    if (task->state_ == NSURLSessionTaskState::Completed ||
        task->state_ == NSURLSessionTaskState::Canceling) {
      return;
    }
    task->state_ = NSURLSessionTaskState::Completed;
    task->error_ = nullptr;
  }
  if (store) configuration_.URLCache->storeCachedResponse(store, task->currentRequest());
  if (auto delegate = this->delegate()) pushCompletion(delegate, task, metrics, nullptr);
  // Only now may a draining session end: its last call comes after this.
  forget(*task);
}

NSHTTPURLResponsePtr NSURLSessionEngine::makeResponse(NSURLSessionDataTask& task) {
  NSURLSessionTaskLoad& load = *task.load_;
  long status = 0;
  curl_easy_getinfo(load.easy, CURLINFO_RESPONSE_CODE, &status);
  NSURLPtr url = task.currentRequest()->URL();
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
  curl_easy_getinfo(load.easy, CURLINFO_RESPONSE_CODE, &status);
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
    std::lock_guard<std::mutex> lock(task->mutex_);
    NSURLSessionTaskLoad::Held& held = load.held;
    if (held.awaitingAnswer && held.bytes >= kHeldBodyLimit) {
      // Enough waits already; curl keeps this chunk until the answer.
      held.paused = true;
      return CURL_WRITEFUNC_PAUSE;
    }
  } else {
    std::lock_guard<std::mutex> lock(task->mutex_);
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

void NSURLSessionEngine::deliverData(const NSURLSessionDataTaskPtr& task, NSDataPtr chunk) {
  std::lock_guard<std::mutex> lock(task->mutex_);
  NSURLSessionTaskLoad::Held& held = task->load_->held;
  if (held.refused) return;
  if (held.awaitingAnswer) {
    held.bytes += chunk->length();
    held.chunks.push_back(std::move(chunk));
    return;
  }
  // Pushed under the task's lock, so the chunks released by an answer on
  // another thread cannot fall behind a later one.
  task->received_ += static_cast<int64_t>(chunk->length());
  if (auto delegate = this->delegate()) {
    outbox_->push([delegate, session = session_, task, chunk = std::move(chunk)] {
      delegate->didReceiveData(session.lock(), task, chunk);
    });
  }
}

void NSURLSessionEngine::deliverEnd(const NSURLSessionDataTaskPtr& task, UniqueFunction<void()> end) {
  std::lock_guard<std::mutex> lock(task->mutex_);
  NSURLSessionTaskLoad::Held& held = task->load_->held;
  if (held.refused) return;
  if (held.awaitingAnswer) {
    held.end = std::move(end);
  } else {
    outbox_->push(std::move(end));
  }
}

void NSURLSessionEngine::responseAnswered(const NSURLSessionDataTaskPtr& task, bool allow) {
  NSURLSessionTaskLoad::Held released;
  {
    std::lock_guard<std::mutex> lock(task->mutex_);
    NSURLSessionTaskLoad::Held& held = task->load_->held;
    if (!held.awaitingAnswer || held.refused || task->state_ == NSURLSessionTaskState::Completed) return;
    std::swap(released, held);
    // The body that goes on arriving until the cancel is dropped.
    held.refused = !allow;
    if (allow) {
      task->received_ += static_cast<int64_t>(released.bytes);
      if (auto delegate = this->delegate()) {
        for (NSDataPtr& chunk : released.chunks) {
          outbox_->push([delegate, session = session_, task, chunk = std::move(chunk)] {
            delegate->didReceiveData(session.lock(), task, chunk);
          });
        }
      }
      if (released.end) outbox_->push(std::move(released.end));
    }
  }
  if (!allow) {
    if (!post([this, task] { finish(task, cancelledError(*task)); })) finishWhenStopped(task);
  } else if (released.paused) {
    post([this, task] {
      if (task->load_->easy) curl_easy_pause(task->load_->easy, CURLPAUSE_CONT);
    });
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

void NSURLSessionEngine::accept(const NSURLSessionDataTaskPtr& task, const NSHTTPURLResponsePtr& response,
                                bool atEnd) {
  NSURLSessionTaskLoad& load = *task->load_;
  {
    std::lock_guard<std::mutex> lock(task->mutex_);
    task->response_ = response;
  }
  const NSURLCachePtr& cache = configuration_.URLCache;
  int64_t status = response->statusCode();
  NSURLRequestPtr request = task->currentRequest();
  uint64_t limit = cache ? cache->memoryCapacity() / kCacheableShareDivisor : 0;
  load.cacheLimit = limit;
  load.cacheCandidate = cache && limit > 0 && load.easy && request->HTTPMethod() == "GET" &&
                        (status == 200 || status == 203 || status == 300 || status == 301 || status == 410) &&
                        !hasNoStore(response->valueForHTTPHeaderField("Cache-Control")) &&
                        !hasNoStore(request->valueForHTTPHeaderField("Cache-Control")) &&
                        response->expectedContentLength() <= static_cast<int64_t>(limit);
  if (task->completion_) {
    answered(task, true, atEnd);
  } else {
    askDisposition(task, response, atEnd);
  }
}

template <typename... Args>
UniqueFunction<void(Args...)> NSURLSessionEngine::onSessionThread(const NSURLSessionDataTaskPtr& task,
                                                                  std::function<void(Args...)> then) {
  return [task, then = std::move(then)](Args... args) {
    NSURLSessionEngine* engine = task->engine_.get();
    if (!engine->post([then, args...] { then(args...); })) engine->finishWhenStopped(task);
  };
}

void NSURLSessionEngine::askDisposition(const NSURLSessionDataTaskPtr& task, const NSHTTPURLResponsePtr& response,
                                        bool atEnd) {
  auto delegate = this->delegate();
  if (!delegate) {
    finish(task, cancelledError(*task));
    return;
  }
  {
    std::lock_guard<std::mutex> lock(task->mutex_);
    task->load_->held.awaitingAnswer = true;
  }
  // The answer is taken where it is given (usually the delegate queue, in
  // the same turn) and releases what was held meanwhile; only a refusal
  // comes back here. The transfer goes on as if allowed.
  NSURLSessionResponseHandler handler([task](NSURLSessionResponseDisposition disposition) {
    task->engine_->responseAnswered(task, disposition == NSURLSessionResponseDisposition::Allow);
  });
  outbox_->push([delegate, session = session_, task, response, handler = std::move(handler)]() mutable {
    delegate->didReceiveResponse(session.lock(), task, response, std::move(handler));
  });
  answered(task, true, atEnd);
}

void NSURLSessionEngine::answered(const NSURLSessionDataTaskPtr& task, bool allow, bool atEnd) {
  if (task->state() == NSURLSessionTaskState::Completed) return;
  NSURLSessionTaskLoad& load = *task->load_;
  if (!allow) {
    finish(task, cancelledError(*task));
  } else if (atEnd || load.cachedBody) {
    complete(task);
  } else if (load.headPaused) {
    load.headPaused = false;
    curl_easy_pause(load.easy, CURLPAUSE_CONT);
  }
}

void NSURLSessionEngine::complete(const NSURLSessionDataTaskPtr& task) {
  NSURLSessionTaskLoad& load = *task->load_;
  if (NSDataPtr cached = std::move(load.cachedBody)) {
    if (task->completion_) {
      {
        std::lock_guard<std::mutex> lock(task->mutex_);
        task->received_ += static_cast<int64_t>(cached->length());
      }
      finish(task, nullptr, cached);
    } else {
      if (cached->length() > 0) deliverData(task, cached);
      succeed(task, nullptr);
    }
    return;
  }
  endAttempt(*task);
  const bool offer = load.cacheCandidate && configuration_.URLCache;
  if (task->completion_) {
    NSDataPtr body = NSData::dataWithBytes(std::move(load.body));
    // Stored here rather than on the delegate queue: there it would delay
    // the handler, which often starts the next transfer.
    if (offer) {
      configuration_.URLCache->storeCachedResponse(std::make_shared<NSCachedURLResponse>(task->response(), body),
                                                   task->currentRequest());
    }
    finish(task, nullptr, body);
    return;
  }
  NSCachedURLResponsePtr proposed;
  if (offer) {
    proposed = std::make_shared<NSCachedURLResponse>(task->response(),
                                                     load.cacheChunk ? std::move(load.cacheChunk)
                                                                     : NSData::dataWithBytes(std::move(load.cacheBody)));
  }
  succeed(task, std::move(proposed));
}

void NSURLSessionEngine::succeed(const NSURLSessionDataTaskPtr& task, NSCachedURLResponsePtr proposal) {
  endAttempt(*task);
  NSURLSessionTaskMetricsPtr metrics = takeMetrics(*task);
  auto delegate = this->delegate();
  if (!delegate) {
    // Nobody left to ask: the proposal is stored as it is.
    endTask(task, proposal, metrics);
    return;
  }
  deliverEnd(task, [delegate, session = session_, task, proposal, metrics] {
    if (!proposal) {
      task->engine_->endTask(task, nullptr, metrics);
      return;
    }
    if (task->state() == NSURLSessionTaskState::Completed) return;
    // The answer is stored where it is given, before the completion.
    delegate->willCacheResponse(session.lock(), task, proposal,
                                [task, metrics](NSCachedURLResponsePtr answer) {
                                  task->engine_->endTask(task, answer, metrics);
                                });
  });
}

void NSURLSessionEngine::serveCached(const NSURLSessionDataTaskPtr& task, const NSCachedURLResponsePtr& cached) {
  NSURLSessionTaskLoad& load = *task->load_;
  NSURLSessionTaskTransactionMetrics metrics;
  metrics.request = task->currentRequest();
  metrics.response = cached->response();
  metrics.resourceFetchType = NSURLSessionTaskMetricsResourceFetchType::LocalCache;
  metrics.fetchStartDate = metrics.responseStartDate = metrics.responseEndDate = wallNow();
  load.transactions.push_back(std::move(metrics));
  load.cachedBody = cached->data();
  load.cacheCandidate = false;
  {
    std::lock_guard<std::mutex> lock(task->mutex_);
    task->response_ = cached->response();
  }
  if (task->completion_) {
    complete(task);
  } else {
    askDisposition(task, cached->response(), true);
  }
}

void NSURLSessionEngine::askRedirect(const NSURLSessionDataTaskPtr& task, const NSHTTPURLResponsePtr& response,
                                     const std::string& location, bool atEnd) {
  NSURLSessionTaskLoad& load = *task->load_;
  NSURLRequestPtr current = task->currentRequest();
  if (load.redirects >= kMaxRedirects) {
    finish(task, NSURLErrorMake(NSURLErrorHTTPTooManyRedirects, urlString(current), "Too many HTTP redirects."));
    return;
  }
  NSURLPtr target = location.empty() ? nullptr : NSURL::URLWithString(location);
  if (!target) {
    accept(task, response, atEnd);
    return;
  }
  NSMutableURLRequestPtr next = current->mutableCopy();
  next->setURL(target);
  int64_t status = response->statusCode();
  const std::string& method = current->HTTPMethod();
  if ((status == 303 && method != "HEAD") || ((status == 301 || status == 302) && method == "POST")) {
    next->setHTTPMethod("GET");
  }
  // Credentials the caller set by hand belong to the server it asked, as the
  // session's own do: another origin does not get them.
  if (!sameOrigin(current->URL(), target)) {
    next->setValueForHTTPHeaderField(std::nullopt, "Authorization");
    next->setValueForHTTPHeaderField(std::nullopt, "Cookie");
  }
  NSURLRequestPtr proposed = next;
  auto delegate = this->delegate();
  std::function<void(NSURLRequestPtr)> then = [this, task, response, atEnd](NSURLRequestPtr answer) {
    redirectAnswered(task, response, answer, atEnd);
  };
  auto handler = std::make_shared<NSURLSessionRedirectHandler>(onSessionThread(task, then));
  if (!delegate) {
    (*handler)(proposed);
    return;
  }
  outbox_->push([delegate, session = session_, task, response, proposed, handler] {
    delegate->willPerformHTTPRedirection(session.lock(), task, response, proposed, std::move(*handler));
  });
}

void NSURLSessionEngine::redirectAnswered(const NSURLSessionDataTaskPtr& task, const NSHTTPURLResponsePtr& response,
                                          const NSURLRequestPtr& request, bool atEnd) {
  if (task->state() == NSURLSessionTaskState::Completed) return;
  if (!request) {
    accept(task, response, atEnd);
    return;
  }
  NSURLSessionTaskLoad& load = *task->load_;
  endAttempt(*task);
  NSURLRequestPtr previous = task->currentRequest();
  {
    std::lock_guard<std::mutex> lock(task->mutex_);
    task->currentRequest_ = request;
  }
  ++load.redirects;
  // Credentials and trust belong to the server that was asked.
  if (!sameOrigin(previous->URL(), request->URL())) {
    load.basicCredential = nullptr;
    load.credentialAttempts = 0;
    load.trustPin.clear();
  }
  this->load(task);
}

void NSURLSessionEngine::challenge(
    const NSURLSessionDataTaskPtr& task, const NSURLAuthenticationChallengePtr& challenge,
    std::function<void(NSURLSessionAuthChallengeDisposition, NSURLCredentialPtr)> onAnswer) {
  auto handler = std::make_shared<NSURLSessionChallengeHandler>(onSessionThread(task, std::move(onAnswer)));
  auto delegate = this->delegate();
  if (!delegate) {
    (*handler)(NSURLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
    return;
  }
  outbox_->push([delegate, session = session_, task, challenge, handler] {
    delegate->didReceiveChallenge(session.lock(), task, challenge, std::move(*handler));
  });
}

void NSURLSessionEngine::askBasic(const NSURLSessionDataTaskPtr& task, const NSHTTPURLResponsePtr& response,
                                  const std::optional<std::string>& realm, bool atEnd) {
  NSURLSessionTaskLoad& load = *task->load_;
  const NSURLPtr& url = task->currentRequest()->URL();
  std::string scheme = lowered(url->scheme().value_or("http"));
  int64_t port = url->port().value_or(scheme == "https" ? 443 : 80);
  auto space = std::make_shared<NSURLProtectionSpace>(url->host().value_or(""), port, scheme, realm,
                                                      NSURLAuthenticationMethodHTTPBasic);
  auto asked = std::make_shared<NSURLAuthenticationChallenge>(space, load.basicCredential, load.credentialAttempts,
                                                              response);
  challenge(task, asked, [this, task, response, atEnd](NSURLSessionAuthChallengeDisposition disposition,
                                                       NSURLCredentialPtr credential) {
    basicAnswered(task, response, disposition, credential, atEnd);
  });
}

void NSURLSessionEngine::basicAnswered(const NSURLSessionDataTaskPtr& task, const NSHTTPURLResponsePtr& response,
                                       NSURLSessionAuthChallengeDisposition disposition,
                                       const NSURLCredentialPtr& credential, bool atEnd) {
  if (task->state() == NSURLSessionTaskState::Completed) return;
  NSURLSessionTaskLoad& load = *task->load_;
  if (disposition == NSURLSessionAuthChallengeDisposition::CancelAuthenticationChallenge) {
    finish(task, cancelledError(*task));
  } else if (disposition == NSURLSessionAuthChallengeDisposition::UseCredential && credential && credential->user()) {
    endAttempt(*task);
    load.basicCredential = credential;
    ++load.credentialAttempts;
    startTransfer(task);
  } else {
    // Nothing (more) to try: the 401 is the answer.
    accept(task, response, atEnd);
  }
}

void NSURLSessionEngine::askServerTrust(const NSURLSessionDataTaskPtr& task, NSErrorPtr refusal) {
  NSURLSessionTaskLoad& load = *task->load_;
  const NSURLPtr& url = task->currentRequest()->URL();
  std::string failure = load.tls.failure.empty() ? "the certificate does not name the host" : load.tls.failure;
  std::string host = url->host().value_or("");
  auto trust = std::make_shared<SecTrust>(host, std::move(load.tls.chain), failure);
  auto space = std::make_shared<NSURLProtectionSpace>(host, url->port().value_or(443), "https",
                                                      std::nullopt, NSURLAuthenticationMethodServerTrust, trust);
  auto asked = std::make_shared<NSURLAuthenticationChallenge>(space, nullptr, 0, nullptr);
  challenge(task, asked, [this, task, refusal](NSURLSessionAuthChallengeDisposition disposition,
                                               NSURLCredentialPtr credential) {
    trustAnswered(task, disposition, credential, refusal);
  });
}

void NSURLSessionEngine::trustAnswered(const NSURLSessionDataTaskPtr& task,
                                       NSURLSessionAuthChallengeDisposition disposition,
                                       const NSURLCredentialPtr& credential, const NSErrorPtr& refusal) {
  if (task->state() == NSURLSessionTaskState::Completed) return;
  NSURLSessionTaskLoad& load = *task->load_;
  bool trusted = disposition == NSURLSessionAuthChallengeDisposition::UseCredential && credential &&
                 credential->serverTrust() && !credential->serverTrust()->leafPublicKeyPin().empty();
  if (trusted) {
    load.trustPin = credential->serverTrust()->leafPublicKeyPin();
    startTransfer(task);
  } else if (disposition == NSURLSessionAuthChallengeDisposition::CancelAuthenticationChallenge) {
    finish(task, cancelledError(*task));
  } else {
    finish(task, refusal);
  }
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
      std::lock_guard<std::mutex> lock(task->mutex_);
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
                                      curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
    endAttempt(*task);
    finish(task, error);
  }
  if (nextSilenceCheck_ == std::chrono::steady_clock::time_point::max()) return std::chrono::seconds(1);
  return nextSilenceCheck_ - now;
}

void NSURLSessionEngine::readDone() {
  QX_DCHECK_SEQUENCE(sessionThread_);
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
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
    NSErrorPtr error = NSURLErrorMake(code, urlString(task->currentRequest()), curl_easy_strerror(result));
    bool untrusted = code == NSURLErrorServerCertificateUntrusted && load.trustPin.empty() && !load.tls.chain.empty();
    endAttempt(*task);
    if (untrusted) {
      askServerTrust(task, error);
    } else {
      finish(task, error);
    }
  }
}

// ---------------------------------------------------------------------------

NSURLSessionDataTask::NSURLSessionDataTask(std::shared_ptr<NSURLSessionEngine> engine,
                                           uint64_t identifier, NSURLRequestPtr request,
                                           NSURLSessionDataCompletion completion)
    : engine_(std::move(engine)),
      identifier_(identifier),
      request_(std::move(request)),
      currentRequest_(request_),
      load_(std::make_unique<NSURLSessionTaskLoad>()),
      completion_(std::move(completion)) {}

NSURLSessionDataTask::~NSURLSessionDataTask() = default;

NSURLSessionTaskState NSURLSessionDataTask::state() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

NSURLRequestPtr NSURLSessionDataTask::currentRequest() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return currentRequest_;
}

int64_t NSURLSessionDataTask::countOfBytesExpectedToReceive() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return response_ ? response_->expectedContentLength() : -1;
}

NSHTTPURLResponsePtr NSURLSessionDataTask::response() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return response_;
}

NSErrorPtr NSURLSessionDataTask::error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

int64_t NSURLSessionDataTask::countOfBytesReceived() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

float NSURLSessionDataTask::priority() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return priority_;
}

void NSURLSessionDataTask::setPriority(float priority) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    priority_ = std::isnan(priority) ? NSURLSessionTaskPriorityDefault : std::clamp(priority, 0.0f, 1.0f);
    if (state_ != NSURLSessionTaskState::Running) return;
  }
  auto self = shared_from_this();
  engine_->post([self] { self->engine_->applyPriority(self); });
}

void NSURLSessionDataTask::resume() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != NSURLSessionTaskState::Suspended) return;
    state_ = NSURLSessionTaskState::Running;
  }
  auto self = shared_from_this();
  if (!engine_->post([self] { self->engine_->add(self); }, true)) {
    // The session thread never saw this task, so it can end here and now.
    engine_->finish(self, cancelledError(*self));
  }
}

void NSURLSessionDataTask::cancel() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == NSURLSessionTaskState::Completed || state_ == NSURLSessionTaskState::Canceling) return;
    state_ = NSURLSessionTaskState::Canceling;
  }
  auto self = shared_from_this();
  if (!engine_->post([self] { self->engine_->finish(self, cancelledError(*self)); })) {
    engine_->finishWhenStopped(self);
  }
}

// ---------------------------------------------------------------------------

NSURLSession::NSURLSession(const NSURLSessionConfiguration& configuration,
                           std::shared_ptr<NSURLSessionDataDelegate> delegate,
                           dispatch_queue_t delegateQueue)
    : configuration_(configuration),
      delegateQueue_(delegateQueue ? std::move(delegateQueue)
                                   : dispatch_queue_create("NSURLSession delegate queue")),
      engine_(std::make_shared<NSURLSessionEngine>(
          configuration_, delegate ? std::move(delegate) : std::make_shared<NSURLSessionDataDelegate>(),
          delegateQueue_)) {}

NSURLSession::~NSURLSession() { engine_->stop(); }

NSURLSessionPtr NSURLSession::sessionWithConfiguration(const NSURLSessionConfiguration& configuration,
                                                       std::shared_ptr<NSURLSessionDataDelegate> delegate,
                                                       dispatch_queue_t delegateQueue) {
  auto session = std::make_shared<NSURLSession>(configuration, std::move(delegate), std::move(delegateQueue));
  session->engine_->start(session);
  return session;
}

NSURLSessionPtr NSURLSession::sharedSession() {
  static bool resetRegistered = [] {
    // Each test starts with a session over the fresh shared cache.
    SingletonResets::add([] {
      NSURLSessionPtr previous;
      std::lock_guard<std::mutex> lock(sharedMutex);
      previous.swap(sharedSessionInstance());
    });
    return true;
  }();
  (void)resetRegistered;
  std::lock_guard<std::mutex> lock(sharedMutex);
  NSURLSessionPtr& instance = sharedSessionInstance();
  if (!instance) instance = sessionWithConfiguration(NSURLSessionConfiguration::defaultSessionConfiguration());
  return instance;
}

std::shared_ptr<NSURLSessionDataDelegate> NSURLSession::delegate() const { return engine_->delegate(); }

bool NSURLSession::isShared() const {
  std::lock_guard<std::mutex> lock(sharedMutex);
  return sharedSessionInstance().get() == this;
}

void NSURLSession::invalidateAndCancel() {
  if (!isShared()) engine_->stop();
}

void NSURLSession::finishTasksAndInvalidate() {
  if (!isShared()) engine_->drain();
}

NSURLSessionDataTaskPtr NSURLSession::makeTask(const NSURLRequestPtr& request,
                                               NSURLSessionDataCompletion completion) {
  return std::make_shared<NSURLSessionDataTask>(engine_, nextIdentifier_.fetch_add(1), request,
                                                std::move(completion));
}

NSURLSessionDataTaskPtr NSURLSession::dataTaskWithRequest(const NSURLRequestPtr& request) {
  return makeTask(request, nullptr);
}

NSURLSessionDataTaskPtr NSURLSession::dataTaskWithURL(const NSURLPtr& url) {
  return makeTask(NSURLRequest::requestWithURL(url), nullptr);
}

NSURLSessionDataTaskPtr NSURLSession::dataTaskWithRequest(const NSURLRequestPtr& request,
                                                          NSURLSessionDataCompletion completionHandler) {
  return makeTask(request, std::move(completionHandler));
}

NSURLSessionDataTaskPtr NSURLSession::dataTaskWithURL(const NSURLPtr& url,
                                                      NSURLSessionDataCompletion completionHandler) {
  return makeTask(NSURLRequest::requestWithURL(url), std::move(completionHandler));
}
