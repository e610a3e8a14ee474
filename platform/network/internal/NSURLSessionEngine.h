#pragma once

// The session's engine, shared by the files that make up the URL session: the
// engine itself (the session thread, curl handles, the transfers), the tasks,
// and the glue to the delegate (responses, bodies, redirects, challenges and
// ends handed to the delegate queue).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSThread.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/network/NSURLSession.h"
#include "platform/network/internal/CurlLibrary.h"

// What the TLS handshake showed of the server: its chain, and why the
// system's evaluation refused it.
struct NSURLSessionTlsCapture {
  std::vector<Bytes> chain;
  std::string failure;
};

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
  // The server whose connection slot the attempt holds, or waits for: the
  // session's key for it, which stays while the attempt holds or waits.
  const std::string* slotHost = nullptr;
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
  NSURLSessionTlsCapture tls;

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
  // The transfer was ended from the write callback because the task was
  // cancelled meanwhile: its end is that cancel, not a write error.
  bool cancelledInTransfer = false;

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
    // The transfer waits in curl for the delegate: for its answer, or for
    // it to take what is queued.
    bool paused = false;
    // Body handed to the delegate queue and not yet taken by the delegate.
    size_t queued = 0;
    std::vector<NSDataPtr> chunks;
    size_t bytes = 0;
    UniqueFunction<void()> end;
  } held;
};

// Calls for a delegate queue, run in order by one block per burst instead of
// one queue item (and one worker wake-up) per call.
class NSURLSessionDelegateOutbox : public std::enable_shared_from_this<NSURLSessionDelegateOutbox> {
 public:
  explicit NSURLSessionDelegateOutbox(dispatch_queue_t queue) : queue_(std::move(queue)) {}

  void push(UniqueFunction<void()> call) {
    bool schedule;
    {
      MutexLock lock(mutex_);
      calls_.push_back(std::move(call));
      schedule = !scheduled_ && tlsHolding != this;
      scheduled_ = scheduled_ || schedule;
    }
    if (schedule) dispatch_async(queue_, [self = shared_from_this()] { self->drain(); });
  }

  // While one pass of the session thread holds the outbox, what it pushes
  // waits and goes to the queue as one block when the pass ends: the
  // delegate queue wakes once for the ends of every transfer the pass saw,
  // not once each (on a busy core, each wake-up would preempt the pass).
  // Pushes from other threads are not held.
  class Hold {
   public:
    explicit Hold(NSURLSessionDelegateOutbox& outbox) : outbox_(outbox) { tlsHolding = &outbox; }
    ~Hold() { release(); }
    // Before the thread sleeps: nothing may wait for its next pass.
    void release() {
      if (tlsHolding != &outbox_) return;
      tlsHolding = nullptr;
      outbox_.flush();
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    NSURLSessionDelegateOutbox& outbox_;
  };

 private:
  void flush() {
    bool schedule;
    {
      MutexLock lock(mutex_);
      schedule = !scheduled_ && !calls_.empty();
      scheduled_ = scheduled_ || schedule;
    }
    if (schedule) dispatch_async(queue_, [self = shared_from_this()] { self->drain(); });
  }

  static inline thread_local const NSURLSessionDelegateOutbox* tlsHolding = nullptr;

  // Calls pushed while a batch runs (a handler answered on the queue) run
  // in the same turn.
  void drain() {
    std::vector<UniqueFunction<void()>> batch;
    for (;;) {
      {
        MutexLock lock(mutex_);
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
  Mutex mutex_;  // guards calls_ and scheduled_
  std::vector<UniqueFunction<void()>> calls_ GUARDED_BY(mutex_);
  bool scheduled_ GUARDED_BY(mutex_) = false;
};

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
  // Most body queued for a delegate before its transfer pauses. Curl may
  // read, and inflate, a thousand times more than the wire brings in one
  // pass (gigabytes from a few megabytes of gzip), faster than any delegate
  // takes it: without a bound all of it would wait in memory, and a
  // delegate's cancel would come only after the pass.
  static constexpr size_t kQueuedBodyLimit = 4u << 20;
  size_t received(NSURLSessionDataTask* task, const char* data, size_t length);
  // Gathers the body to offer to the cache, within the cache's share.
  static void keepForCache(NSURLSessionTaskLoad& load, const char* data, size_t length, const NSDataPtr& chunk);
  // The host whose connection limit a load counts against, into `key`:
  // scheme, host and port as curl tells hosts apart, so that "https://h/"
  // and "https://H:443/" share one limit.
  static void hostSlotKey(const NSURL& url, std::string& key);
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
  // Wakes the session thread from its sleep, in curl or, without it, on
  // `commandsPosted_`.
  void wakeFromSleep();
  void readDone();
  // Ends with a timeout the attempts that went longer than their interval
  // without a byte; returns how long until the next one could.
  std::chrono::steady_clock::duration endSilentAttempts();
  // Reads the cache by the request's policy, then loads from the network.
  void load(const NSURLSessionDataTaskPtr& task);
  // `slotTaken`: the attempt holds its server's slot already.
  void startTransfer(const NSURLSessionDataTaskPtr& task, bool slotTaken = false);
  // Attempts beyond the per-host limit wait here, without a curl handle,
  // and start on the session thread as soon as an attempt to their server
  // ends: no trip to the delegate queue and back leaves a slot empty.
  // False when the task must wait.
  bool takeSlot(const NSURLSessionDataTaskPtr& task);
  void releaseSlot(NSURLSessionTaskLoad& load);
  // Starts waiting attempts where slots were freed; true when it did.
  bool startWaiting();
  // The fields a request is sent with, in name order: the session's, the
  // request's own over them, and the validators of a stored response.
  curl_slist* headerList(const NSURLRequest& request, const NSCachedURLResponse* revalidating) const;
  // A spare handle when there is one (`reused`: it keeps the options every
  // transfer sets), else a new one.
  CURL* takeHandle(bool cookies, bool* reused);
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
  // Queues a chunk for the delegate (called with the task's lock held).
  void pushData(const NSURLSessionDataTaskPtr& task,
                const std::shared_ptr<NSURLSessionDataDelegate>& delegate, NSDataPtr chunk);
  // The delegate took a chunk: a transfer paused for its queue goes on once
  // half of that is taken.
  void dataTaken(const NSURLSessionDataTaskPtr& task, size_t length);
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
  const std::shared_ptr<NSURLSessionDelegateOutbox> outbox_;
  std::weak_ptr<NSURLSession> session_;

  // Null when libcurl cannot be loaded: every task then ends with
  // `unavailable_`, and the thread waits for commands on `commandsPosted_`.
  CURLM* multi_ = nullptr;
  CURLSH* share_ = nullptr;
  std::string unavailable_;
  NSJoinableThread thread_;
  Mutex mutex_;  // guards the fields below up to joinMutex_
  std::shared_ptr<NSURLSessionDataDelegate> delegate_
      GUARDED_BY(mutex_);  // dropped when the session is invalid
  std::vector<std::function<void()>> commands_ GUARDED_BY(mutex_);
  // The thread has found no command and is about to sleep (or sleeps) in
  // curl: only then does a command need to wake it. While it works it looks
  // at the commands again before it sleeps, and while it looks for work
  // (50 µs, with transfers running) it sees them without being woken.
  bool idle_ GUARDED_BY(mutex_) = false;
  bool stopping_ GUARDED_BY(mutex_) = false;
  bool draining_ GUARDED_BY(mutex_) = false;
  bool stopped_ GUARDED_BY(mutex_) = false;
  std::condition_variable stoppedChanged_;
  std::condition_variable commandsPosted_;
  // Resumed tasks until their completion is decided, which for a task whose
  // end waits for the delegate happens on the delegate queue.
  std::map<uint64_t, NSURLSessionDataTaskPtr> live_ GUARDED_BY(mutex_);
  // Nodes of live_ and active_ kept for the next tasks: a small transfer
  // then allocates neither.
  std::vector<decltype(live_)::node_type> spareLiveNodes_ GUARDED_BY(mutex_);
  Mutex joinMutex_;  // guards the join of the session thread; one thread joins
  // Set with each command and wake-up, read without the lock while looking.
  std::atomic<bool> pending_{false};
  // Binds to the session thread: curl allows one thread per multi handle,
  // so the transfers and handles below are touched there only.
  SequenceChecker sessionThread_;
  std::map<CURL*, NSURLSessionDataTaskPtr> active_;
  std::vector<decltype(active_)::node_type> spareActiveNodes_;
  // No running attempt can have gone silent for too long before this.
  std::chrono::steady_clock::time_point nextSilenceCheck_ = std::chrono::steady_clock::time_point::max();
  // Handles kept after their transfer, apart by whether they joined the
  // cookie share.
  std::vector<CURL*> spareHandles_[2];
  struct HostSlots {
    size_t running = 0;
    std::deque<NSURLSessionDataTaskPtr> waiting;
    // The server multiplexes: curl runs its transfers as streams of the
    // connections it allows, so none waits here.
    bool multiplexed = false;
    // Listed in freedHosts_, once. A listed entry has waiting attempts, and
    // only startWaiting takes them, unlisting it first: no entry is erased
    // while listed, as entries are erased only once none wait.
    bool freed = false;
  };
  using HostMap = std::map<std::string, HostSlots, std::less<>>;
  HostMap hosts_;
  // Hosts with a slot freed since the last look, and waiting attempts.
  std::vector<HostMap::iterator> freedHosts_;
  // Where an attempt's server key is built, without a new string each time.
  std::string hostKey_;
  // Lists a host whose waiting attempts may start.
  void markFreed(HostMap::iterator host);
};

// Helpers of more than one of the session's files.
namespace url_session {

double wallNow();
std::string urlString(const NSURLRequestPtr& request);
NSErrorPtr cancelledError(const NSURLSessionDataTask& task);
std::string lowered(std::string s);

}  // namespace url_session
