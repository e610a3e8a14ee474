#include "platform/network/NSURLSession.h"

#include <curl/curl.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <map>
#include <thread>
#include <vector>

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
  // Running tasks go on; the thread ends after the last one.
  void drain();
  // False once the engine is stopping: the command will never run.
  bool post(std::function<void()> command);
  void stop();
  // For a command that could not be posted: once the thread has finished its
  // last sweep, curl state is safe to touch from here.
  void finishWhenStopped(const NSURLSessionDataTaskPtr& task);

  void add(const NSURLSessionDataTaskPtr& task);
  void finish(const NSURLSessionDataTaskPtr& task, NSErrorPtr error);
  void applyPriority(const NSURLSessionDataTaskPtr& task);
  size_t received(NSURLSessionDataTask* task, const char* data, size_t length);
  static size_t onWrite(char* data, size_t size, size_t count, void* user);

 private:
  void run();
  void readDone();
  void detach(NSURLSessionDataTask& task);
  NSHTTPURLResponsePtr makeResponse(NSURLSessionDataTask& task);
  void askDisposition(const NSURLSessionDataTaskPtr& task, const NSHTTPURLResponsePtr& response,
                      bool atEnd);
  void answered(const NSURLSessionDataTaskPtr& task, bool allow, bool atEnd);

  const NSURLSessionConfiguration configuration_;
  std::shared_ptr<NSURLSessionDataDelegate> delegate_;  // guarded by mutex_; dropped when invalid
  const dispatch_queue_t queue_;
  std::weak_ptr<NSURLSession> session_;

  CURLM* multi_ = nullptr;
  CURLSH* share_ = nullptr;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::function<void()>> commands_;
  bool stopping_ = false;
  bool draining_ = false;
  bool stopped_ = false;
  std::condition_variable stoppedChanged_;
  std::mutex joinMutex_;
  std::map<CURL*, NSURLSessionDataTaskPtr> active_;
};

namespace {

NSErrorPtr cancelledError(const NSURLSessionDataTask& task) {
  const NSURLPtr& url = task.originalRequest()->URL();
  return NSURLErrorMake(NSURLErrorCancelled, url ? url->absoluteString() : "");
}

std::string trimmedField(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n')) --e;
  return std::string(s.substr(b, e - b));
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
  auto* fields = static_cast<NSHTTPHeaderFields*>(user);
  std::string_view line(data, size * count);
  // Every response of a redirect chain starts afresh; the last one counts.
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
  return size * count;
}

long weightFor(float priority) { return 1 + std::lround(priority * 255.0f); }

std::mutex sharedMutex;  // guards sharedSessionInstance
NSURLSessionPtr sharedSessionInstance;

}  // namespace

// ---------------------------------------------------------------------------

void NSURLSessionDataDelegate::didReceiveResponse(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr&,
                                                  const NSHTTPURLResponsePtr&,
                                                  OnceCallback<void(NSURLSessionResponseDisposition)> handler) {
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
    : configuration_(configuration), delegate_(std::move(delegate)), queue_(std::move(queue)) {
  static dispatch_once_t once;
  dispatch_once(&once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  multi_ = curl_multi_init();
  curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS,
                    static_cast<long>(std::max(1, configuration_.HTTPMaximumConnectionsPerHost)));
  curl_multi_setopt(multi_, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
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
  thread_ = std::thread([this] { run(); });
}

std::shared_ptr<NSURLSessionDataDelegate> NSURLSessionEngine::delegate() {
  std::lock_guard<std::mutex> lock(mutex_);
  return delegate_;
}

void NSURLSessionEngine::drain() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    draining_ = true;
  }
  curl_multi_wakeup(multi_);
}

bool NSURLSessionEngine::post(std::function<void()> command) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    commands_.push_back(std::move(command));
  }
  curl_multi_wakeup(multi_);
  return true;
}

void NSURLSessionEngine::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  std::lock_guard<std::mutex> joinLock(joinMutex_);
  if (thread_.joinable()) {
    curl_multi_wakeup(multi_);
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
  for (;;) {
    std::vector<std::function<void()>> commands;
    bool stopping;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      commands.swap(commands_);
      stopping = stopping_;
    }
    for (auto& command : commands) command();
    if (stopping) break;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (draining_ && active_.empty()) {
        stopping_ = true;
        continue;
      }
    }
    int running = 0;
    curl_multi_perform(multi_, &running);
    readDone();
    // Bounded so curl's own timers (timeouts, retries) are served even when
    // no socket stirs.
    curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
  }
  while (!active_.empty()) {
    NSURLSessionDataTaskPtr task = active_.begin()->second;
    finish(task, cancelledError(*task));
  }
  std::shared_ptr<NSURLSessionDataDelegate> delegate;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    delegate.swap(delegate_);
    stopped_ = true;
    stoppedChanged_.notify_all();
  }
  if (delegate) {
    dispatch_async(queue_, [delegate, session = session_] { delegate->didBecomeInvalidWithError(session.lock(), nullptr); });
  }
}

void NSURLSessionEngine::add(const NSURLSessionDataTaskPtr& task) {
  {
    std::lock_guard<std::mutex> lock(task->mutex_);
    if (task->state_ != NSURLSessionTaskState::Running) return;
  }
  const NSURLRequestPtr& request = task->request_;
  if (!request->URL()) {
    finish(task, NSURLErrorMake(NSURLErrorBadURL, "", "The request has no URL."));
    return;
  }
  CURL* easy = curl_easy_init();
  task->easy_ = easy;
  active_[easy] = task;
  curl_easy_setopt(easy, CURLOPT_URL, request->URL()->absoluteString().c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 16L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &task->responseHeaders_);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onWrite);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, task.get());

  double timeout = request->timeoutInterval();
  if (timeout == NSURLRequest::kDefaultTimeoutInterval && configuration_.timeoutIntervalForRequest > 0) {
    timeout = configuration_.timeoutIntervalForRequest;
  }
  // The interval is how long the load may go without progress.
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::ceil(timeout * 1000)));
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, std::max(1L, static_cast<long>(std::ceil(timeout))));

  const std::string& method = request->HTTPMethod();
  if (method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (method != "GET") {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  }

  NSHTTPHeaderFields headers = configuration_.HTTPAdditionalHeaders;
  for (const auto& [name, value] : request->allHTTPHeaderFields()) headers[name] = value;
  curl_slist* list = nullptr;
  for (const auto& [name, value] : headers) {
    // "Name;" is how curl is told to send a field with an empty value.
    std::string line = value.empty() ? name + ";" : name + ": " + value;
    list = curl_slist_append(list, line.c_str());
  }
  task->headerList_ = list;
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);

  if (request->HTTPShouldHandleCookies() && configuration_.HTTPShouldSetCookies) {
    curl_easy_setopt(easy, CURLOPT_SHARE, share_);
    curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
  }
  curl_easy_setopt(easy, CURLOPT_STREAM_WEIGHT, weightFor(task->priority()));
  curl_multi_add_handle(multi_, easy);
}

void NSURLSessionEngine::applyPriority(const NSURLSessionDataTaskPtr& task) {
  if (task->easy_) curl_easy_setopt(task->easy_, CURLOPT_STREAM_WEIGHT, weightFor(task->priority()));
}

void NSURLSessionEngine::detach(NSURLSessionDataTask& task) {
  if (!task.easy_) return;
  CURL* easy = task.easy_;
  curl_multi_remove_handle(multi_, easy);
  curl_easy_cleanup(easy);
  curl_slist_free_all(static_cast<curl_slist*>(task.headerList_));
  task.easy_ = nullptr;
  task.headerList_ = nullptr;
  active_.erase(easy);
}

void NSURLSessionEngine::finish(const NSURLSessionDataTaskPtr& task, NSErrorPtr error) {
  {
    std::lock_guard<std::mutex> lock(task->mutex_);
    if (task->state_ == NSURLSessionTaskState::Completed) return;
    task->state_ = NSURLSessionTaskState::Completed;
    task->error_ = error;
  }
  NSURLSessionDataTaskPtr keep = task;  // detach drops the engine's reference
  detach(*task);
  if (task->completion_) {
    auto completion = std::make_shared<NSURLSessionDataCompletion>(std::move(task->completion_));
    NSDataPtr data = error ? nullptr : NSData::dataWithBytes(std::move(task->body_));
    NSHTTPURLResponsePtr response = task->response();
    dispatch_async(queue_, [completion, data, response, error] { (*completion)(data, response, error); });
    return;
  }
  auto delegate = this->delegate();
  if (!delegate) return;
  dispatch_async(queue_, [delegate, session = session_, keep, error] {
    delegate->didCompleteWithError(session.lock(), keep, error);
  });
}

NSHTTPURLResponsePtr NSURLSessionEngine::makeResponse(NSURLSessionDataTask& task) {
  long status = 0;
  curl_easy_getinfo(task.easy_, CURLINFO_RESPONSE_CODE, &status);
  char* effective = nullptr;
  curl_easy_getinfo(task.easy_, CURLINFO_EFFECTIVE_URL, &effective);
  NSURLPtr url = effective ? NSURL::URLWithString(effective) : nullptr;
  if (!url) url = task.request_->URL();
  auto response = std::make_shared<NSHTTPURLResponse>(url, status, task.responseHeaders_);
  std::lock_guard<std::mutex> lock(task.mutex_);
  task.response_ = response;
  return response;
}

size_t NSURLSessionEngine::onWrite(char* data, size_t size, size_t count, void* user) {
  auto* task = static_cast<NSURLSessionDataTask*>(user);
  return task->engine_->received(task, data, size * count);
}

size_t NSURLSessionEngine::received(NSURLSessionDataTask* raw, const char* data, size_t length) {
  NSURLSessionDataTaskPtr task = raw->shared_from_this();
  if (!task->responseDelivered_) {
    task->responseDelivered_ = true;
    NSHTTPURLResponsePtr response = makeResponse(*task);
    if (!task->completion_) {
      // The body is held back (curl keeps it) until the delegate allows it.
      task->awaitingDisposition_ = true;
      askDisposition(task, response, false);
    }
  }
  if (task->awaitingDisposition_) return CURL_WRITEFUNC_PAUSE;
  {
    std::lock_guard<std::mutex> lock(task->mutex_);
    task->received_ += static_cast<int64_t>(length);
  }
  if (task->completion_) {
    task->body_.insert(task->body_.end(), data, data + length);
    return length;
  }
  NSDataPtr chunk = NSData::dataWithBytes(data, length);
  dispatch_async(queue_, [delegate = delegate(), session = session_, task, chunk] {
    delegate->didReceiveData(session.lock(), task, chunk);
  });
  return length;
}

void NSURLSessionEngine::askDisposition(const NSURLSessionDataTaskPtr& task,
                                        const NSHTTPURLResponsePtr& response, bool atEnd) {
  auto handler = std::make_shared<OnceCallback<void(NSURLSessionResponseDisposition)>>(
      [task, atEnd](NSURLSessionResponseDisposition disposition) {
        bool allow = disposition == NSURLSessionResponseDisposition::Allow;
        NSURLSessionEngine* engine = task->engine_.get();
        if (!engine->post([task, allow, atEnd] { task->engine_->answered(task, allow, atEnd); })) {
          engine->finishWhenStopped(task);
        }
      });
  dispatch_async(queue_, [delegate = delegate(), session = session_, task, response, handler] {
    delegate->didReceiveResponse(session.lock(), task, response, std::move(*handler));
  });
}

void NSURLSessionEngine::answered(const NSURLSessionDataTaskPtr& task, bool allow, bool atEnd) {
  if (task->state() == NSURLSessionTaskState::Completed) return;
  if (!allow) {
    finish(task, cancelledError(*task));
  } else if (atEnd) {
    finish(task, nullptr);
  } else {
    task->awaitingDisposition_ = false;
    curl_easy_pause(task->easy_, CURLPAUSE_CONT);
  }
}

void NSURLSessionEngine::readDone() {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    auto it = active_.find(message->easy_handle);
    if (it == active_.end()) continue;
    NSURLSessionDataTaskPtr task = it->second;
    CURLcode result = message->data.result;
    if (result != CURLE_OK) {
      finish(task, NSURLErrorMake(NSURLErrorCodeForCurlCode(result),
                                  task->request_->URL()->absoluteString(), curl_easy_strerror(result)));
    } else if (!task->responseDelivered_ && !task->completion_) {
      // No body came, so the delegate's answer ends the task.
      task->responseDelivered_ = true;
      NSHTTPURLResponsePtr response = makeResponse(*task);
      detach(*task);
      askDisposition(task, response, true);
    } else {
      if (!task->responseDelivered_) {
        task->responseDelivered_ = true;
        makeResponse(*task);
      }
      finish(task, nullptr);
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
  if (!engine_->post([self] { self->engine_->add(self); })) {
    engine_->finishWhenStopped(self);
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
  std::lock_guard<std::mutex> lock(sharedMutex);
  if (!sharedSessionInstance) {
    sharedSessionInstance = sessionWithConfiguration(NSURLSessionConfiguration::defaultSessionConfiguration());
  }
  return sharedSessionInstance;
}

std::shared_ptr<NSURLSessionDataDelegate> NSURLSession::delegate() const { return engine_->delegate(); }

bool NSURLSession::isShared() const {
  std::lock_guard<std::mutex> lock(sharedMutex);
  return sharedSessionInstance.get() == this;
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
