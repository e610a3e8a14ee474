#include "platform/network/NSURLSession.h"

#include "platform/foundation/Mutex.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/network/internal/NSURLSessionEngine.h"

namespace {

Mutex sharedSessionMutex;  // guards sharedSessionInstance()

// Never destroyed: the shared session lives until the process ends and is
// never invalidated, so nothing of it is queued after main has returned.
NSURLSessionPtr& sharedSessionInstance() REQUIRES(sharedSessionMutex) {
  static auto* instance = new NSURLSessionPtr();
  return *instance;
}

}  // namespace

NSURLSessionConfiguration NSURLSessionConfiguration::defaultSessionConfiguration() {
  NSURLSessionConfiguration configuration;
  configuration.URLCache = NSURLCache::sharedURLCache();
  return configuration;
}

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
      MutexLock lock(sharedSessionMutex);
      previous.swap(sharedSessionInstance());
    });
    return true;
  }();
  (void)resetRegistered;
  MutexLock lock(sharedSessionMutex);
  NSURLSessionPtr& instance = sharedSessionInstance();
  if (!instance) instance = sessionWithConfiguration(NSURLSessionConfiguration::defaultSessionConfiguration());
  return instance;
}

std::shared_ptr<NSURLSessionDataDelegate> NSURLSession::delegate() const { return engine_->delegate(); }

bool NSURLSession::isShared() const {
  MutexLock lock(sharedSessionMutex);
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
